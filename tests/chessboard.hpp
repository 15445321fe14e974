#pragma once
// The 9 x 6 inner corners of the sample pair's chessboard, to sub-pixel
// precision; empty when the board is not found. And the vertical disparity of
// two images' corners.

#include <algorithm>
#include <cmath>
#include <opencv2/calib3d.hpp>
#include <opencv2/imgproc.hpp>
#include <vector>

namespace rectify::testing {

inline std::vector<cv::Point2f> chessboard_corners(const cv::Mat& image) {
    cv::Mat grey = image;
    if (image.channels() == 3) {
        cv::cvtColor(image, grey, cv::COLOR_BGR2GRAY);
    }
    std::vector<cv::Point2f> corners;
    if (!cv::findChessboardCorners(grey, cv::Size(9, 6), corners,
                                   cv::CALIB_CB_ADAPTIVE_THRESH | cv::CALIB_CB_NORMALIZE_IMAGE)) {
        return {};
    }
    cv::cornerSubPix(grey, corners, cv::Size(11, 11), cv::Size(-1, -1),
                     cv::TermCriteria(cv::TermCriteria::EPS + cv::TermCriteria::COUNT, 30, 0.01));
    return corners;
}

struct Disparity {
    double mean = 0, max = 0;
};

// Vertical disparity of corresponding corners. The detector may list one
// image's corners in reverse order: the order that puts the first corners
// closer together is the matching one.
inline Disparity vertical_disparity(std::vector<cv::Point2f> left, std::vector<cv::Point2f> right) {
    if (cv::norm(left.front() - right.front()) > cv::norm(left.front() - right.back())) {
        std::reverse(right.begin(), right.end());
    }
    Disparity d;
    for (size_t i = 0; i < left.size(); ++i) {
        const double dy = std::abs(left[i].y - right[i].y);
        d.mean += dy / static_cast<double>(left.size());
        d.max = std::max(d.max, dy);
    }
    return d;
}

}  // namespace rectify::testing
