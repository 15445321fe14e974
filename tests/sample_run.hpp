#pragma once
// The run's process tests share this: a scratch folder holding a copy of the
// sample pair and its calibration, and the lines a run prints.

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include <opencv2/imgcodecs.hpp>

#include "test_support.hpp"

namespace rectify::testing {

const std::string kProgress =
    "Opening parameters files...\n"
    "Computing rectify trasnformation...\n"
    "Warping left image...\n"
    "Warping right image...\n"
    "Saving left image...\n"
    "Saving right image...\n"
    "\n"
    "done\n";
const std::string kFailure = "There was error. Cannot possible rectify the images.\n";
const std::string kUsageTail =
    " <right_to_left_camera_transformation> <left_intrinsics_parameters> "
    "<right_intrinsics_parameters> <left_image_file_name> <right_image_file_name> "
    "<scale_factor> \n";

// A scratch folder holding a copy of the sample pair and its calibration.
class SampleRun : public ::testing::Test {
  protected:
    void SetUp() override {
        for (const char* name : {"T.txt", "K_left.txt", "K_right.txt", "left.png", "right.png"}) {
            std::filesystem::copy_file(std::string(SAMPLE_DIR) + "/" + name, dir.file(name));
        }
    }
    ProcessResult run(const std::string& left = "left.png", const std::string& right = "right.png",
                      const std::string& scale = "1.0",
                      const std::function<void()>& before_exec = {}) {
        return run_process(
            {"stereo-rectify", "T.txt", "K_left.txt", "K_right.txt", left, right, scale},
            dir.path().string(), before_exec);
    }
    std::vector<std::string> inputs_only() const {
        return {"K_left.txt", "K_right.txt", "T.txt", "left.png", "right.png"};
    }
    cv::Size size_of(const std::string& name) const { return cv::imread(dir.file(name)).size(); }

    ScratchDir dir;
};

}  // namespace rectify::testing
