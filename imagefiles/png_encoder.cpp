#include "imagefiles/png_encoder.hpp"

#include <png.h>

#include <csetjmp>
#include <new>

namespace rectify {
namespace {

void png_fail(png_structp png, png_const_charp) {
    png_longjmp(png, 1);
}
void png_quiet(png_structp, png_const_charp) {}

void png_write_sink(png_structp png, png_bytep bytes, size_t size) {
    const auto* sink = static_cast<const PngSink*>(png_get_io_ptr(png));
    bool accepted = false;
    try {
        accepted = (*sink)(bytes, size);
    } catch (...) {
        // Exceptions must not cross libpng's frames: a failed write.
    }
    if (!accepted) {
        png_error(png, "write");
    }
}

void png_flush_nothing(png_structp) {}

int png_colour_type(int channels) {
    switch (channels) {
        case 1:
            return PNG_COLOR_TYPE_GRAY;
        case 3:
            return PNG_COLOR_TYPE_RGB;
        default:
            return PNG_COLOR_TYPE_RGB_ALPHA;
    }
}

// Frames jumped over by libpng's errors hold only trivially destructible objects.
bool write_png_rows(png_structp png, png_infop info, const cv::Mat& image, const PngSink& sink,
                    PngCompression compression) {
    if (setjmp(png_jmpbuf(png))) {
        return false;
    }
    png_set_write_fn(png, const_cast<PngSink*>(&sink), png_write_sink, png_flush_nothing);
    if (compression == PngCompression::fast) {
        // The image library's own default: one cheap filter, the fastest
        // zlib level, run-length matches only.
        png_set_filter(png, PNG_FILTER_TYPE_BASE, PNG_FILTER_SUB);
        png_set_compression_level(png, 1);
        png_set_compression_strategy(png, 3);  // Z_RLE
        png_set_compression_mem_level(png, 9);
    } else {
        png_set_compression_level(png, 6);
    }
    const int bit_depth = image.depth() == CV_16U ? 16 : 8;
    png_set_IHDR(png, info, static_cast<png_uint_32>(image.cols),
                 static_cast<png_uint_32>(image.rows), bit_depth, png_colour_type(image.channels()),
                 PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_write_info(png, info);
    if (image.channels() > 1) {
        png_set_bgr(png);
    }
    if (bit_depth == 16) {
        png_set_swap(png);  // the image holds host-order (little-endian) samples
    }
    for (int y = 0; y < image.rows; ++y) {
        png_write_row(png, image.ptr(y));
    }
    png_write_end(png, info);
    return true;
}

}  // namespace

bool write_png(const cv::Mat& image, const PngSink& sink, PngCompression compression) {
    const int channels = image.channels();
    if (image.empty() || image.dims != 2 || (image.depth() != CV_8U && image.depth() != CV_16U) ||
        (channels != 1 && channels != 3 && channels != 4)) {
        return false;
    }
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, png_fail, png_quiet);
    if (png == nullptr) {
        return false;
    }
    png_infop info = png_create_info_struct(png);
    const bool written = info != nullptr && write_png_rows(png, info, image, sink, compression);
    png_destroy_write_struct(&png, &info);
    return written;
}

std::vector<unsigned char> encode_png(const cv::Mat& image) {
    std::vector<unsigned char> bytes;
    const bool written = write_png(image, [&bytes](const unsigned char* data, std::size_t size) {
        try {
            bytes.insert(bytes.end(), data, data + size);
            return true;
        } catch (const std::bad_alloc&) {
            return false;
        }
    });
    if (!written) {
        bytes.clear();
    }
    return bytes;
}

}  // namespace rectify
