// Matrix helpers: the exact arithmetic of projections, cross products, the tie
// and NaN rules of min_of/max_of and the aliasing of products.

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "geometry/matrix.hpp"

namespace rectify {
namespace {

cv::Mat mat3(std::initializer_list<float> values) {
    cv::Mat m(3, 3, CV_32F);
    std::copy(values.begin(), values.end(), m.begin<float>());
    return m;
}

cv::Mat column(float a, float b, float c) {
    return (cv::Mat_<float>(3, 1) << a, b, c);
}
cv::Mat row(float a, float b, float c) {
    return (cv::Mat_<float>(1, 3) << a, b, c);
}

void expect_column(const cv::Mat& r, double a, double b, double c) {
    ASSERT_EQ(r.rows, 3);
    ASSERT_EQ(r.cols, 1);
    EXPECT_EQ(get(r, 0, 0), a);
    EXPECT_EQ(get(r, 1, 0), b);
    EXPECT_EQ(get(r, 2, 0), c);
}

TEST(ProjectPoint, DividesByTheThirdComponent) {
    expect_column(project_point(mat3({1, 0, 0, 0, 1, 0, 0, 0, 1}), column(7, 9, 1)), 7, 9, 1);
    expect_column(project_point(mat3({2, 0, 0, 0, 2, 0, 0, 0, 2}), column(3, 4, 1)), 3, 4, 1);
    expect_column(project_point(mat3({1, 0, 0, 0, 1, 0, 0, 0, 2}), column(3, 4, 1)), 1.5, 2, 1);
}

TEST(ProjectPoint, ThirdComponentIsDividedLast) {
    // M*p = (3, 4, 0): the first two quotients see the zero, the third is 0/0.
    const cv::Mat r = project_point(mat3({1, 0, 0, 0, 1, 0, 1, 0, -3}), column(3, 4, 1));
    EXPECT_EQ(get(r, 0, 0), std::numeric_limits<double>::infinity());
    EXPECT_EQ(get(r, 1, 0), std::numeric_limits<double>::infinity());
    EXPECT_TRUE(std::isnan(get(r, 2, 0)));
    // A zero numerator over a zero third component is NaN, a negative one -inf.
    const cv::Mat s = project_point(mat3({0, 0, 0, -1, 0, 0, 1, 0, -3}), column(3, 4, 1));
    EXPECT_TRUE(std::isnan(get(s, 0, 0)));
    EXPECT_EQ(get(s, 1, 0), -std::numeric_limits<double>::infinity());
}

TEST(ProjectPoint, SumsInDoubleLeftToRight) {
    // With m0*p0 = 2^25, m1*p1 = 1 and m2*p2 = -2^25, (2^25 + 1) - 2^25 is 1
    // in double; summed in float the 1 is lost and the component becomes 0.
    const cv::Mat N = mat3({1, 1, -1, 0, 0, 0, 0, 0, 1});
    const float big = std::ldexp(1.0f, 25);
    const cv::Mat q = project_point(N, column(big, 1, big));
    EXPECT_EQ(get(q, 0, 0) * big, 1.0);
    EXPECT_EQ(project_homogeneous(N.ptr<float>(), big, 1, big)[0],
              static_cast<float>(get(q, 0, 0)));
}

TEST(ProjectPoint, MatchesFloatDivisionOfTheStoredComponents) {
    // The warp relies on double-then-float quotients equalling float quotients.
    cv::RNG rng(7);
    for (int i = 0; i < 20000; ++i) {
        const float a = static_cast<float>(rng.uniform(-1e6, 1e6));
        const float b = static_cast<float>(rng.uniform(-1e3, 1e3));
        EXPECT_EQ(static_cast<float>(double(a) / double(b)), a / b) << a << " / " << b;
    }
}

TEST(CrossProduct, FollowsOperandOrder) {
    expect_column(cross_product(row(1, 0, 0), row(0, 1, 0)), 0, 0, 1);
    expect_column(cross_product(row(0, 1, 0), row(1, 0, 0)), 0, 0, -1);
    expect_column(cross_product(row(1, 2, 3), row(4, 5, 6)), -3, 6, -3);
    expect_column(cross_product(row(1, 2, 3), row(1, 2, 3)), 0, 0, 0);
}

TEST(CrossProduct, ReadsRowViewsOfLargerMatrices) {
    cv::Mat P = (cv::Mat_<float>(3, 4) << 1, 2, 3, 99, 0, 0, 0, 0, 4, 5, 6, 98);
    expect_column(cross_product(P.row(0).colRange(0, 3), P.row(2).colRange(0, 3)), -3, 6, -3);
}

TEST(MinMax, TieAndNanRules) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    EXPECT_EQ(min_of(1, 2), 1);
    EXPECT_EQ(min_of(2, 1), 1);
    EXPECT_TRUE(std::isnan(min_of(nan, 1)));
    EXPECT_EQ(min_of(1, nan), 1);
    EXPECT_EQ(max_of(1, 2), 2);
    EXPECT_EQ(max_of(2, 1), 2);
    EXPECT_EQ(max_of(nan, 1), 1);
    EXPECT_TRUE(std::isnan(max_of(1, nan)));
    // Equal operands give the second one: visible in the sign of zero.
    EXPECT_TRUE(std::signbit(min_of(+0.0, -0.0)));
    EXPECT_TRUE(std::signbit(max_of(+0.0, -0.0)));
    EXPECT_FALSE(std::signbit(min_of(-0.0, +0.0)));
    EXPECT_FALSE(std::signbit(max_of(-0.0, +0.0)));
}

TEST(MatrixConventions, ProductIntoOneOfItsFactorsUsesTheOldValues) {
    cv::Mat A = mat3({1, 2, 0, 0, 1, 0, 0, 0, 1});
    cv::Mat B = mat3({0, 1, 0, 1, 0, 0, 0, 0, 1});
    const cv::Mat expected = A * B;
    const float* before = A.ptr<float>();
    multiply(A, B, A);
    EXPECT_EQ(cv::norm(A, expected, cv::NORM_INF), 0.0);
    EXPECT_EQ(A.ptr<float>(), before) << "the destination keeps its storage";

    cv::Mat C = mat3({1, 2, 0, 0, 1, 0, 0, 0, 1});
    const cv::Mat expected_right = B * C;
    multiply(B, C, C);
    EXPECT_EQ(cv::norm(C, expected_right, cv::NORM_INF), 0.0);

    // A product into a view lands in the viewed matrix.
    cv::Mat P = new_matrix(3, 4);
    multiply(B, mat3({1, 2, 3, 4, 5, 6, 7, 8, 9}), P.colRange(0, 3));
    EXPECT_EQ(get(P, 0, 0), 4);
    EXPECT_EQ(get(P, 2, 2), 9);
    EXPECT_EQ(get(P, 1, 3), 0);
}

TEST(MatrixConventions, InversionInPlaceAndIdentityOfNonSquare) {
    cv::Mat A = mat3({2, 0, 0, 0, 4, 0, 0, 0, 1});
    invert_lu(A, A);
    EXPECT_EQ(get(A, 0, 0), 0.5);
    EXPECT_EQ(get(A, 1, 1), 0.25);

    cv::Mat I34 = cv::Mat(3, 4, CV_32F, cv::Scalar(7));
    set_identity(I34);
    for (int r = 0; r < 3; ++r) {
        for (int c = 0; c < 4; ++c) {
            EXPECT_EQ(get(I34, r, c), r == c ? 1.0 : 0.0) << r << "," << c;
        }
    }
}

TEST(MatrixConventions, StoresRoundToFloat) {
    cv::Mat m = new_matrix(1, 1);
    set(m, 0, 0, 0.1);
    EXPECT_EQ(get(m, 0, 0), static_cast<double>(0.1f));
    set(m, 0, 0, 1e39);
    EXPECT_FALSE(all_finite(m));
}

}  // namespace
}  // namespace rectify
