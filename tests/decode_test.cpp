// Our PNG, JPEG and PNM decoding against cv::imread: for every variant, in
// both modes, the same type, size and bytes.

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include <opencv2/imgcodecs.hpp>

#include "image_corpus.hpp"
#include "imagefiles/image_file.hpp"
#include "test_support.hpp"

namespace rectify {
namespace {

using testing::JpegVariant;
using testing::PngVariant;

struct Sample {
    std::string name;
    std::string bytes;
};

// A family of variants, built when its test runs.
struct Family {
    std::string name;
    std::function<std::vector<Sample>()> make;
};

std::string encoded(const cv::Mat& image, const std::string& extension,
                    const std::vector<int>& parameters = {}) {
    std::vector<unsigned char> bytes;
    cv::imencode(extension, image, bytes, parameters);
    return {bytes.begin(), bytes.end()};
}

cv::Mat noise(int rows, int cols, int type) {
    cv::Mat image(rows, cols, type);
    cv::RNG(7).fill(image, cv::RNG::UNIFORM, 0, CV_MAT_DEPTH(type) == CV_16U ? 65536 : 256);
    return image;
}

bool same_bytes(const cv::Mat& a, const cv::Mat& b) {
    if (a.type() != b.type() || a.size() != b.size()) {
        return false;
    }
    const size_t row_bytes = a.cols * a.elemSize();
    for (int y = 0; y < a.rows; ++y) {
        if (std::memcmp(a.ptr(y), b.ptr(y), row_bytes) != 0) {
            return false;
        }
    }
    return true;
}

std::vector<Sample> png_samples(std::initializer_list<int> colour_types) {
    std::vector<Sample> samples;
    for (const int colour_type : colour_types) {
        for (const int depth : {1, 2, 4, 8, 16}) {
            const bool allowed = colour_type == PNG_COLOR_TYPE_GRAY ||
                                 (colour_type == PNG_COLOR_TYPE_PALETTE ? depth <= 8 : depth >= 8);
            if (!allowed) {
                continue;
            }
            const bool can_be_transparent = colour_type == PNG_COLOR_TYPE_GRAY ||
                                            colour_type == PNG_COLOR_TYPE_RGB ||
                                            colour_type == PNG_COLOR_TYPE_PALETTE;
            for (const bool interlaced : {false, true}) {
                for (const bool transparency : {false, true}) {
                    if (transparency && !can_be_transparent) {
                        continue;
                    }
                    const std::string name = "type" + std::to_string(colour_type) + "_depth" +
                                             std::to_string(depth) + (interlaced ? "_adam7" : "") +
                                             (transparency ? "_trns" : "");
                    samples.push_back(
                        {name, testing::png_bytes({colour_type, depth, interlaced, transparency})});
                }
            }
        }
    }
    return samples;
}

const Family FAMILIES[] = {
    {"png_grey",
     [] {
         return png_samples({PNG_COLOR_TYPE_GRAY, PNG_COLOR_TYPE_GRAY_ALPHA});
     }},
    {"png_palette", [] { return png_samples({PNG_COLOR_TYPE_PALETTE}); }},
    {"png_colour",
     [] {
         return png_samples({PNG_COLOR_TYPE_RGB, PNG_COLOR_TYPE_RGB_ALPHA});
     }},
    {"png_imwrite",
     [] {
         std::vector<Sample> samples;
         for (const int type : {CV_8UC1, CV_8UC3, CV_8UC4, CV_16UC1, CV_16UC3, CV_16UC4}) {
             samples.push_back(
                 {"type" + std::to_string(type), encoded(noise(40, 50, type), ".png")});
         }
         samples.push_back({"bilevel", encoded(noise(40, 50, CV_8UC1) > 128, ".png",
                                               {cv::IMWRITE_PNG_BILEVEL, 1})});
         return samples;
     }},
    {"jpeg_sampling",
     [] {
         std::vector<Sample> samples;
         const int factors[][2] = {{1, 1}, {2, 1}, {2, 2}};
         for (const auto& f : factors) {
             for (const bool progressive : {false, true}) {
                 for (const int restart : {0, 1}) {
                     JpegVariant v;
                     v.h_luma = f[0];
                     v.v_luma = f[1];
                     v.progressive = progressive;
                     v.restart_rows = restart;
                     std::string name = cv::format("h%dv%d", f[0], f[1]);
                     name += progressive ? "_progressive" : "";
                     name += restart ? "_restarts" : "";
                     samples.push_back({name, testing::jpeg_bytes(v)});
                 }
             }
         }
         samples.push_back({"imwrite", encoded(noise(33, 47, CV_8UC3), ".jpg")});
         return samples;
     }},
    {"jpeg_colour_spaces",
     [] {
         std::vector<Sample> samples;
         for (const bool progressive : {false, true}) {
             const std::string suffix = progressive ? "_progressive" : "";
             JpegVariant grey{JCS_GRAYSCALE, JCS_GRAYSCALE, 1, 1, progressive};
             JpegVariant cmyk{JCS_CMYK, JCS_CMYK, 1, 1, progressive};
             JpegVariant ycck{JCS_CMYK, JCS_YCCK, 2, 2, progressive};
             JpegVariant rgb{JCS_RGB, JCS_RGB, 1, 1, progressive};
             samples.push_back({"grey" + suffix, testing::jpeg_bytes(grey)});
             samples.push_back({"cmyk" + suffix, testing::jpeg_bytes(cmyk)});
             samples.push_back({"ycck" + suffix, testing::jpeg_bytes(ycck)});
             samples.push_back({"rgb" + suffix, testing::jpeg_bytes(rgb)});
         }
         samples.push_back({"imwrite_grey", encoded(noise(33, 47, CV_8UC1), ".jpg")});
         return samples;
     }},
    {"pnm",
     [] {
         std::vector<Sample> samples;
         for (const int binary : {0, 1}) {
             const std::string kind = binary ? "raw_" : "plain_";
             for (const int type : {CV_8UC1, CV_8UC3, CV_16UC1, CV_16UC3}) {
                 const std::string extension = CV_MAT_CN(type) == 1 ? ".pgm" : ".ppm";
                 samples.push_back(
                     {kind + std::to_string(type),
                      encoded(noise(21, 17, type), extension, {cv::IMWRITE_PXM_BINARY, binary})});
             }
             samples.push_back({kind + "bitmap", encoded(noise(21, 19, CV_8UC1), ".pbm",
                                                         {cv::IMWRITE_PXM_BINARY, binary})});
         }
         // Maximum values other than 255 and 65535, comments, odd spacing.
         samples.push_back({"plain_maxval_100", "P2\n# a comment\n3 2\n100\n0 50 100\n7 200 99\n"});
         samples.push_back({"plain_colour_maxval_1000", "P3 2 1 1000\n0 500 1000 65535 2 999\n"});
         samples.push_back({"raw_maxval_100", std::string("P5\n2 2\n#c\n100\n") +
                                                  std::string("\x00\x32\x64\xC8", 4)});
         samples.push_back(
             {"raw_colour_maxval_300",
              std::string("P6\n1 2 300\n") +
                  std::string("\x00\x01\x01\x2C\x00\x96\x01\x00\x00\xFF\x00\x00", 12)});
         samples.push_back({"plain_bitmap_packed", "P1\n# packed digits\n5 2\n10110\n0 1 0 0 1\n"});
         return samples;
     }},
};

void PrintTo(const Family& family, std::ostream* out) {
    *out << family.name;
}

class DecodeMatchesImread : public ::testing::TestWithParam<Family> {};

TEST_P(DecodeMatchesImread, InBothModes) {
    const testing::ScratchDir folder;
    const std::vector<Sample> samples = GetParam().make();
    ASSERT_FALSE(samples.empty());
    for (const Sample& sample : samples) {
        ASSERT_FALSE(sample.bytes.empty()) << sample.name;
        const std::string path = testing::write_file(folder.file(sample.name), sample.bytes);
        for (const ImageMode mode : {ImageMode::color, ImageMode::any}) {
            SCOPED_TRACE(sample.name + (mode == ImageMode::color ? " color" : " any"));
            const cv::Mat expected = cv::imread(path, imread_flags(mode));
            ASSERT_FALSE(expected.empty());
            const cv::Mat ours = read_image(path, mode);
            EXPECT_EQ(ours.type(), expected.type());
            EXPECT_EQ(ours.size(), expected.size());
            EXPECT_TRUE(same_bytes(ours, expected));
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Corpus, DecodeMatchesImread, ::testing::ValuesIn(FAMILIES),
                         [](const ::testing::TestParamInfo<Family>& info) {
                             return info.param.name;
                         });

}  // namespace
}  // namespace rectify
