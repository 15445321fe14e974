#include "geometry/matrix.hpp"

#include <cmath>

namespace rectify {

cv::Mat new_matrix(int rows, int cols) {
    return cv::Mat::zeros(rows, cols, CV_32F);
}

void multiply(const cv::Mat& a, const cv::Mat& b, cv::Mat& d) {
    // The product goes to a fresh matrix first, so a destination that is one
    // of the factors receives the product of the old values.
    cv::Mat product;
    cv::gemm(a, b, 1.0, cv::noArray(), 0.0, product);
    copy_into(product, d);
}

void invert_lu(const cv::Mat& s, cv::Mat& d) {
    cv::Mat inverse;
    cv::invert(s, inverse, cv::DECOMP_LU);
    copy_into(inverse, d);
}

void set_identity(cv::Mat& m) {
    cv::setIdentity(m, cv::Scalar(1.0));
}

void copy_into(const cv::Mat& s, cv::Mat& d) {
    CV_Assert(s.size() == d.size() && s.type() == d.type());
    s.copyTo(d);  // same shape and type: copyTo writes into d's own storage
}

cv::Mat project_point(const cv::Mat& M, const cv::Mat& p) {
    CV_Assert(M.rows == 3 && M.cols == 3 && M.type() == CV_32F);
    CV_Assert(p.rows == 3 && p.cols == 1 && p.type() == CV_32F);
    const float m[9] = {M.at<float>(0, 0), M.at<float>(0, 1), M.at<float>(0, 2),
                        M.at<float>(1, 0), M.at<float>(1, 1), M.at<float>(1, 2),
                        M.at<float>(2, 0), M.at<float>(2, 1), M.at<float>(2, 2)};
    const auto q = project_homogeneous(m, p.at<float>(0, 0), p.at<float>(1, 0), p.at<float>(2, 0));
    cv::Mat r(3, 1, CV_32F);
    r.at<float>(0, 0) = q[0];
    r.at<float>(1, 0) = q[1];
    r.at<float>(2, 0) = q[2];
    return r;
}

cv::Mat cross_product(const cv::Mat& a, const cv::Mat& b) {
    CV_Assert(a.rows == 1 && a.cols == 3 && b.rows == 1 && b.cols == 3);
    const double a0 = get(a, 0, 0), a1 = get(a, 0, 1), a2 = get(a, 0, 2);
    // The skew-symmetric matrix of a times b as a column; negations are exact.
    cv::Mat S = new_matrix(3, 3);
    set(S, 0, 1, a2 * -1.0);
    set(S, 0, 2, a1);
    set(S, 1, 0, a2);
    set(S, 1, 2, a0 * -1.0);
    set(S, 2, 0, a1 * -1.0);
    set(S, 2, 1, a0);
    cv::Mat bt = b.t();
    cv::Mat r = new_matrix(3, 1);
    multiply(S, bt, r);
    return r;
}

bool all_finite(const cv::Mat& m) {
    for (int r = 0; r < m.rows; ++r) {
        for (int c = 0; c < m.cols; ++c) {
            if (!std::isfinite(m.at<float>(r, c))) {
                return false;
            }
        }
    }
    return true;
}

}  // namespace rectify
