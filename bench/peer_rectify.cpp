// peer_rectify: the same job as stereo-rectify done the standard OpenCV way,
// the peer of the end-to-end comparison (bench/compare.sh).
//
//   peer_rectify <T> <K_left> <K_right> <left image> <right image> <scale>
//
// Same arguments and output names as the tool: both images are read as colour,
// cv::stereoRectify computes the rectification for zero distortion, and per
// image cv::initUndistortRectifyMap builds the fixed-point map, cv::remap
// resamples it nearest-neighbour (grey 100 outside on the left, white 255 on
// the right), cv::resize scales it bilinearly to the left size times the scale
// and cv::imwrite writes "<name>_rectified.ppm" next to the input. Exit status
// 0 on success, 1 on failure (the usual convention, not the tool's).

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include <opencv2/calib3d.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "app/run.hpp"  // the outputs are named as the tool names them

namespace {

bool read_matrix(const std::string& path, cv::Mat& m) {
    std::ifstream in(path);
    for (int r = 0; r < m.rows; ++r) {
        for (int c = 0; c < m.cols; ++c) {
            if (!(in >> m.at<double>(r, c))) {
                return false;
            }
        }
    }
    return true;
}

bool rectify_one(const cv::Mat& image, const cv::Mat& K, const cv::Mat& R, const cv::Mat& P,
                 int fill, cv::Size output_size, const std::string& path) {
    cv::Mat map_xy, map_table;
    cv::initUndistortRectifyMap(K, cv::noArray(), R, P, image.size(), CV_16SC2, map_xy, map_table);
    cv::Mat rectified;
    cv::remap(image, rectified, map_xy, map_table, cv::INTER_NEAREST, cv::BORDER_CONSTANT,
              cv::Scalar::all(fill));
    cv::Mat output;
    cv::resize(rectified, output, output_size, 0, 0, cv::INTER_LINEAR);
    return cv::imwrite(path, output);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 7) {
        std::fprintf(stderr, "Usage: %s <T> <K_left> <K_right> <left> <right> <scale>\n", argv[0]);
        return 1;
    }
    cv::Mat T(4, 4, CV_64F), K1(3, 3, CV_64F), K2(3, 3, CV_64F);
    if (!read_matrix(argv[1], T) || !read_matrix(argv[2], K1) || !read_matrix(argv[3], K2)) {
        std::fprintf(stderr, "peer_rectify: cannot read the calibration\n");
        return 1;
    }
    const cv::Mat left = cv::imread(argv[4], cv::IMREAD_COLOR);
    const cv::Mat right = cv::imread(argv[5], cv::IMREAD_COLOR);
    if (left.empty() || right.empty()) {
        std::fprintf(stderr, "peer_rectify: cannot read the images\n");
        return 1;
    }
    const double scale = std::atof(argv[6]);
    const cv::Size output_size(static_cast<int>(left.cols * scale),
                               static_cast<int>(left.rows * scale));
    if (output_size.width < 1 || output_size.height < 1) {
        std::fprintf(stderr, "peer_rectify: invalid scale %s\n", argv[6]);
        return 1;
    }

    // X_right = R * X_left + t, the convention stereoRectify expects.
    const cv::Mat R = T(cv::Rect(0, 0, 3, 3)).clone();
    const cv::Mat t = T(cv::Rect(3, 0, 1, 3)).clone();
    const cv::Mat no_distortion = cv::Mat::zeros(1, 5, CV_64F);
    cv::Mat R1, R2, P1, P2, Q;
    cv::stereoRectify(K1, no_distortion, K2, no_distortion, left.size(), R, t, R1, R2, P1, P2, Q,
                      cv::CALIB_ZERO_DISPARITY, -1);

    if (!rectify_one(left, K1, R1, P1, 100, output_size, rectify::output_file_name(argv[4])) ||
        !rectify_one(right, K2, R2, P2, 255, output_size, rectify::output_file_name(argv[5]))) {
        std::fprintf(stderr, "peer_rectify: cannot write the outputs\n");
        return 1;
    }
    return 0;
}
