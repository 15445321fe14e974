#include "calibration/readers.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

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

// Opens without blocking, so a FIFO with no writer reads as empty instead of
// waiting forever; then back to ordinary blocking reads, so a pipe that is
// being written (process substitution) is read to its end.
File open_for_reading(const std::string& path) {
    const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return nullptr;
    }
    struct stat info {};
    const int flags = fcntl(fd, F_GETFL);
    // A folder opens on some systems but holds no text: it cannot be opened as
    // a calibration file either.
    if (fstat(fd, &info) != 0 || S_ISDIR(info.st_mode) || flags < 0 ||
        fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
        close(fd);
        return nullptr;
    }
    File file(fdopen(fd, "r"));
    if (!file) {
        close(fd);
    }
    return file;
}

// Skips a UTF-8 byte-order mark at the start. Returns the bytes consumed that
// turned out not to be one (they belong to the first entry).
std::string skip_byte_order_mark(std::FILE* file) {
    static constexpr unsigned char mark[] = {0xEF, 0xBB, 0xBF};
    std::string consumed;
    for (const unsigned char expected : mark) {
        const int c = std::fgetc(file);
        if (c == EOF) {
            break;
        }
        if (c != expected) {
            std::ungetc(c, file);
            return consumed;
        }
        consumed += static_cast<char>(c);
    }
    return consumed.size() == sizeof mark ? std::string() : consumed;
}

// The entry the number reader stopped at, as it stands in the file (up to 40
// bytes), with bytes that are not printable ASCII shown as \xNN.
std::string entry_at(std::FILE* file, const std::string& consumed) {
    char rest[41] = {};
    if (std::fscanf(file, "%40[^ \t\n\v\f\r]", rest) != 1) {
        rest[0] = '\0';
    }
    const std::string raw = consumed + rest;
    std::string shown;
    for (const char c : raw.substr(0, 40)) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte >= 0x20 && byte < 0x7F && c != '"' && c != '\\') {
            shown += c;
        } else {
            shown += format_text("\\x%02X", byte);
        }
    }
    return raw.size() > 40 ? shown + "..." : shown;
}

ReadStatus read_matrix_file(const std::string& path, cv::Mat& matrix, int rows, int cols,
                            Reporter& reporter) {
    File file = open_for_reading(path);
    if (!file) {
        reporter.report(format_text("Cannot open file %s.\n", path.c_str()));
        return ReadStatus::cannot_open;
    }
    const std::string not_a_mark = skip_byte_order_mark(file.get());
    const int count = rows * cols;
    std::vector<float> values;
    values.reserve(static_cast<size_t>(count));
    for (int i = 0; i < count; ++i) {
        double value = 0.0;
        // " %lf" skips any run of white space, line ends included, as the
        // one-pattern-per-row reading does; nothing after the last needed
        // number is read.
        const int converted =
            not_a_mark.empty() ? std::fscanf(file.get(), " %lf", &value) : 0;
        if (converted != 1) {
            // Where the reader stopped at nothing (the end of the file, or a
            // sign it consumed right before it), the file simply ended early.
            const std::string entry = converted == EOF ? "" : entry_at(file.get(), not_a_mark);
            reporter.report(
                entry.empty()
                    ? format_text("Cannot read file %s: expected %d numbers.\n", path.c_str(), count)
                    : format_text("Cannot read file %s: entry %d (\"%s\") is not a number.\n",
                                  path.c_str(), i + 1, entry.c_str()));
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
