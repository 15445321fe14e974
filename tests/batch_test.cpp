// stereo-rectify-batch as a user meets it: run as a process in a scratch
// folder on the bundled pairs.

#include <gtest/gtest.h>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "test_support.hpp"

namespace rectify {
namespace {

using testing::folder_entries;
using testing::ProcessResult;
using testing::read_file;
using testing::run_executable;
using testing::ScratchDir;
using testing::write_file;

class BatchRun : public ::testing::Test {
  protected:
    void SetUp() override {
        for (const char* name : {"T.txt", "K_left.txt", "K_right.txt", "left.png", "right.png"}) {
            std::filesystem::copy_file(std::string(SAMPLE_DIR) + "/" + name, dir.file(name));
        }
        for (const char* name : {"stereo.yml", "left01.jpg", "right01.jpg"}) {
            std::filesystem::copy_file(std::string(RAW_DIR) + "/" + name, dir.file(name));
        }
    }
    ProcessResult batch(std::vector<std::string> arguments) {
        arguments.insert(arguments.begin(), "stereo-rectify-batch");
        return run_executable(STEREO_RECTIFY_BATCH_EXE, arguments, dir.path().string());
    }
    std::vector<std::string> text_calibration() const {
        return {"--transformation", "T.txt", "--left-intrinsics", "K_left.txt",
                "--right-intrinsics", "K_right.txt"};
    }

    ScratchDir dir;
};

std::vector<std::string> operator+(std::vector<std::string> a, const std::vector<std::string>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

TEST_F(BatchRun, NominalNearestPpmIsByteForByteTheSixArgumentTool) {
    // A second rig: the sample's cameras swapped and turned a little.
    write_file(dir.file("T2.txt"),
               "0.9998 0.0174 -0.0087 -3.3\n-0.0175 0.9998 -0.0052 0.1\n"
               "0.0086 0.0054 0.9999 0.2\n0 0 0 1\n");
    // Colour images whose channels differ.
    for (const char* side : {"left", "right"}) {
        cv::Mat image = cv::imread(dir.file(std::string(side) + ".png"));
        image.forEach<cv::Vec3b>([](cv::Vec3b& pixel, const int*) { pixel[0] /= 2; });
        ASSERT_TRUE(cv::imwrite(dir.file(std::string(side) + "_colour.png"), image));
    }
    struct Rig {
        const char *transformation, *left_intrinsics, *right_intrinsics;
    };
    for (const Rig rig : {Rig{"T.txt", "K_left.txt", "K_right.txt"},
                          Rig{"T2.txt", "K_right.txt", "K_left.txt"}}) {
        for (const char* scale : {"1", "0.5", "1.7"}) {
            SCOPED_TRACE(std::string(rig.transformation) + " at scale " + scale);
            const ProcessResult tool = run_executable(
                STEREO_RECTIFY_EXE,
                {"stereo-rectify", rig.transformation, rig.left_intrinsics, rig.right_intrinsics,
                 "left_colour.png", "right_colour.png", scale},
                dir.path().string());
            ASSERT_EQ(tool.exit_status, 1) << tool.output;
            const ProcessResult batch_run = batch(
                {"--transformation", rig.transformation, "--left-intrinsics", rig.left_intrinsics,
                 "--right-intrinsics", rig.right_intrinsics, "--view", "nominal",
                 "--interpolation", "nearest", "--format", "ppm", "--scale", scale,
                 "--output-dir", "out", "left_colour.png", "right_colour.png"});
            ASSERT_EQ(batch_run.exit_status, 0) << batch_run.errors;
            EXPECT_TRUE(read_file(dir.file("out/left/left_colour.ppm")) ==
                        read_file(dir.file("left_colour_rectified.ppm")));
            EXPECT_TRUE(read_file(dir.file("out/right/right_colour.ppm")) ==
                        read_file(dir.file("right_colour_rectified.ppm")));
        }
    }
}

TEST_F(BatchRun, GreyColourAndSixteenBitStayWhatTheyAre) {
    const cv::Mat colour = cv::imread(dir.file("left.png"));
    cv::Mat grey, deep;
    cv::cvtColor(colour, grey, cv::COLOR_BGR2GRAY);
    colour.convertTo(deep, CV_16UC3, 257.0);
    ASSERT_TRUE(cv::imwrite(dir.file("grey_l.png"), grey) && cv::imwrite(dir.file("grey_r.png"), grey));
    ASSERT_TRUE(cv::imwrite(dir.file("deep_l.png"), deep) && cv::imwrite(dir.file("deep_r.png"), deep));
    struct Case {
        const char* format;
        const char *left, *right, *output;
        int type;
    };
    for (const Case c : {Case{"png", "grey_l.png", "grey_r.png", "out/left/grey_l.png", CV_8UC1},
                         Case{"ppm", "grey_l.png", "grey_r.png", "out/left/grey_l.pgm", CV_8UC1},
                         Case{"png", "deep_l.png", "deep_r.png", "out/left/deep_l.png", CV_16UC3},
                         Case{"tiff", "deep_l.png", "deep_r.png", "out/left/deep_l.tiff", CV_16UC3},
                         Case{"jpg", "left.png", "right.png", "out/left/left.jpg", CV_8UC1}}) {
        const ProcessResult result =
            batch(text_calibration() + std::vector<std::string>{"--format", c.format, "--output-dir",
                                                                "out", c.left, c.right});
        ASSERT_EQ(result.exit_status, 0) << c.output << ": " << result.errors;
        const cv::Mat output = cv::imread(dir.file(c.output), cv::IMREAD_UNCHANGED);
        EXPECT_EQ(output.type(), c.type) << c.output;
        EXPECT_EQ(output.size(), colour.size()) << c.output;
    }
    // A 16-bit recording cannot go into JPEG: refused before any work.
    const ProcessResult refused = batch(text_calibration() +
                                        std::vector<std::string>{"--format", "jpg", "--output-dir",
                                                                 "deep", "deep_l.png", "deep_r.png"});
    EXPECT_EQ(refused.exit_status, 2);
    EXPECT_FALSE(std::filesystem::exists(dir.file("deep")));
}

TEST_F(BatchRun, AFailedPairIsReportedAndTheOthersAreDone) {
    std::filesystem::create_directory(dir.file("l"));
    std::filesystem::create_directory(dir.file("r"));
    for (const char* name : {"a.png", "b.png", "c.png"}) {
        std::filesystem::copy_file(dir.file("left.png"), dir.file(std::string("l/") + name));
        std::filesystem::copy_file(dir.file("right.png"), dir.file(std::string("r/") + name));
    }
    write_file(dir.file("r/b.png"), "not an image");
    const ProcessResult result =
        batch({"--calibration", "stereo.yml", "--left-dir", "l", "--right-dir", "r", "--mask",
               "--json", "--output-dir", "out"});
    EXPECT_EQ(result.exit_status, 1);
    EXPECT_EQ(result.errors,
              "stereo-rectify-batch: pair 2 (l/b.png, r/b.png): cannot read image r/b.png.\n");
    EXPECT_EQ(folder_entries(dir.file("out/left")), (std::vector<std::string>{"a.png", "c.png"}));
    EXPECT_EQ(folder_entries(dir.file("out/right_mask")),
              (std::vector<std::string>{"a.png", "c.png"}));
    EXPECT_NE(result.output.find("\"rectified\": 2, \"skipped\": 0, \"failed\": 1"), std::string::npos)
        << result.output;
    EXPECT_NE(result.output.find("\"error\": \"cannot read image r/b.png.\""), std::string::npos);
}

TEST_F(BatchRun, UsageCalibrationAndCollisionErrorsDoNothing) {
    write_file(dir.file("bad.yml"), "%YAML:1.0\nK1: [1, 2, 3]\n");
    std::filesystem::create_directory(dir.file("x"));
    std::filesystem::copy_file(dir.file("left.png"), dir.file("x/left.png"));
    const std::vector<std::vector<std::string>> refused = {
        {"--output-dir", "out", "left.png", "right.png"},                        // no calibration
        {"--calibration", "stereo.yml", "--output-dir", "out", "left.png"},       // odd paths
        {"--calibration", "stereo.yml", "--view", "wide", "--output-dir", "out", "left.png",
         "right.png"},
        {"--calibration", "bad.yml", "--output-dir", "out", "left.png", "right.png"},
        // Two pairs writing out/left/left.png.
        {"--calibration", "stereo.yml", "--output-dir", "out", "left.png", "right.png",
         "x/left.png", "right01.jpg"},
        // An output over an input.
        {"--calibration", "stereo.yml", "--output-dir", ".", "left/a.png", "right.png"},
    };
    std::filesystem::create_directory(dir.file("left"));
    std::filesystem::copy_file(dir.file("left.png"), dir.file("left/a.png"));
    for (const auto& arguments : refused) {
        const ProcessResult result = batch(arguments);
        EXPECT_EQ(result.exit_status, 2) << arguments[1] << " " << result.errors;
        EXPECT_EQ(std::count(result.errors.begin(), result.errors.end(), '\n'), 1) << result.errors;
        EXPECT_FALSE(std::filesystem::exists(dir.file("out")));
    }
    EXPECT_TRUE(std::filesystem::exists(dir.file("left/a.png")));
}

}  // namespace
}  // namespace rectify
