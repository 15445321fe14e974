// PNG through libpng, with the transforms that give cv::imread's pixels: 16-bit
// samples stripped to 8 or swapped to host order, alpha stripped, palettes and
// low bit depths expanded, colour turned to BGR, grey to BGR or colour to grey
// as the output's channel count asks.
//
// libpng reports errors by longjmp: the functions that call it keep only
// trivially destructible objects in their frames.

#include <png.h>

#include <csetjmp>

#include "imagefiles/decoder.hpp"

namespace rectify::detail {
namespace {

struct PngReadContext {
    FileSource* source = nullptr;
    const std::atomic<bool>* cancel = nullptr;
};

void png_fail(png_structp png, png_const_charp) {
    png_longjmp(png, 1);
}
void png_quiet(png_structp, png_const_charp) {}

void png_read_source(png_structp png, png_bytep destination, size_t length) {
    auto* context = static_cast<PngReadContext*>(png_get_io_ptr(png));
    if (cancelled(context->cancel) || context->source->read(destination, length) != length) {
        png_error(png, "read");
    }
}

// The header's facts that choose the output.
struct PngInfo {
    png_uint_32 width = 0;
    png_uint_32 height = 0;
    int bit_depth = 0;
    int color_type = 0;
};

bool read_png_info(png_structp png, png_infop info, PngInfo& result) {
    if (setjmp(png_jmpbuf(png))) {
        return false;
    }
    png_read_info(png, info);
    int interlace = 0;
    png_get_IHDR(png, info, &result.width, &result.height, &result.bit_depth, &result.color_type,
                 &interlace, nullptr, nullptr);
    return true;
}

// The channel count imread's ANY mode gives: alpha is dropped, grey + alpha
// turns to BGR.
int any_channels(const PngInfo& info) {
    return info.color_type == PNG_COLOR_TYPE_GRAY ? 1 : 3;
}

bool read_png_rows(png_structp png, png_infop info, const PngInfo& header, cv::Mat& image,
                   PngReadContext& context, const std::atomic<bool>* cancel) {
    if (setjmp(png_jmpbuf(png))) {
        return false;
    }
    context.cancel = cancel;
    const bool colour = image.channels() > 1;
    if (image.depth() == CV_8U && header.bit_depth == 16) {
        png_set_strip_16(png);
    } else {
        png_set_swap(png);
    }
    png_set_strip_alpha(png);  // neither mode keeps alpha
    if (header.color_type == PNG_COLOR_TYPE_PALETTE) {
        png_set_palette_to_rgb(png);
    }
    if ((header.color_type & PNG_COLOR_MASK_COLOR) == 0 && header.bit_depth < 8) {
        png_set_expand_gray_1_2_4_to_8(png);
    }
    if ((header.color_type & PNG_COLOR_MASK_COLOR) && colour) {
        png_set_bgr(png);
    } else if (colour) {
        png_set_gray_to_rgb(png);
    } else {
        png_set_rgb_to_gray(png, 1, 0.299, 0.587);
    }
    const int passes = png_set_interlace_handling(png);
    png_read_update_info(png, info);
    if (png_get_rowbytes(png, info) != image.cols * image.elemSize()) {
        return false;
    }
    const int rows = image.rows;
    for (int pass = 0; pass < passes; ++pass) {
        for (int y = 0; y < rows; ++y) {
            if ((y & 63) == 0 && cancelled(cancel)) {
                return false;
            }
            png_read_row(png, image.ptr(y), nullptr);
        }
    }
    png_read_end(png, nullptr);
    return true;
}

class PngDecoder final : public Decoder {
  public:
    PngDecoder(std::unique_ptr<FileSource> source, ImageMode mode)
        : source_(std::move(source)), mode_(mode) {
        png_ = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, png_fail, png_quiet);
        if (png_ != nullptr) {
            info_ = png_create_info_struct(png_);
            context_.source = source_.get();
            png_set_read_fn(png_, &context_, png_read_source);
            // Larger reads of image data, and no Adler-32 over the inflated
            // data: the chunks' CRCs already check every compressed byte.
            png_set_compression_buffer_size(png_, 64 * 1024);
            png_set_option(png_, PNG_IGNORE_ADLER32, PNG_OPTION_ON);
        }
    }
    ~PngDecoder() override { png_destroy_read_struct(&png_, info_ ? &info_ : nullptr, nullptr); }
    PngDecoder(const PngDecoder&) = delete;
    PngDecoder& operator=(const PngDecoder&) = delete;

    bool read_header(ImageHeader& header) override {
        if (png_ == nullptr || info_ == nullptr || !read_png_info(png_, info_, info_header_) ||
            !acceptable_size(info_header_.width, info_header_.height)) {
            return false;
        }
        header.format = ImageFormat::png;
        header.width = static_cast<int>(info_header_.width);
        header.height = static_cast<int>(info_header_.height);
        const int depth = mode_ == ImageMode::any && info_header_.bit_depth == 16 ? CV_16U : CV_8U;
        header.type = CV_MAKETYPE(depth, mode_ == ImageMode::any ? any_channels(info_header_) : 3);
        return true;
    }

    bool decode(cv::Mat& image, const std::atomic<bool>* cancel) override {
        return read_png_rows(png_, info_, info_header_, image, context_, cancel);
    }

  private:
    std::unique_ptr<FileSource> source_;
    ImageMode mode_;
    png_structp png_ = nullptr;
    png_infop info_ = nullptr;
    PngReadContext context_;
    PngInfo info_header_;
};

}  // namespace

std::unique_ptr<Decoder> make_png_decoder(std::unique_ptr<FileSource> source, ImageMode mode) {
    return std::make_unique<PngDecoder>(std::move(source), mode);
}

}  // namespace rectify::detail
