#include "imaging/bilinear.hpp"

#include <algorithm>
#include <cstdint>
#include <cstring>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define RECTIFY_BILINEAR_X86 1
#endif

namespace rectify {
namespace {

// One pixel, every sample clamped into the image (the replicated border).
std::uint8_t bilinear_pixel(const cv::Mat& source, int x0, int y0, int fraction) {
    const int fx = fraction & 31, fy = fraction >> 5;
    const int last_x = source.cols - 1, last_y = source.rows - 1;
    const int xa = std::clamp(x0, 0, last_x), xb = std::clamp(x0 + 1, 0, last_x);
    const std::uint8_t* row_a = source.ptr<std::uint8_t>(std::clamp(y0, 0, last_y));
    const std::uint8_t* row_b = source.ptr<std::uint8_t>(std::clamp(y0 + 1, 0, last_y));
    const int sum = row_a[xa] * (32 - fx) * (32 - fy) + row_a[xb] * fx * (32 - fy) +
                    row_b[xa] * (32 - fx) * fy + row_b[xb] * fx * fy;
    return static_cast<std::uint8_t>((sum + 512) >> 10);
}

void row_portable(const cv::Mat& source, const cv::Vec2s* xy, const std::uint16_t* fraction,
                  const std::uint8_t* outside, std::uint8_t* out, int x_begin, int width) {
    for (int x = x_begin; x < width; ++x) {
        if (!outside[x]) {
            out[x] = bilinear_pixel(source, xy[x][0], xy[x][1], fraction[x]);
        }
    }
}

#ifdef RECTIFY_BILINEAR_X86

bool processor_has_avx2() {
    return __builtin_cpu_supports("avx2");
}

// Eight pixels a step. Lanes whose 2 x 2 neighbourhood is not wholly inside
// the image with room for a 4-byte read (x0 up to width - 4, y0 up to
// height - 2) are done one by one afterwards, unless they are outside.
__attribute__((target("avx2"))) void row_avx2(const cv::Mat& source, const cv::Vec2s* xy,
                                              const std::uint16_t* fraction,
                                              const std::uint8_t* outside, std::uint8_t* out,
                                              int width) {
    const auto* base = reinterpret_cast<const int*>(source.ptr<std::uint8_t>());
    const int step = static_cast<int>(source.step[0]);
    const __m256i madd_step = _mm256_set1_epi32(static_cast<int>((static_cast<unsigned>(step) << 16) | 1u));
    const __m256i x_limit = _mm256_set1_epi32(source.cols - 4);
    const __m256i y_limit = _mm256_set1_epi32(source.rows - 2);
    const __m256i minus_one = _mm256_set1_epi32(-1);
    const __m256i byte = _mm256_set1_epi32(0xFF);
    const __m256i thirty_two = _mm256_set1_epi32(32);
    const __m256i thirty_one = _mm256_set1_epi32(31);
    const __m256i half = _mm256_set1_epi32(512);
    const __m256i row_step = _mm256_set1_epi32(step);
    int x = 0;
    for (; x + 8 <= width; x += 8) {
        const __m256i pairs = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(xy + x));
        // (x0, y0) as 16-bit pairs: x0 + step * y0 in one multiply-add.
        const __m256i offset = _mm256_madd_epi16(pairs, madd_step);
        const __m256i x0 = _mm256_srai_epi32(_mm256_slli_epi32(pairs, 16), 16);
        const __m256i y0 = _mm256_srai_epi32(pairs, 16);
        const __m256i usable = _mm256_and_si256(
            _mm256_and_si256(_mm256_cmpgt_epi32(x0, minus_one), _mm256_cmpgt_epi32(y0, minus_one)),
            _mm256_andnot_si256(_mm256_or_si256(_mm256_cmpgt_epi32(x0, x_limit),
                                                _mm256_cmpgt_epi32(y0, y_limit)),
                                minus_one));
        const __m256i top =
            _mm256_mask_i32gather_epi32(_mm256_setzero_si256(), base, offset, usable, 1);
        const __m256i bottom = _mm256_mask_i32gather_epi32(
            _mm256_setzero_si256(), base, _mm256_add_epi32(offset, row_step), usable, 1);
        const __m256i f = _mm256_cvtepu16_epi32(
            _mm_loadu_si128(reinterpret_cast<const __m128i*>(fraction + x)));
        const __m256i fx = _mm256_and_si256(f, thirty_one);
        const __m256i fy = _mm256_srli_epi32(f, 5);
        const __m256i gx = _mm256_sub_epi32(thirty_two, fx);
        const __m256i gy = _mm256_sub_epi32(thirty_two, fy);
        __m256i sum = _mm256_mullo_epi32(_mm256_and_si256(top, byte), _mm256_mullo_epi32(gx, gy));
        sum = _mm256_add_epi32(sum, _mm256_mullo_epi32(_mm256_and_si256(_mm256_srli_epi32(top, 8), byte),
                                                       _mm256_mullo_epi32(fx, gy)));
        sum = _mm256_add_epi32(sum, _mm256_mullo_epi32(_mm256_and_si256(bottom, byte),
                                                       _mm256_mullo_epi32(gx, fy)));
        sum = _mm256_add_epi32(sum, _mm256_mullo_epi32(_mm256_and_si256(_mm256_srli_epi32(bottom, 8), byte),
                                                       _mm256_mullo_epi32(fx, fy)));
        const __m256i result = _mm256_srli_epi32(_mm256_add_epi32(sum, half), 10);
        // Eight 32-bit lanes to eight bytes.
        const __m256i words = _mm256_packus_epi32(result, result);
        const __m256i bytes = _mm256_packus_epi16(words, words);
        const std::uint32_t low = static_cast<std::uint32_t>(_mm256_extract_epi32(bytes, 0));
        const std::uint32_t high = static_cast<std::uint32_t>(_mm256_extract_epi32(bytes, 4));
        std::memcpy(out + x, &low, 4);
        std::memcpy(out + x + 4, &high, 4);
        const unsigned done = static_cast<unsigned>(_mm256_movemask_ps(_mm256_castsi256_ps(usable)));
        if (done != 0xFF) {
            for (int lane = 0; lane < 8; ++lane) {
                if (!(done >> lane & 1u) && !outside[x + lane]) {
                    out[x + lane] = bilinear_pixel(source, xy[x + lane][0], xy[x + lane][1],
                                                   fraction[x + lane]);
                }
            }
        }
    }
    _mm256_zeroupper();
    row_portable(source, xy, fraction, outside, out, x, width);
}

#endif

}  // namespace

void bilinear_grey_rows(const cv::Mat& source, const cv::Mat& table, const cv::Mat& fractions,
                        const cv::Mat& outside, cv::Mat& output, int y_begin, int y_end,
                        bool vector_instructions) {
    CV_Assert(source.type() == CV_8UC1 && table.type() == CV_16SC2 &&
              fractions.type() == CV_16UC1 && output.type() == CV_8UC1);
#ifdef RECTIFY_BILINEAR_X86
    const bool vector = vector_instructions && processor_has_avx2() && source.step[0] < 32768 &&
                        source.rows >= 2 && source.cols >= 4;
#else
    const bool vector = false;
    (void)vector_instructions;
#endif
    for (int y = y_begin; y < y_end; ++y) {
        const auto* xy = table.ptr<cv::Vec2s>(y);
        const auto* fraction = fractions.ptr<std::uint16_t>(y);
        const auto* skip = outside.ptr<std::uint8_t>(y);
        auto* out = output.ptr<std::uint8_t>(y);
#ifdef RECTIFY_BILINEAR_X86
        if (vector) {
            row_avx2(source, xy, fraction, skip, out, table.cols);
            continue;
        }
#endif
        row_portable(source, xy, fraction, skip, out, 0, table.cols);
    }
}

}  // namespace rectify
