// startup_floor: the floor of process start-up with the tool's own
// dependencies, for the end-to-end comparison (bench/compare.sh). It links
// opencv_core alone, touches it once so the link is kept, and exits 0.

#include <opencv2/core.hpp>

int main() {
    const cv::Mat one(1, 1, CV_8UC1, cv::Scalar(0));
    return one.at<unsigned char>(0, 0);
}
