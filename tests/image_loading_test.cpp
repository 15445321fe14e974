// How the executables load their images: the left image first, formats of
// our own decoded in-process, every other format through the codec plugin,
// and never the image library's codec module.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>

#include <opencv2/imgcodecs.hpp>

#include "sample_run.hpp"
#include "test_support.hpp"

namespace rectify {
namespace {

using testing::kFailure;
using testing::ProcessResult;
using testing::read_file;
using testing::SampleRun;
using testing::write_file;

const std::string kMissingLeft =
    "Opening parameters files...\nCannot open file nosuch.png.\n\n" + kFailure;

TEST_F(SampleRun, AMissingLeftImageIsReportedWhateverTheRightImageIs) {
    // A FIFO with no writer: the right image must not even be opened, and a
    // FIFO given as the left image reads as empty instead of waiting.
    ASSERT_EQ(mkfifo(dir.file("fifo.png").c_str(), 0600), 0);
    const auto give_up_after_ten_seconds = [] { alarm(10); };
    ProcessResult result = run("nosuch.png", "fifo.png", "1.0", give_up_after_ten_seconds);
    EXPECT_EQ(result.output, kMissingLeft);
    result = run("fifo.png", "right.png", "1.0", give_up_after_ten_seconds);
    EXPECT_EQ(result.output, "Opening parameters files...\nCannot open file fifo.png.\n\n" + kFailure);

#if !defined(__SANITIZE_ADDRESS__)
    // A right image far larger than the memory there is.
    const std::string giant = "P6\n30000 30000\n255\n" + std::string(1 << 20, '\x80');
    write_file(dir.file("giant.ppm"), giant);
    result = run("nosuch.png", "giant.ppm", "1.0", [] {
        const rlimit limit{size_t{1} << 30, size_t{1} << 30};
        setrlimit(RLIMIT_AS, &limit);
    });
    EXPECT_EQ(result.output, kMissingLeft);
#endif
}

TEST_F(SampleRun, OtherFormatsGoThroughThePluginWhichPngNeverLoads) {
    ASSERT_EQ(run().exit_status, 1);
    const std::string left_png = read_file(dir.file("left_rectified.ppm"));
    for (const char* side : {"left", "right"}) {
        const std::string name = dir.file(side);
        ASSERT_TRUE(cv::imwrite(name + ".bmp", cv::imread(name + ".png")));
    }
    // The loader says which libraries it opens.
    const auto show_libraries = [] { setenv("LD_DEBUG", "files", 1); };
    const ProcessResult bmp = run("left.bmp", "right.bmp", "1.0", show_libraries);
    EXPECT_EQ(bmp.exit_status, 1);
    EXPECT_EQ(read_file(dir.file("left_rectified.ppm")), left_png);
    EXPECT_NE(bmp.errors.find("stereo-rectify-codecs"), std::string::npos);
    const ProcessResult png = run("left.png", "right.png", "1.0", show_libraries);
    EXPECT_EQ(png.exit_status, 1);
    EXPECT_EQ(png.errors.find("stereo-rectify-codecs"), std::string::npos);
}

// The shared libraries an executable needs, as ldd lists them.
std::string needed_libraries(const char* executable) {
    std::string listing;
    std::FILE* ldd = popen(("ldd '" + std::string(executable) + "'").c_str(), "r");
    if (ldd == nullptr) {
        return listing;
    }
    char buffer[4096];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, ldd)) > 0) {
        listing.append(buffer, n);
    }
    pclose(ldd);
    return listing;
}

TEST(Executables, NeedNeitherTheCodecModuleNorWhatItPullsIn) {
    for (const char* executable :
         {STEREO_RECTIFY_EXE, STEREO_RECTIFY_INSPECT_EXE, STEREO_RECTIFY_BATCH_EXE}) {
        const std::string libraries = needed_libraries(executable);
        ASSERT_NE(libraries.find("libopencv_core"), std::string::npos) << libraries;
        EXPECT_EQ(libraries.find("libopencv_imgcodecs"), std::string::npos) << executable;
        EXPECT_EQ(libraries.find("libgdal"), std::string::npos) << executable;
    }
}

}  // namespace
}  // namespace rectify
