#pragma once
// stereo-rectify-batch's command line.

#include <string>
#include <vector>

#include "batch/batch_run.hpp"
#include "batch/pair_list.hpp"
#include "batch/pipeline.hpp"

namespace rectify {

struct BatchCommandLine {
    BatchOptions options;
    RunSettings settings;
    std::vector<std::string> calibration_files;                   // --calibration, repeated
    std::string transformation, left_intrinsics, right_intrinsics;  // the text trio
    std::string output_folder;
    std::string pairs_file, left_folder, right_folder;
    std::vector<PairPaths> pairs;  // given as positional arguments
    std::string cameras_path;
    bool json = false, quiet = false, help = false, version = false;
};

// Fills line from argv; returns the usage error (one line, no line end), or
// an empty string.
std::string parse_batch_command_line(int argc, char** argv, BatchCommandLine& line);

extern const char* const kBatchHelp;

}  // namespace rectify
