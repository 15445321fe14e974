#include "imaging/warp.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>
#include <ostream>
#include <string>
#include <vector>

namespace rectify {
namespace {

using WarpFunction = std::function<void(const cv::Mat&, const cv::Mat&, int, int, cv::Mat&, int)>;

struct Variant {
    std::string name;
    WarpFunction warp;
};

void PrintTo(const Variant& variant, std::ostream* out) {
    *out << variant.name;
}

WarpFunction with_options(WarpOptions options) {
    return [options](const cv::Mat& H, const cv::Mat& source, int width, int height,
                     cv::Mat& destination, int fill) {
        warp_image(H, source, width, height, destination, fill, options);
    };
}

// Every way of running the warp; all must write the same bytes.
std::vector<Variant> all_variants() {
    return {
        {"PerPixel", warp_image_per_pixel},
        {"Default",
         [](const cv::Mat& H, const cv::Mat& source, int width, int height, cv::Mat& destination,
            int fill) { warp_image(H, source, width, height, destination, fill); }},
        {"Scalar", with_options({.vector_instructions = false, .worker_threads = false})},
        {"Vector", with_options({.vector_instructions = true, .worker_threads = false})},
        {"ScalarThreads", with_options({.vector_instructions = false, .worker_threads = true})},
        {"VectorThreads", with_options({.vector_instructions = true, .worker_threads = true})},
    };
}

cv::Mat map3x3(std::initializer_list<float> rows) {
    return cv::Mat(std::vector<float>(rows), true).reshape(1, 3);
}

cv::Mat random_image(int width, int height, std::uint64_t seed) {
    cv::Mat image(height, width, CV_8UC3);
    cv::RNG rng(seed);
    rng.fill(image, cv::RNG::UNIFORM, 0, 256);
    return image;
}

constexpr std::uint8_t sentinel = 7;

cv::Mat blank(int width, int height) {
    return cv::Mat(height, width, CV_8UC3, cv::Scalar::all(sentinel));
}

// Destination pixel (x, y) holds source pixel (sx, sy), or the fill where sx or sy is -1.
void expect_pixel(const cv::Mat& destination, int x, int y, const cv::Mat& source, int sx, int sy,
                  int fill) {
    const auto fill_byte = static_cast<std::uint8_t>(fill & 0xff);
    const cv::Vec3b expected = (sx < 0 || sy < 0) ? cv::Vec3b(fill_byte, fill_byte, fill_byte)
                                                  : source.at<cv::Vec3b>(sy, sx);
    ASSERT_EQ(destination.at<cv::Vec3b>(y, x), expected) << "at (" << x << ", " << y << ")";
}

// Expects destination pixel (x, y) to come from source pixel (column(x), row(y)).
void expect_image(const cv::Mat& destination, const cv::Mat& source, int fill,
                  const std::function<int(int)>& column, const std::function<int(int)>& row) {
    for (int y = 0; y < destination.rows; ++y) {
        for (int x = 0; x < destination.cols; ++x) {
            expect_pixel(destination, x, y, source, column(x), row(y), fill);
        }
    }
}

bool same_bytes(const cv::Mat& a, const cv::Mat& b) {
    return a.size() == b.size() && cv::norm(a, b, cv::NORM_INF) == 0;
}

class WarpSampling : public testing::TestWithParam<Variant> {
  protected:
    cv::Mat warp(const cv::Mat& H, const cv::Mat& source, int fill = LEFT_FILL) const {
        cv::Mat destination = blank(source.cols, source.rows);
        GetParam().warp(H, source, source.cols, source.rows, destination, fill);
        return destination;
    }
};

TEST_P(WarpSampling, IdentityAndItsMultiplesKeepAllButTheLastColumnAndRow) {
    const cv::Mat source = random_image(21, 9, 1);
    const auto inside = [](int size) { return [size](int i) { return i < size - 1 ? i : -1; }; };
    for (float k : {1.0f, 2.0f, -1.0f}) {
        SCOPED_TRACE(k);
        const cv::Mat destination = warp(map3x3({k, 0, 0, 0, k, 0, 0, 0, k}), source);
        expect_image(destination, source, LEFT_FILL, inside(21), inside(9));
    }
}

TEST_P(WarpSampling, HalfPixelTranslationRoundsUpward) {
    const cv::Mat source = random_image(19, 6, 2);
    const cv::Mat destination = warp(map3x3({1, 0, 0.5f, 0, 1, 0, 0, 0, 1}), source);
    expect_image(
        destination, source, LEFT_FILL, [](int x) { return x + 1 < 18 ? x + 1 : -1; },
        [](int y) { return y < 5 ? y : -1; });
}

// Every output pixel takes the same projected column (row): the constant
// coordinate exercises the rounding and the bounds test in every position of
// a row, in blocks and in the leftover pixels alike.
TEST_P(WarpSampling, ConstantCoordinateRoundsAndBoundsExactly) {
    constexpr int size = 19;
    const float inf = std::numeric_limits<float>::infinity();
    const auto below = [inf](float f) { return std::nextafter(f, -inf); };
    const struct {
        float coordinate;
        int index;  // -1: the fill
    } cases[] = {
        {-0.5f, 0},
        {below(-0.5f), -1},
        {-1.5f, -1},
        {0.0f, 0},
        {0.49999997f, 0},
        {0.5f, 1},
        {2.5f, 3},
        {size - 2.0f, size - 2},
        {below(size - 1.5f), size - 2},
        {size - 1.5f, -1},
        {size - 1.0f, -1},
        {std::numeric_limits<float>::quiet_NaN(), -1},
        {inf, -1},
        {-inf, -1},
        {3e9f, -1},
        {-3e9f, -1},
        {1e30f, -1},
    };
    const cv::Mat source = random_image(size, size, 3);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.coordinate);
        const int index = c.index;
        const auto constant = [index](int) { return index; };
        const auto same = [](int i) { return i < size - 1 ? i : -1; };
        expect_image(warp(map3x3({0, 0, c.coordinate, 0, 1, 0, 0, 0, 1}), source), source,
                     LEFT_FILL, constant, same);
        expect_image(warp(map3x3({1, 0, 0, 0, 0, c.coordinate, 0, 0, 1}), source), source,
                     LEFT_FILL, same, constant);
    }
}

TEST_P(WarpSampling, OnePixelWideOrHighSourceGivesOnlyFill) {
    for (const cv::Size size : {cv::Size(1, 12), cv::Size(12, 1), cv::Size(1, 1)}) {
        const cv::Mat source = random_image(size.width, size.height, 4);
        const cv::Mat destination = warp(map3x3({1, 0, 0, 0, 1, 0, 0, 0, 1}), source, RIGHT_FILL);
        EXPECT_TRUE(same_bytes(destination, cv::Mat(source.size(), CV_8UC3, cv::Scalar::all(255))));
    }
}

TEST_P(WarpSampling, FillWritesItsLowByteToAllChannels) {
    const cv::Mat source = random_image(10, 10, 5);
    const cv::Mat outside = map3x3({1, 0, 100, 0, 1, 0, 0, 0, 1});
    for (const auto& [fill, byte] : {std::pair{100, 100}, {255, 255}, {356, 100}, {-1, 255}}) {
        EXPECT_TRUE(same_bytes(warp(outside, source, fill),
                               cv::Mat(source.size(), CV_8UC3, cv::Scalar::all(byte))))
            << "fill " << fill;
    }
}

// Source and destination are views into larger images, with different row
// steps: only the view's pixels are read, and nothing of the destination
// outside its first width x height pixels changes.
TEST_P(WarpSampling, PaddedRowsAreAddressedWithTheirOwnStep) {
    constexpr int width = 23, height = 7;
    cv::Mat source_frame(height + 4, width + 9, CV_8UC3, cv::Scalar::all(1));
    cv::Mat source = source_frame(cv::Rect(5, 2, width, height));
    random_image(width, height, 6).copyTo(source);
    cv::Mat destination_frame = blank(width + 13, height + 3);
    cv::Mat destination = destination_frame(cv::Rect(2, 1, width + 4, height + 1));

    GetParam().warp(map3x3({1, 0, 0, 0, 1, 0, 0, 0, 1}), source, width, height, destination,
                    LEFT_FILL);

    const cv::Rect written(2, 1, width, height);
    expect_image(
        destination_frame(written), source, LEFT_FILL, [](int x) { return x < width - 1 ? x : -1; },
        [](int y) { return y < height - 1 ? y : -1; });
    cv::Mat untouched = destination_frame.clone();
    untouched(written).setTo(cv::Scalar::all(sentinel));
    EXPECT_TRUE(same_bytes(untouched, blank(width + 13, height + 3)));
}

TEST_P(WarpSampling, EmptySizesWriteNothing) {
    const cv::Mat source = random_image(8, 8, 7);
    cv::Mat destination = blank(8, 8);
    const cv::Mat identity = map3x3({1, 0, 0, 0, 1, 0, 0, 0, 1});
    for (const auto& [width, height] : {std::pair{0, 8}, {8, 0}, {-3, 8}, {8, -1}}) {
        GetParam().warp(identity, source, width, height, destination, LEFT_FILL);
    }
    EXPECT_TRUE(same_bytes(destination, blank(8, 8)));
}

// Random warp maps of several families, compared byte for byte with the
// per-pixel reference.
enum class MapFamily {
    near_identity,
    rectification_like,
    horizon_inside,
    behind_camera,
    halves,
    wild
};

cv::Mat random_map(MapFamily family, int width, int height, cv::RNG& rng) {
    const auto g = [&rng](double sigma) { return static_cast<float>(rng.gaussian(sigma)); };
    const float w = static_cast<float>(width), h = static_cast<float>(height);
    switch (family) {
        case MapFamily::near_identity:
            return map3x3({1 + g(1e-3), g(1e-3), g(1.0), g(1e-3), 1 + g(1e-3), g(1.0), g(1e-6),
                           g(1e-6), 1 + g(1e-4)});
        case MapFamily::rectification_like: {
            const double angle = rng.gaussian(0.05), scale = 1 + rng.gaussian(0.05);
            const float c = static_cast<float>(scale * std::cos(angle));
            const float s = static_cast<float>(scale * std::sin(angle));
            return map3x3(
                {c, -s, g(0.05f * w), s, c, g(0.05f * h), g(2e-4 / w), g(2e-4 / h), 1 + g(0.01)});
        }
        case MapFamily::horizon_inside: {
            // The third component vanishes on a line through the image: huge,
            // infinite and NaN coordinates, and a sign change across the line.
            const float a = g(1.0), b = g(1.0);
            const float x0 = static_cast<float>(rng.uniform(0, width));
            const float y0 = static_cast<float>(rng.uniform(0, height));
            return map3x3(
                {1 + g(0.1), g(0.1), g(w), g(0.1), 1 + g(0.1), g(h), a, b, -(a * x0 + b * y0)});
        }
        case MapFamily::behind_camera:
            return map3x3({-1 + g(0.01), g(0.01), g(1.0), g(0.01), -1 + g(0.01), g(1.0), g(1e-4),
                           g(1e-4), -1 + g(0.01)});
        case MapFamily::halves: {
            // Quarter steps: many projected coordinates are exact halves.
            const auto q = [&rng] { return static_cast<float>(rng.uniform(-8, 9)) / 4; };
            return map3x3({q(), q(), q() * 4, q(), q(), q() * 4, 0, 0, 1});
        }
        case MapFamily::wild: {
            const float values[] = {0.0f,
                                    1.0f,
                                    -1.0f,
                                    1e-30f,
                                    -1e30f,
                                    3e38f,
                                    0.5f,
                                    std::numeric_limits<float>::infinity(),
                                    std::numeric_limits<float>::quiet_NaN()};
            cv::Mat m(3, 3, CV_32F);
            for (int i = 0; i < 9; ++i) {
                m.at<float>(i / 3, i % 3) =
                    rng.uniform(0, 3) == 0 ? values[rng.uniform(0, 9)] : 1 + g(0.5);
            }
            return m;
        }
    }
    return {};
}

class WarpAgainstReference : public testing::TestWithParam<cv::Size> {};

TEST_P(WarpAgainstReference, RandomMapsGiveTheReferenceBytes) {
    const int width = GetParam().width, height = GetParam().height;
    const std::vector<Variant> variants = all_variants();
    const MapFamily families[] = {MapFamily::near_identity,  MapFamily::rectification_like,
                                  MapFamily::horizon_inside, MapFamily::behind_camera,
                                  MapFamily::halves,         MapFamily::wild};
    cv::RNG rng(width * 1000 + height);
    for (const MapFamily family : families) {
        for (int sample = 0; sample < 2; ++sample) {
            const cv::Mat H = random_map(family, width, height, rng);
            SCOPED_TRACE(testing::Message()
                         << "family " << static_cast<int>(family) << ", H " << H);
            // Padded source rows, and a destination view with a wider frame.
            cv::Mat source_frame = random_image(width + 3, height + 1, rng.next());
            const cv::Mat source = source_frame(cv::Rect(1, 1, width, height));
            cv::Mat expected = blank(width, height);
            warp_image_per_pixel(H, source, width, height, expected, RIGHT_FILL);
            for (const Variant& variant : variants) {
                cv::Mat frame = blank(width + 5, height);
                cv::Mat destination = frame(cv::Rect(0, 0, width, height));
                variant.warp(H, source, width, height, destination, RIGHT_FILL);
                EXPECT_TRUE(same_bytes(destination, expected)) << variant.name;
                EXPECT_TRUE(same_bytes(frame.colRange(width, width + 5), blank(5, height)))
                    << variant.name;
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(AllPaths, WarpSampling, testing::ValuesIn(all_variants()),
                         [](const auto& info) { return info.param.name; });

INSTANTIATE_TEST_SUITE_P(Sizes, WarpAgainstReference,
                         testing::Values(cv::Size(1, 1), cv::Size(2, 2), cv::Size(17, 5),
                                         cv::Size(8, 3), cv::Size(10, 4), cv::Size(641, 479)),
                         [](const auto& info) {
                             return std::to_string(info.param.width) + "x" +
                                    std::to_string(info.param.height);
                         });

}  // namespace
}  // namespace rectify
