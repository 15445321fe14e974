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
        cv::undistortPoints(corners, ideal, K, d.coefficients, cv::noArray(), K,
                            cv::TermCriteria(cv::TermCriteria::COUNT | cv::TermCriteria::EPS, 100,
                                             1e-12));
        cv::perspectiveTransform(ideal, mapped, cv::Mat(to_output));
        return mapped;
    };
    const testing::Disparity expected =
        testing::vertical_disparity(analytic(raw_left, c.K1, c.D1, fit.to_output1()),
                                    analytic(raw_right, c.K2, c.D2, fit.to_output2()));

    const cv::Mat left_out = resample(left, plan_side(c, fit, Side::left, Interpolation::linear), 100);
    const cv::Mat right_out =
        resample(right, plan_side(c, fit, Side::right, Interpolation::linear), 255);
    const auto found_left = testing::chessboard_corners(left_out);
    const auto found_right = testing::chessboard_corners(right_out);
    ASSERT_EQ(found_left.size(), 54u);
    ASSERT_EQ(found_right.size(), 54u);
    const testing::Disparity measured = testing::vertical_disparity(found_left, found_right);
    std::printf("raw pair, full view, linear, scale 1: mean vertical disparity %.4f px in the "
                "outputs, %.4f px for the raw corners mapped analytically (max %.3f, %.3f)\n",
                measured.mean, expected.mean, measured.max, expected.max);
    EXPECT_LE(measured.mean, expected.mean + 0.03);
}

}  // namespace
}  // namespace rectify
