// The formats decoded through the codec plugin, which PNG, JPEG and PNM files
// never load, and our encoders.

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include <opencv2/imgcodecs.hpp>

#include "imagefiles/atomic_file.hpp"
#include "imagefiles/image_file.hpp"
#include "imagefiles/image_writer.hpp"
#include "imagefiles/plugin_loader.hpp"
#include "imagefiles/png_encoder.hpp"
#include "test_support.hpp"

namespace rectify {
namespace {

cv::Mat noise(int rows, int cols, int type) {
    cv::Mat image(rows, cols, type);
    cv::RNG(5).fill(image, cv::RNG::UNIFORM, 0, CV_MAT_DEPTH(type) == CV_16U ? 65536 : 256);
    return image;
}

bool identical(const cv::Mat& a, const cv::Mat& b) {
    return a.size() == b.size() && a.type() == b.type() && !a.empty() &&
           cv::norm(a, b, cv::NORM_INF) == 0;
}

TEST(CodecPlugin, DecodesOtherFormatsAndIsLoadedOnlyForThem) {
    const testing::ScratchDir folder;
    std::vector<std::string> ours;
    for (const std::string name : {"a.png", "a.jpg", "a.ppm"}) {
        // Named .bmp: the content decides.
        const std::string path = folder.file(name + ".bmp");
        ASSERT_TRUE(cv::imwrite(folder.file(name), noise(20, 30, CV_8UC3)));
        std::rename(folder.file(name).c_str(), path.c_str());
        ASSERT_FALSE(read_image(path, ImageMode::color, CODEC_PLUGIN).empty()) << name;
        ASSERT_FALSE(read_image(path, ImageMode::any, CODEC_PLUGIN).empty()) << name;
    }
    EXPECT_FALSE(codec_plugin_loaded(CODEC_PLUGIN));

    const std::vector<std::pair<std::string, cv::Mat>> others = {
        {"a.bmp", noise(21, 31, CV_8UC3)},
        {"grey.bmp", noise(21, 31, CV_8UC1)},
        {"a.tiff", noise(21, 31, CV_8UC3)},
        {"wide.tiff", noise(21, 31, CV_16UC3)},
    };
    for (const auto& [name, image] : others) {
        const std::string path = folder.file(name);
        ASSERT_TRUE(cv::imwrite(path, image));
        for (const ImageMode mode : {ImageMode::color, ImageMode::any}) {
            EXPECT_TRUE(identical(read_image(path, mode, CODEC_PLUGIN),
                                  cv::imread(path, imread_flags(mode))))
                << name;
        }
    }
    EXPECT_TRUE(codec_plugin_loaded(CODEC_PLUGIN));

    // A cut TIFF fails without a word from the codecs.
    const std::string tiff = testing::read_file(folder.file("a.tiff"));
    const std::string cut =
        testing::write_file(folder.file("cut.tiff"), tiff.substr(0, tiff.size() / 2));
    const std::string errors_path = folder.file("errors");
    std::fflush(stderr);
    const int saved = dup(2);
    ASSERT_TRUE(std::freopen(errors_path.c_str(), "w", stderr));
    const bool cut_decoded = !read_image(cut, ImageMode::color, CODEC_PLUGIN).empty();
    std::fflush(stderr);
    dup2(saved, 2);
    close(saved);
    EXPECT_FALSE(cut_decoded);
    EXPECT_EQ(testing::read_file(errors_path), "");
    EXPECT_TRUE(read_image(cut, ImageMode::color, folder.file("no-plugin.so")).empty());
}

TEST(PngEncoder, GivesBackThePixels) {
    for (const int type : {CV_8UC1, CV_8UC3, CV_8UC4, CV_16UC1, CV_16UC3, CV_16UC4}) {
        const cv::Mat image = noise(17, 23, type);
        const std::vector<unsigned char> bytes = encode_png(image);
        EXPECT_TRUE(identical(cv::imdecode(bytes, cv::IMREAD_UNCHANGED), image)) << type;
    }
    EXPECT_TRUE(encode_png(cv::Mat(4, 4, CV_32FC1, 0.0f)).empty());
    size_t taken = 0;
    EXPECT_FALSE(write_png(noise(17, 23, CV_8UC3), [&](const unsigned char*, size_t size) {
        taken += size;
        return taken < 40;
    }));
}

TEST(ImageWriters, GiveBackThePixelsInEveryFormat) {
    const testing::ScratchDir folder;
    for (const int type : {CV_8UC1, CV_8UC3, CV_16UC1, CV_16UC3}) {
        const cv::Mat image = noise(67, 45, type);  // more rows than one TIFF strip
        for (const OutputFormat format : {OutputFormat::ppm, OutputFormat::tiff, OutputFormat::jpeg}) {
            const std::string path =
                folder.file("out" + output_extension(format, image.channels()));
            AtomicFile file(path);
            const bool written = write_image(file, image, format, 90) && file.commit();
            ASSERT_EQ(written, format_holds(format, image.depth())) << path << " " << type;
            if (!written) {
                continue;
            }
            const cv::Mat back = cv::imread(path, cv::IMREAD_UNCHANGED);
            if (format == OutputFormat::jpeg) {
                // The image library's own encoder at the same quality.
                std::vector<unsigned char> theirs;
                cv::imencode(".jpg", image, theirs, {cv::IMWRITE_JPEG_QUALITY, 90});
                EXPECT_TRUE(identical(back, cv::imdecode(theirs, cv::IMREAD_UNCHANGED))) << type;
            } else {
                EXPECT_TRUE(identical(back, image)) << path << " " << type;
            }
        }
    }
}

TEST(AtomicFile, BothKindsOfTemporaryAppearWholeOrNotAtAll) {
    const testing::ScratchDir folder;
    const mode_t saved_umask = umask(027);
    for (const auto kind : {AtomicFile::Temporary::unnamed_where_possible,
                            AtomicFile::Temporary::named}) {
        const std::string path = folder.file("out.txt");
        {
            AtomicFile abandoned(path, kind);
            ASSERT_TRUE(abandoned.write("half", 4) && abandoned.finish());
            // A named temporary stands in the folder meanwhile; an unnamed one does not.
            EXPECT_EQ(testing::folder_entries(folder.path()).size(),
                      kind == AtomicFile::Temporary::named ? 1u : 0u);
        }
        EXPECT_TRUE(testing::folder_entries(folder.path()).empty());
        AtomicFile file(path, kind);
        ASSERT_TRUE(file.write("whole", 5) && file.commit());
        EXPECT_EQ(testing::read_file(path), "whole");
        EXPECT_EQ(testing::folder_entries(folder.path()), std::vector<std::string>{"out.txt"});
        struct stat info {};
        ASSERT_EQ(stat(path.c_str(), &info), 0);
        EXPECT_EQ(info.st_mode & 0777, 0640u);
        std::filesystem::remove(path);
    }
    umask(saved_umask);
}

}  // namespace
}  // namespace rectify
