#pragma once
// The 9 x 6 inner corners of the sample pair's chessboard, to sub-pixel
// precision; empty when the board is not found.

#include <opencv2/calib3d.hpp>
#include <opencv2/imgproc.hpp>
#include <vector>

namespace rectify::testing {

inline std::vector<cv::Point2f> chessboard_corners(const cv::Mat& image) {
    cv::Mat grey;
    cv::cvtColor(image, grey, cv::COLOR_BGR2GRAY);
    std::vector<cv::Point2f> corners;
    if (!cv::findChessboardCorners(grey, cv::Size(9, 6), corners,
                                   cv::CALIB_CB_ADAPTIVE_THRESH | cv::CALIB_CB_NORMALIZE_IMAGE)) {
        return {};
    }
    cv::cornerSubPix(grey, corners, cv::Size(11, 11), cv::Size(-1, -1),
                     cv::TermCriteria(cv::TermCriteria::EPS + cv::TermCriteria::COUNT, 30, 0.01));
    return corners;
}

}  // namespace rectify::testing
