#include "imaging/remap.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <functional>
#include <stdexcept>

#include <opencv2/imgproc.hpp>

#include "imaging/bilinear.hpp"
#include "imaging/parallel.hpp"

namespace rectify {
namespace {

// The nearest rule's index along one axis, or -1: floor(c + 0.5) in double,
// usable from 0 to size - 2.
int nearest_index(float c, int size) {
    const double rounded = std::floor(static_cast<double>(c) + 0.5);
    if (!(rounded >= 0.0 && rounded < static_cast<double>(size) - 1.0)) {
        return -1;
    }
    return static_cast<int>(rounded);
}

// Rows in bands of at most 2^16 pixels, spread over our own threads. Below
// about 1.5 * 2^16 pixels cv::remap runs its rows in the calling thread, so
// the image library starts no threads of its own for these bands, whoever
// calls (with one thread the bands simply run in turn).
void for_each_band(cv::Size size, int threads, const std::function<void(int, int)>& rows) {
    const int band_rows = std::max(1, (1 << 16) / std::max(size.width, 1));
    const int bands = (size.height + band_rows - 1) / band_rows;
    if (bands <= 1 || threads == 1) {
        for (int band = 0; band < bands; ++band) {
            rows(band * band_rows, std::min(size.height, (band + 1) * band_rows));
        }
        return;
    }
    run_in_parallel(bands, threads > 0 ? threads : available_processors(), [&](int band) {
        rows(band * band_rows, std::min(size.height, (band + 1) * band_rows));
    });
}

template <typename T, int channels>
void gather_rows(const cv::Mat& source, const cv::Mat& table, cv::Mat& output, int y_begin,
                 int y_end) {
    for (int y = y_begin; y < y_end; ++y) {
        const cv::Vec2i* index = table.ptr<cv::Vec2i>(y);
        T* out = output.ptr<T>(y);
        for (int x = 0; x < table.cols; ++x, out += channels) {
            if (index[x][0] < 0) {
                continue;  // the fill is written afterwards
            }
            const T* in = source.ptr<T>(index[x][1]) + channels * index[x][0];
            for (int c = 0; c < channels; ++c) {
                out[c] = in[c];
            }
        }
    }
}

void gather(const cv::Mat& source, const cv::Mat& table, cv::Mat& output, int y_begin, int y_end) {
    const bool wide = source.depth() == CV_16U;
    if (source.channels() == 1) {
        wide ? gather_rows<std::uint16_t, 1>(source, table, output, y_begin, y_end)
             : gather_rows<std::uint8_t, 1>(source, table, output, y_begin, y_end);
    } else {
        wide ? gather_rows<std::uint16_t, 3>(source, table, output, y_begin, y_end)
             : gather_rows<std::uint8_t, 3>(source, table, output, y_begin, y_end);
    }
}

int opencv_flag(Interpolation interpolation) {
    switch (interpolation) {
        case Interpolation::cubic:
            return cv::INTER_CUBIC;
        case Interpolation::lanczos:
            return cv::INTER_LANCZOS4;
        default:
            return cv::INTER_LINEAR;
    }
}

}  // namespace

const char* interpolation_name(Interpolation interpolation) {
    switch (interpolation) {
        case Interpolation::nearest:
            return "nearest";
        case Interpolation::cubic:
            return "cubic";
        case Interpolation::lanczos:
            return "lanczos";
        default:
            return "linear";
    }
}

bool has_source(float u, float v, cv::Size source_size, Interpolation interpolation) {
    if (interpolation == Interpolation::nearest) {
        return nearest_index(u, source_size.width) >= 0 &&
               nearest_index(v, source_size.height) >= 0;
    }
    return u >= 0.0f && u <= static_cast<float>(source_size.width - 1) && v >= 0.0f &&
           v <= static_cast<float>(source_size.height - 1);
}

SamplingPlan plan_sampling(const cv::Mat& map_x, const cv::Mat& map_y, cv::Size source_size,
                           cv::Size output_size, Interpolation interpolation) {
    CV_Assert(map_x.type() == CV_32F && map_y.type() == CV_32F && map_x.size() == map_y.size());
    SamplingPlan plan;
    plan.interpolation = interpolation;
    plan.source_size = source_size;
    plan.map_size = map_x.size();
    plan.output_size = output_size;
    plan.outside.create(plan.map_size, CV_8U);
    const bool nearest = interpolation == Interpolation::nearest;
    if (nearest) {
        plan.table.create(plan.map_size, CV_32SC2);
    }
    for_each_band(plan.map_size, 0, [&](int y_begin, int y_end) {
        for (int y = y_begin; y < y_end; ++y) {
            const float* u = map_x.ptr<float>(y);
            const float* v = map_y.ptr<float>(y);
            std::uint8_t* outside = plan.outside.ptr<std::uint8_t>(y);
            cv::Vec2i* index = nearest ? plan.table.ptr<cv::Vec2i>(y) : nullptr;
            for (int x = 0; x < plan.map_size.width; ++x) {
                const bool inside = has_source(u[x], v[x], source_size, interpolation);
                outside[x] = inside ? 0 : 255;
                if (nearest) {
                    index[x] = inside ? cv::Vec2i(nearest_index(u[x], source_size.width),
                                                  nearest_index(v[x], source_size.height))
                                      : cv::Vec2i(-1, -1);
                }
            }
        }
    });
    if (!nearest) {
        cv::convertMaps(map_x, map_y, plan.table, plan.fractions, CV_16SC2, false);
    }
    plan.fills = cv::countNonZero(plan.outside) > 0;
    cv::Mat mask;
    cv::bitwise_not(plan.outside, mask);
    if (output_size != plan.map_size) {
        mask = resize_bilinear(mask, output_size);
        cv::compare(mask, 255, mask, cv::CMP_EQ);
    }
    plan.mask = mask;
    return plan;
}

void run_bands_in_parallel(int bands, const std::function<void(int)>& task) {
    run_in_parallel(bands, available_processors(), task);
}

SamplingPlan plan_side(const StereoCalibration& calibration, const ViewFit& fit, Side side,
                       Interpolation interpolation) {
    const SourceMaps maps = build_source_maps(calibration, fit, side, run_bands_in_parallel);
    return plan_sampling(maps.map_x, maps.map_y, fit.source_size, fit.output_size, interpolation);
}

cv::Mat resample(const cv::Mat& source, const SamplingPlan& plan, int fill_8bit, int threads) {
    CV_Assert(source.size() == plan.source_size);
    CV_Assert((source.depth() == CV_8U || source.depth() == CV_16U) &&
              (source.channels() == 1 || source.channels() == 3));
    const double fill = source.depth() == CV_16U ? fill_8bit * 257.0 : fill_8bit;
    cv::Mat warped(plan.map_size, source.type());
    for_each_band(plan.map_size, threads, [&](int y_begin, int y_end) {
        cv::Mat band = warped.rowRange(y_begin, y_end);
        if (plan.interpolation == Interpolation::nearest) {
            gather(source, plan.table, warped, y_begin, y_end);
        } else if (plan.interpolation == Interpolation::linear && source.type() == CV_8UC1) {
            bilinear_grey_rows(source, plan.table, plan.fractions, plan.outside, warped, y_begin,
                               y_end);
        } else {
            cv::remap(source, band, plan.table.rowRange(y_begin, y_end),
                      plan.fractions.rowRange(y_begin, y_end), opencv_flag(plan.interpolation),
                      cv::BORDER_REPLICATE);
        }
        if (plan.fills) {
            band.setTo(cv::Scalar::all(fill), plan.outside.rowRange(y_begin, y_end));
        }
    });
    return resize_bilinear(warped, plan.output_size);
}

cv::Mat resize_bilinear(const cv::Mat& image, cv::Size size) {
    if (image.size() == size) {
        return image;  // a bilinear resize to the same size copies every pixel
    }
    cv::Mat output;
    try {
        cv::resize(image, output, size, 0, 0, cv::INTER_LINEAR);
    } catch (const std::runtime_error&) {
        // The image library could not start its worker threads: the same
        // resize in this thread alone gives the same pixels.
        const int threads = cv::getNumThreads();
        cv::setNumThreads(1);
        cv::resize(image, output, size, 0, 0, cv::INTER_LINEAR);
        cv::setNumThreads(threads);
    }
    return output;
}

}  // namespace rectify
