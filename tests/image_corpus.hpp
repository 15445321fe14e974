#pragma once
// Encoded test images the image library's own writer cannot make: PNG of any
// colour type, bit depth, transparency and interlacing through libpng, and
// JPEG of any colour space, sampling, progression and restart interval through
// libjpeg. The pixels are noise from a fixed seed.

#include <cstdio>  // jpeglib.h needs FILE and size_t

#include <jpeglib.h>
#include <png.h>

#include <csetjmp>
#include <cstring>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

namespace rectify::testing {

struct PngVariant {
    int color_type = PNG_COLOR_TYPE_RGB;
    int bit_depth = 8;
    bool interlaced = false;
    bool transparency = false;  // a tRNS chunk
    int width = 37;
    int height = 29;
};

inline void append_bytes(png_structp png, png_bytep data, size_t size) {
    auto* out = static_cast<std::string*>(png_get_io_ptr(png));
    out->append(reinterpret_cast<const char*>(data), size);
}

inline std::string png_bytes(const PngVariant& v) {
    std::string out;
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, &info);
        return {};
    }
    png_set_write_fn(png, &out, append_bytes, nullptr);
    png_set_IHDR(png, info, static_cast<png_uint_32>(v.width), static_cast<png_uint_32>(v.height),
                 v.bit_depth, v.color_type, v.interlaced ? PNG_INTERLACE_ADAM7 : PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    cv::RNG rng(static_cast<uint64_t>(v.color_type * 100 + v.bit_depth * 10 + v.interlaced));
    const int entries = 1 << std::min(v.bit_depth, 8);
    std::vector<png_color> palette(static_cast<size_t>(entries));
    std::vector<png_byte> alphas(static_cast<size_t>(entries));
    if (v.color_type == PNG_COLOR_TYPE_PALETTE) {
        for (png_color& colour : palette) {
            colour = {static_cast<png_byte>(rng.uniform(0, 256)),
                      static_cast<png_byte>(rng.uniform(0, 256)),
                      static_cast<png_byte>(rng.uniform(0, 256))};
        }
        png_set_PLTE(png, info, palette.data(), entries);
    }
    if (v.transparency) {
        for (png_byte& alpha : alphas) {
            alpha = static_cast<png_byte>(rng.uniform(0, 256));
        }
        png_color_16 colour{};
        colour.gray = colour.red = static_cast<png_uint_16>((1 << v.bit_depth) / 3);
        colour.green = colour.blue = colour.red;
        png_set_tRNS(png, info, alphas.data(), entries / 2, &colour);
    }
    png_write_info(png, info);
    const size_t row_bytes = png_get_rowbytes(png, info);
    std::vector<png_byte> row(row_bytes);
    const int passes = png_set_interlace_handling(png);
    std::vector<std::vector<png_byte>> rows(static_cast<size_t>(v.height), row);
    for (auto& r : rows) {
        rng.fill(r, cv::RNG::UNIFORM, 0, 256);
    }
    for (int pass = 0; pass < passes; ++pass) {
        for (auto& r : rows) {
            png_write_row(png, r.data());
        }
    }
    png_write_end(png, info);
    png_destroy_write_struct(&png, &info);
    return out;
}

struct JpegVariant {
    J_COLOR_SPACE input = JCS_RGB;     // JCS_RGB, JCS_GRAYSCALE or JCS_CMYK
    J_COLOR_SPACE stored = JCS_YCbCr;  // the colour space in the file
    int h_luma = 2, v_luma = 2;        // luma sampling factors (4:2:0 by default)
    bool progressive = false;
    int restart_rows = 0;
    int width = 45;
    int height = 31;
};

struct JpegErrorJump {
    jpeg_error_mgr manager;
    std::jmp_buf jump;
};

inline std::string jpeg_bytes(const JpegVariant& v) {
    jpeg_compress_struct info{};
    JpegErrorJump errors{};
    info.err = jpeg_std_error(&errors.manager);
    errors.manager.error_exit = [](j_common_ptr c) {
        std::longjmp(reinterpret_cast<JpegErrorJump*>(c->err)->jump, 1);
    };
    unsigned char* buffer = nullptr;
    unsigned long size = 0;
    const int components = v.input == JCS_GRAYSCALE ? 1 : v.input == JCS_CMYK ? 4 : 3;
    cv::Mat pixels(v.height, v.width * components, CV_8UC1);
    cv::RNG(static_cast<uint64_t>(v.input * 31 + v.stored)).fill(pixels, cv::RNG::UNIFORM, 0, 256);
    if (setjmp(errors.jump)) {
        jpeg_destroy_compress(&info);
        std::free(buffer);
        return {};
    }
    jpeg_create_compress(&info);
    jpeg_mem_dest(&info, &buffer, &size);
    info.image_width = static_cast<JDIMENSION>(v.width);
    info.image_height = static_cast<JDIMENSION>(v.height);
    info.input_components = components;
    info.in_color_space = v.input;
    jpeg_set_defaults(&info);
    jpeg_set_colorspace(&info, v.stored);
    jpeg_set_quality(&info, 90, TRUE);
    info.comp_info[0].h_samp_factor = v.h_luma;
    info.comp_info[0].v_samp_factor = v.v_luma;
    info.restart_in_rows = v.restart_rows;
    if (v.progressive) {
        jpeg_simple_progression(&info);
    }
    jpeg_start_compress(&info, TRUE);
    while (info.next_scanline < info.image_height) {
        JSAMPROW row = pixels.ptr(static_cast<int>(info.next_scanline));
        jpeg_write_scanlines(&info, &row, 1);
    }
    jpeg_finish_compress(&info);
    jpeg_destroy_compress(&info);
    std::string out(reinterpret_cast<const char*>(buffer), size);
    std::free(buffer);
    return out;
}

}  // namespace rectify::testing
