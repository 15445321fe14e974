#include "geometry/rectification.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <limits>
#include <ostream>
#include <random>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include <opencv2/calib3d.hpp>

#include "geometry/calibration_check.hpp"
#include "geometry/matrix.hpp"

namespace rectify {
namespace {

constexpr double kDeg = CV_PI / 180.0;

cv::Mat mat3(std::initializer_list<float> values) {
    return cv::Mat(std::vector<float>(values), true).reshape(1, 3);
}

cv::Mat translation3(float tx, float ty) {
    return mat3({1, 0, tx, 0, 1, ty, 0, 0, 1});
}

cv::Mat intrinsics(double fx, double fy, double skew, double cx, double cy) {
    return mat3({float(fx), float(skew), float(cx), 0, float(fy), float(cy), 0, 0, 1});
}

// [R | t; 0 0 0 1] with R from a rotation vector (radians); X_right = R X_left + t.
cv::Mat transformation(cv::Vec3d rvec, cv::Vec3d t) {
    cv::Mat R;
    cv::Rodrigues(rvec, R);
    cv::Mat T = cv::Mat::eye(4, 4, CV_64F);
    R.copyTo(T(cv::Rect(0, 0, 3, 3)));
    for (int i = 0; i < 3; ++i) {
        T.at<double>(i, 3) = t[i];
    }
    cv::Mat Tf;
    T.convertTo(Tf, CV_32F);
    return Tf;
}

struct Rig {
    std::string name;
    cv::Mat K_left, K_right, T;
};

cv::Mat as_double(const cv::Mat& m) {
    cv::Mat d;
    m.convertTo(d, CV_64F);
    return d;
}

// A homogeneous pixel through a 3x3 transform, in double from its stored floats.
cv::Vec3d apply(const cv::Mat& M, const cv::Vec3d& p) {
    return cv::Vec3d(cv::Matx33d(as_double(M)) * p);
}

double length3(const cv::Mat& P, int r) {
    return cv::norm(as_double(P.row(r).colRange(0, 3)));
}

// The largest |a - b| relative to the largest |b|.
double relative_difference(const cv::Mat& a, const cv::Mat& b) {
    return cv::norm(as_double(a), as_double(b), cv::NORM_INF) /
           cv::norm(as_double(b), cv::NORM_INF);
}

// ---- the frame fitting, fed with hand-made rectifying transforms ----

struct Fitted {
    cv::Mat T1, T2, H1, H2, Pn1, Pn2;
};

// With Po = [I | 0] and Pn = [T | 0], the orientation step recomputes exactly
// S*T, so the fitting sees the hand-made transforms as they are.
Fitted fit(const cv::Mat& T1_in, const cv::Mat& T2_in) {
    cv::Mat Po = new_matrix(3, 4);
    set_identity(Po);
    Fitted f;
    f.Pn1 = new_matrix(3, 4);
    f.Pn2 = new_matrix(3, 4);
    copy_into(T1_in, f.Pn1.colRange(0, 3));
    copy_into(T2_in, f.Pn2.colRange(0, 3));
    f.T1 = T1_in.clone();
    f.T2 = T2_in.clone();
    fit_transforms(Po, Po, f.Pn1, f.Pn2, f.T1, f.T2);
    f.H1 = new_matrix(3, 3);
    f.H2 = new_matrix(3, 3);
    invert_lu(f.T1, f.H1);
    invert_lu(f.T2, f.H2);
    return f;
}

void expect_matrix_near(const cv::Mat& actual, const cv::Mat& expected, double tol,
                        const char* what) {
    for (int r = 0; r < expected.rows; ++r) {
        for (int c = 0; c < expected.cols; ++c) {
            EXPECT_NEAR(get(actual, r, c), get(expected, r, c), tol)
                << what << " (" << r << ", " << c << ")";
        }
    }
}

struct FitCase {
    const char* name;
    cv::Mat T1, T2;          // as rectify_projections would deliver them
    cv::Mat final1, final2;  // after the fitting, before inversion
    cv::Mat H1, H2;
    double tol;  // 0: exact in float
};

// Test listings and failures show the case's name, not a dump of its bytes.
void PrintTo(const FitCase& c, std::ostream* out) {
    *out << c.name;
}

class FrameFitting : public testing::TestWithParam<FitCase> {};

TEST_P(FrameFitting, EndsInTheExpectedTransformsAndWarpMaps) {
    const FitCase& c = GetParam();
    const Fitted f = fit(c.T1, c.T2);
    expect_matrix_near(f.T1, c.final1, c.tol, "final T1");
    expect_matrix_near(f.T2, c.final2, c.tol, "final T2");
    expect_matrix_near(f.H1, c.H1, c.tol, "H1");
    expect_matrix_near(f.H2, c.H2, c.tol, "H2");
}

cv::Mat identity3() {
    return mat3({1, 0, 0, 0, 1, 0, 0, 0, 1});
}

INSTANTIATE_TEST_SUITE_P(
    HandMade, FrameFitting, testing::ValuesIn([] {
        const cv::Mat kI = identity3();
        return std::vector<FitCase>{
            // No mirror, no shift (the tie in the alignment shifts T2 by 0), scale 1.
            FitCase{"identity", kI, kI, kI, kI, kI, kI, 0},
            // Common shift (-10, -5), then T2 alone by -20 along x.
            FitCase{"whole_pixel_translations", translation3(10, 5), translation3(30, 5), kI, kI,
                    kI, kI, 0},
            // Floor of the joint minima (-10, -5), then T2 by -20.75: the fractional
            // parts of T1 survive.
            FitCase{"fractional_translations", translation3(10.5f, 5.25f),
                    translation3(30.75f, 5.25f), translation3(0.5f, 0.25f), translation3(0, 0.25f),
                    translation3(-0.5f, -0.25f), translation3(0, -0.25f), 0},
            // floor(-3.5) = -4; both left edges then lie at 0.5 and the tie moves T2.
            FitCase{"tie_after_negative_floor", translation3(-3.5f, 2), translation3(-3.5f, 7),
                    translation3(0.5f, 0), translation3(0, 5), translation3(-0.5f, 0),
                    translation3(0, -5), 0},
            FitCase{"mirrored_x", mat3({-1, 0, 640, 0, 1, 0, 0, 0, 1}), kI, kI, kI, kI, kI, 0},
            FitCase{"mirrored_y_in_both", mat3({1, 0, 0, 0, -1, 480, 0, 0, 1}),
                    mat3({1, 0, 0, 0, -1, 480, 0, 0, 1}), kI, kI, kI, kI, 0},
            // Width 1280 from T1, height 1440 from T2: one scale for both.
            FitCase{"one_common_scale", mat3({2, 0, 0, 0, 1, 0, 0, 0, 1}),
                    mat3({1, 0, 0, 0, 3, 0, 0, 0, 1}), mat3({1, 0, 0, 0, 1.f / 3, 0, 0, 0, 1}),
                    mat3({0.5f, 0, 0, 0, 1, 0, 0, 0, 1}), mat3({1, 0, 0, 0, 3, 0, 0, 0, 1}),
                    mat3({2, 0, 0, 0, 1, 0, 0, 0, 1}), 1e-6}};
    }()),
    [](const testing::TestParamInfo<FitCase>& info) { return std::string(info.param.name); });

TEST(FrameFitting, OrientationNegatesTheMirroredRowsOfTheNewProjections) {
    const Fitted f = fit(mat3({-1, 0, 640, 0, -1, 480, 0, 0, 1}), identity3());
    EXPECT_EQ(get(f.Pn1, 0, 0), 1.0);
    EXPECT_EQ(get(f.Pn1, 1, 1), 1.0);
    EXPECT_EQ(get(f.Pn2, 0, 0), 1.0);
    EXPECT_EQ(get(f.Pn2, 1, 1), 1.0);
}

TEST(FrameFitting, EqualEdgeCoordinatesMirrorNothing) {
    // Every corner goes to x = 5: the top edge has zero length.
    const Fitted f = fit(mat3({0, 0, 5, 0, 1, 0, 0, 0, 1}), identity3());
    EXPECT_EQ(get(f.Pn1, 0, 2), 5.0);
    EXPECT_EQ(get(f.Pn1, 1, 1), 1.0);
}

// ---- the old projections and the scale factors ----

// The outputs of rectify_projections for a rig, straight from the old
// projections that compute_rectification forms.
struct Projections {
    cv::Mat Po1, Po2, Pn1, Pn2, T1, T2;
    bool fired = false;
};
Projections projections_of(const Rig& rig) {
    const Rectification r = compute_rectification(rig.K_left, rig.K_right, rig.T);
    Projections p{
        r.Po1, r.Po2, new_matrix(3, 4), new_matrix(3, 4), new_matrix(3, 3), new_matrix(3, 3),
        false};
    p.fired = rectify_projections(p.Po1, p.Po2, p.Pn1, p.Pn2, p.T1, p.T2);
    return p;
}

TEST(ScaleFactors, ComeFromTheMaximumNormOfTheLeftIntrinsics) {
    const cv::Mat T = transformation({0.01, -0.02, 0.005}, {-1, 0.02, 0.01});
    struct Case {
        cv::Mat K_left;
        double au, av;
    };
    // A skew above fx is unrealistic but shows the maximum norm plainly.
    const std::vector<Case> cases = {{intrinsics(500, 520, 0, 320, 240), 500, 520},
                                     {intrinsics(500, 520, 50, 320, 240), 500, 520},
                                     {intrinsics(500, 520, -600, 320, 240), 600, 520}};
    for (const Case& c : cases) {
        for (const cv::Mat& K_right :
             {intrinsics(700, 650, 0, 300, 250), intrinsics(2000, 2100, 30, 330, 230)}) {
            const cv::Mat Pn1 = projections_of({"", c.K_left, K_right, T}).Pn1;
            EXPECT_NEAR(length3(Pn1, 0), c.au, 1e-5 * c.au);
            EXPECT_NEAR(length3(Pn1, 1), c.av, 1e-5 * c.av);
        }
    }
}

// ---- properties of the new projections and of the final transforms ----

struct Stats {
    int rigs = 0;
    int fired = 0;
    double max_row_difference = 0;  // px, in the nominal frame
};

// Random points seen by the left camera (pixel inside the nominal-sized image)
// at depths from 2 to 50 baselines, kept when in front of the right camera.
std::vector<cv::Vec3d> points_in_front(const Rig& rig, std::mt19937& rng) {
    const cv::Matx33d K_inv = cv::Matx33d(as_double(rig.K_left)).inv();
    const cv::Mat T = as_double(rig.T);
    const cv::Matx33d R(T(cv::Rect(0, 0, 3, 3)).clone());
    const cv::Vec3d t(T.at<double>(0, 3), T.at<double>(1, 3), T.at<double>(2, 3));
    const double baseline = cv::norm(t);
    std::uniform_real_distribution<double> u(0, 640), v(0, 480), depth(2, 50);
    std::vector<cv::Vec3d> points;
    while (points.size() < 50) {
        const cv::Vec3d X = K_inv * cv::Vec3d(u(rng), v(rng), 1) * (depth(rng) * baseline);
        if ((R * X + t)[2] > 0) {
            points.push_back(X);
        }
    }
    return points;
}

// Largest difference between the rows at which the final transforms put the
// two images of the same points.
double row_disagreement(const Rig& rig, const Rectification& r, std::mt19937& rng) {
    const cv::Matx33d K1(as_double(rig.K_left)), K2(as_double(rig.K_right));
    const cv::Mat T = as_double(rig.T);
    const cv::Matx33d R(T(cv::Rect(0, 0, 3, 3)).clone());
    const cv::Vec3d t(T.at<double>(0, 3), T.at<double>(1, 3), T.at<double>(2, 3));
    double worst = 0;
    for (const cv::Vec3d& X : points_in_front(rig, rng)) {
        const cv::Vec3d q1 = apply(r.T1, K1 * X);
        const cv::Vec3d q2 = apply(r.T2, K2 * (R * X + t));
        worst = std::max(worst, std::abs(q1[1] / q1[2] - q2[1] / q2[2]));
    }
    return worst;
}

double dot3(const cv::Mat& P, int i, const cv::Mat& Q, int j) {
    return as_double(P.row(i).colRange(0, 3)).dot(as_double(Q.row(j).colRange(0, 3)));
}

// (c, 1) . row, relative to the sizes that enter it.
double on_plane(const cv::Vec3d& c, const cv::Mat& P, int r) {
    const cv::Mat row = as_double(P.row(r));
    const double value = row.at<double>(0, 0) * c[0] + row.at<double>(0, 1) * c[1] +
                         row.at<double>(0, 2) * c[2] + row.at<double>(0, 3);
    return std::abs(value) / (length3(P, r) * std::max(1.0, cv::norm(c)));
}

constexpr double kRelTol = 2e-5;  // relative, float precision with headroom
constexpr double kRowTol = 1e-3;  // px in the nominal frame

// Checks every property of one rig and adds it to the statistics.
void check_rig(const Rig& rig, std::mt19937& rng, Stats& stats) {
    SCOPED_TRACE(rig.name);
    const auto [Po1, Po2, Pn1, Pn2, T1, T2, fired] = projections_of(rig);

    // Rows 1 and 2 shared element for element.
    EXPECT_EQ(cv::norm(Pn1.rowRange(1, 3), Pn2.rowRange(1, 3), cv::NORM_INF), 0.0);

    // Lengths 1, av, au, au with au, av from the left intrinsics.
    const double au = std::max(std::abs(get(rig.K_left, 0, 0)), std::abs(get(rig.K_left, 0, 1)));
    const double av = std::abs(get(rig.K_left, 1, 1));
    EXPECT_NEAR(length3(Pn1, 2), 1.0, kRelTol);
    EXPECT_NEAR(length3(Pn1, 1) / av, 1.0, kRelTol);
    EXPECT_NEAR(length3(Pn1, 0) / au, 1.0, kRelTol);
    EXPECT_NEAR(length3(Pn2, 0) / au, 1.0, kRelTol);

    // a1, a2, a3 pairwise perpendicular; b1 parallel to a1.
    EXPECT_LT(std::abs(dot3(Pn1, 0, Pn1, 1)) / (au * av), kRelTol);
    EXPECT_LT(std::abs(dot3(Pn1, 0, Pn1, 2)) / au, kRelTol);
    EXPECT_LT(std::abs(dot3(Pn1, 1, Pn1, 2)) / av, kRelTol);
    EXPECT_NEAR(std::abs(dot3(Pn1, 0, Pn2, 0)) / (au * au), 1.0, kRelTol);

    // Each camera keeps its centre: c1 = 0 and c2 = -R^T t.
    const cv::Mat T = as_double(rig.T);
    const cv::Matx33d R(T(cv::Rect(0, 0, 3, 3)).clone());
    const cv::Vec3d c1(0, 0, 0);
    const cv::Vec3d c2 =
        -(R.t() * cv::Vec3d(T.at<double>(0, 3), T.at<double>(1, 3), T.at<double>(2, 3)));
    for (int r : {1, 2}) {
        EXPECT_LT(on_plane(c1, Pn1, r), kRelTol) << "row " << r;
        EXPECT_LT(on_plane(c2, Pn1, r), kRelTol) << "row " << r;
    }
    EXPECT_LT(on_plane(c1, Pn1, 0), kRelTol);
    EXPECT_LT(on_plane(c2, Pn2, 0), kRelTol);

    // T times the old left block gives the new left block.
    const cv::Mat lhs1 = as_double(T1) * as_double(Po1.colRange(0, 3));
    const cv::Mat lhs2 = as_double(T2) * as_double(Po2.colRange(0, 3));
    EXPECT_LT(relative_difference(lhs1, Pn1.colRange(0, 3)), kRelTol);
    EXPECT_LT(relative_difference(lhs2, Pn2.colRange(0, 3)), kRelTol);

    // End to end: the final transforms put both images of a point on one row.
    const Rectification r = compute_rectification(rig.K_left, rig.K_right, rig.T);
    EXPECT_EQ(r.degenerate_rule_applied, fired);
    EXPECT_TRUE(warp_maps_finite(r.H1, r.H2));
    const double rows = row_disagreement(rig, r, rng);
    EXPECT_LT(rows, kRowTol);

    ++stats.rigs;
    stats.fired += fired ? 1 : 0;
    stats.max_row_difference = std::max(stats.max_row_difference, rows);
}

// Focal lengths 300 to 3000 px, principal point near the centre, rotations up
// to 3 degrees per axis, baselines mostly along x; every fourth rig has skew,
// and fx, fy and the two cameras differ by up to 10 %.
Rig random_rig(std::mt19937& rng, int index) {
    std::uniform_real_distribution<double> focal(300, 3000), ratio(0.9, 1.1), centre(-20, 20),
        angle(-3 * kDeg, 3 * kDeg), length(0.05, 1.0), small(-0.05, 0.05), skew(-0.01, 0.01);
    auto camera = [&](double f) {
        const double fy = f * ratio(rng);
        const double s = index % 4 == 0 ? f * skew(rng) : 0.0;
        return intrinsics(f, fy, s, 320 + centre(rng), 240 + centre(rng));
    };
    const double f = focal(rng);
    Rig rig;
    rig.name = "random rig " + std::to_string(index);
    rig.K_left = camera(f);
    rig.K_right = camera(f * ratio(rng));
    const double b = length(rng) * (index % 5 == 0 ? 1 : -1);  // a few with the right camera left
    rig.T = transformation({angle(rng), angle(rng), angle(rng)},
                           {b, std::abs(b) * small(rng), std::abs(b) * small(rng)});
    return rig;
}

TEST(RectifiedProjections, HoldOnRandomRealisticCalibrations) {
    std::mt19937 rng(20240611);
    Stats stats;
    for (int i = 0; i < 300; ++i) {
        check_rig(random_rig(rng, i), rng, stats);
    }
    std::printf("random rigs: %d, degenerate rule fired: %d, max row difference %.3g px\n",
                stats.rigs, stats.fired, stats.max_row_difference);
}

// Rigs for which the plain first solve is ill posed: parallel optical axes
// (identity rotation, pure roll) or the old focal planes meeting along the
// baseline (pure pitch).
std::vector<Rig> degenerate_rigs() {
    const cv::Mat Kl = intrinsics(800, 810, 0, 315.5, 244.25);
    const cv::Mat Kr = intrinsics(830, 820, 0, 327.75, 236.5);
    const cv::Mat Ks = intrinsics(2500, 2400, 12, 330.25, 251.5);
    struct Rotation {
        const char* name;
        cv::Vec3d rvec;
    };
    const std::vector<Rotation> rotations = {
        {"identity", {0, 0, 0}}, {"pitch", {2.5 * kDeg, 0, 0}}, {"roll", {0, 0, 4 * kDeg}}};
    struct Baseline {
        const char* name;
        cv::Vec3d t;
    };
    const std::vector<Baseline> baselines = {{"along x", {-0.12, 0, 0}},
                                             {"with y and z", {-0.12, 0.004, -0.006}}};
    std::vector<Rig> rigs;
    for (const Rotation& rot : rotations) {
        for (const Baseline& base : baselines) {
            const std::string name = std::string(rot.name) + ", " + base.name;
            const cv::Mat T = transformation(rot.rvec, base.t);
            rigs.push_back({name + ", equal intrinsics", Kl, Kl, T});
            rigs.push_back({name + ", different intrinsics", Kl, Kr, T});
            rigs.push_back({name + ", long focal length with skew", Ks, Kr, T});
        }
    }
    return rigs;
}

TEST(RectifiedProjections, HoldOnDegenerateRigs) {
    std::mt19937 rng(7);
    Stats stats;
    for (const Rig& rig : degenerate_rigs()) {
        check_rig(rig, rng, stats);
    }
    EXPECT_EQ(stats.fired, stats.rigs);
    std::printf("degenerate rigs: %d, rule fired: %d, max row difference %.3g px\n", stats.rigs,
                stats.fired, stats.max_row_difference);
}

TEST(RectifiedProjections, ParallelCamerasNeedOnlyASubpixelShift) {
    // Principal point off the pixel grid, so pass 1 leaves a visible fraction.
    const cv::Mat K = intrinsics(700, 700, 0, 319.75, 239.75);
    const Rectification r = compute_rectification(K, K, transformation({0, 0, 0}, {-0.1, 0, 0}));
    EXPECT_TRUE(r.degenerate_rule_applied);
    for (const cv::Mat& H : {r.H1, r.H2}) {
        EXPECT_NEAR(get(H, 0, 0), 1.0, 1e-5);
        EXPECT_NEAR(get(H, 1, 1), 1.0, 1e-5);
        EXPECT_NEAR(get(H, 2, 2), 1.0, 1e-5);
        for (auto [row, col] : {std::pair{0, 1}, {1, 0}, {2, 0}, {2, 1}}) {
            EXPECT_NEAR(get(H, row, col), 0.0, 1e-6);
        }
        EXPECT_LE(std::abs(get(H, 0, 2)), 0.25 + 1e-3);
        EXPECT_NEAR(get(H, 1, 2), -0.25, 1e-3);
    }
    // One of the two keeps the fraction in x, the other starts at 0.
    EXPECT_NEAR(std::min(std::abs(get(r.H1, 0, 2)), std::abs(get(r.H2, 0, 2))), 0.0, 1e-3);
    EXPECT_NEAR(std::max(std::abs(get(r.H1, 0, 2)), std::abs(get(r.H2, 0, 2))), 0.25, 1e-3);
}

// ---- the bundled sample calibration and the classic form ----

cv::Mat read_matrix(const std::string& path, int rows, int cols) {
    std::ifstream in(path);
    cv::Mat m = new_matrix(rows, cols);
    for (int r = 0; r < rows; ++r) {
        for (int c = 0; c < cols; ++c) {
            double value = 0;
            in >> value;
            set(m, r, c, value);
        }
    }
    EXPECT_TRUE(static_cast<bool>(in)) << path;
    return m;
}

Rig sample_rig() {
    const std::string dir = SAMPLE_DIR;
    return {"sample", read_matrix(dir + "/K_left.txt", 3, 3),
            read_matrix(dir + "/K_right.txt", 3, 3), read_matrix(dir + "/T.txt", 4, 4)};
}

TEST(SampleCalibration, RectifiesWithoutTheDegenerateRule) {
    const Rig rig = sample_rig();
    EXPECT_FALSE(check_calibration(rig.K_left, rig.K_right, rig.T));
    const Rectification r = compute_rectification(rig.K_left, rig.K_right, rig.T);
    EXPECT_FALSE(r.degenerate_rule_applied);
    EXPECT_TRUE(warp_maps_finite(r.H1, r.H2));
    std::mt19937 rng(1);
    EXPECT_LT(row_disagreement(rig, r, rng), kRowTol);
}

// The frame fitting redone in double from the transforms rectify_projections
// delivers: mirror each where its top edge runs leftwards or its left edge
// upwards; shift both by whole pixels so that the smaller left-edge and top-edge
// minima land in [0, 1); shift the one whose left edge lies further right to
// x = 0; scale both so that the longest horizontal edge (top or bottom, of
// either) is 640 long and the longest vertical edge (left or right) 480.
// Returns the warp maps, the inverses of the fitted transforms.
std::pair<cv::Matx33d, cv::Matx33d> warp_maps_fitted_in_double(cv::Matx33d T1, cv::Matx33d T2) {
    const double W = NOMINAL_WIDTH, H = NOMINAL_HEIGHT;
    auto at = [](const cv::Matx33d& T, double x, double y) {
        const cv::Vec3d q = T * cv::Vec3d(x, y, 1);
        return cv::Point2d(q[0] / q[2], q[1] / q[2]);
    };
    auto shift = [](double tx, double ty) { return cv::Matx33d(1, 0, tx, 0, 1, ty, 0, 0, 1); };
    for (cv::Matx33d* T : {&T1, &T2}) {
        const cv::Point2d tl = at(*T, 0, 0), tr = at(*T, W, 0), bl = at(*T, 0, H);
        *T = cv::Matx33d::diag({tr.x >= tl.x ? 1.0 : -1.0, bl.y >= tl.y ? 1.0 : -1.0, 1.0}) * *T;
    }
    auto left = [&](const cv::Matx33d& T) { return std::min(at(T, 0, 0).x, at(T, 0, H).x); };
    auto top = [&](const cv::Matx33d& T) { return std::min(at(T, 0, 0).y, at(T, W, 0).y); };
    const cv::Matx33d joint = shift(-std::min(std::floor(left(T1)), std::floor(left(T2))),
                                    -std::min(std::floor(top(T1)), std::floor(top(T2))));
    T1 = joint * T1;
    T2 = joint * T2;
    if (left(T1) > left(T2)) {
        T1 = shift(-left(T1), 0) * T1;
    } else {
        T2 = shift(-left(T2), 0) * T2;
    }
    auto width = [&](const cv::Matx33d& T) {
        return std::max(at(T, W, 0).x - at(T, 0, 0).x, at(T, W, H).x - at(T, 0, H).x);
    };
    auto height = [&](const cv::Matx33d& T) {
        return std::max(at(T, W, H).y - at(T, W, 0).y, at(T, 0, H).y - at(T, 0, 0).y);
    };
    const cv::Matx33d scale = cv::Matx33d::diag(
        {W / std::max(width(T1), width(T2)), H / std::max(height(T1), height(T2)), 1.0});
    return {(scale * T1).inv(), (scale * T2).inv()};
}

TEST(SampleCalibration, WarpMapsMatchTheFittingRedoneInDouble) {
    // The sample's transforms do not keep lines parallel (their third rows are
    // not (0, 0, 1)), so every corner of the frame counts: fitting on fewer
    // corners or edges moves the maps by pixels.
    const Rig rig = sample_rig();
    const Projections p = projections_of(rig);
    const auto [H1, H2] =
        warp_maps_fitted_in_double(cv::Matx33d(as_double(p.T1)), cv::Matx33d(as_double(p.T2)));
    const Rectification r = compute_rectification(rig.K_left, rig.K_right, rig.T);
    for (const auto& [name, actual, expected] :
         {std::tuple{"H1", r.H1, H1}, std::tuple{"H2", r.H2, H2}}) {
        double worst = 0;
        cv::Point2d worst_at;
        for (double y = 0; y <= NOMINAL_HEIGHT; y += NOMINAL_HEIGHT / 8.0) {
            for (double x = 0; x <= NOMINAL_WIDTH; x += NOMINAL_WIDTH / 8.0) {
                const cv::Vec3d a = apply(actual, {x, y, 1});
                const cv::Vec3d e = expected * cv::Vec3d(x, y, 1);
                const double d = std::max(std::abs(a[0] / a[2] - e[0] / e[2]),
                                          std::abs(a[1] / a[2] - e[1] / e[2]));
                if (d > worst) {
                    worst = d;
                    worst_at = {x, y};
                }
            }
        }
        EXPECT_LT(worst, 1e-3) << name << " at output pixel " << worst_at;
    }
}

TEST(SampleCalibration, ClassicFormOverwritesAllNineElements) {
    const Rig rig = sample_rig();
    const Rectification r = compute_rectification(rig.K_left, rig.K_right, rig.T);
    cv::Mat H1(3, 3, CV_32F, cv::Scalar(std::numeric_limits<float>::quiet_NaN()));
    cv::Mat H2(3, 3, CV_32F, cv::Scalar(12345.0));
    const float* storage = H1.ptr<float>();
    compute_rectification(rig.K_left, rig.K_right, rig.T, H1, H2);
    EXPECT_EQ(H1.ptr<float>(), storage);  // written in place, not replaced
    EXPECT_EQ(cv::norm(H1, r.H1, cv::NORM_INF), 0.0);
    EXPECT_EQ(cv::norm(H2, r.H2, cv::NORM_INF), 0.0);
}

// ---- the calibration check ----

struct CheckCase {
    const char* name;
    cv::Mat K_left, K_right, T;
    CalibrationInput input;
    std::string reason;
};

void PrintTo(const CheckCase& c, std::ostream* out) {
    *out << c.name;
}

class CalibrationCheck : public testing::TestWithParam<CheckCase> {};

TEST_P(CalibrationCheck, NamesTheFileAtFault) {
    const CheckCase& c = GetParam();
    const CalibrationProblem problem = check_calibration(c.K_left, c.K_right, c.T);
    EXPECT_EQ(problem.input, c.input);
    EXPECT_EQ(problem.reason, c.reason);
}

cv::Mat with_element(const cv::Mat& m, int r, int c, float value) {
    cv::Mat copy = m.clone();
    copy.at<float>(r, c) = value;
    return copy;
}

std::vector<CheckCase> check_cases() {
    const cv::Mat kK = intrinsics(600, 600, 0, 320, 240);
    const cv::Mat kGoodT = transformation({0.01, 0.02, -0.01}, {-0.1, 0.001, 0.002});
    const float kNaN = std::numeric_limits<float>::quiet_NaN();
    const float kInf = std::numeric_limits<float>::infinity();
    // Rows 0 and 1 of the rotation made equal: singular, translation intact.
    cv::Mat flat_rotation = kGoodT.clone();
    kGoodT.row(0).colRange(0, 3).copyTo(flat_rotation.row(1).colRange(0, 3));
    // A rotation of 0.5 rad about y as a file prints it with three decimals.
    cv::Mat printed = transformation({0, 0.5, 0}, {-0.1, 0, 0});
    printed.forEach<float>([](float& v, const int*) { v = std::round(v * 1000.0f) / 1000.0f; });
    const cv::Mat last_row_ones = mat3({600, 0, 320, 0, 600, 240, 1, 1, 1});
    const cv::Mat reflection = with_element(transformation({0, 0, 0}, {-0.1, 0, 0}), 0, 0, -1);
    return {
        CheckCase{"skewed_unequal_focal_lengths_three_decimal_rotation", intrinsics(600, 640, 3, 320, 240),
                  kK, printed, CalibrationInput::none, ""},
        CheckCase{"left_camera_looking_backwards", with_element(kK, 2, 2, -1), kK, kGoodT,
                  CalibrationInput::left_intrinsics,
                  "the intrinsic matrix's last row is not (0, 0, c) with c > 0"},
        CheckCase{"right_projective_last_row", kK, last_row_ones, kGoodT,
                  CalibrationInput::right_intrinsics,
                  "the intrinsic matrix's last row is not (0, 0, c) with c > 0"},
        CheckCase{"sheared_rotation", kK, kK, with_element(kGoodT, 0, 1, 0.2f),
                  CalibrationInput::transformation,
                  "the rotation block of the transformation is not a rotation"},
        CheckCase{"reflection", kK, kK, reflection, CalibrationInput::transformation,
                  "the rotation block of the transformation is a reflection"},
        CheckCase{"right_camera_facing_backwards", kK, kK,
                  transformation({CV_PI, 0, 0}, {-0.1, 0, 0}), CalibrationInput::transformation,
                  "the optical axes are more than 90 degrees apart (the cameras face away from "
                  "each other)"},
        CheckCase{"translation_overflowing_floats", kK, kK, with_element(kGoodT, 0, 3, 3e38f),
                  CalibrationInput::transformation,
                  "its numbers are too large for the computation (the camera centres overflow "
                  "32-bit floats)"},

        CheckCase{"good", kK, kK, kGoodT, CalibrationInput::none, ""},
        // A millimetre when the unit is the metre is still a baseline.
        CheckCase{"short_baseline", kK, kK, transformation({0, 0, 0}, {-1e-3, 0, 0}),
                  CalibrationInput::none, ""},
        CheckCase{"left_zero_row", with_element(kK, 2, 2, 0), kK, kGoodT,
                  CalibrationInput::left_intrinsics, "the intrinsic matrix is singular"},
        CheckCase{"right_nearly_singular", kK, intrinsics(600, 1e-7, 0, 320, 240), kGoodT,
                  CalibrationInput::right_intrinsics, "the intrinsic matrix is singular"},
        CheckCase{"right_nan", kK, with_element(kK, 0, 2, kNaN), kGoodT,
                  CalibrationInput::right_intrinsics,
                  "the intrinsic matrix has a non-finite element"},
        CheckCase{"left_inf", with_element(kK, 1, 1, kInf), kK, kGoodT,
                  CalibrationInput::left_intrinsics,
                  "the intrinsic matrix has a non-finite element"},
        CheckCase{"transformation_inf_in_last_row", kK, kK, with_element(kGoodT, 3, 0, kInf),
                  CalibrationInput::transformation, "the transformation has a non-finite element"},
        CheckCase{"singular_rotation", kK, kK, flat_rotation, CalibrationInput::transformation,
                  "the rotation block of the transformation is singular"},
        CheckCase{"zero_baseline", kK, kK, transformation({0.02, 0.01, 0}, {0, 0, 0}),
                  CalibrationInput::transformation,
                  "the two optical centres coincide (zero baseline)"}};
}

INSTANTIATE_TEST_SUITE_P(Cases, CalibrationCheck, testing::ValuesIn(check_cases()),
                         [](const testing::TestParamInfo<CheckCase>& info) {
                             return std::string(info.param.name);
                         });

}  // namespace
}  // namespace rectify
