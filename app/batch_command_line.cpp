#include "app/batch_command_line.hpp"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <functional>
#include <map>
#include <string_view>

namespace rectify {

const char* const kBatchHelp =
    "Usage: stereo-rectify-batch [options] --output-dir DIR\n"
    "           (--pairs FILE | --left-dir DIR --right-dir DIR | LEFT RIGHT [LEFT RIGHT ...])\n"
    "\n"
    "Rectifies stereo pairs with one calibration, lens distortion included, and\n"
    "writes them to DIR/left/ and DIR/right/ under their input names.\n"
    "\n"
    "Calibration (exactly one source):\n"
    "  --calibration FILE      OpenCV FileStorage YAML, XML or JSON (K1 D1 K2 D2 R T ...;\n"
    "                          repeat to merge files) or a camera-chain YAML (cam0, cam1)\n"
    "  --transformation T.txt --left-intrinsics K_left.txt --right-intrinsics K_right.txt\n"
    "                          the text files of stereo-rectify\n"
    "\n"
    "Pairs:\n"
    "  --pairs FILE            one pair a line: two paths separated by a tab or by spaces,\n"
    "                          relative to the file's folder; '#' starts a comment\n"
    "  --left-dir DIR --right-dir DIR\n"
    "                          the regular files of both folders, paired in byte order\n"
    "  LEFT RIGHT ...          pairs on the command line\n"
    "\n"
    "Options:\n"
    "  --view V                nominal | full | valid (default full)\n"
    "  --interpolation I       nearest | linear | cubic | lanczos (default linear)\n"
    "  --scale S               output size relative to the images (default 1)\n"
    "  --fill L,R              fill levels of the left and right outputs (default 100,255;\n"
    "                          times 257 for 16-bit outputs)\n"
    "  --mask                  also write valid-pixel masks to DIR/left_mask/, DIR/right_mask/\n"
    "  --format F              png | ppm | tiff | jpg (default png; ppm means pgm for grey)\n"
    "  --jpeg-quality Q        1 to 100 (default 95)\n"
    "  --cameras FILE.yml      write the rectified cameras (H1 H2 P1 P2 R1 R2 Q ...)\n"
    "  --json                  print every pair's outputs or failure, and where the time\n"
    "                          went, as one JSON object\n"
    "  --quiet                 no progress line\n"
    "  --jobs N                pairs in flight at once (default: the processors this\n"
    "                          process may run on)\n"
    "  --resume                skip pairs whose outputs all exist (refused when DIR was\n"
    "                          written with another calibration or other options)\n"
    "  --shard K/N             only the pairs whose 0-based index is K modulo N, for N\n"
    "                          processes sharing one list (a job array)\n"
    "  --help, --version\n"
    "\n"
    "Exit status: 0 every pair rectified, 1 a pair failed (the others are done),\n"
    "2 usage or calibration error (nothing is done).\n";

namespace {

bool parse_number(const std::string& text, double& value) {
    char* end = nullptr;
    errno = 0;
    value = std::strtod(text.c_str(), &end);
    return !text.empty() && end == text.c_str() + text.size() && errno == 0 && std::isfinite(value);
}

bool parse_level(const std::string& text, int& level) {
    double value = 0;
    if (!parse_number(text, value) || value != std::floor(value) || value < 0 || value > 255) {
        return false;
    }
    level = static_cast<int>(value);
    return true;
}

std::string parse_option(const std::string& name, const std::string& value, BatchCommandLine& line) {
    BatchOptions& options = line.options;
    if (name == "--view") {
        const std::map<std::string, View> views = {
            {"nominal", View::nominal}, {"full", View::full}, {"valid", View::valid}};
        if (!views.contains(value)) {
            return "--view takes nominal, full or valid, not '" + value + "'";
        }
        options.view = views.at(value);
    } else if (name == "--interpolation") {
        const std::map<std::string, Interpolation> kernels = {
            {"nearest", Interpolation::nearest},
            {"linear", Interpolation::linear},
            {"cubic", Interpolation::cubic},
            {"lanczos", Interpolation::lanczos}};
        if (!kernels.contains(value)) {
            return "--interpolation takes nearest, linear, cubic or lanczos, not '" + value + "'";
        }
        options.interpolation = kernels.at(value);
    } else if (name == "--scale") {
        if (!parse_number(value, options.scale) || !(options.scale > 0)) {
            return "--scale takes a positive number, not '" + value + "'";
        }
    } else if (name == "--fill") {
        const size_t comma = value.find(',');
        if (comma == std::string::npos || !parse_level(value.substr(0, comma), options.left_fill) ||
            !parse_level(value.substr(comma + 1), options.right_fill)) {
            return "--fill takes two levels from 0 to 255 as L,R, not '" + value + "'";
        }
    } else if (name == "--jobs") {
        double jobs = 0;
        if (!parse_number(value, jobs) || jobs != std::floor(jobs) || jobs < 1 || jobs > 1024) {
            return "--jobs takes a whole number from 1 to 1024, not '" + value + "'";
        }
        line.settings.jobs = static_cast<int>(jobs);
    } else if (name == "--shard") {
        const size_t slash = value.find('/');
        double shard = -1, shards = 0;
        if (slash == std::string::npos || !parse_number(value.substr(0, slash), shard) ||
            !parse_number(value.substr(slash + 1), shards) || shard != std::floor(shard) ||
            shards != std::floor(shards) || shards < 1 || shards > 1e9 || shard < 0 ||
            shard >= shards) {
            return "--shard takes K/N with 0 <= K < N, not '" + value + "'";
        }
        line.settings.shard = static_cast<int>(shard);
        line.settings.shards = static_cast<int>(shards);
    } else if (name == "--format") {
        const std::optional<OutputFormat> format = output_format_named(value);
        if (!format) {
            return "--format takes png, ppm, tiff or jpg, not '" + value + "'";
        }
        options.format = *format;
    } else if (name == "--jpeg-quality") {
        double quality = 0;
        if (!parse_number(value, quality) || quality != std::floor(quality) || quality < 1 ||
            quality > 100) {
            return "--jpeg-quality takes a whole number from 1 to 100, not '" + value + "'";
        }
        options.jpeg_quality = static_cast<int>(quality);
    } else {
        const std::map<std::string, std::string*> paths = {
            {"--transformation", &line.transformation},
            {"--left-intrinsics", &line.left_intrinsics},
            {"--right-intrinsics", &line.right_intrinsics},
            {"--output-dir", &line.output_folder},
            {"--pairs", &line.pairs_file},
            {"--left-dir", &line.left_folder},
            {"--right-dir", &line.right_folder},
            {"--cameras", &line.cameras_path}};
        if (name == "--calibration") {
            line.calibration_files.push_back(value);
        } else if (paths.contains(name)) {
            if (!paths.at(name)->empty()) {
                return name + " is given twice";
            }
            *paths.at(name) = value;
        } else {
            return "unknown option " + name;
        }
        if (value.empty()) {
            return name + " needs a non-empty value";
        }
    }
    return {};
}

// The checks that concern several options together.
std::string check_sources(const BatchCommandLine& line) {
    const bool text = !line.transformation.empty() || !line.left_intrinsics.empty() ||
                      !line.right_intrinsics.empty();
    if (text && !line.calibration_files.empty()) {
        return "give the calibration either with --calibration or with the three text files, "
               "not both";
    }
    if (text && (line.transformation.empty() || line.left_intrinsics.empty() ||
                 line.right_intrinsics.empty())) {
        return "the text calibration needs --transformation, --left-intrinsics and "
               "--right-intrinsics together";
    }
    if (!text && line.calibration_files.empty()) {
        return "no calibration: give --calibration FILE, or the three text files";
    }
    if (line.output_folder.empty()) {
        return "no output folder: give --output-dir DIR";
    }
    const int sources = (line.pairs_file.empty() ? 0 : 1) +
                        (line.left_folder.empty() && line.right_folder.empty() ? 0 : 1) +
                        (line.pairs.empty() ? 0 : 1);
    if (sources != 1) {
        return sources == 0 ? "no pairs: give --pairs FILE, --left-dir and --right-dir, or LEFT "
                              "RIGHT paths"
                            : "give the pairs one way only";
    }
    if (line.left_folder.empty() != line.right_folder.empty()) {
        return "--left-dir and --right-dir go together";
    }
    if (line.options.format == OutputFormat::jpeg && line.options.jpeg_quality < 1) {
        return "--jpeg-quality out of range";
    }
    return {};
}

}  // namespace

std::string parse_batch_command_line(int argc, char** argv, BatchCommandLine& line) {
    std::vector<std::string> positionals;
    bool options_ended = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (options_ended || arg.size() < 2 || arg[0] != '-') {
            positionals.push_back(arg);
            continue;
        }
        if (arg == "--") {
            options_ended = true;
        } else if (arg == "--help" || arg == "-h") {
            line.help = true;
        } else if (arg == "--version") {
            line.version = true;
        } else if (arg == "--json") {
            line.json = true;
        } else if (arg == "--quiet") {
            line.quiet = true;
        } else if (arg == "--mask") {
            line.options.masks = true;
        } else if (arg == "--resume") {
            line.settings.resume = true;
        } else {
            const size_t equals = arg.find('=');
            const std::string name = arg.substr(0, equals);
            std::string value;
            if (equals != std::string::npos) {
                value = arg.substr(equals + 1);
            } else if (i + 1 < argc) {
                value = argv[++i];
            } else {
                return name + " needs a value";
            }
            if (const std::string problem = parse_option(name, value, line); !problem.empty()) {
                return problem;
            }
        }
    }
    if (line.help || line.version) {
        return {};
    }
    if (positionals.size() % 2 != 0) {
        return "pairs on the command line come as LEFT RIGHT: " +
               std::to_string(positionals.size()) + " paths given";
    }
    for (size_t i = 0; i < positionals.size(); i += 2) {
        line.pairs.push_back({positionals[i], positionals[i + 1]});
    }
    return check_sources(line);
}

}  // namespace rectify
