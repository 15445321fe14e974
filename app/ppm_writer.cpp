#include "app/ppm_writer.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

namespace rectify {
namespace {

// Owns the temporary file: closes it, and removes it unless it was committed.
class TemporaryFile {
public:
    explicit TemporaryFile(const std::string& final_path) {
        // O_EXCL with a name of our own: never writes through an existing file
        // or link. Mode 0666 lets the umask decide, as for any new file.
        for (int attempt = 0; attempt < 100 && fd_ < 0; ++attempt) {
            path_ = final_path + ".partial-" + std::to_string(getpid()) + "-" +
                    std::to_string(attempt);
            fd_ = open(path_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
            if (fd_ < 0 && errno != EEXIST) {
                break;
            }
        }
        created_ = fd_ >= 0;
    }
    ~TemporaryFile() {
        close_file();
        if (created_ && !committed_) {
            unlink(path_.c_str());
        }
    }
    TemporaryFile(const TemporaryFile&) = delete;
    TemporaryFile& operator=(const TemporaryFile&) = delete;

    bool ok() const { return fd_ >= 0; }

    bool write_all(const unsigned char* data, size_t size) {
        while (size > 0) {
            const ssize_t written = ::write(fd_, data, size);
            if (written < 0) {
                if (errno == EINTR) {
                    continue;
                }
                return false;
            }
            data += written;
            size -= static_cast<size_t>(written);
        }
        return true;
    }

    // Closes the file (a delayed write error shows here) and renames it.
    bool commit(const std::string& final_path) {
        if (!close_file() || rename(path_.c_str(), final_path.c_str()) != 0) {
            return false;
        }
        committed_ = true;
        return true;
    }

private:
    bool close_file() {
        if (fd_ < 0) {
            return true;
        }
        const int result = ::close(fd_);
        fd_ = -1;
        return result == 0;
    }

    std::string path_;
    int fd_ = -1;
    bool created_ = false;
    bool committed_ = false;
};

}  // namespace

bool write_ppm_atomically(const std::string& path, const cv::Mat& image) {
    CV_Assert(image.type() == CV_8UC3);
    TemporaryFile file(path);
    if (!file.ok()) {
        return false;
    }
    char header[64];
    const int header_size = std::snprintf(header, sizeof header, "P6\n%d %d\n255\n", image.cols,
                                          image.rows);
    if (!file.write_all(reinterpret_cast<const unsigned char*>(header),
                        static_cast<size_t>(header_size))) {
        return false;
    }
    // Rows are converted from BGR to RGB a batch at a time, so no second
    // full copy of the image is ever held.
    const size_t row_bytes = static_cast<size_t>(image.cols) * 3;
    const int rows_per_batch =
        std::max(1, static_cast<int>((size_t{1} << 20) / std::max<size_t>(row_bytes, 1)));
    std::vector<unsigned char> buffer(row_bytes * static_cast<size_t>(rows_per_batch));
    for (int first = 0; first < image.rows; first += rows_per_batch) {
        const int count = std::min(rows_per_batch, image.rows - first);
        unsigned char* out = buffer.data();
        for (int y = first; y < first + count; ++y) {
            const unsigned char* in = image.ptr<unsigned char>(y);
            for (size_t i = 0; i < row_bytes; i += 3) {
                out[i] = in[i + 2];
                out[i + 1] = in[i + 1];
                out[i + 2] = in[i];
            }
            out += row_bytes;
        }
        if (!file.write_all(buffer.data(), row_bytes * static_cast<size_t>(count))) {
            return false;
        }
    }
    return file.commit(path);
}

}  // namespace rectify
