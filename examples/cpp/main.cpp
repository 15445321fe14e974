// Rectifies the raw sample pair in memory and prints the cameras' Q matrix.
// Run from data/raw.
#include <iostream>

#include <stereo_rectify/stereo_rectify.hpp>

int main() {
    try {
        const auto calibration = stereo_rectify::Calibration::from_files({"stereo.yml"});
        stereo_rectify::Options options;
        options.view = stereo_rectify::View::valid;
        const stereo_rectify::Rectifier rectifier(calibration, options);

        const cv::Mat left = stereo_rectify::read_image("left01.jpg");
        const cv::Mat right = stereo_rectify::read_image("right01.jpg");
        const auto [left_out, right_out] = rectifier.rectify(left, right);
        std::cout << "rectified " << left_out.cols << " x " << left_out.rows << "\n"
                  << "Q = " << rectifier.cameras().Q << "\n";
    } catch (const stereo_rectify::Error& error) {
        std::cerr << error.what() << "\n";
        return 1;
    }
}
