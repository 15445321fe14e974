// Rectification quality on the bundled real pair, and the identity rig.

#include <gtest/gtest.h>

#include <opencv2/calib3d.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "app/run.hpp"
#include "chessboard.hpp"
#include "imaging/warp.hpp"
#include "test_support.hpp"

namespace rectify {
namespace {

using testing::chessboard_corners;
using testing::Disparity;
using testing::vertical_disparity;
using testing::ScratchDir;
using testing::write_file;

std::string sample(const char* name) {
    return std::string(SAMPLE_DIR) + "/" + name;
}

TEST(RectificationQuality, SampleCornersLieOnTheSameRows) {
    const std::vector<cv::Point2f> raw_left = chessboard_corners(cv::imread(sample("left.png")));
    const std::vector<cv::Point2f> raw_right = chessboard_corners(cv::imread(sample("right.png")));
    ASSERT_EQ(raw_left.size(), 54u);
    ASSERT_EQ(raw_right.size(), 54u);
    const Disparity before = vertical_disparity(raw_left, raw_right);
    EXPECT_GT(before.mean, 10.0) << "the raw pair is far from rectified";

    ScratchDir dir;
    std::filesystem::copy_file(sample("left.png"), dir.file("left.png"));
    std::filesystem::copy_file(sample("right.png"), dir.file("right.png"));
    RunArguments arguments{sample("T.txt"),      sample("K_left.txt"),  sample("K_right.txt"),
                           dir.file("left.png"), dir.file("right.png"), 1.0};
    CollectingReporter reporter;
    ASSERT_TRUE(rectify_images(arguments, reporter)) << reporter.text();

    const auto left = chessboard_corners(cv::imread(dir.file("left_rectified.ppm")));
    const auto right = chessboard_corners(cv::imread(dir.file("right_rectified.ppm")));
    ASSERT_EQ(left.size(), 54u);
    ASSERT_EQ(right.size(), 54u);
    const Disparity after = vertical_disparity(left, right);
    RecordProperty("mean_vertical_disparity", std::to_string(after.mean));
    RecordProperty("max_vertical_disparity", std::to_string(after.max));
    std::printf(
        "vertical disparity: before %.2f px mean, %.2f px max; after %.3f px mean, %.3f "
        "px max\n",
        before.mean, before.max, after.mean, after.max);
    EXPECT_LT(after.mean, 0.6);
    EXPECT_LT(after.max, 1.5);
}

TEST(RectificationQuality, AlreadyRectifiedRigKeepsTheImages) {
    // Identity rotation, equal intrinsics without skew, principal point off the
    // whole pixel, baseline exactly along x: the warp maps shift by at most a
    // quarter pixel, so every pixel maps onto itself and only the last column
    // and row take the fill.
    ScratchDir dir;
    const std::string K = write_file(dir.file("K.txt"), "500 0 319.75\n0 500 239.75\n0 0 1\n");
    const std::string T = write_file(dir.file("T.txt"), "1 0 0 -3\n0 1 0 0\n0 0 1 0\n0 0 0 1\n");
    std::filesystem::copy_file(sample("left.png"), dir.file("left.png"));
    std::filesystem::copy_file(sample("right.png"), dir.file("right.png"));
    RunArguments arguments{T, K, K, dir.file("left.png"), dir.file("right.png"), 1.0};
    CollectingReporter reporter;
    ASSERT_TRUE(rectify_images(arguments, reporter)) << reporter.text();

    const struct {
        const char* input;
        const char* output;
        int fill;
    } sides[] = {{"left.png", "left_rectified.ppm", LEFT_FILL},
                 {"right.png", "right_rectified.ppm", RIGHT_FILL}};
    for (const auto& side : sides) {
        const cv::Mat input = cv::imread(dir.file(side.input));
        const cv::Mat output = cv::imread(dir.file(side.output));
        ASSERT_EQ(output.size(), input.size());
        const cv::Rect inner(0, 0, input.cols - 1, input.rows - 1);
        EXPECT_EQ(cv::norm(output(inner), input(inner), cv::NORM_INF), 0.0) << side.output;
        const cv::Scalar fill(side.fill, side.fill, side.fill);
        cv::Mat expected_column(input.rows, 1, CV_8UC3, fill);
        cv::Mat expected_row(1, input.cols, CV_8UC3, fill);
        EXPECT_EQ(cv::norm(output.col(input.cols - 1), expected_column, cv::NORM_INF), 0.0);
        EXPECT_EQ(cv::norm(output.row(input.rows - 1), expected_row, cv::NORM_INF), 0.0);
    }
}

}  // namespace
}  // namespace rectify
