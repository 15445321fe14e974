// io_floor: the input/output floor of the end-to-end comparison
// (bench/compare.sh): what any run of stereo-rectify must at least do.
//
//   io_floor <T> <K_left> <K_right> <left image> <right image> <scale>
//
// Decodes both images (as colour, ignoring a JPEG orientation tag, as the tool
// reads them), then writes both unchanged as PPM under the tool's output names,
// holding both decoded images at once. The calibration files and the scale are
// not read. Exit status 0 on success, 1 on failure.

#include <cstdio>
#include <string>

#include <opencv2/imgcodecs.hpp>

#include "app/run.hpp"  // the outputs are named as the tool names them

int main(int argc, char** argv) {
    if (argc < 7) {
        std::fprintf(stderr, "Usage: %s <T> <K_left> <K_right> <left> <right> <scale>\n", argv[0]);
        return 1;
    }
    const int flags = cv::IMREAD_COLOR | cv::IMREAD_IGNORE_ORIENTATION;
    const cv::Mat left = cv::imread(argv[4], flags);
    const cv::Mat right = cv::imread(argv[5], flags);
    if (left.empty() || right.empty()) {
        std::fprintf(stderr, "io_floor: cannot read the images\n");
        return 1;
    }
    if (!cv::imwrite(rectify::output_file_name(argv[4]), left) ||
        !cv::imwrite(rectify::output_file_name(argv[5]), right)) {
        std::fprintf(stderr, "io_floor: cannot write the outputs\n");
        return 1;
    }
    return 0;
}
