#include "geometry/stereo_calibration.hpp"

namespace rectify {

cv::Mat transformation_matrix(const StereoCalibration& calibration) {
    cv::Mat R, t;
    calibration.R.convertTo(R, CV_64F);
    calibration.T.reshape(1, 3).convertTo(t, CV_64F);
    cv::Mat T = cv::Mat::eye(4, 4, CV_32F);
    for (int i = 0; i < 3; ++i) {
        for (int j = 0; j < 3; ++j) {
            T.at<float>(i, j) = static_cast<float>(R.at<double>(i, j));
        }
        T.at<float>(i, 3) = static_cast<float>(t.at<double>(i, 0));
    }
    return T;
}

}  // namespace rectify
