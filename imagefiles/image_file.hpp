#pragma once
// Image files in: PNG, JPEG and PNM are decoded here, with exactly the pixels
// cv::imread gives for the same flags; every other format the image library
// reads goes through the codec plugin (plugin_loader.hpp), loaded only when
// such a file is met. The format is told by the file's first bytes, never by
// its name.
//
// Reading is in two steps, so that a caller can check one file's header before
// it touches another, then decode several at once:
//
//   std::optional<ImageFile> left = ImageFile::open(path, ImageMode::color);
//   if (!left) ...                 // cannot open, not an image, bad header
//   cv::Mat image = left->decode(&cancel);
//   if (image.empty()) ...         // corrupt, truncated, no memory, cancelled

#include <atomic>
#include <memory>
#include <optional>
#include <string>

#include <opencv2/core.hpp>

namespace rectify {

// COLOR: cv::IMREAD_COLOR | cv::IMREAD_IGNORE_ORIENTATION, always 8-bit BGR.
// ANY: cv::IMREAD_ANYDEPTH | cv::IMREAD_ANYCOLOR | cv::IMREAD_IGNORE_ORIENTATION,
// grey stays grey and 16-bit stays 16-bit.
enum class ImageMode { color, any };

// The imread flags of a mode.
int imread_flags(ImageMode mode);

enum class ImageFormat { png, jpeg, pnm, other };

// What the header says. For ImageFormat::other nothing is known before
// decoding: width, height and type are 0.
struct ImageHeader {
    ImageFormat format = ImageFormat::other;
    int width = 0;
    int height = 0;
    int type = 0;  // the cv::Mat type decode() returns
};

// Headers claiming more pixels than this are refused.
constexpr long long MAX_IMAGE_PIXELS = 1LL << 30;

namespace detail {
class Decoder;
}

class ImageFile {
  public:
    // Opens the file without blocking (a FIFO without a writer reads as an
    // empty file), refuses folders, tells the format by content and reads the
    // header of a PNG, JPEG or PNM file. Nothing when the file cannot be
    // opened, is empty, or has a header that is invalid or claims more than
    // MAX_IMAGE_PIXELS. plugin_path: the codec plugin to use for other formats
    // instead of the one found next to the executable (plugin_loader.hpp).
    static std::optional<ImageFile> open(const std::string& path, ImageMode mode,
                                         const std::string& plugin_path = {});

    ImageFile(ImageFile&&) noexcept;
    ImageFile& operator=(ImageFile&&) noexcept;
    ~ImageFile();

    const ImageHeader& header() const { return header_; }

    // Decodes the pixels into a new cv::Mat; empty when the data is corrupt or
    // ends early, memory runs out, or *cancel turns true (checked between
    // batches of rows and between reads of the file). Once only: the file is
    // read through.
    cv::Mat decode(const std::atomic<bool>* cancel = nullptr);

  private:
    ImageFile();

    ImageHeader header_;
    std::unique_ptr<detail::Decoder> decoder_;
};

// open() and decode() in one: empty on any failure.
cv::Mat read_image(const std::string& path, ImageMode mode, const std::string& plugin_path = {});

}  // namespace rectify
