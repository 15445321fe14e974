#include "imagefiles/image_file.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cstring>
#include <new>

#include <opencv2/imgcodecs.hpp>  // the IMREAD_ flags only: nothing is linked from it

#include "imagefiles/decoder.hpp"
#include "imagefiles/plugin_loader.hpp"

namespace rectify {
namespace detail {
namespace {

// Every other format: the whole file goes to the codec plugin at decode time.
class PluginDecoder final : public Decoder {
  public:
    PluginDecoder(std::unique_ptr<FileSource> source, ImageMode mode, std::string plugin_path)
        : source_(std::move(source)), mode_(mode), plugin_path_(std::move(plugin_path)) {}

    bool read_header(ImageHeader& header) override {
        header = ImageHeader{};
        return true;
    }

    bool decode(cv::Mat& image, const std::atomic<bool>* cancel) override {
        const std::vector<unsigned char> bytes = source_->read_all();
        if (source_->failed() || cancelled(cancel)) {
            return false;
        }
        image = decode_with_plugin(bytes, imread_flags(mode_), plugin_path_);
        return !image.empty() && !cancelled(cancel);
    }

  private:
    std::unique_ptr<FileSource> source_;
    ImageMode mode_;
    std::string plugin_path_;
};

// The format by the first bytes, as the image library tells it.
ImageFormat sniff(const unsigned char* bytes, size_t size) {
    static constexpr unsigned char PNG_SIGNATURE[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    if (size >= sizeof PNG_SIGNATURE &&
        std::memcmp(bytes, PNG_SIGNATURE, sizeof PNG_SIGNATURE) == 0) {
        return ImageFormat::png;
    }
    if (size >= 3 && bytes[0] == 0xFF && bytes[1] == 0xD8 && bytes[2] == 0xFF) {
        return ImageFormat::jpeg;
    }
    if (size >= 3 && bytes[0] == 'P' && bytes[1] >= '1' && bytes[1] <= '6' &&
        std::isspace(bytes[2])) {
        return ImageFormat::pnm;
    }
    return ImageFormat::other;
}

// Opens for reading without waiting for a FIFO's writer, then makes reads
// blocking again. -1 on failure or for a folder.
int open_image_file(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return -1;
    }
    struct stat status {};
    const int flags = fcntl(fd, F_GETFL);
    if (fstat(fd, &status) != 0 || S_ISDIR(status.st_mode) || flags < 0 ||
        fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

}  // namespace
}  // namespace detail

int imread_flags(ImageMode mode) {
    return mode == ImageMode::color
               ? cv::IMREAD_COLOR | cv::IMREAD_IGNORE_ORIENTATION
               : cv::IMREAD_ANYDEPTH | cv::IMREAD_ANYCOLOR | cv::IMREAD_IGNORE_ORIENTATION;
}

ImageFile::ImageFile() = default;
ImageFile::ImageFile(ImageFile&&) noexcept = default;
ImageFile& ImageFile::operator=(ImageFile&&) noexcept = default;
ImageFile::~ImageFile() = default;

std::optional<ImageFile> ImageFile::open(const std::string& path, ImageMode mode,
                                         const std::string& plugin_path) {
    try {
        const int fd = detail::open_image_file(path);
        if (fd < 0) {
            return std::nullopt;
        }
        auto source = std::make_unique<detail::FileSource>(fd);
        size_t available = 0;
        const unsigned char* first = source->peek(8, available);
        if (available == 0) {
            return std::nullopt;  // empty, or a FIFO nobody writes to
        }
        ImageFile file;
        switch (detail::sniff(first, available)) {
            case ImageFormat::png:
                file.decoder_ = detail::make_png_decoder(std::move(source), mode);
                break;
            case ImageFormat::jpeg:
                file.decoder_ = detail::make_jpeg_decoder(std::move(source), mode);
                break;
            case ImageFormat::pnm:
                file.decoder_ = detail::make_pnm_decoder(std::move(source), mode);
                break;
            case ImageFormat::other:
                file.decoder_ =
                    std::make_unique<detail::PluginDecoder>(std::move(source), mode, plugin_path);
                break;
        }
        if (!file.decoder_->read_header(file.header_)) {
            return std::nullopt;
        }
        return file;
    } catch (const std::bad_alloc&) {
        return std::nullopt;
    }
}

cv::Mat ImageFile::decode(const std::atomic<bool>* cancel) {
    if (!decoder_ || detail::cancelled(cancel)) {
        return {};
    }
    const std::unique_ptr<detail::Decoder> decoder = std::move(decoder_);
    try {
        cv::Mat image;
        if (header_.format != ImageFormat::other) {
            image.create(header_.height, header_.width, header_.type);
        }
        if (!decoder->decode(image, cancel)) {
            return {};
        }
        return image;
    } catch (const cv::Exception&) {
        return {};  // the image library's allocation failed
    } catch (const std::bad_alloc&) {
        return {};
    }
}

cv::Mat read_image(const std::string& path, ImageMode mode, const std::string& plugin_path) {
    std::optional<ImageFile> file = ImageFile::open(path, mode, plugin_path);
    return file ? file->decode() : cv::Mat();
}

}  // namespace rectify
