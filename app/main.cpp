// stereo-rectify: rectifies a calibrated stereo pair of colour images.
// Exit status 1 after a successful run, 0 after the usage line or a failure.

#include <cstdio>
#include <cstdlib>

#include <opencv2/core/utils/logger.hpp>

#include "imaging/huge_page_allocator.hpp"
#include "imagefiles/signal_cleanup.hpp"
#include "app/run.hpp"

int main(int argc, char** argv) {
    if (argc < 7) {
        std::printf(
            "Usage: %s <right_to_left_camera_transformation> <left_intrinsics_parameters> "
            "<right_intrinsics_parameters> <left_image_file_name> <right_image_file_name> "
            "<scale_factor> \n",
            argv[0]);
        return 0;
    }
    // Every failure is reported by the run as one line of its own; the image
    // library's diagnostic log would only add noise around it.
    cv::utils::logging::setLogLevel(cv::utils::logging::LOG_LEVEL_SILENT);
    rectify::use_huge_pages_for_images();
    rectify::remove_temporaries_on_signals();

    rectify::RunArguments arguments;
    arguments.transformation_path = argv[1];
    arguments.left_intrinsics_path = argv[2];
    arguments.right_intrinsics_path = argv[3];
    arguments.left_image_path = argv[4];
    arguments.right_image_path = argv[5];
    // atof: leading blanks skipped, conversion stops at the first character that
    // cannot continue a number, no digits at all give 0.
    arguments.scale_factor = std::atof(argv[6]);

    rectify::StdoutReporter reporter;
    if (!rectify::rectify_images(arguments, reporter)) {
        reporter.report("There was error. Cannot possible rectify the images.\n");
        return 0;
    }
    return 1;
}
