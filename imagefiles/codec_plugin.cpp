// The codec plugin: decodes with the image library's codec module the formats
// the image-file library does not decode itself. Loaded on demand by
// plugin_loader.cpp. Keeps the library's log and the codecs' own messages off
// the terminal: standard error points to /dev/null while a decode runs.

#include <fcntl.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <mutex>
#include <new>
#include <type_traits>

#include <opencv2/core/utils/logger.hpp>
#include <opencv2/imgcodecs.hpp>

#include "imagefiles/codec_plugin.hpp"

namespace {

// Points standard error to /dev/null until destroyed; does nothing when it
// cannot.
class QuietStandardError {
  public:
    QuietStandardError() {
        std::fflush(stderr);
        const int null_fd = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
        saved_ = null_fd < 0 ? -1 : fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 0);
        if (saved_ >= 0 && dup2(null_fd, STDERR_FILENO) < 0) {
            ::close(saved_);
            saved_ = -1;
        }
        if (null_fd >= 0) {
            ::close(null_fd);
        }
    }
    ~QuietStandardError() {
        if (saved_ >= 0) {
            std::fflush(stderr);
            dup2(saved_, STDERR_FILENO);
            ::close(saved_);
        }
    }
    QuietStandardError(const QuietStandardError&) = delete;
    QuietStandardError& operator=(const QuietStandardError&) = delete;

  private:
    int saved_ = -1;
};

// Decodes in the process one at a time: standard error is shared.
std::mutex decode_mutex;

}  // namespace

extern "C" __attribute__((visibility("default"))) int stereo_rectify_codecs_decode(
    const unsigned char* data, std::size_t size, int flags, cv::Mat* image) {
    static_assert(std::is_same_v<decltype(&stereo_rectify_codecs_decode), CodecPluginDecode>);
    if (image == nullptr) {
        return 1;
    }
    image->release();
    if (data == nullptr || size == 0 || size > static_cast<std::size_t>(INT_MAX)) {
        return 1;
    }
    std::lock_guard<std::mutex> lock(decode_mutex);
    QuietStandardError quiet;
    try {
        cv::utils::logging::setLogLevel(cv::utils::logging::LOG_LEVEL_SILENT);
        const cv::Mat bytes(1, static_cast<int>(size), CV_8UC1, const_cast<unsigned char*>(data));
        *image = cv::imdecode(bytes, flags);
    } catch (const cv::Exception&) {
        image->release();
    } catch (const std::bad_alloc&) {
        image->release();
    }
    return image->empty() ? 1 : 0;
}
