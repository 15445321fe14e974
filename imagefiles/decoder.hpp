#pragma once
// Inside the image-file library: the buffered file reader the decoders share,
// and the decoder interface with one maker per format.

#include <atomic>
#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "imagefiles/image_file.hpp"

namespace rectify::detail {

// Reads an open file descriptor through a buffer. Owns the descriptor.
class FileSource {
  public:
    explicit FileSource(int fd);
    ~FileSource();
    FileSource(const FileSource&) = delete;
    FileSource& operator=(const FileSource&) = delete;

    // The next bytes without consuming them: at least min(n, what the file
    // still holds) of them, fewer only at the end of the file.
    const unsigned char* peek(size_t n, size_t& available);
    // Copies up to n bytes; fewer only at the end of the file or on an error.
    size_t read(unsigned char* destination, size_t n);
    // The next byte, or -1 at the end of the file.
    int get() {
        if (position_ == end_ && !fill()) {
            return -1;
        }
        return buffer_[position_++];
    }
    // Hands out the buffered bytes, reading more first when none are left;
    // size 0 at the end of the file.
    const unsigned char* next_chunk(size_t& size);
    // The rest of the file.
    std::vector<unsigned char> read_all();

    // Bytes consumed so far.
    long long offset() const { return consumed_ + static_cast<long long>(position_); }
    // The file's size when it is a regular file, else -1.
    long long size() const { return size_; }
    // True once a read failed other than by reaching the end.
    bool failed() const { return failed_; }

  private:
    bool fill();  // refills an empty buffer; false at the end

    int fd_;
    long long size_ = -1;
    long long consumed_ = 0;  // bytes before buffer_[0]
    std::unique_ptr<unsigned char[]> buffer_;
    size_t capacity_ = 0;
    size_t position_ = 0;
    size_t end_ = 0;
    bool failed_ = false;
};

class Decoder {
  public:
    virtual ~Decoder() = default;
    // Reads and checks the header; false when it is invalid.
    virtual bool read_header(ImageHeader& header) = 0;
    // Decodes into image, already allocated with the header's size and type.
    // False on corrupt or missing data or when *cancel turns true.
    virtual bool decode(cv::Mat& image, const std::atomic<bool>* cancel) = 0;
};

std::unique_ptr<Decoder> make_png_decoder(std::unique_ptr<FileSource> source, ImageMode mode);
std::unique_ptr<Decoder> make_jpeg_decoder(std::unique_ptr<FileSource> source, ImageMode mode);
std::unique_ptr<Decoder> make_pnm_decoder(std::unique_ptr<FileSource> source, ImageMode mode);

inline bool cancelled(const std::atomic<bool>* cancel) {
    return cancel != nullptr && cancel->load(std::memory_order_relaxed);
}

// True when a header's size is acceptable: positive and at most MAX_IMAGE_PIXELS.
inline bool acceptable_size(long long width, long long height) {
    return width > 0 && height > 0 && width * height <= MAX_IMAGE_PIXELS;
}

}  // namespace rectify::detail
