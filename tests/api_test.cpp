// The C++ API in-process, in every build (the sanitizer build included, where
// the Python tests do not run): results shared by threads, files equal to
// memory, and failures as the one exception type with its kind.

#include <gtest/gtest.h>

#include <stereo_rectify/stereo_rectify.hpp>

#include <thread>
#include <vector>

#include <opencv2/imgproc.hpp>

#include "tests/test_support.hpp"

namespace sr = stereo_rectify;

namespace {

const std::string kRaw = RAW_DIR;

bool same(const cv::Mat& a, const cv::Mat& b) {
    return a.size() == b.size() && a.type() == b.type() && cv::norm(a, b, cv::NORM_INF) == 0;
}

template <typename Call>
sr::Error::Kind kind_of(Call call) {
    try {
        call();
    } catch (const sr::Error& error) {
        EXPECT_FALSE(std::string(error.what()).empty());
        return error.kind();
    }
    ADD_FAILURE() << "no stereo_rectify::Error";
    return sr::Error::Kind::invalid;
}

}  // namespace

TEST(Api, ThreadsFilesAndMemoryAgree) {
    const sr::Calibration calibration = sr::Calibration::from_files({kRaw + "/stereo.yml"});
    sr::Options options;
    options.interpolation = sr::Interpolation::cubic;
    options.scale = 0.5;
    const sr::Rectifier rectifier(calibration, options);
    const cv::Mat left = sr::read_image(kRaw + "/left01.jpg");
    const cv::Mat right = sr::read_image(kRaw + "/right01.jpg");
    // A view into a larger colour image, and a 16-bit one.
    cv::Mat wide(left.rows, left.cols + 8, CV_8UC3, cv::Scalar(1, 2, 3));
    cv::Mat colour;
    cv::cvtColor(left, colour, cv::COLOR_GRAY2BGR);
    colour.copyTo(wide(cv::Rect(4, 0, left.cols, left.rows)));
    cv::Mat deep;
    right.convertTo(deep, CV_16U, 257);
    const std::vector<std::pair<cv::Mat, cv::Mat>> inputs = {
        {left, right}, {wide(cv::Rect(4, 0, left.cols, left.rows)), deep}};
    std::vector<std::pair<cv::Mat, cv::Mat>> expected;
    for (const auto& [l, r] : inputs) {
        expected.push_back(rectifier.rectify(l, r, 1));
    }
    std::vector<std::thread> threads;
    std::vector<int> mismatches(4, 0);
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (int round = 0; round < 3; ++round) {
                for (std::size_t i = 0; i < inputs.size(); ++i) {
                    const auto [l, r] = rectifier.rectify(inputs[i].first, inputs[i].second);
                    mismatches[t] += !same(l, expected[i].first) || !same(r, expected[i].second);
                }
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(mismatches, std::vector<int>(4, 0));
    EXPECT_EQ(expected[1].second.type(), CV_16UC1);

    rectify::testing::ScratchDir scratch;
    sr::FileOptions files;
    files.masks = true;
    const sr::FilesReport report = sr::rectify_files(
        rectifier, {{kRaw + "/left01.jpg", kRaw + "/right01.jpg"}}, scratch.path().string(), files);
    ASSERT_EQ(report.rectified, 1u);
    EXPECT_TRUE(same(sr::read_image(report.pairs[0].left_output), expected[0].first));
    EXPECT_TRUE(same(sr::read_image(report.pairs[0].right_mask), rectifier.masks().second));
}

TEST(Api, FailuresAreOneTypeOfTwoKinds) {
    using Kind = sr::Error::Kind;
    const sr::Calibration calibration = sr::Calibration::from_files({kRaw + "/stereo.yml"});
    const sr::Rectifier rectifier(calibration);
    EXPECT_EQ(kind_of([] { sr::Calibration::from_files({"/nonexistent/stereo.yml"}); }), Kind::file);
    EXPECT_EQ(kind_of([] { sr::read_image("/nonexistent/left.png"); }), Kind::file);
    EXPECT_EQ(kind_of([] { sr::view_named("wide"); }), Kind::invalid);
    EXPECT_EQ(kind_of([] {
                  const cv::Mat K = cv::Mat::eye(3, 3, CV_64F);
                  sr::Calibration(K, {}, K, {}, cv::Mat::eye(3, 3, CV_64F), cv::Mat::zeros(3, 1, CV_64F));
              }),
              Kind::invalid);
    EXPECT_EQ(kind_of([&] { rectifier.rectify(cv::Mat(480, 640, CV_32F), cv::Mat(480, 640, CV_8U)); }),
              Kind::invalid);
    EXPECT_EQ(kind_of([&] { rectifier.rectify(cv::Mat(48, 64, CV_8U), cv::Mat(48, 64, CV_8U)); }),
              Kind::invalid);
    rectify::testing::ScratchDir scratch;
    const sr::FilesReport report = sr::rectify_files(
        rectifier, {{kRaw + "/left01.jpg", scratch.file("missing.jpg")}}, scratch.file("out"));
    ASSERT_EQ(report.failed, 1u);
    EXPECT_EQ(report.pairs[0].failure, "pair 1 (" + kRaw + "/left01.jpg, " + scratch.file("missing.jpg") +
                                           "): cannot read image " + scratch.file("missing.jpg") + ".");
}
