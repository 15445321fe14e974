// JPEG through libjpeg-turbo, as cv::imread decodes it: three-channel output
// straight in BGR, greyscale as it is, and four-component (CMYK, or YCCK that
// the library turns into CMYK) read as CMYK and converted to BGR row by row.
//
// Warnings that mean pixels were lost (the data ends early, a segment is cut
// short, a code is invalid) fail the decode; others, such as an extraneous
// byte before a marker, are harmless. Errors leave by longjmp: the functions
// that call the library keep only trivially destructible objects in their
// frames.

#include <cstdio>  // jpeglib.h needs FILE and size_t

#include <jerror.h>
#include <jpeglib.h>

#include <algorithm>
#include <csetjmp>
#include <vector>

#include "imagefiles/decoder.hpp"

namespace rectify::detail {
namespace {

struct JpegErrors {
    jpeg_error_mgr manager;  // first, so that the library's pointer is ours
    std::jmp_buf jump;
    bool data_lost = false;
};

void jpeg_fail(j_common_ptr info) {
    std::longjmp(reinterpret_cast<JpegErrors*>(info->err)->jump, 1);
}

void jpeg_quiet_output(j_common_ptr) {}

void jpeg_note(j_common_ptr info, int level) {
    if (level >= 0) {
        return;  // trace messages
    }
    auto* errors = reinterpret_cast<JpegErrors*>(info->err);
    switch (errors->manager.msg_code) {
        case JWRN_JPEG_EOF:
        case JWRN_HIT_MARKER:
        case JWRN_HUFF_BAD_CODE:
        case JWRN_MUST_RESYNC:
            errors->data_lost = true;
            break;
        default:
            break;
    }
}

struct JpegSource {
    jpeg_source_mgr manager;  // first, so that the library's pointer is ours
    FileSource* file = nullptr;
    const std::atomic<bool>* cancel = nullptr;
};

constexpr JOCTET FAKE_EOI[2] = {0xFF, JPEG_EOI};

void init_source(j_decompress_ptr) {}
void term_source(j_decompress_ptr) {}

boolean fill_input_buffer(j_decompress_ptr info) {
    auto* source = reinterpret_cast<JpegSource*>(info->src);
    if (cancelled(source->cancel)) {
        ERREXIT(info, JERR_FILE_READ);
    }
    size_t size = 0;
    const unsigned char* chunk = source->file->next_chunk(size);
    if (size == 0) {
        // As the library's own sources do: warn, and end the data cleanly.
        WARNMS(info, JWRN_JPEG_EOF);
        chunk = FAKE_EOI;
        size = sizeof FAKE_EOI;
    }
    source->manager.next_input_byte = chunk;
    source->manager.bytes_in_buffer = size;
    return TRUE;
}

void skip_input_data(j_decompress_ptr info, long count) {
    jpeg_source_mgr* manager = info->src;
    while (count > static_cast<long>(manager->bytes_in_buffer)) {
        count -= static_cast<long>(manager->bytes_in_buffer);
        manager->fill_input_buffer(info);
    }
    if (count > 0) {
        manager->next_input_byte += count;
        manager->bytes_in_buffer -= static_cast<size_t>(count);
    }
}

bool read_jpeg_header(jpeg_decompress_struct& info, JpegErrors& errors) {
    if (setjmp(errors.jump)) {
        return false;
    }
    return jpeg_read_header(&info, TRUE) == JPEG_HEADER_OK && !errors.data_lost;
}

// OpenCV's CMYK to BGR conversion of a row.
void cmyk_to_bgr(const unsigned char* cmyk, unsigned char* bgr, int width) {
    for (int x = 0; x < width; ++x, cmyk += 4, bgr += 3) {
        const int k = cmyk[3];
        bgr[2] = static_cast<unsigned char>(k - ((255 - cmyk[0]) * k >> 8));
        bgr[1] = static_cast<unsigned char>(k - ((255 - cmyk[1]) * k >> 8));
        bgr[0] = static_cast<unsigned char>(k - ((255 - cmyk[2]) * k >> 8));
    }
}

constexpr int MAX_ROWS_PER_READ = 16;

// row: a buffer of 4 x width bytes for CMYK input, else unused.
bool read_jpeg_rows(jpeg_decompress_struct& info, JpegErrors& errors, cv::Mat& image,
                    unsigned char* row, JpegSource& source, const std::atomic<bool>* cancel) {
    if (setjmp(errors.jump)) {
        return false;
    }
    source.cancel = cancel;
    const bool cmyk = info.num_components == 4;
    if (cmyk) {
        info.out_color_space = JCS_CMYK;
        info.out_color_components = 4;
    } else if (image.channels() > 1) {
        info.out_color_space = JCS_EXT_BGR;
        info.out_color_components = 3;
    } else {
        info.out_color_space = JCS_GRAYSCALE;
        info.out_color_components = 1;
    }
    jpeg_start_decompress(&info);
    if (static_cast<int>(info.output_width) != image.cols ||
        static_cast<int>(info.output_height) != image.rows) {
        return false;
    }
    // Straight into the image, a few rows per call (CMYK: one, through row).
    const int batch = cmyk ? 1 : MAX_ROWS_PER_READ;
    while (info.output_scanline < info.output_height) {
        if (errors.data_lost || cancelled(cancel)) {
            return false;
        }
        const int y = static_cast<int>(info.output_scanline);
        const int count = std::min(batch, image.rows - y);
        JSAMPROW rows[MAX_ROWS_PER_READ];
        for (int i = 0; i < count; ++i) {
            rows[i] = cmyk ? row : image.ptr(y + i);
        }
        const auto got = jpeg_read_scanlines(&info, rows, static_cast<JDIMENSION>(count));
        if (got == 0) {
            return false;
        }
        if (cmyk) {
            cmyk_to_bgr(row, image.ptr(y), image.cols);
        }
    }
    jpeg_finish_decompress(&info);
    return !errors.data_lost;
}

class JpegDecoder final : public Decoder {
  public:
    JpegDecoder(std::unique_ptr<FileSource> source, ImageMode mode)
        : file_(std::move(source)), mode_(mode) {
        info_.err = jpeg_std_error(&errors_.manager);
        errors_.manager.error_exit = jpeg_fail;
        errors_.manager.output_message = jpeg_quiet_output;
        errors_.manager.emit_message = jpeg_note;
        created_ = create();
        source_.file = file_.get();
        source_.manager.init_source = init_source;
        source_.manager.fill_input_buffer = fill_input_buffer;
        source_.manager.skip_input_data = skip_input_data;
        source_.manager.resync_to_restart = jpeg_resync_to_restart;
        source_.manager.term_source = term_source;
        source_.manager.bytes_in_buffer = 0;
        source_.manager.next_input_byte = nullptr;
        info_.src = &source_.manager;
    }
    ~JpegDecoder() override {
        if (created_) {
            jpeg_destroy_decompress(&info_);
        }
    }
    JpegDecoder(const JpegDecoder&) = delete;
    JpegDecoder& operator=(const JpegDecoder&) = delete;

    bool read_header(ImageHeader& header) override {
        if (!created_ || !read_jpeg_header(info_, errors_) ||
            !acceptable_size(info_.image_width, info_.image_height)) {
            return false;
        }
        header.format = ImageFormat::jpeg;
        header.width = static_cast<int>(info_.image_width);
        header.height = static_cast<int>(info_.image_height);
        header.type = mode_ == ImageMode::any && info_.num_components == 1 ? CV_8UC1 : CV_8UC3;
        return true;
    }

    bool decode(cv::Mat& image, const std::atomic<bool>* cancel) override {
        std::vector<unsigned char> row(info_.num_components == 4 ? size_t{4} * image.cols : 0);
        return read_jpeg_rows(info_, errors_, image, row.data(), source_, cancel);
    }

  private:
    bool create() {
        if (setjmp(errors_.jump)) {
            return false;
        }
        jpeg_create_decompress(&info_);
        return true;
    }

    std::unique_ptr<FileSource> file_;
    ImageMode mode_;
    jpeg_decompress_struct info_{};
    JpegErrors errors_{};
    JpegSource source_{};
    bool created_ = false;
};

}  // namespace

std::unique_ptr<Decoder> make_jpeg_decoder(std::unique_ptr<FileSource> source, ImageMode mode) {
    return std::make_unique<JpegDecoder>(std::move(source), mode);
}

}  // namespace rectify::detail
