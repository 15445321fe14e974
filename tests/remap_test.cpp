// Resampling through a map: each interpolation against cv::remap, the fill
// and the mask, on 8- and 16-bit images of one and three channels.

#include <gtest/gtest.h>

#include <cmath>

#include <opencv2/imgproc.hpp>

#include "imaging/bilinear.hpp"
#include "imaging/remap.hpp"

namespace rectify {
namespace {

// A rotated, enlarged view of a 61 x 47 source that reaches past every edge,
// plus a row of points on and just beyond the bounds.
void make_map(cv::Size source, cv::Size size, cv::Mat& map_x, cv::Mat& map_y) {
    map_x.create(size, CV_32F);
    map_y.create(size, CV_32F);
    const double angle = 0.2, scale = 0.8;
    for (int y = 0; y < size.height; ++y) {
        for (int x = 0; x < size.width; ++x) {
            const double dx = x - size.width / 2.0, dy = y - size.height / 2.0;
            map_x.at<float>(y, x) = static_cast<float>(
                source.width / 2.0 + scale * (std::cos(angle) * dx - std::sin(angle) * dy));
            map_y.at<float>(y, x) = static_cast<float>(
                source.height / 2.0 + scale * (std::sin(angle) * dx + std::cos(angle) * dy));
        }
    }
    const float w = static_cast<float>(source.width - 1), h = static_cast<float>(source.height - 1);
    const float edges[][2] = {{0, 0},        {w, h},         {-1e-4f, 5},   {w + 1e-3f, 5},
                              {5, -1e-4f},   {5, h + 1e-3f}, {w - 0.5f, 3}, {w - 0.51f, 3},
                              {3, h - 0.5f}, {-0.5f, 3},     {-0.51f, 3},   {NAN, 3}};
    for (int i = 0; i < static_cast<int>(std::size(edges)); ++i) {
        map_x.at<float>(0, i) = edges[i][0];
        map_y.at<float>(0, i) = edges[i][1];
    }
}

TEST(Remap, EveryInterpolationMatchesOpenCvWhereThereIsASourceAndFillsElsewhere) {
    const cv::Size source_size(61, 47), size(90, 70);
    cv::Mat map_x, map_y;
    make_map(source_size, size, map_x, map_y);
    cv::RNG rng(7);
    for (const int type : {CV_8UC1, CV_8UC3, CV_16UC1, CV_16UC3}) {
        cv::Mat source(source_size, type);
        rng.fill(source, cv::RNG::UNIFORM, 0, CV_MAT_DEPTH(type) == CV_8U ? 256 : 65536);
        const double fill = CV_MAT_DEPTH(type) == CV_8U ? 77 : 77 * 257;
        for (const Interpolation interpolation : {Interpolation::nearest, Interpolation::linear,
                                                  Interpolation::cubic, Interpolation::lanczos}) {
            SCOPED_TRACE(std::string(interpolation_name(interpolation)) + " type " +
                         std::to_string(type));
            const SamplingPlan plan = plan_sampling(map_x, map_y, source_size, size, interpolation);
            const cv::Mat out = resample(source, plan, 77);
            ASSERT_EQ(out.type(), type);
            cv::Mat expected;
            const int flag = interpolation == Interpolation::linear  ? cv::INTER_LINEAR
                             : interpolation == Interpolation::cubic ? cv::INTER_CUBIC
                                                                     : cv::INTER_LANCZOS4;
            if (interpolation != Interpolation::nearest) {
                cv::remap(source, expected, map_x, map_y, flag, cv::BORDER_REPLICATE);
            }
            int sourced = 0;
            for (int y = 0; y < size.height; ++y) {
                for (int x = 0; x < size.width; ++x) {
                    const float u = map_x.at<float>(y, x), v = map_y.at<float>(y, x);
                    bool inside = false;
                    cv::Mat want;
                    if (interpolation == Interpolation::nearest) {
                        // The six-argument tool's rounding; its last column and row are outside.
                        const double su = std::floor(double(u) + 0.5),
                                     sv = std::floor(double(v) + 0.5);
                        inside = su >= 0 && su <= source_size.width - 2 && sv >= 0 &&
                                 sv <= source_size.height - 2;
                        if (inside)
                            want = source(cv::Rect(int(su), int(sv), 1, 1));
                    } else {
                        inside = u >= 0 && u <= source_size.width - 1 && v >= 0 &&
                                 v <= source_size.height - 1;
                        want = expected(cv::Rect(x, y, 1, 1));
                    }
                    const cv::Mat got = out(cv::Rect(x, y, 1, 1));
                    ASSERT_EQ(plan.mask.at<std::uint8_t>(y, x), inside ? 255 : 0) << x << "," << y;
                    if (inside) {
                        ++sourced;
                        ASSERT_LE(cv::norm(got, want, cv::NORM_INF), 1.0) << x << "," << y;
                    } else {
                        ASSERT_EQ(
                            cv::norm(got, cv::Mat(got.size(), got.type(), cv::Scalar::all(fill)),
                                     cv::NORM_INF),
                            0.0)
                            << x << "," << y;
                    }
                }
            }
            EXPECT_GT(sourced, size.area() / 3);
            EXPECT_LT(sourced, size.area() - size.width);
        }
    }
}

TEST(Remap, GreyBilinearGivesTheImageLibrarysBytesOnBothPaths) {
    // Wide enough for several eight-pixel steps and their leftovers.
    const cv::Size source_size(61, 47), size(203, 70);
    cv::Mat map_x, map_y;
    make_map(source_size, size, map_x, map_y);
    cv::Mat source(source_size, CV_8UC1);
    cv::RNG(9).fill(source, cv::RNG::UNIFORM, 0, 256);
    const SamplingPlan plan =
        plan_sampling(map_x, map_y, source_size, size, Interpolation::linear);
    cv::Mat expected;
    cv::remap(source, expected, plan.table, plan.fractions, cv::INTER_LINEAR, cv::BORDER_REPLICATE);
    expected.setTo(0, plan.outside);
    for (const bool vector_instructions : {true, false}) {
        cv::Mat out(size, CV_8UC1, cv::Scalar(0));
        bilinear_grey_rows(source, plan.table, plan.fractions, plan.outside, out, 0, size.height,
                           vector_instructions);
        out.setTo(0, plan.outside);  // left for the caller to fill
        EXPECT_EQ(cv::norm(out, expected, cv::NORM_INF), 0.0) << vector_instructions;
    }
}

}  // namespace
}  // namespace rectify
