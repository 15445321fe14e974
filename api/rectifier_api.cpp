// The rectifier: the batch run's PairRectifier for one image size, and the
// resampling of pairs in memory through it.

#include <new>

#include "api/api_data.hpp"
#include "imaging/remap.hpp"

namespace stereo_rectify {
namespace {

std::string size_text(cv::Size size) {
    return std::to_string(size.width) + " x " + std::to_string(size.height);
}

[[noreturn]] void invalid(const std::string& line) {
    throw Error(Error::Kind::invalid, line);
}

template <typename Enum, typename NameOf>
Enum named(const std::string& name, std::initializer_list<Enum> values, NameOf name_of,
           const char* what) {
    std::string choices;
    for (const Enum value : values) {
        if (name == name_of(value)) {
            return value;
        }
        choices += (choices.empty() ? "" : ", ") + std::string(name_of(value));
    }
    invalid("Invalid " + std::string(what) + " '" + name + "': " + choices + " expected.");
}

void check_image(const cv::Mat& image, const char* side) {
    if (image.empty()) {
        invalid(std::string("Cannot rectify: the ") + side + " image is empty.");
    }
    if ((image.depth() != CV_8U && image.depth() != CV_16U) ||
        (image.channels() != 1 && image.channels() != 3) || image.dims != 2) {
        invalid(std::string("Cannot rectify: the ") + side +
                " image is not an 8- or 16-bit image of 1 or 3 channels.");
    }
}

}  // namespace

View view_named(const std::string& name) {
    const auto view = named(name, {rectify::View::nominal, rectify::View::full, rectify::View::valid},
                            rectify::view_name, "view");
    return static_cast<View>(view);
}

Interpolation interpolation_named(const std::string& name) {
    const auto kernel =
        named(name,
              {rectify::Interpolation::nearest, rectify::Interpolation::linear,
               rectify::Interpolation::cubic, rectify::Interpolation::lanczos},
              rectify::interpolation_name, "interpolation");
    return static_cast<Interpolation>(kernel);
}

Format format_named(const std::string& name) {
    const std::optional<rectify::OutputFormat> format = rectify::output_format_named(name);
    if (!format) {
        invalid("Invalid format '" + name + "': png, ppm, tiff or jpg expected.");
    }
    return static_cast<Format>(*format);
}

rectify::BatchOptions batch_options(const Options& options) {
    static_assert(static_cast<int>(View::valid) == static_cast<int>(rectify::View::valid));
    static_assert(static_cast<int>(Interpolation::lanczos) ==
                  static_cast<int>(rectify::Interpolation::lanczos));
    static_assert(static_cast<int>(Format::jpeg) == static_cast<int>(rectify::OutputFormat::jpeg));
    rectify::BatchOptions batch;
    batch.view = static_cast<rectify::View>(options.view);
    batch.interpolation = static_cast<rectify::Interpolation>(options.interpolation);
    batch.scale = options.scale;
    batch.left_fill = options.left_fill;
    batch.right_fill = options.right_fill;
    return batch;
}

Options options_of(const rectify::BatchOptions& batch, std::optional<cv::Size> image_size) {
    Options options;
    options.view = static_cast<View>(batch.view);
    options.interpolation = static_cast<Interpolation>(batch.interpolation);
    options.scale = batch.scale;
    options.left_fill = batch.left_fill;
    options.right_fill = batch.right_fill;
    options.image_size = image_size;
    return options;
}

Rectifier::Rectifier(const Calibration& calibration, const Options& options) {
    for (const int fill : {options.left_fill, options.right_fill}) {
        if (fill < 0 || fill > 255) {
            invalid("Invalid fill level " + std::to_string(fill) + ": 0 to 255 expected.");
        }
    }
    const std::optional<cv::Size> size =
        options.image_size ? options.image_size : calibration.image_size();
    if (!size) {
        invalid("Cannot rectify: neither the options nor the calibration give the image size.");
    }
    if (size->width < 1 || size->height < 1) {
        invalid("Cannot rectify: the image size " + size_text(*size) + " is not at least 1 x 1.");
    }
    auto data = std::make_shared<Data>(Data{calibration, options, batch_options(options), {}, {}, {}});
    data->options.image_size = *size;
    const rectify::StereoCalibration& stereo = calibration.data().calibration;
    try {
        data->rectifier = rectify::make_pair_rectifier(stereo, data->batch_options, *size);
    } catch (const std::bad_alloc&) {
        throw;
    } catch (const std::exception& error) {
        // The batch tool's line for the same failure.
        invalid(std::string("Cannot rectify: ") + error.what());
    }
    const rectify::RectifiedCameras cameras = rectify::rectifier_cameras(stereo, data->rectifier);
    data->cameras = Cameras{cameras.image_size, cameras.H1, cameras.H2, cameras.P1, cameras.P2,
                            cameras.R1, cameras.R2, cameras.Q, cameras.baseline,
                            cameras.degenerate_rule_applied};
    data->cameras_yaml = rectify::format_cameras_yaml(cameras);
    data_ = std::move(data);
}

cv::Size Rectifier::image_size() const {
    return data_->rectifier.image_size;
}

cv::Size Rectifier::output_size() const {
    return data_->rectifier.output_size;
}

const Options& Rectifier::options() const {
    return data_->options;
}

const Calibration& Rectifier::calibration() const {
    return data_->calibration;
}

const Cameras& Rectifier::cameras() const {
    return data_->cameras;
}

std::string Rectifier::cameras_yaml() const {
    return data_->cameras_yaml;
}

std::pair<cv::Mat, cv::Mat> Rectifier::masks() const {
    // Copies: the rectifier's own stay as they are whatever the caller does.
    return {data_->rectifier.left.mask.clone(), data_->rectifier.right.mask.clone()};
}

std::pair<cv::Mat, cv::Mat> Rectifier::rectify(const cv::Mat& left, const cv::Mat& right,
                                               int threads) const {
    check_image(left, "left");
    check_image(right, "right");
    // The batch run's checks and lines for a pair of another size.
    if (left.size() != right.size()) {
        invalid("Cannot rectify: the images differ in size (" + size_text(left.size()) + " and " +
                size_text(right.size()) + ").");
    }
    const rectify::PairRectifier& pair = data_->rectifier;
    if (left.size() != pair.image_size) {
        invalid("Cannot rectify: the images are " + size_text(left.size()) + ", not " +
                size_text(pair.image_size) + " like the rectifier's.");
    }
    const rectify::BatchOptions& options = data_->batch_options;
    return {rectify::resample(left, pair.left, options.left_fill, threads),
            rectify::resample(right, pair.right, options.right_fill, threads)};
}

}  // namespace stereo_rectify
