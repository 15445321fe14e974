// The three views: their defining properties, and the accuracy of the full
// view on the raw (distorted) sample pair.

#include <gtest/gtest.h>

#include <cstdio>

#include <opencv2/calib3d.hpp>
#include <opencv2/imgcodecs.hpp>

#include "app/run.hpp"
#include "calibration/calibration_files.hpp"
#include "chessboard.hpp"
#include "geometry/matrix.hpp"
#include "geometry/rectify_maps.hpp"
#include "geometry/rectified_cameras.hpp"
#include "geometry/views.hpp"
#include "imaging/remap.hpp"
#include "imaging/warp.hpp"

namespace rectify {
namespace {

std::string raw(const char* name) {
    return std::string(RAW_DIR) + "/" + name;
}
std::string sample(const char* name) {
    return std::string(SAMPLE_DIR) + "/" + name;
}

StereoCalibration raw_calibration() {
    return load_calibration_files({raw("stereo.yml")});
}

const cv::Size kRawSize(640, 480);

// With no distortion and nearest sampling, the nominal view is the
// six-argument tool: the same float maps, the same bytes after the resize.
TEST(Views, NominalIsTheSixArgumentToolsWarpAndResize) {
    const StereoCalibration c =
        load_calibration_text(sample("T.txt"), sample("K_left.txt"), sample("K_right.txt"));
    const cv::Mat images[2] = {cv::imread(sample("left.png")), cv::imread(sample("right.png"))};
    const cv::Size size = images[0].size();
    for (const double scale : {1.0, 0.55}) {
        const cv::Size output = *output_size_for(size, scale);
        const ViewFit fit = fit_view(c, View::nominal, size, output);
        for (const Side side : {Side::left, Side::right}) {
            const int k = side == Side::left ? 0 : 1;
            const cv::Mat& H = k == 0 ? fit.geometry.H1 : fit.geometry.H2;
            const SourceMaps maps = build_source_maps(c, fit, side);
            ASSERT_EQ(maps.map_x.size(), size);
            const float* h = H.ptr<float>();
            for (int y = 0; y < size.height; y += 7) {
                for (int x = 0; x < size.width; x += 3) {
                    const auto q = project_homogeneous(h, float(x), float(y), 1.0f);
                    ASSERT_EQ(maps.map_x.at<float>(y, x), q[0]) << x << "," << y;
                    ASSERT_EQ(maps.map_y.at<float>(y, x), q[1]) << x << "," << y;
                }
            }
            const int fill = k == 0 ? LEFT_FILL : RIGHT_FILL;
            const cv::Mat expected =
                resize_to_output(warp_to_new_image(images[k], H, fill), output);
            const SamplingPlan plan =
                plan_sampling(maps.map_x, maps.map_y, size, output, Interpolation::nearest);
            const cv::Mat got = resample(images[k], plan, fill);
            ASSERT_EQ(got.size(), output);
            EXPECT_EQ(cv::norm(got, expected, cv::NORM_INF), 0.0) << "scale " << scale;
        }
    }
}

struct Rig {
    std::string name;
    StereoCalibration calibration;
    cv::Size image, output;
};

std::vector<Rig> rigs() {
    StereoCalibration turned;
    turned.K1 = (cv::Mat_<double>(3, 3) << 700, 0, 390, 0, 690, 310, 0, 0, 1);
    turned.K2 = (cv::Mat_<double>(3, 3) << 720, 0, 410, 0, 720, 280, 0, 0, 1);
    turned.D1 = turned.D2 = {DistortionModel::fisheye, {0.05, -0.01, 0.002, -0.0003}};
    cv::Rodrigues(cv::Vec3d(0.02, -0.15, 0.03), turned.R);
    turned.T = (cv::Mat_<double>(3, 1) << -0.5, 0.03, 0.05);
    StereoCalibration vertical;
    vertical.K1 = vertical.K2 = (cv::Mat_<double>(3, 3) << 500, 0, 320, 0, 500, 240, 0, 0, 1);
    vertical.R = cv::Mat::eye(3, 3, CV_64F);
    vertical.T = (cv::Mat_<double>(3, 1) << 0.02, -0.3, 0.01);
    return {{"raw stereo.yml", raw_calibration(), kRawSize, kRawSize},
            {"raw camchain.yaml, scale 0.5", load_calibration_files({raw("camchain.yaml")}),
             kRawSize, cv::Size(320, 240)},
            {"turned fisheye rig, scale 0.75", turned, cv::Size(800, 600), cv::Size(600, 450)},
            {"vertical baseline", vertical, kRawSize, kRawSize}};
}

// The stored pixel -> output pixel chain, through the inverse distortion.
cv::Point2d to_output(const StereoCalibration& c, const ViewFit& fit, Side side, cv::Point2d p) {
    const bool left = side == Side::left;
    const cv::Matx33d K(left ? c.K1 : c.K2);
    const Distortion& d = left ? c.D1 : c.D2;
    const cv::Vec3d n = K.inv() * cv::Vec3d(p.x, p.y, 1.0);
    const auto ideal = undistort_point(d, {n[0] / n[2], n[1] / n[2]}, 100.0);
    EXPECT_TRUE(ideal.has_value());
    const cv::Vec3d q =
        (left ? fit.to_output1() : fit.to_output2()) * K * cv::Vec3d(ideal->x, ideal->y, 1.0);
    return {q[0] / q[2], q[1] / q[2]};
}

// Points in front of both cameras land on one row in both outputs.
void expect_rows_shared(const StereoCalibration& c, const ViewFit& fit) {
    const RectifiedCameras cameras = cameras_of_outputs(
        c.K1, c.K2, transformation_matrix(c), cv::Mat(fit.to_output1()), cv::Mat(fit.to_output2()),
        fit.source_size, fit.source_size, fit.output_size);
    const cv::Mat &P1 = cameras.P1, &P2 = cameras.P2;
    cv::RNG rng(3);
    const double baseline = cv::norm(c.T);
    for (int i = 0; i < 50; ++i) {
        const cv::Vec3d X(rng.uniform(-1.0, 1.0), rng.uniform(-1.0, 1.0), rng.uniform(4.0, 12.0));
        const cv::Vec4d Xh(X[0] * baseline, X[1] * baseline, X[2] * baseline, 1.0);
        const cv::Vec3d l = cv::Matx34d(P1) * Xh;
        const cv::Vec3d r = cv::Matx34d(P2) * Xh;
        ASSERT_NEAR(l[1] / l[2], r[1] / r[2], 2e-3) << view_name(fit.view);
    }
}

// The rectified intrinsics of the output: fx = fy and no skew.
void expect_square_pixels(const cv::Matx33d& left_block) {
    cv::Mat Rq, Qq;
    cv::RQDecomp3x3(cv::Mat(left_block), Rq, Qq);
    const double fx = Rq.at<double>(0, 0), fy = Rq.at<double>(1, 1), skew = Rq.at<double>(0, 1);
    EXPECT_NEAR(std::abs(fx) / std::abs(fy), 1.0, 1e-6);
    EXPECT_NEAR(skew / fx, 0.0, 1e-6);
}

TEST(Views, FullHoldsBothWholeOutlinesWithSquarePixelsAndSharedRows) {
    for (const Rig& rig : rigs()) {
        SCOPED_TRACE(rig.name);
        const StereoCalibration& c = rig.calibration;
        const ViewFit fit = fit_view(c, View::full, rig.image, rig.output);
        EXPECT_EQ(fit.map_size, rig.output);
        const double w = rig.image.width - 1, h = rig.image.height - 1;
        cv::Rect2d extent[2];
        for (const Side side : {Side::left, Side::right}) {
            std::vector<cv::Point2d> outline;
            for (double t = 0; t <= 1.0; t += 1.0 / 512) {
                for (const cv::Point2d p : {cv::Point2d(t * w, 0), cv::Point2d(t * w, h),
                                            cv::Point2d(0, t * h), cv::Point2d(w, t * h)}) {
                    outline.push_back(to_output(c, fit, side, p));
                }
            }
            double x0 = 1e9, y0 = 1e9, x1 = -1e9, y1 = -1e9;
            for (const cv::Point2d& p : outline) {
                x0 = std::min(x0, p.x), x1 = std::max(x1, p.x);
                y0 = std::min(y0, p.y), y1 = std::max(y1, p.y);
            }
            extent[side == Side::left ? 0 : 1] = cv::Rect2d(x0, y0, x1 - x0, y1 - y0);
        }
        const cv::Rect2d both = extent[0] | extent[1];
        const double right = rig.output.width - 1, bottom = rig.output.height - 1;
        EXPECT_GE(both.x, -1e-3);
        EXPECT_GE(both.y, -1e-3);
        EXPECT_LE(both.x + both.width, right + 1e-3);
        EXPECT_LE(both.y + both.height, bottom + 1e-3);
        // Tight in one direction: the outlines span the output there.
        const bool spans_x = std::max(extent[0].width, extent[1].width) > right - 0.05;
        const bool spans_y = both.height > bottom - 0.05;
        EXPECT_TRUE(spans_x || spans_y) << both;
        expect_square_pixels(fit.to_output1() * cv::Matx33d(c.K1));
        expect_square_pixels(fit.to_output2() * cv::Matx33d(c.K2) * cv::Matx33d(c.R));
        expect_rows_shared(c, fit);
        expect_rows_shared(c, fit_view(c, View::nominal, rig.image, rig.output));
    }
}

// Zooms a fitted view out about the output centre.
ViewFit zoomed_out(ViewFit fit, double factor) {
    const double cx = 0.5 * (fit.output_size.width - 1), cy = 0.5 * (fit.output_size.height - 1);
    const cv::Matx33d z(factor, 0, cx * (1 - factor), 0, factor, cy * (1 - factor), 0, 0, 1);
    fit.to_map1 = z * fit.to_map1;
    fit.to_map2 = z * fit.to_map2;
    return fit;
}

TEST(Views, ValidLeavesNoFillInEitherOutputAndIsAsLargeAsThatAllows) {
    for (const Rig& rig : rigs()) {
        SCOPED_TRACE(rig.name);
        const StereoCalibration& c = rig.calibration;
        const ViewFit fit = fit_view(c, View::valid, rig.image, rig.output);
        for (const Side side : {Side::left, Side::right}) {
            for (const Interpolation interpolation :
                 {Interpolation::nearest, Interpolation::linear, Interpolation::lanczos}) {
                const SamplingPlan plan = plan_side(c, fit, side, interpolation);
                EXPECT_EQ(cv::countNonZero(plan.mask), rig.output.area())
                    << interpolation_name(interpolation);
            }
        }
        // Half a percent more of the scene and one of the outputs shows fill.
        const ViewFit wider = zoomed_out(fit, 0.995);
        const int with_source =
            cv::countNonZero(plan_side(c, wider, Side::left, Interpolation::nearest).mask) +
            cv::countNonZero(plan_side(c, wider, Side::right, Interpolation::nearest).mask);
        EXPECT_LT(with_source, 2 * rig.output.area());
        expect_rows_shared(c, fit);
        expect_square_pixels(fit.to_output1() * cv::Matx33d(c.K1));
    }
}

TEST(Views, FullViewOnTheRawPairAddsAlmostNothingToTheCalibrationsError) {
    const StereoCalibration c = raw_calibration();
    const ViewFit fit = fit_view(c, View::full, kRawSize, kRawSize);
    const cv::Mat left = cv::imread(raw("left01.jpg"), cv::IMREAD_GRAYSCALE);
    const cv::Mat right = cv::imread(raw("right01.jpg"), cv::IMREAD_GRAYSCALE);
    const auto raw_left = testing::chessboard_corners(left);
    const auto raw_right = testing::chessboard_corners(right);
    ASSERT_EQ(raw_left.size(), 54u);
    ASSERT_EQ(raw_right.size(), 54u);

    // The raw corners mapped analytically: undistorted, then through the
    // rectifying transforms.
    const auto analytic = [&](const std::vector<cv::Point2f>& corners, const cv::Mat& K,
                              const Distortion& d, const cv::Matx33d& to_output) {
        std::vector<cv::Point2f> ideal, mapped;
        cv::undistortPoints(
            corners, ideal, K, d.coefficients, cv::noArray(), K,
            cv::TermCriteria(cv::TermCriteria::COUNT | cv::TermCriteria::EPS, 100, 1e-12));
        for (const cv::Point2f& p : ideal) {
            const cv::Vec3d q = to_output * cv::Vec3d(p.x, p.y, 1.0);
            mapped.emplace_back(static_cast<float>(q[0] / q[2]), static_cast<float>(q[1] / q[2]));
        }
        return mapped;
    };
    const testing::Disparity expected =
        testing::vertical_disparity(analytic(raw_left, c.K1, c.D1, fit.to_output1()),
                                    analytic(raw_right, c.K2, c.D2, fit.to_output2()));

    const cv::Mat left_out =
        resample(left, plan_side(c, fit, Side::left, Interpolation::linear), 100);
    const cv::Mat right_out =
        resample(right, plan_side(c, fit, Side::right, Interpolation::linear), 255);
    const auto found_left = testing::chessboard_corners(left_out);
    const auto found_right = testing::chessboard_corners(right_out);
    ASSERT_EQ(found_left.size(), 54u);
    ASSERT_EQ(found_right.size(), 54u);
    const testing::Disparity measured = testing::vertical_disparity(found_left, found_right);
    std::printf(
        "raw pair, full view, linear, scale 1: mean vertical disparity %.4f px in the "
        "outputs, %.4f px for the raw corners mapped analytically (max %.3f, %.3f)\n",
        measured.mean, expected.mean, measured.max, expected.max);
    EXPECT_LE(measured.mean, expected.mean + 0.03);
}

}  // namespace
}  // namespace rectify
