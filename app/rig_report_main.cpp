// stereo-rectify-inspect: describes what stereo-rectify computes for the same
// six arguments, as a report and, on request, a cameras file, a preview and an
// anaglyph. Exit status 0 on success, 1 for a failed run, 2 for a usage error.

#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include <opencv2/core/utils/logger.hpp>

#include "imaging/huge_page_allocator.hpp"
#include "imagefiles/signal_cleanup.hpp"
#include "app/rig_report.hpp"

namespace {

constexpr const char* kHelp =
    "Usage: stereo-rectify-inspect [options] [--] <transformation> <left_intrinsics>\n"
    "           <right_intrinsics> <left_image> <right_image> <scale_factor>\n"
    "\n"
    "Computes what stereo-rectify computes for the same six arguments and prints a\n"
    "report of the rectified pair on standard output. Writes nothing unless asked.\n"
    "\n"
    "Options (before the arguments; \"--\" ends them):\n"
    "  --cameras FILE.yml   write image_size, H1, H2, P1, P2, R1, R2, Q, baseline and\n"
    "                       degenerate_rule_applied (cv::FileStorage YAML)\n"
    "  --preview FILE.png   write both outputs side by side with guide lines every 32 rows\n"
    "  --anaglyph FILE.png  write both outputs overlaid, left in red, right in cyan\n"
    "  --json               print the report as one JSON object\n"
    "  --verbose            print the run's progress on standard error\n"
    "  --help               print this help\n"
    "\n"
    "Exit status: 0 success, 1 failed run, 2 usage error.\n";

struct CommandLine {
    rectify::InspectRequest request;
    bool help = false;
    bool verbose = false;
};

// The option's target when arg names one that takes a file, else nullptr.
std::string* file_option(std::string_view name, CommandLine& line) {
    if (name == "--cameras") {
        return &line.request.cameras_path;
    }
    if (name == "--preview") {
        return &line.request.preview_path;
    }
    if (name == "--anaglyph") {
        return &line.request.anaglyph_path;
    }
    return nullptr;
}

// Fills line from argv; returns the usage error, or an empty string.
std::string parse_command_line(int argc, char** argv, CommandLine& line) {
    int i = 1;
    for (; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (arg == "--") {
            ++i;
            break;
        }
        if (arg.size() < 2 || arg[0] != '-') {
            break;  // the first positional argument ends the options
        }
        if (arg == "--help" || arg == "-h") {
            line.help = true;
        } else if (arg == "--json") {
            line.request.json = true;
        } else if (arg == "--verbose") {
            line.verbose = true;
        } else {
            const size_t equals = arg.find('=');
            std::string* target = file_option(arg.substr(0, equals), line);
            if (target == nullptr) {
                return "unknown option " + std::string(arg);
            }
            if (equals != std::string_view::npos) {
                *target = arg.substr(equals + 1);
            } else if (i + 1 < argc) {
                *target = argv[++i];
            }
            if (target->empty()) {
                return "option " + std::string(arg.substr(0, equals)) + " needs a file name";
            }
        }
    }
    if (line.help) {
        return {};
    }
    const std::vector<std::string> positionals(argv + i, argv + argc);
    if (positionals.size() != 6) {
        return "expected 6 arguments after the options, got " + std::to_string(positionals.size());
    }
    rectify::RunArguments& arguments = line.request.arguments;
    arguments.transformation_path = positionals[0];
    arguments.left_intrinsics_path = positionals[1];
    arguments.right_intrinsics_path = positionals[2];
    arguments.left_image_path = positionals[3];
    arguments.right_image_path = positionals[4];
    // Read as stereo-rectify reads it (atof), so that both compute the same.
    arguments.scale_factor = std::atof(positionals[5].c_str());
    return {};
}

}  // namespace

int main(int argc, char** argv) {
    CommandLine line;
    const std::string problem = parse_command_line(argc, argv, line);
    if (!problem.empty()) {
        std::fprintf(stderr, "stereo-rectify-inspect: %s (see --help)\n", problem.c_str());
        return 2;
    }
    if (line.help) {
        std::fputs(kHelp, stdout);
        return 0;
    }
    // Failures are reported as one line each; the image library's log would
    // only add noise around them.
    cv::utils::logging::setLogLevel(cv::utils::logging::LOG_LEVEL_SILENT);
    rectify::use_huge_pages_for_images();
    rectify::remove_temporaries_on_signals();

    rectify::StderrReporter reporter(line.verbose);
    std::string report;
    if (!rectify::inspect_pair(line.request, reporter, report)) {
        return 1;
    }
    std::fwrite(report.data(), 1, report.size(), stdout);
    if (std::fflush(stdout) != 0) {
        std::fputs("stereo-rectify-inspect: cannot write the report.\n", stderr);
        return 1;
    }
    return 0;
}
