#include "imaging/warp.hpp"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define RECTIFY_WARP_X86 1
#endif


#include "geometry/matrix.hpp"
#include "imaging/parallel.hpp"

namespace rectify {
namespace {

// Everything the row loops need, as plain values and pointers.
struct WarpJob {
    float m[9];
    const std::uint8_t* source;
    std::size_t source_step;
    std::uint8_t* destination;
    std::size_t destination_step;
    int width;
    int height;
    std::uint8_t fill;
};

void check_arguments(const cv::Mat& H, const cv::Mat& source, int width, int height,
                     const cv::Mat& destination) {
    CV_Assert(H.rows == 3 && H.cols == 3 && H.type() == CV_32F);
    CV_Assert(source.type() == CV_8UC3 && source.cols >= width && source.rows >= height);
    CV_Assert(destination.type() == CV_8UC3 && destination.cols >= width &&
              destination.rows >= height);
}

WarpJob make_job(const cv::Mat& H, const cv::Mat& source, int width, int height,
                 cv::Mat& destination, int fill) {
    WarpJob job{};
    for (int i = 0; i < 9; ++i) {
        job.m[i] = H.at<float>(i / 3, i % 3);
    }
    job.source = source.ptr<std::uint8_t>();
    job.source_step = source.step[0];
    job.destination = destination.ptr<std::uint8_t>();
    job.destination_step = destination.step[0];
    job.width = width;
    job.height = height;
    job.fill = static_cast<std::uint8_t>(fill & 0xff);
    return job;
}

// The source index for a projected coordinate c along an axis of the given
// size, or -1 when the pixel falls outside. Halves round upward:
// floor(c + 0.5), formed in double. The last column (row) counts as outside,
// so usable indices run from 0 to size - 2.
// A NaN, an infinity or a rounded value beyond the int range fails the
// comparison, which is made in double before any conversion: such a pixel
// takes the fill value and nothing is read for it.
int source_index(float c, int size) {
    const double rounded = std::floor(static_cast<double>(c) + 0.5);
    if (!(rounded >= 0.0 && rounded < static_cast<double>(size) - 1.0)) {
        return -1;
    }
    return static_cast<int>(rounded);
}

// Returns whether the pixel came from the source.
bool write_pixel(const WarpJob& job, std::uint8_t* out, int sx, int sy) {
    if (sx < 0 || sy < 0) {
        out[0] = out[1] = out[2] = job.fill;
        return false;
    }
    const std::uint8_t* in = job.source + static_cast<std::size_t>(sy) * job.source_step +
                             3 * static_cast<std::size_t>(sx);
    out[0] = in[0];
    out[1] = in[1];
    out[2] = in[2];
    return true;
}

std::uint8_t* destination_row(const WarpJob& job, int y) {
    return job.destination + static_cast<std::size_t>(y) * job.destination_step;
}

// Output pixels x_begin .. width - 1 of row y, one projection each. Returns
// how many of them came from the source.
long long warp_row_scalar(const WarpJob& shared_job, int y, int x_begin) {
    // A private copy: the byte stores below could otherwise alias the job, and
    // every field would be reloaded after each of them.
    const WarpJob job = shared_job;
    std::uint8_t* out = destination_row(job, y);
    long long from_source = 0;
    for (int x = x_begin; x < job.width; ++x) {
        const auto q =
            project_homogeneous(job.m, static_cast<float>(x), static_cast<float>(y), 1.0f);
        from_source +=
            write_pixel(job, out + 3 * static_cast<std::size_t>(x), source_index(q[0], job.width),
                        source_index(q[1], job.height));
    }
    return from_source;
}

long long warp_rows_scalar(const WarpJob& job, int y_begin, int y_end) {
    long long from_source = 0;
    for (int y = y_begin; y < y_end; ++y) {
        from_source += warp_row_scalar(job, y, 0);
    }
    return from_source;
}

#ifdef RECTIFY_WARP_X86

// The vector rows work on eight output pixels at a time and reproduce the
// scalar arithmetic exactly:
// - component i is float((m_i0 * x + m_i1 * y) + m_i2) in double. The products
//   of a float and an integer below 2^24 are exact in double, so one fused
//   multiply-add of m_i0 * x onto the row constant m_i1 * y rounds exactly like
//   the plain sum; the double sums are then rounded to float.
// - the float quotient r0 / r2 is the correctly rounded quotient, the same
//   value as the double quotient rounded to float.
// - floor(u + 0.5) lies in [0, width - 2] exactly when -0.5 <= u < width - 1.5
//   (both bounds are exact floats while width < 2^22; NaN fails both), and the
//   rounded index is floor(u) + (u - floor(u) >= 0.5), all exact in float.
// - the source pixel is fetched as four bytes at its offset: the last column
//   never counts as usable, so the fourth byte still lies inside the row.

constexpr int max_vector_size = 1 << 22;

bool vector_path_fits(const WarpJob& job) {
    const auto last_byte = static_cast<std::uint64_t>(job.height) * job.source_step;
    return job.width < max_vector_size && job.height < max_vector_size &&
           last_byte <= static_cast<std::uint64_t>(std::numeric_limits<std::int32_t>::max());
}

bool processor_has_avx2() {
    return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
}

// Eight float components from two groups of four x values.
__attribute__((target("avx2,fma"))) inline __m256 component8(__m256d m_x, __m256d row_term,
                                                             __m256d m_1, __m256d x_low,
                                                             __m256d x_high) {
    const __m128 low = _mm256_cvtpd_ps(_mm256_add_pd(_mm256_fmadd_pd(m_x, x_low, row_term), m_1));
    const __m128 high = _mm256_cvtpd_ps(_mm256_add_pd(_mm256_fmadd_pd(m_x, x_high, row_term), m_1));
    return _mm256_set_m128(high, low);
}

// Rounded indices (valid where usable is set) and the usability mask.
__attribute__((target("avx2,fma"))) inline __m256i round_index(__m256 c, __m256 upper,
                                                               __m256& usable) {
    const __m256 floor_c = _mm256_floor_ps(c);
    const __m256 upward =
        _mm256_cmp_ps(_mm256_sub_ps(c, floor_c), _mm256_set1_ps(0.5f), _CMP_GE_OQ);
    usable = _mm256_and_ps(usable, _mm256_cmp_ps(c, _mm256_set1_ps(-0.5f), _CMP_GE_OQ));
    usable = _mm256_and_ps(usable, _mm256_cmp_ps(c, upper, _CMP_LT_OQ));
    // upward is all ones (-1) in its lanes: subtracting it adds one.
    return _mm256_sub_epi32(_mm256_cvttps_epi32(floor_c), _mm256_castps_si256(upward));
}

// Stores 24 bytes (eight pixels). Where two more pixels follow in the row, each
// half goes out as 16 bytes whose last four are overwritten afterwards;
// otherwise exactly 24 bytes are written.
__attribute__((target("avx2,fma"))) inline void store_pixels8(std::uint8_t* out, __m256i packed,
                                                              bool room_after) {
    const __m128i low = _mm256_castsi256_si128(packed);
    const __m128i high = _mm256_extracti128_si256(packed, 1);
    if (room_after) {
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out), low);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 12), high);
        return;
    }
    _mm_storel_epi64(reinterpret_cast<__m128i*>(out), low);
    const std::uint32_t low_tail = static_cast<std::uint32_t>(_mm_extract_epi32(low, 2));
    std::memcpy(out + 8, &low_tail, 4);
    _mm_storel_epi64(reinterpret_cast<__m128i*>(out + 12), high);
    const std::uint32_t high_tail = static_cast<std::uint32_t>(_mm_extract_epi32(high, 2));
    std::memcpy(out + 20, &high_tail, 4);
}

__attribute__((target("avx2,fma"))) long long warp_rows_avx2(const WarpJob& job, int y_begin,
                                                             int y_end) {
    const __m256d m00 = _mm256_set1_pd(job.m[0]), m02 = _mm256_set1_pd(job.m[2]);
    const __m256d m10 = _mm256_set1_pd(job.m[3]), m12 = _mm256_set1_pd(job.m[5]);
    const __m256d m20 = _mm256_set1_pd(job.m[6]), m22 = _mm256_set1_pd(job.m[8]);
    const __m256 u_upper = _mm256_set1_ps(static_cast<float>(job.width) - 1.5f);
    const __m256 v_upper = _mm256_set1_ps(static_cast<float>(job.height) - 1.5f);
    const __m256i source_step = _mm256_set1_epi32(static_cast<int>(job.source_step));
    const __m256i fill = _mm256_set1_epi32(job.fill * 0x010101);
    // Keeps the three colour bytes of each 32-bit lane, packed to 12 bytes.
    const __m256i pack = _mm256_setr_epi8(0, 1, 2, 4, 5, 6, 8, 9, 10, 12, 13, 14, -1, -1, -1, -1, 0,
                                          1, 2, 4, 5, 6, 8, 9, 10, 12, 13, 14, -1, -1, -1, -1);
    const auto* source = reinterpret_cast<const int*>(job.source);
    const __m256d eight = _mm256_set1_pd(8.0);
    const int width = job.width;
    long long from_source = 0;

    for (int y = y_begin; y < y_end; ++y) {
        const double yd = y;
        const __m256d row0 = _mm256_set1_pd(static_cast<double>(job.m[1]) * yd);
        const __m256d row1 = _mm256_set1_pd(static_cast<double>(job.m[4]) * yd);
        const __m256d row2 = _mm256_set1_pd(static_cast<double>(job.m[7]) * yd);
        std::uint8_t* out = destination_row(job, y);
        __m256d x_low = _mm256_setr_pd(0.0, 1.0, 2.0, 3.0);
        __m256d x_high = _mm256_setr_pd(4.0, 5.0, 6.0, 7.0);
        int x = 0;
        for (; x + 8 <= width; x += 8) {
            const __m256 r0 = component8(m00, row0, m02, x_low, x_high);
            const __m256 r1 = component8(m10, row1, m12, x_low, x_high);
            const __m256 r2 = component8(m20, row2, m22, x_low, x_high);
            x_low = _mm256_add_pd(x_low, eight);
            x_high = _mm256_add_pd(x_high, eight);

            __m256 usable = _mm256_castsi256_ps(_mm256_set1_epi32(-1));
            const __m256i sx = round_index(_mm256_div_ps(r0, r2), u_upper, usable);
            const __m256i sy = round_index(_mm256_div_ps(r1, r2), v_upper, usable);
            from_source += __builtin_popcount(static_cast<unsigned>(_mm256_movemask_ps(usable)));
            const __m256i offset = _mm256_add_epi32(_mm256_mullo_epi32(sy, source_step),
                                                    _mm256_add_epi32(sx, _mm256_add_epi32(sx, sx)));
            const __m256i pixels =
                _mm256_mask_i32gather_epi32(fill, source, offset, _mm256_castps_si256(usable), 1);
            store_pixels8(out + 3 * static_cast<std::size_t>(x), _mm256_shuffle_epi8(pixels, pack),
                          x + 10 <= width);
        }
        // The leftover pixels run legacy SSE code: leave no upper register
        // halves dirty, here or on return, or every SSE instruction after
        // this function (in any caller) may slow down.
        _mm256_zeroupper();
        from_source += warp_row_scalar(job, y, x);
    }
    return from_source;
}

#endif  // RECTIFY_WARP_X86

using RowsFunction = long long (*)(const WarpJob&, int, int);

RowsFunction choose_rows_function(const WarpJob& job, bool vector_instructions) {
#ifdef RECTIFY_WARP_X86
    if (vector_instructions && vector_path_fits(job) && processor_has_avx2()) {
        return warp_rows_avx2;
    }
#else
    (void)job;
    (void)vector_instructions;
#endif
    return warp_rows_scalar;
}

// Work is handed out in bands of rows. A band below this many pixels costs
// more to hand out than it saves; several bands per thread let a thread that
// runs late or on a busy core take fewer of them.
constexpr long long min_band_pixels = 1 << 13;
constexpr int bands_per_thread = 16;

int band_count(const WarpJob& job, bool worker_threads, int threads) {
    const long long pixels = static_cast<long long>(job.width) * job.height;
    const long long by_size = std::min<long long>(pixels / min_band_pixels, job.height);
    // Too little work for two threads with a few bands each: stay in this thread.
    if (!worker_threads || threads <= 1 || by_size < 2 * 4) {
        return 1;
    }
    return static_cast<int>(std::min<long long>(by_size, threads * bands_per_thread));
}

// Rows go out in bands to threads of our own and the calling thread; the
// counts of source pixels are summed.
long long run_in_bands(const WarpJob& job, RowsFunction rows, bool worker_threads) {
    const int threads = available_processors();
    const int bands = band_count(job, worker_threads, threads);
    if (bands <= 1) {
        return rows(job, 0, job.height);
    }
    const auto band_start = [&](int band) {
        return static_cast<int>(static_cast<long long>(job.height) * band / bands);
    };
    std::atomic<long long> from_source{0};
    run_in_parallel(bands, threads, [&](int band) {
        from_source += rows(job, band_start(band), band_start(band + 1));
    });
    return from_source.load();
}

}  // namespace

long long warp_image(const cv::Mat& H, const cv::Mat& source, int width, int height,
                     cv::Mat& destination, int fill, const WarpOptions& options) {
    if (width <= 0 || height <= 0) {
        return 0;
    }
    check_arguments(H, source, width, height, destination);
    const WarpJob job = make_job(H, source, width, height, destination, fill);
    return run_in_bands(job, choose_rows_function(job, options.vector_instructions),
                        options.worker_threads);
}

long long warp_image(const cv::Mat& H, const cv::Mat& source, int width, int height,
                     cv::Mat& destination, int fill) {
    return warp_image(H, source, width, height, destination, fill, WarpOptions{});
}

void warp_image_per_pixel(const cv::Mat& H, const cv::Mat& source, int width, int height,
                          cv::Mat& destination, int fill) {
    if (width <= 0 || height <= 0) {
        return;
    }
    check_arguments(H, source, width, height, destination);
    const WarpJob job = make_job(H, source, width, height, destination, fill);
    cv::Mat point(3, 1, CV_32F);
    for (int y = 0; y < height; ++y) {
        std::uint8_t* out = destination_row(job, y);
        for (int x = 0; x < width; ++x) {
            point.at<float>(0, 0) = static_cast<float>(x);
            point.at<float>(1, 0) = static_cast<float>(y);
            point.at<float>(2, 0) = 1.0f;
            const cv::Mat q = project_point(H, point);
            write_pixel(job, out + 3 * static_cast<std::size_t>(x),
                        source_index(q.at<float>(0, 0), width),
                        source_index(q.at<float>(1, 0), height));
        }
    }
}

}  // namespace rectify
