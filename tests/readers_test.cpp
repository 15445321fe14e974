// Calibration readers: layouts, number syntax, and every way a file can be bad.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <random>

#include "calibration/readers.hpp"
#include "geometry/matrix.hpp"
#include "test_support.hpp"

namespace rectify {
namespace {

using testing::ScratchDir;
using testing::write_file;

cv::Mat filled(int n, float value) {
    return cv::Mat(n, n, CV_32F, cv::Scalar(value));
}

TEST(Readers, LayoutDoesNotMatterOnlyTheOrder) {
    ScratchDir dir;
    CollectingReporter reporter;
    cv::Mat a = filled(3, 0), b = filled(3, 0), c = filled(3, 0);
    ASSERT_EQ(
        read_intrinsics_file(write_file(dir.file("rows"), "1 2 3\n4 5 6\n7 8 9\n"), a, reporter),
        ReadStatus::ok);
    // A byte-order mark, as some editors write, is not part of the numbers.
    ASSERT_EQ(read_intrinsics_file(write_file(dir.file("line"), "\xEF\xBB\xBF" "1 2 3 4 5 6 7 8 9"),
                                   b, reporter),
              ReadStatus::ok);
    ASSERT_EQ(read_intrinsics_file(
                  write_file(dir.file("ragged"), "  1\t2\n\n3 4\r\n5 6 7\n8\n9 10 11 garbage"), c,
                  reporter),
              ReadStatus::ok);
    for (int i = 0; i < 9; ++i) {
        EXPECT_EQ(get(a, i / 3, i % 3), i + 1);
        EXPECT_EQ(get(b, i / 3, i % 3), i + 1);
        EXPECT_EQ(get(c, i / 3, i % 3), i + 1);
    }
    EXPECT_EQ(reporter.text(), "");
}

TEST(Readers, TransformationStoresAllSixteenNumbersAndTheSyntaxOfDecimals) {
    ScratchDir dir;
    CollectingReporter reporter;
    cv::Mat T = filled(4, 0);
    const std::string text =
        "1e0 -2 +3 .5\n"
        "-1.5E+2 6e-1 0x10 8\n"
        "9 10 11 12\n"
        "13 14 15 16.25 and then some text that is never read";
    ASSERT_EQ(read_transformation_file(write_file(dir.file("T.txt"), text), T, reporter),
              ReadStatus::ok);
    const double expected[16] = {1, -2, 3,  0.5, -150, 0.6f, 16, 8,
                                 9, 10, 11, 12,  13,   14,   15, 16.25};
    for (int i = 0; i < 16; ++i) {
        EXPECT_EQ(get(T, i / 4, i % 4), static_cast<double>(static_cast<float>(expected[i])))
            << "element " << i;
    }
}

TEST(Readers, MissingFileIsCannotOpenAndLeavesTheMatrix) {
    ScratchDir dir;
    CollectingReporter reporter;
    cv::Mat K = filled(3, 42);
    const std::string path = dir.file("absent.txt");
    EXPECT_EQ(read_intrinsics_file(path, K, reporter), ReadStatus::cannot_open);
    EXPECT_EQ(reporter.text(), "Cannot open file " + path + ".\n");
    EXPECT_EQ(cv::countNonZero(K != 42), 0);

    CollectingReporter folder_reporter;
    EXPECT_EQ(read_transformation_file(dir.path().string(), K = filled(4, 42), folder_reporter),
              ReadStatus::cannot_open);
    EXPECT_EQ(folder_reporter.text(), "Cannot open file " + dir.path().string() + ".\n");
}

TEST(Readers, UnreadableFileIsCannotOpen) {
    if (geteuid() == 0) {
        GTEST_SKIP() << "permissions do not stop root from reading; the folder case above "
                        "covers a path that opens for nobody";
    }
    ScratchDir dir;
    const std::string path = write_file(dir.file("K.txt"), "1 0 0 0 1 0 0 0 1");
    ASSERT_EQ(chmod(path.c_str(), 0), 0);
    CollectingReporter reporter;
    cv::Mat K = filled(3, 42);
    EXPECT_EQ(read_intrinsics_file(path, K, reporter), ReadStatus::cannot_open);
    EXPECT_EQ(reporter.text(), "Cannot open file " + path + ".\n");
}

TEST(Readers, BadContentIsOneLineAndLeavesTheMatrix) {
    ScratchDir dir;
    struct Case {
        const char* content;
        const char* message;  // after "Cannot read file <path>: "
    };
    const Case cases[] = {
        {"", "expected 9 numbers.\n"},
        {"1 2 3\n4 5 6\n7 8", "expected 9 numbers.\n"},
        {"1 2 3\n4 five 6\n7 8 9", "entry 5 (\"five\") is not a number.\n"},
        {"1abc 2 3 4 5 6 7 8 9", "entry 2 (\"abc\") is not a number.\n"},
        {"\xEF\xBB 1 2 3 4 5 6 7 8 9", "entry 1 (\"\\xEF\\xBB\") is not a number.\n"},
        {"1 2 3 4 5 6 7 8 -", "expected 9 numbers.\n"},
        {"1 2 3 4 nan 6 7 8 9", "number 5 is not a finite float.\n"},
        {"1 2 3 4 5 6 7 8 -inf", "number 9 is not a finite float.\n"},
        {"1e39 2 3 4 5 6 7 8 9", "number 1 is not a finite float.\n"},
        {"1e999 2 3 4 5 6 7 8 9", "number 1 is not a finite float.\n"},
    };
    for (const Case& c : cases) {
        const std::string path = write_file(dir.file("K.txt"), c.content);
        CollectingReporter reporter;
        cv::Mat K = filled(3, 42);
        EXPECT_EQ(read_intrinsics_file(path, K, reporter), ReadStatus::bad_content) << c.content;
        EXPECT_EQ(reporter.text(), "Cannot read file " + path + ": " + c.message) << c.content;
        EXPECT_EQ(cv::countNonZero(K != 42), 0) << c.content;
    }
    CollectingReporter reporter;
    cv::Mat T = filled(4, 42);
    const std::string path = write_file(dir.file("T.txt"), "1 0 0 0 0 1 0 0 0 0 1 0 0 0 0");
    EXPECT_EQ(read_transformation_file(path, T, reporter), ReadStatus::bad_content);
    EXPECT_EQ(reporter.text(), "Cannot read file " + path + ": expected 16 numbers.\n");
}

TEST(Readers, FifoWithNoWriterReadsAsEmptyInsteadOfBlocking) {
    ScratchDir dir;
    const std::string path = dir.file("K.txt");
    ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);
    CollectingReporter reporter;
    cv::Mat K = filled(3, 42);
    EXPECT_EQ(read_intrinsics_file(path, K, reporter), ReadStatus::bad_content);
    EXPECT_EQ(reporter.text(), "Cannot read file " + path + ": expected 9 numbers.\n");
}

// Thousands of generated files, random and almost-right: each is either read
// with every element finite, or rejected with the matrix untouched.
TEST(Readers, FuzzedFilesAreReadCompletelyOrRejected) {
    ScratchDir dir;
    const std::string path = dir.file("fuzz.txt");
    const std::vector<std::string> tokens = {"1",
                                             "-2.5",
                                             "+3e2",
                                             "4E-3",
                                             ".5",
                                             "5.",
                                             "0x1p3",
                                             "nan",
                                             "inf",
                                             "-INF",
                                             "1e39",
                                             "1e-50",
                                             "abc",
                                             "-",
                                             "+",
                                             "e5",
                                             ".",
                                             "1e",
                                             "--1",
                                             "0",
                                             "\n",
                                             "\t",
                                             " ",
                                             "\r\n",
                                             "#",
                                             "1,2",
                                             "\xff",
                                             "",
                                             "3.4028235e38",
                                             "-3.4028236e38"};
    std::mt19937 rng(20261208);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    int read = 0, rejected = 0;
    for (int i = 0; i < 4000 && std::chrono::steady_clock::now() < deadline; ++i) {
        std::string content;
        if (i % 4 == 0) {
            // Random bytes.
            const int length = static_cast<int>(rng() % 200);
            for (int k = 0; k < length; ++k) {
                content.push_back(static_cast<char>(rng() % 256));
            }
        } else {
            // Token soup, mostly numbers so that many files are nearly valid.
            const int count = 8 + static_cast<int>(rng() % 12);
            for (int k = 0; k < count; ++k) {
                content += (rng() % 3 == 0) ? tokens[rng() % tokens.size()]
                                            : std::to_string(static_cast<int>(rng() % 2000) - 1000);
                content += (rng() % 5 == 0) ? "\n" : " ";
            }
        }
        write_file(path, content);
        const bool transformation = (i % 2) == 1;
        const int n = transformation ? 4 : 3;
        cv::Mat M = filled(n, 42);
        CollectingReporter reporter;
        const ReadStatus status = transformation ? read_transformation_file(path, M, reporter)
                                                 : read_intrinsics_file(path, M, reporter);
        if (status == ReadStatus::ok) {
            ++read;
            EXPECT_TRUE(all_finite(M)) << content;
            EXPECT_EQ(reporter.text(), "");
        } else {
            ++rejected;
            ASSERT_EQ(status, ReadStatus::bad_content) << content;
            EXPECT_EQ(cv::countNonZero(M != 42), 0) << content;
            EXPECT_EQ(std::count(reporter.text().begin(), reporter.text().end(), '\n'), 1);
        }
    }
    EXPECT_GT(read, 100);
    EXPECT_GT(rejected, 100);
}

}  // namespace
}  // namespace rectify
