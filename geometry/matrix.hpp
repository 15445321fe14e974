#pragma once
// Matrix conventions shared by the readers, the geometry and the warp.
//
// Every matrix is a cv::Mat of CV_32F. Elements are read as doubles and
// written from doubles, so every value is rounded to float when it is stored
// while the scalar arithmetic between a read and a store runs in double.
// Views (cv::Mat::row, rowRange, colRange) share the elements of their matrix:
// writing through a view changes the matrix.

#include <array>

#include <opencv2/core.hpp>

namespace rectify {

// A rows x cols CV_32F matrix with every element 0.
cv::Mat new_matrix(int rows, int cols);

inline double get(const cv::Mat& m, int row, int col) {
    return m.at<float>(row, col);
}
inline void set(cv::Mat& m, int row, int col, double value) {
    m.at<float>(row, col) = static_cast<float>(value);
}
// For views handed over as temporaries (m.row(2), m.colRange(0, 3)...).
inline void set(cv::Mat&& m, int row, int col, double value) {
    set(m, row, col, value);
}

// d = a * b, the plain product stored as floats. d may be a or b itself (or a
// view of either): the result is then the product of the old values. d keeps
// its own storage, so writing into a view writes into the viewed matrix.
void multiply(const cv::Mat& a, const cv::Mat& b, cv::Mat& d);
inline void multiply(const cv::Mat& a, const cv::Mat& b, cv::Mat&& d) {
    multiply(a, b, d);
}

// d = inverse of s by LU decomposition; d may be s itself. The determinant is
// not examined: a singular s leaves whatever the decomposition produces.
void invert_lu(const cv::Mat& s, cv::Mat& d);

// 1 on the main diagonal, 0 elsewhere; a 3x4 matrix becomes [I | 0].
void set_identity(cv::Mat& m);

// Copies the elements of s into d (same shape), keeping d's storage.
void copy_into(const cv::Mat& s, cv::Mat& d);
inline void copy_into(const cv::Mat& s, cv::Mat&& d) {
    copy_into(s, d);
}

// The arithmetic of a projection, shared by project_point and the warp, which
// must agree with it bit for bit:
//   component i of M*p is (m_i0*p0 + m_i1*p1) + m_i2*p2, every product and sum
//   formed in double from the float elements, summed left to right, and then
//   stored as a float r_i;
//   then r0 = r0 / r2, r1 = r1 / r2 and last r2 = r2 / r2, each quotient formed
//   in double from the two stored floats and stored as a float.
// The third component is not tested: a zero gives infinite coordinates (NaN
// where the numerator is zero too) and a NaN third component.
// (Rounding a double quotient of two floats to float gives the correctly
// rounded float quotient, so a float division yields the same bits.)
inline std::array<float, 3> project_homogeneous(const float* m, float p0, float p1, float p2) {
    const float r0 =
        static_cast<float>((double(m[0]) * p0 + double(m[1]) * p1) + double(m[2]) * p2);
    const float r1 =
        static_cast<float>((double(m[3]) * p0 + double(m[4]) * p1) + double(m[5]) * p2);
    const float r2 =
        static_cast<float>((double(m[6]) * p0 + double(m[7]) * p1) + double(m[8]) * p2);
    const float q0 = static_cast<float>(double(r0) / double(r2));
    const float q1 = static_cast<float>(double(r1) / double(r2));
    const float q2 = static_cast<float>(double(r2) / double(r2));
    return {q0, q1, q2};
}

// M: 3x3, p: 3x1. Returns a new 3x1 matrix holding M*p divided by its third
// component, with the arithmetic of project_homogeneous.
cv::Mat project_point(const cv::Mat& M, const cv::Mat& p);

// a, b: 1x3 (views allowed). Returns a new 3x1 matrix holding a x b, each
// component (a1*b2 - a2*b1, a2*b0 - a0*b2, a0*b1 - a1*b0) stored as a float.
// The operand order counts: exchanging a and b negates the result.
cv::Mat cross_product(const cv::Mat& a, const cv::Mat& b);

// One ordered comparison each. min_of gives a when a < b or when the two are
// unordered (a NaN), b otherwise; max_of gives a when a > b, b otherwise.
// On equal operands both give b, which shows only in the sign of a zero.
inline double min_of(double a, double b) {
    return (a >= b) ? b : a;
}
inline double max_of(double a, double b) {
    return (a > b) ? a : b;
}

// True when every element of m is a finite number.
bool all_finite(const cv::Mat& m);

// A CV_64F copy of m, for the computations that run in double throughout.
inline cv::Mat to_double(const cv::Mat& m) {
    cv::Mat d;
    m.convertTo(d, CV_64F);
    return d;
}

// A 3x3 matrix of any depth as a fixed-size double one.
inline cv::Matx33d as_matx(const cv::Mat& m) {
    return cv::Matx33d(to_double(m));
}

}  // namespace rectify
