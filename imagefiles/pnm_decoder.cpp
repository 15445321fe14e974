// PNM (P1 to P6) without a library, with cv::imread's reading of it: plain
// samples scaled to 0..255 when the maximum is below 256 and clamped to it,
// raw samples taken as they are, 16-bit samples (maximum above 255) kept in
// ANY mode and cut to their high byte in COLOR mode, bitmaps with 1 as black.

#include <algorithm>
#include <cctype>
#include <climits>
#include <vector>

#include "imagefiles/decoder.hpp"

namespace rectify::detail {
namespace {

class PnmDecoder final : public Decoder {
  public:
    PnmDecoder(std::unique_ptr<FileSource> source, ImageMode mode)
        : source_(std::move(source)), mode_(mode) {}

    bool read_header(ImageHeader& header) override {
        if (source_->get() != 'P') {
            return false;
        }
        const int code = source_->get();
        if (code < '1' || code > '6') {
            return false;
        }
        raw_ = code >= '4';
        bitmap_ = code == '1' || code == '4';
        channels_ = code == '3' || code == '6' ? 3 : 1;
        if (!read_number(width_) || !read_number(height_)) {
            return false;
        }
        maxval_ = 1;
        if (!bitmap_ && (!read_number(maxval_) || maxval_ > 65535)) {
            return false;
        }
        if (maxval_ <= 0 || !acceptable_size(width_, height_)) {
            return false;
        }
        wide_ = maxval_ > 255;
        header.format = ImageFormat::pnm;
        header.width = width_;
        header.height = height_;
        header.type =
            mode_ == ImageMode::color ? CV_8UC3 : CV_MAKETYPE(wide_ ? CV_16U : CV_8U, channels_);
        // Raw data shorter than the header says is refused before any memory
        // is taken for it.
        const long long row_bytes =
            bitmap_ ? (width_ + 7LL) / 8
                    : static_cast<long long>(width_) * channels_ * (wide_ ? 2 : 1);
        return !raw_ || source_->size() < 0 ||
               source_->size() - source_->offset() >= row_bytes * height_;
    }

    bool decode(cv::Mat& image, const std::atomic<bool>* cancel) override {
        // Sample values as they land in the image: plain 8-bit samples scaled,
        // bitmap bits inverted.
        std::vector<unsigned char> scale(static_cast<size_t>(maxval_) + 1);
        if (!wide_) {
            for (int i = 0; i <= maxval_; ++i) {
                scale[i] = static_cast<unsigned char>((i * 255 / maxval_) ^ (bitmap_ ? 255 : 0));
            }
        }
        const int samples = width_ * channels_;
        std::vector<unsigned short> row(static_cast<size_t>(samples));
        std::vector<unsigned char> bytes;
        if (raw_) {
            bytes.resize(bitmap_ ? (width_ + 7) / 8
                                 : static_cast<size_t>(samples) * (wide_ ? 2 : 1));
        }
        for (int y = 0; y < height_; ++y) {
            if ((y & 63) == 0 && cancelled(cancel)) {
                return false;
            }
            if (raw_) {
                if (source_->read(bytes.data(), bytes.size()) != bytes.size()) {
                    return false;
                }
                unpack_raw(bytes, row, scale);
            } else if (!read_plain_row(row, scale)) {
                return false;
            }
            store(row, image, y);
        }
        return true;
    }

  private:
    // A number after whitespace and '#' comments; consumes the byte after it,
    // which must be there.
    // With one_digit (plain bitmaps), a single digit.
    bool read_number(int& value, bool one_digit = false) {
        int c = source_->get();
        while (c < '0' || c > '9') {
            if (c == '#') {
                do {
                    c = source_->get();
                } while (c != '\n' && c != '\r' && c != -1);
                c = source_->get();
            } else if (c != -1 && std::isspace(c)) {
                c = source_->get();
            } else {
                return false;
            }
        }
        long long number = 0;
        do {
            number = number * 10 + (c - '0');
            if (number > INT_MAX) {
                return false;
            }
            if (one_digit) {
                break;
            }
            c = source_->get();
        } while (c >= '0' && c <= '9');
        value = static_cast<int>(number);
        return c != -1;  // a number cut by the end of the file may have lost digits
    }

    bool read_plain_row(std::vector<unsigned short>& row, const std::vector<unsigned char>& scale) {
        for (unsigned short& sample : row) {
            int value = 0;
            if (!read_number(value, bitmap_)) {
                return false;
            }
            if (bitmap_) {
                value = value != 0;
            }
            value = std::min(value, maxval_);
            sample = wide_ ? static_cast<unsigned short>(value) : scale[value];
        }
        return true;
    }

    void unpack_raw(const std::vector<unsigned char>& bytes, std::vector<unsigned short>& row,
                    const std::vector<unsigned char>& scale) const {
        const size_t count = row.size();
        if (bitmap_) {
            for (size_t x = 0; x < count; ++x) {
                row[x] = scale[(bytes[x >> 3] >> (7 - (x & 7))) & 1];
            }
        } else if (wide_) {
            for (size_t x = 0; x < count; ++x) {
                row[x] = static_cast<unsigned short>(bytes[2 * x] << 8 | bytes[2 * x + 1]);
            }
        } else {
            std::copy(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(count),
                      row.begin());
        }
    }

    // Writes one row of samples (RGB or grey) into the image's row y.
    void store(const std::vector<unsigned short>& row, cv::Mat& image, int y) const {
        const bool to_byte = image.depth() == CV_8U;
        const int shift = to_byte && wide_ ? 8 : 0;
        const int out_channels = image.channels();
        auto put = [&](int index, unsigned value) {
            if (to_byte) {
                image.ptr<unsigned char>(y)[index] = static_cast<unsigned char>(value >> shift);
            } else {
                image.ptr<unsigned short>(y)[index] = static_cast<unsigned short>(value);
            }
        };
        for (int x = 0; x < width_; ++x) {
            if (channels_ == 1) {
                for (int c = 0; c < out_channels; ++c) {
                    put(x * out_channels + c, row[x]);
                }
            } else {
                put(x * 3, row[x * 3 + 2]);
                put(x * 3 + 1, row[x * 3 + 1]);
                put(x * 3 + 2, row[x * 3]);
            }
        }
    }

    std::unique_ptr<FileSource> source_;
    ImageMode mode_;
    bool raw_ = false;
    bool bitmap_ = false;
    bool wide_ = false;
    int channels_ = 1;
    int width_ = 0;
    int height_ = 0;
    int maxval_ = 1;
};

}  // namespace

std::unique_ptr<Decoder> make_pnm_decoder(std::unique_ptr<FileSource> source, ImageMode mode) {
    return std::make_unique<PnmDecoder>(std::move(source), mode);
}

}  // namespace rectify::detail
