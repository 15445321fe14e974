#include "calibration/readers.hpp"

#include <sys/stat.h>

#include <cmath>
#include <cstdio>
#include <memory>
#include <vector>

#include "geometry/matrix.hpp"

namespace rectify {
namespace {

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

ReadStatus read_matrix_file(const std::string& path, cv::Mat& matrix, int rows, int cols,
                            Reporter& reporter) {
    File file(std::fopen(path.c_str(), "r"));
    struct stat info {};
    // A folder opens on some systems but holds no text: it cannot be opened as
    // a calibration file either.
    if (!file || (fstat(fileno(file.get()), &info) == 0 && S_ISDIR(info.st_mode))) {
        reporter.report(format_text("Cannot open file %s.\n", path.c_str()));
        return ReadStatus::cannot_open;
    }
    const int count = rows * cols;
    std::vector<float> values;
    values.reserve(static_cast<size_t>(count));
    for (int i = 0; i < count; ++i) {
        double value = 0.0;
        // " %lf" skips any run of white space, line ends included, as the
        // one-pattern-per-row reading does; nothing after the last needed
        // number is read.
        if (std::fscanf(file.get(), " %lf", &value) != 1) {
            reporter.report(
                format_text("Cannot read file %s: expected %d numbers.\n", path.c_str(), count));
            return ReadStatus::bad_content;
        }
        const float stored = static_cast<float>(value);
        if (!std::isfinite(stored)) {
            reporter.report(format_text("Cannot read file %s: number %d is not a finite float.\n",
                                        path.c_str(), i + 1));
            return ReadStatus::bad_content;
        }
        values.push_back(stored);
    }
    // Only a complete, finite file reaches the caller's matrix.
    for (int i = 0; i < count; ++i) {
        set(matrix, i / cols, i % cols, values[static_cast<size_t>(i)]);
    }
    return ReadStatus::ok;
}

}  // namespace

ReadStatus read_intrinsics_file(const std::string& path, cv::Mat& K, Reporter& reporter) {
    CV_Assert(K.rows == 3 && K.cols == 3 && K.type() == CV_32F);
    return read_matrix_file(path, K, 3, 3, reporter);
}

ReadStatus read_transformation_file(const std::string& path, cv::Mat& T, Reporter& reporter) {
    CV_Assert(T.rows == 4 && T.cols == 4 && T.type() == CV_32F);
    return read_matrix_file(path, T, 4, 4, reporter);
}

}  // namespace rectify
