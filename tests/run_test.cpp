// The command line as a user meets it: run as a process in a scratch folder.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "imaging/huge_page_allocator.hpp"
#include "app/run.hpp"
#include "sample_run.hpp"
#include "test_support.hpp"

namespace rectify {
namespace {

using testing::folder_entries;
using testing::kFailure;
using testing::kProgress;
using testing::kUsageTail;
using testing::SampleRun;
using testing::ProcessResult;
using testing::read_file;
using testing::run_process;
using testing::ScratchDir;
using testing::write_file;

TEST_F(SampleRun, TooFewArgumentsPrintUsageAndTouchNothing) {
    const ProcessResult none = run_process({"./my-rectify"}, dir.path().string());
    EXPECT_EQ(none.output, "Usage: ./my-rectify" + kUsageTail);
    EXPECT_EQ(none.exit_status, 0);
    const ProcessResult five = run_process(
        {"stereo-rectify", "T.txt", "K_left.txt", "K_right.txt", "left.png", "right.png"},
        dir.path().string());
    EXPECT_EQ(five.output, "Usage: stereo-rectify" + kUsageTail);
    EXPECT_EQ(five.exit_status, 0);
    EXPECT_EQ(folder_entries(dir.path()), inputs_only());
}

TEST_F(SampleRun, GoodRunWritesBothOutputsAndExitsWithOne) {
    const ProcessResult result = run();
    EXPECT_EQ(result.output, kProgress);
    EXPECT_EQ(result.exit_status, 1);
    EXPECT_EQ(size_of("left_rectified.ppm"), cv::Size(640, 480));
    EXPECT_EQ(size_of("right_rectified.ppm"), cv::Size(640, 480));
    // Binary PPM as the image library writes it.
    EXPECT_EQ(read_file(dir.file("left_rectified.ppm")).substr(0, 15), "P6\n640 480\n255\n");
    EXPECT_EQ(read_file(dir.file("left_rectified.ppm")).size(), 15u + 640 * 480 * 3);

    // Extra arguments are ignored; an existing output is overwritten.
    const ProcessResult seven = run_process({"stereo-rectify", "T.txt", "K_left.txt", "K_right.txt",
                                             "left.png", "right.png", "0.5", "extra"},
                                            dir.path().string());
    EXPECT_EQ(seven.exit_status, 1);
    EXPECT_EQ(size_of("left_rectified.ppm"), cv::Size(320, 240));
    EXPECT_EQ(size_of("right_rectified.ppm"), cv::Size(320, 240));
    auto entries = inputs_only();
    entries.insert(entries.begin() + 4, "left_rectified.ppm");
    entries.push_back("right_rectified.ppm");
    EXPECT_EQ(folder_entries(dir.path()), entries) << "no temporary file is left behind";
}

TEST_F(SampleRun, OutputsTakeTheLeftSourceSizeTimesTheScaleTruncated) {
    // A right image of another size still gives left-sized outputs; 1.7 x 481
    // is 817.7, which truncates to 817.
    cv::Mat left = cv::imread(dir.file("left.png"));
    cv::Mat taller;
    cv::copyMakeBorder(left, taller, 0, 1, 0, 0, cv::BORDER_REPLICATE);
    cv::imwrite(dir.file("tall.png"), taller);
    cv::Mat right = cv::imread(dir.file("right.png"));
    cv::Mat smaller;
    cv::resize(right, smaller, cv::Size(500, 400));
    cv::imwrite(dir.file("small.png"), smaller);
    const ProcessResult result = run("tall.png", "small.png", "1.7");
    EXPECT_EQ(result.exit_status, 1) << result.output;
    EXPECT_EQ(size_of("tall_rectified.ppm"), cv::Size(1088, 817));
    EXPECT_EQ(size_of("small_rectified.ppm"), cv::Size(1088, 817));
}

TEST_F(SampleRun, MissingInputsAreReportedInOrderAndNothingIsWritten) {
    ProcessResult result = run("absent.png", "also-absent.png");
    EXPECT_EQ(result.output,
              "Opening parameters files...\nCannot open file absent.png.\n\n" + kFailure);
    EXPECT_EQ(result.exit_status, 0);

    // The left image alone missing: its own line, with the blank line after it.
    result = run("absent.png", "right.png");
    EXPECT_EQ(result.output,
              "Opening parameters files...\nCannot open file absent.png.\n\n" + kFailure);
    EXPECT_EQ(result.exit_status, 0);

    result = run("left.png", "absent.png");
    EXPECT_EQ(result.output,
              "Opening parameters files...\nCannot open file absent.png.\n" + kFailure);

    std::filesystem::remove(dir.file("K_right.txt"));
    result = run();
    EXPECT_EQ(result.output,
              "Opening parameters files...\nCannot open file K_right.txt.\nCannot open file "
              "K_right.txt.\n" +
                  kFailure);
    EXPECT_EQ(result.exit_status, 0);
    EXPECT_EQ(folder_entries(dir.path()),
              (std::vector<std::string>{"K_left.txt", "T.txt", "left.png", "right.png"}));
}

TEST_F(SampleRun, CalibrationFileWithTooFewNumbersFailsWithOneLine) {
    // A fault in each file, mended one after the other: the files are read
    // left intrinsics, right intrinsics, transformation, and the first fault
    // ends the run. The transformation holds a whole intrinsic matrix.
    const struct {
        const char* file;
        const char* content;
        const char* message;
    } faults[] = {{"K_left.txt", "536 0 342\n0 536 235\n0 0\n", "expected 9 numbers"},
                  {"K_right.txt", "542 0 328\n0 541 246\n", "expected 9 numbers"},
                  {"T.txt", "1 0 0\n0 1 0\n0 0 1\n", "expected 16 numbers"}};
    std::vector<std::string> good;
    for (const auto& fault : faults) {
        good.push_back(read_file(dir.file(fault.file)));
        write_file(dir.file(fault.file), fault.content);
    }
    for (size_t i = 0; i < std::size(faults); ++i) {
        const ProcessResult result = run();
        EXPECT_EQ(result.output, std::string("Opening parameters files...\nCannot read file ") +
                                     faults[i].file + ": " + faults[i].message + ".\n" + kFailure);
        EXPECT_EQ(result.exit_status, 0);
        write_file(dir.file(faults[i].file), good[i]);
    }
    EXPECT_EQ(folder_entries(dir.path()), inputs_only());
}

TEST_F(SampleRun, UnusableCalibrationNamesTheFileAndWritesNothing) {
    const std::string good_T = read_file(dir.file("T.txt"));
    struct Case {
        const char* file;
        const char* content;
    };
    const Case cases[] = {
        {"K_right.txt", "542 0 328\n0 0 0\n0 0 1\n"},        // singular
        {"T.txt", "1 0 0 0\n0 1 0 0\n0 0 1 0\n0 0 0 1\n"},   // no baseline
        {"T.txt", "1 0 0 -3\n0 1 0 0\n0 0 0 0\n0 0 0 1\n"},  // singular rotation
    };
    for (const Case& c : cases) {
        const std::string saved = read_file(dir.file(c.file));
        write_file(dir.file(c.file), c.content);
        const ProcessResult result = run();
        const std::string prefix =
            std::string("Opening parameters files...\nCannot rectify with the calibration in ") +
            c.file + ": ";
        EXPECT_EQ(result.output.substr(0, prefix.size()), prefix) << result.output;
        EXPECT_EQ(std::count(result.output.begin(), result.output.end(), '\n'), 3) << result.output;
        EXPECT_EQ(result.exit_status, 0);
        EXPECT_EQ(folder_entries(dir.path()), inputs_only());
        write_file(dir.file(c.file), saved);
    }
}

TEST_F(SampleRun, AbsurdScaleFactorsAreRefusedBeforeAnythingIsWritten) {
    for (const char* scale : {"0", "-1", "abc", "nan", "inf", "-inf", "0.001", "1e300", "60"}) {
        const ProcessResult result = run("left.png", "right.png", scale);
        EXPECT_EQ(result.output.rfind("Opening parameters files...\nInvalid scale factor ", 0), 0u)
            << scale << ": " << result.output;
        EXPECT_NE(result.output.find("pixels"), std::string::npos) << result.output;
        EXPECT_EQ(result.output.substr(result.output.size() - kFailure.size()), kFailure);
        EXPECT_EQ(result.exit_status, 0) << scale;
        EXPECT_EQ(folder_entries(dir.path()), inputs_only()) << scale;
    }
    // atof reads the leading number: "0.25x" is 0.25.
    const ProcessResult result = run("left.png", "right.png", " 0.25x");
    EXPECT_EQ(result.exit_status, 1) << result.output;
    EXPECT_EQ(size_of("left_rectified.ppm"), cv::Size(160, 120));
}

TEST(ResizeToOutput, IsBilinearWithPixelCentresAligned) {
    // 40 x 30 down to 13 x 11: neither ratio is a whole number, so area
    // averaging would differ from sampling between the four nearest pixels.
    cv::Mat warped(30, 40, CV_8UC3);
    cv::RNG(3).fill(warped, cv::RNG::UNIFORM, 0, 256);
    const cv::Mat output = resize_to_output(warped, cv::Size(13, 11));
    ASSERT_EQ(output.size(), cv::Size(13, 11));
    // Output pixel x samples the source at (x + 0.5) * in / out - 0.5, clamped
    // to the first and last pixel.
    auto source_at = [](int x, int in, int out, int& i0, int& i1, double& t) {
        const double s = std::clamp((x + 0.5) * in / out - 0.5, 0.0, in - 1.0);
        i0 = static_cast<int>(s);
        i1 = std::min(i0 + 1, in - 1);
        t = s - i0;
    };
    double worst = 0;
    cv::Point worst_at;
    for (int y = 0; y < output.rows; ++y) {
        int y0, y1;
        double ty;
        source_at(y, warped.rows, output.rows, y0, y1, ty);
        for (int x = 0; x < output.cols; ++x) {
            int x0, x1;
            double tx;
            source_at(x, warped.cols, output.cols, x0, x1, tx);
            for (int c = 0; c < 3; ++c) {
                auto v = [&](int yy, int xx) { return warped.at<cv::Vec3b>(yy, xx)[c]; };
                const double expected = (1 - ty) * ((1 - tx) * v(y0, x0) + tx * v(y0, x1)) +
                                        ty * ((1 - tx) * v(y1, x0) + tx * v(y1, x1));
                const double difference = std::abs(output.at<cv::Vec3b>(y, x)[c] - expected);
                if (difference > worst) {
                    worst = difference;
                    worst_at = {x, y};
                }
            }
        }
    }
    // The image library interpolates in fixed point: within one level.
    EXPECT_LE(worst, 1.0) << "at output pixel " << worst_at;
}

TEST(OutputNames, ReplaceOnlyTheExtensionOfTheFileName) {
    EXPECT_EQ(output_file_name("data/left.png"), "data/left_rectified.ppm");
    EXPECT_EQ(output_file_name("left"), "left_rectified.ppm");
    EXPECT_EQ(output_file_name("./left"), "./left_rectified.ppm");
    EXPECT_EQ(output_file_name("../images/left"), "../images/left_rectified.ppm");
    EXPECT_EQ(output_file_name("scans.old/left"), "scans.old/left_rectified.ppm");
    EXPECT_EQ(output_file_name("a/.hidden"), "a/.hidden_rectified.ppm");
    EXPECT_EQ(output_file_name(".hidden.png"), ".hidden_rectified.ppm");
    EXPECT_EQ(output_file_name("a/b.c.png"), "a/b.c_rectified.ppm");
}

TEST_F(SampleRun, OutputsLandNextToInputsInFoldersWithDots) {
    std::filesystem::create_directory(dir.file("scans.old"));
    std::filesystem::copy_file(dir.file("left.png"), dir.file("scans.old/left"));
    std::filesystem::copy_file(dir.file("right.png"), dir.file("scans.old/right"));
    const ProcessResult result = run("./scans.old/left", "scans.old/right");
    EXPECT_EQ(result.exit_status, 1) << result.output;
    EXPECT_EQ(
        folder_entries(dir.path() / "scans.old"),
        (std::vector<std::string>{"left", "left_rectified.ppm", "right", "right_rectified.ppm"}));
    const std::vector<std::string> top = {"K_left.txt", "K_right.txt", "T.txt",
                                          "left.png",   "right.png",   "scans.old"};
    EXPECT_EQ(folder_entries(dir.path()), top);
}

TEST_F(SampleRun, OutputsThatWouldDestroyInputsOrEachOtherAreRefused) {
    // left.png and left.jpg would both become left_rectified.ppm.
    cv::imwrite(dir.file("left.jpg"), cv::imread(dir.file("right.png")));
    ProcessResult result = run("left.png", "left.jpg");
    EXPECT_NE(result.output.find("both outputs would be the same file"), std::string::npos)
        << result.output;
    EXPECT_EQ(result.exit_status, 0);
    EXPECT_FALSE(std::filesystem::exists(dir.file("left_rectified.ppm")));

    // The left output would overwrite the right input.
    cv::imwrite(dir.file("left_rectified.ppm"), cv::imread(dir.file("right.png")));
    const std::string before = read_file(dir.file("left_rectified.ppm"));
    result = run("left.png", "left_rectified.ppm");
    EXPECT_NE(result.output.find("Refusing to write left_rectified.ppm: it is the input file "
                                 "left_rectified.ppm."),
              std::string::npos)
        << result.output;
    EXPECT_EQ(result.exit_status, 0);
    EXPECT_EQ(read_file(dir.file("left_rectified.ppm")), before);

    // Through another spelling of the same path, or a hard link.
    std::filesystem::create_hard_link(dir.file("K_left.txt"), dir.file("img_rectified.ppm"));
    std::filesystem::copy_file(dir.file("left.png"), dir.file("img.png"));
    result = run("./img.png", "right.png");
    EXPECT_NE(result.output.find("it is the input file K_left.txt"), std::string::npos)
        << result.output;
    EXPECT_EQ(result.exit_status, 0);
}

TEST_F(SampleRun, FailedWriteIsReportedAndKeepsEarlierFiles) {
    // A file-size limit: the write fails (a limit must not kill the run
    // halfway), the earlier outputs stay whole and no temporary is left.
    ASSERT_EQ(run().exit_status, 1);
    const std::string earlier = read_file(dir.file("right_rectified.ppm"));
    write_file(dir.file("left_rectified.ppm"), "earlier left output");
    const ProcessResult result = run("left.png", "right.png", "1.0", [] {
        const rlimit limit{100000, 100000};
        setrlimit(RLIMIT_FSIZE, &limit);
    });
    EXPECT_EQ(result.signal, 0);
    EXPECT_NE(result.output.find("Saving left image...\nCannot write file left_rectified.ppm.\n" +
                                 kFailure),
              std::string::npos)
        << result.output;
    EXPECT_EQ(result.exit_status, 0);
    EXPECT_EQ(read_file(dir.file("left_rectified.ppm")), "earlier left output");
    EXPECT_EQ(read_file(dir.file("right_rectified.ppm")), earlier);
    auto entries = inputs_only();
    entries.insert(entries.begin() + 4, "left_rectified.ppm");
    entries.push_back("right_rectified.ppm");
    EXPECT_EQ(folder_entries(dir.path()), entries);
}

// The signature and IHDR chunk of an 8-bit RGB PNG of the given size.
std::string png_header(uint32_t width, uint32_t height) {
    auto big_endian = [](uint32_t v) {
        return std::string{static_cast<char>(v >> 24), static_cast<char>(v >> 16),
                           static_cast<char>(v >> 8), static_cast<char>(v)};
    };
    const std::string chunk =
        "IHDR" + big_endian(width) + big_endian(height) + std::string("\x08\x02\x00\x00\x00", 5);
    uint32_t crc = 0xFFFFFFFFu;
    for (const char c : chunk) {
        crc ^= static_cast<unsigned char>(c);
        for (int k = 0; k < 8; ++k) {
            crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
        }
    }
    return std::string("\x89PNG\r\n\x1a\n", 8) + big_endian(13) + chunk + big_endian(~crc);
}

TEST_F(SampleRun, CorruptAndOversizedImagesEndInOneLine) {
    // A truncated PNG.
    const std::string png = read_file(dir.file("left.png"));
    write_file(dir.file("cut.png"), png.substr(0, png.size() / 3));
    ProcessResult result = run("cut.png", "right.png");
    EXPECT_EQ(result.exit_status, 0);
    EXPECT_EQ(result.output.substr(result.output.size() - kFailure.size()), kFailure);
    EXPECT_FALSE(std::filesystem::exists(dir.file("cut_rectified.ppm")));

    // A JPEG cut after a third of its data, which the image library would
    // decode with grey rows: refused, and nothing from a library on stderr.
    std::vector<unsigned char> jpeg;
    ASSERT_TRUE(cv::imencode(".jpg", cv::imread(dir.file("left.png")), jpeg));
    write_file(dir.file("cut.jpg"), std::string(jpeg.begin(), jpeg.begin() + jpeg.size() / 3));
    result = run("left.png", "cut.jpg");
    EXPECT_EQ(result.output, "Opening parameters files...\nCannot open file cut.jpg.\n" + kFailure);
    EXPECT_EQ(result.errors, "");
    EXPECT_FALSE(std::filesystem::exists(dir.file("left_rectified.ppm")));

    // A valid header that claims 100000 x 100000 pixels, and nothing after it.
    write_file(dir.file("huge.png"), png_header(100000, 100000));
    result = run("left.png", "huge.png");
    EXPECT_EQ(result.exit_status, 0);
    EXPECT_EQ(result.output,
              "Opening parameters files...\nCannot open file huge.png.\n" + kFailure);
}

#if !defined(__SANITIZE_ADDRESS__)
TEST_F(SampleRun, OutOfMemoryEndsInOneLineNotAnAbort) {
    // Under a 1 GiB address-space limit the largest allowed output (scale 59
    // gives 37760 x 28320, just under 2^30 pixels) cannot be allocated.
    const ProcessResult result = run("left.png", "right.png", "59", [] {
        const rlimit limit{size_t{1} << 30, size_t{1} << 30};
        setrlimit(RLIMIT_AS, &limit);
    });
    EXPECT_EQ(result.signal, 0);
    EXPECT_EQ(result.exit_status, 0);
    const std::string tail = result.output.substr(result.output.rfind("Saving left image...\n"));
    EXPECT_EQ(tail.rfind("Saving left image...\nCannot rectify: ", 0), 0u) << tail;
    EXPECT_EQ(std::count(tail.begin(), tail.end(), '\n'), 3) << tail;
    EXPECT_FALSE(std::filesystem::exists(dir.file("left_rectified.ppm")));
}
#endif

TEST(HugePageAllocator, LargeAndSmallBuffersBehaveLikeAnyOther) {
    HugePageAllocator allocator;
    for (const cv::Size size : {cv::Size(4000, 3000), cv::Size(7, 5), cv::Size(1, 1)}) {
        cv::Mat image;
        image.allocator = &allocator;
        image.create(size, CV_8UC3);
        ASSERT_EQ(image.step[0], static_cast<size_t>(size.width) * 3);
        image.setTo(cv::Scalar(1, 2, 3));
        image.at<cv::Vec3b>(size.height - 1, size.width - 1) = cv::Vec3b(9, 8, 7);
        cv::Mat copy = image.clone();  // the default allocator, from a buffer of ours
        EXPECT_EQ(cv::norm(copy, image, cv::NORM_INF), 0.0);
        const cv::Mat shared = image;  // shared ownership, released once
        image.release();
        EXPECT_EQ(shared.at<cv::Vec3b>(size.height - 1, size.width - 1), cv::Vec3b(9, 8, 7));
    }
}

}  // namespace
}  // namespace rectify
