#include "imagefiles/image_writer.hpp"

#include <unistd.h>

#include <algorithm>
#include <csetjmp>
#include <cstdio>
#include <memory>
#include <vector>

#include <jpeglib.h>
#include <tiffio.h>

#include "imagefiles/png_encoder.hpp"
#include "imagefiles/ppm_writer.hpp"

namespace rectify {
namespace {

// ---- JPEG ----

struct JpegError {
    jpeg_error_mgr manager;
    std::jmp_buf jump;
};

// Where libjpeg-turbo's compressed bytes go: a buffer handed to the file
// whenever it fills.
struct JpegDestination {
    jpeg_destination_mgr manager;
    AtomicFile* file;
    bool failed;
    unsigned char buffer[1 << 16];
};

void jpeg_init_destination(j_compress_ptr info) {
    auto* destination = reinterpret_cast<JpegDestination*>(info->dest);
    destination->manager.next_output_byte = destination->buffer;
    destination->manager.free_in_buffer = sizeof destination->buffer;
}

boolean jpeg_empty_buffer(j_compress_ptr info) {
    auto* destination = reinterpret_cast<JpegDestination*>(info->dest);
    if (!destination->file->write(destination->buffer, sizeof destination->buffer)) {
        destination->failed = true;
    }
    jpeg_init_destination(info);
    return TRUE;
}

void jpeg_term_destination(j_compress_ptr info) {
    auto* destination = reinterpret_cast<JpegDestination*>(info->dest);
    const size_t used = sizeof destination->buffer - destination->manager.free_in_buffer;
    if (!destination->file->write(destination->buffer, used)) {
        destination->failed = true;
    }
}

void jpeg_fail(j_common_ptr info) {
    std::longjmp(reinterpret_cast<JpegError*>(info->err)->jump, 1);
}

void jpeg_quiet(j_common_ptr, int) {}
void jpeg_quiet_output(j_common_ptr) {}

// Kept apart from C++ objects with destructors: a longjmp skips them.
bool compress_jpeg(const cv::Mat& image, int quality, JpegDestination& destination) {
    jpeg_compress_struct info{};
    JpegError error{};
    info.err = jpeg_std_error(&error.manager);
    error.manager.error_exit = jpeg_fail;
    error.manager.emit_message = jpeg_quiet;
    error.manager.output_message = jpeg_quiet_output;
    if (setjmp(error.jump) != 0) {
        jpeg_destroy_compress(&info);
        return false;
    }
    jpeg_create_compress(&info);
    info.dest = &destination.manager;
    info.image_width = static_cast<JDIMENSION>(image.cols);
    info.image_height = static_cast<JDIMENSION>(image.rows);
    info.input_components = image.channels();
    info.in_color_space = image.channels() == 3 ? JCS_EXT_BGR : JCS_GRAYSCALE;
    jpeg_set_defaults(&info);
    jpeg_set_quality(&info, quality, TRUE);
    jpeg_start_compress(&info, TRUE);
    while (info.next_scanline < info.image_height && !destination.failed) {
        JSAMPROW row = const_cast<JSAMPROW>(image.ptr<unsigned char>(static_cast<int>(info.next_scanline)));
        jpeg_write_scanlines(&info, &row, 1);
    }
    if (destination.failed) {
        jpeg_destroy_compress(&info);
        return false;
    }
    jpeg_finish_compress(&info);
    jpeg_destroy_compress(&info);
    return !destination.failed;
}

// ---- TIFF ----

int tiff_quiet(TIFF*, void*, const char*, const char*, va_list) {
    return 1;  // handled: nothing reaches the terminal
}

}  // namespace

std::optional<OutputFormat> output_format_named(std::string_view name) {
    if (name == "png") {
        return OutputFormat::png;
    }
    if (name == "ppm") {
        return OutputFormat::ppm;
    }
    if (name == "tiff" || name == "tif") {
        return OutputFormat::tiff;
    }
    if (name == "jpg" || name == "jpeg") {
        return OutputFormat::jpeg;
    }
    return std::nullopt;
}

std::string output_extension(OutputFormat format, int channels) {
    switch (format) {
        case OutputFormat::png:
            return ".png";
        case OutputFormat::ppm:
            return channels == 1 ? ".pgm" : ".ppm";
        case OutputFormat::tiff:
            return ".tiff";
        case OutputFormat::jpeg:
            return ".jpg";
    }
    return "";
}

bool format_holds(OutputFormat format, int depth) {
    return depth == CV_8U || (depth == CV_16U && format != OutputFormat::jpeg);
}

bool write_jpeg(AtomicFile& file, const cv::Mat& image, int quality) {
    if (image.depth() != CV_8U || (image.channels() != 1 && image.channels() != 3) ||
        image.empty() || !file.ok()) {
        return false;
    }
    auto destination = std::make_unique<JpegDestination>();
    destination->manager.init_destination = jpeg_init_destination;
    destination->manager.empty_output_buffer = jpeg_empty_buffer;
    destination->manager.term_destination = jpeg_term_destination;
    destination->file = &file;
    destination->failed = false;
    return compress_jpeg(image, std::clamp(quality, 1, 100), *destination) && file.finish();
}

bool write_tiff(AtomicFile& file, const cv::Mat& image) {
    const int channels = image.channels();
    const int depth = image.depth();
    if ((depth != CV_8U && depth != CV_16U) || (channels != 1 && channels != 3) ||
        image.empty() || file.descriptor() < 0) {
        return false;
    }
    // libtiff closes the descriptor it is given: it gets a copy of ours.
    const int fd = dup(file.descriptor());
    if (fd < 0) {
        return false;
    }
    TIFFOpenOptions* options = TIFFOpenOptionsAlloc();
    TIFFOpenOptionsSetErrorHandlerExtR(options, tiff_quiet, nullptr);
    TIFFOpenOptionsSetWarningHandlerExtR(options, tiff_quiet, nullptr);
    TIFF* tiff = TIFFFdOpenExt(fd, file.final_path().c_str(), "w", options);
    TIFFOpenOptionsFree(options);
    if (tiff == nullptr) {
        close(fd);
        return false;
    }
    const int rows_per_strip = 64;
    bool ok = TIFFSetField(tiff, TIFFTAG_IMAGEWIDTH, static_cast<uint32_t>(image.cols)) &&
              TIFFSetField(tiff, TIFFTAG_IMAGELENGTH, static_cast<uint32_t>(image.rows)) &&
              TIFFSetField(tiff, TIFFTAG_BITSPERSAMPLE, depth == CV_16U ? 16 : 8) &&
              TIFFSetField(tiff, TIFFTAG_SAMPLESPERPIXEL, channels) &&
              TIFFSetField(tiff, TIFFTAG_PHOTOMETRIC,
                           channels == 3 ? PHOTOMETRIC_RGB : PHOTOMETRIC_MINISBLACK) &&
              TIFFSetField(tiff, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG) &&
              TIFFSetField(tiff, TIFFTAG_COMPRESSION, COMPRESSION_NONE) &&
              TIFFSetField(tiff, TIFFTAG_ROWSPERSTRIP, rows_per_strip);
    const size_t row_bytes = image.cols * image.elemSize();
    std::vector<unsigned char> row(row_bytes);
    for (int y = 0; ok && y < image.rows; ++y) {
        const unsigned char* in = image.ptr<unsigned char>(y);
        if (channels == 3) {
            const size_t sample = image.elemSize1();
            for (size_t x = 0; x < row_bytes; x += 3 * sample) {  // BGR to RGB
                for (size_t b = 0; b < sample; ++b) {
                    row[x + b] = in[x + 2 * sample + b];
                    row[x + sample + b] = in[x + sample + b];
                    row[x + 2 * sample + b] = in[x + b];
                }
            }
        } else {
            std::copy_n(in, row_bytes, row.data());
        }
        ok = TIFFWriteScanline(tiff, row.data(), static_cast<uint32_t>(y), 0) == 1;
    }
    ok = TIFFWriteDirectory(tiff) && ok;
    TIFFClose(tiff);  // closes the copy
    return ok && file.finish();
}

bool write_image(AtomicFile& file, const cv::Mat& image, OutputFormat format, int jpeg_quality) {
    switch (format) {
        case OutputFormat::png:
            return write_png(
                       image,
                       [&file](const unsigned char* data, size_t size) {
                           return file.write(data, size);
                       },
                       PngCompression::fast) &&
                   file.finish();
        case OutputFormat::ppm:
            return write_ppm(file, image);
        case OutputFormat::tiff:
            return write_tiff(file, image);
        case OutputFormat::jpeg:
            return write_jpeg(file, image, jpeg_quality);
    }
    return false;
}

}  // namespace rectify
