// Calibrations from files or from matrices in memory, checked as the batch
// tool checks them.

#include <unistd.h>

#include <string_view>

#include "api/api_data.hpp"
#include "calibration/calibration_files.hpp"
#include "calibration/calibration_source.hpp"

namespace stereo_rectify {
namespace {

// A calibration file that cannot be read is a file failure; one that can but
// holds something wrong is an invalid calibration.
[[noreturn]] void fail_loading(const rectify::CalibrationError& error,
                               const std::vector<std::string>& paths) {
    for (const std::string& path : paths) {
        if (access(path.c_str(), R_OK) != 0) {
            throw Error(Error::Kind::file, error.what());
        }
    }
    throw Error(Error::Kind::invalid, error.what());
}

constexpr std::string_view kInMemory = "<in memory>";

// A matrix as CV_64F with rows x cols elements (either orientation for a
// vector), or the failure naming the key.
cv::Mat as_double(const cv::Mat& m, const char* key, int rows, int cols) {
    const bool vector = rows == 1 || cols == 1;
    const bool fits = vector ? (m.total() == static_cast<std::size_t>(rows * cols) &&
                                (m.rows == 1 || m.cols == 1) && m.channels() == 1)
                             : (m.rows == rows && m.cols == cols && m.channels() == 1);
    if (!fits) {
        throw Error(Error::Kind::invalid,
                    "Invalid calibration: " + std::string(key) + " is " + std::to_string(m.rows) +
                        " x " + std::to_string(m.cols) +
                        (m.channels() > 1 ? " with " + std::to_string(m.channels()) + " channels"
                                          : std::string()) +
                        " (" + std::to_string(rows) + " x " + std::to_string(cols) + " expected).");
    }
    cv::Mat result;
    m.convertTo(result, CV_64F);
    return vector ? result.reshape(1, rows).clone() : result;
}

rectify::Distortion distortion_of(const cv::Mat& D, const char* key, bool fisheye) {
    rectify::Distortion distortion;
    distortion.model = fisheye ? rectify::DistortionModel::fisheye
                               : rectify::DistortionModel::standard;
    if (D.empty()) {
        return distortion;
    }
    if ((D.rows != 1 && D.cols != 1) || D.channels() != 1) {
        throw Error(Error::Kind::invalid, "Invalid calibration: " + std::string(key) + " is " +
                                              std::to_string(D.rows) + " x " +
                                              std::to_string(D.cols) + " (one row or column expected).");
    }
    cv::Mat values;
    D.convertTo(values, CV_64F);
    values = values.reshape(1, 1);
    distortion.coefficients.assign(values.ptr<double>(), values.ptr<double>() + values.total());
    return distortion;
}

}  // namespace

Error::Error(Kind kind, const std::string& line) : std::runtime_error(line), kind_(kind) {}

Calibration::Calibration(std::shared_ptr<const Data> data) : data_(std::move(data)) {}

Calibration Calibration::from_files(const std::vector<std::string>& paths) {
    auto data = std::make_shared<Data>();
    try {
        data->calibration = rectify::load_calibration_files(paths);
    } catch (const rectify::CalibrationError& error) {
        fail_loading(error, paths);
    }
    return Calibration(std::move(data));
}

Calibration Calibration::from_text_files(const std::string& transformation,
                                         const std::string& left_intrinsics,
                                         const std::string& right_intrinsics) {
    auto data = std::make_shared<Data>();
    try {
        data->calibration =
            rectify::load_calibration_text(transformation, left_intrinsics, right_intrinsics);
    } catch (const rectify::CalibrationError& error) {
        fail_loading(error, {transformation, left_intrinsics, right_intrinsics});
    }
    return Calibration(std::move(data));
}

Calibration::Calibration(const cv::Mat& K1, const cv::Mat& D1, const cv::Mat& K2,
                         const cv::Mat& D2, const cv::Mat& R, const cv::Mat& T,
                         std::optional<cv::Size> image_size, bool fisheye) {
    auto data = std::make_shared<Data>();
    rectify::StereoCalibration& c = data->calibration;
    c.K1 = as_double(K1, "K1", 3, 3);
    c.K2 = as_double(K2, "K2", 3, 3);
    c.D1 = distortion_of(D1, "D1", fisheye);
    c.D2 = distortion_of(D2, "D2", fisheye);
    if (R.total() == 3) {
        const cv::Mat v = as_double(R, "R", 3, 1);
        c.R = rectify::rotation_from_vector(v.at<double>(0), v.at<double>(1), v.at<double>(2));
    } else {
        c.R = as_double(R, "R", 3, 3);
    }
    c.T = as_double(T, "T", 3, 1);
    if (image_size && (image_size->width < 1 || image_size->height < 1)) {
        throw Error(Error::Kind::invalid, "Invalid calibration: the image size " +
                                              std::to_string(image_size->width) + " x " +
                                              std::to_string(image_size->height) +
                                              " is not at least 1 x 1.");
    }
    c.image_size = image_size;
    // The files' check, whose lines name a file: here "Invalid calibration:
    // key K1 has ...".
    const std::string file(kInMemory);
    try {
        rectify::check_loaded(c, {{file, "K1"}, {file, "D1"}, {file, "K2"}, {file, "D2"},
                                  {file, "R"}, {file, "T"}});
    } catch (const rectify::CalibrationError& error) {
        std::string line = error.what();
        const std::string prefix = "Cannot read calibration file " + file + ": ";
        if (line.starts_with(prefix)) {
            line = "Invalid calibration: " + line.substr(prefix.size());
        }
        throw Error(Error::Kind::invalid, line);
    }
    data_ = std::move(data);
}

std::optional<cv::Size> Calibration::image_size() const {
    return data_->calibration.image_size;
}

const char* version() {
    return STEREO_RECTIFY_VERSION;
}

}  // namespace stereo_rectify
