#include "calibration/calibration_source.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>

#include "geometry/calibration_check.hpp"

namespace rectify {

void fail_file(const std::string& file, const std::string& what) {
    throw CalibrationError("Cannot read calibration file " + file + ": " + what + ".");
}

void fail_key(const KeyOrigin& origin, const std::string& what) {
    fail_file(origin.file, "key " + origin.key + " " + what);
}

std::string read_calibration_text(const std::string& path) {
    constexpr off_t max_size = 64 << 20;
    const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        throw CalibrationError("Cannot open calibration file " + path + ".");
    }
    struct stat info {};
    const int flags = fcntl(fd, F_GETFL);
    if (fstat(fd, &info) != 0 || S_ISDIR(info.st_mode) || flags < 0 ||
        fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
        close(fd);
        throw CalibrationError("Cannot open calibration file " + path + ".");
    }
    std::string text;
    char buffer[65536];
    for (;;) {
        const ssize_t n = read(fd, buffer, sizeof buffer);
        if (n < 0) {
            close(fd);
            throw CalibrationError("Cannot open calibration file " + path + ".");
        }
        if (n == 0) {
            break;
        }
        text.append(buffer, static_cast<std::size_t>(n));
        if (static_cast<off_t>(text.size()) > max_size) {
            close(fd);
            fail_file(path, "it is larger than 64 MiB, too large for a calibration");
        }
    }
    close(fd);
    return text;
}

bool nests_too_deep(const std::string& text) {
    constexpr int max_brackets = 64;
    constexpr int max_indentation = 256;
    int brackets = 0, elements = 0, indentation = 0;
    bool line_start = true;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        const char next = i + 1 < text.size() ? text[i + 1] : '\0';
        if (c == '\n') {
            line_start = true;
            indentation = 0;
            continue;
        }
        // Leading blanks and block-sequence dashes each open a level.
        if (line_start && (c == ' ' || c == '\t' || c == '-')) {
            if (++indentation > max_indentation)
                return true;
            continue;
        }
        line_start = false;
        if (c == '[' || c == '{') {
            if (++brackets > max_brackets)
                return true;
        } else if (c == ']' || c == '}') {
            --brackets;
        } else if (c == '<' && next == '/') {
            --elements;
        } else if (c == '<' && next != '?' && next != '!') {
            if (++elements > max_brackets)
                return true;
        } else if (c == '/' && next == '>') {
            --elements;
        }
    }
    return false;
}

bool all_elements_finite(const cv::Mat& m) {
    cv::Mat d;
    m.convertTo(d, CV_64F);
    return cv::checkRange(d);
}

cv::Mat rotation_from_vector(double x, double y, double z) {
    const double angle = std::sqrt(x * x + y * y + z * z);
    if (angle < 1e-300) {
        return cv::Mat::eye(3, 3, CV_64F);
    }
    const cv::Matx31d k(x / angle, y / angle, z / angle);
    const cv::Matx33d cross(0, -k(2), k(1), k(2), 0, -k(0), -k(1), k(0), 0);
    const cv::Matx33d R = std::cos(angle) * cv::Matx33d::eye() +
                          (1.0 - std::cos(angle)) * (k * k.t()) + std::sin(angle) * cross;
    return cv::Mat(R, true);
}

namespace {

void check_distortion(const Distortion& distortion, const KeyOrigin& origin) {
    const std::size_t count = distortion.coefficients.size();
    if (!coefficient_count_fits(distortion.model, count)) {
        fail_key(origin, "has " + std::to_string(count) +
                             (distortion.model == DistortionModel::fisheye
                                  ? " elements (4 expected for the fisheye model)"
                                  : " elements (4, 5, 8, 12 or 14 expected)"));
    }
    for (const double c : distortion.coefficients) {
        if (!std::isfinite(c)) {
            fail_key(origin, "has a non-finite element");
        }
    }
}

}  // namespace

void check_loaded(const StereoCalibration& calibration, const CalibrationOrigins& origins) {
    check_distortion(calibration.D1, origins.D1);
    check_distortion(calibration.D2, origins.D2);
    const std::pair<const cv::Mat*, const KeyOrigin*> parts[] = {{&calibration.K1, &origins.K1},
                                                                 {&calibration.K2, &origins.K2},
                                                                 {&calibration.R, &origins.R},
                                                                 {&calibration.T, &origins.T}};
    for (const auto& [matrix, origin] : parts) {
        if (!all_elements_finite(*matrix)) {
            fail_key(*origin, "has a non-finite element");
        }
    }
    cv::Mat T = cv::Mat::eye(4, 4, CV_64F);
    calibration.R.copyTo(T(cv::Rect(0, 0, 3, 3)));
    calibration.T.reshape(1, 3).copyTo(T(cv::Rect(3, 0, 1, 3)));
    const CalibrationProblem problem = check_calibration(calibration.K1, calibration.K2, T);
    if (!problem) {
        return;
    }
    const KeyOrigin* origin = &origins.T;
    if (problem.input == CalibrationInput::left_intrinsics) {
        origin = &origins.K1;
    } else if (problem.input == CalibrationInput::right_intrinsics) {
        origin = &origins.K2;
    } else if (problem.reason.find("rotation") != std::string::npos ||
               problem.reason.find("optical axes") != std::string::npos) {
        origin = &origins.R;
    }
    fail_file(origin->file, "key " + origin->key + ": " + problem.reason);
}

}  // namespace rectify
