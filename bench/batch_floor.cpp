// batch_floor: the floor of a batch run (bench/batch_compare.sh): what any
// rectification of a list of pairs must at least do. It reads every pair of
// the list and writes both images unchanged, in the batch tool's format and
// under its output names, with the same parallelism as the batch tool (one
// pair per worker, as many workers as processors) but no resampling.
//
//   batch_floor <pairs.txt> <output folder> <png|ppm>
//
// Exit status 0 on success, 1 on any failure.

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "batch/output_names.hpp"
#include "batch/pair_list.hpp"
#include "imagefiles/atomic_file.hpp"
#include "imagefiles/image_pair.hpp"
#include "imagefiles/image_writer.hpp"
#include "imaging/parallel.hpp"

int main(int argc, char** argv) {
    using namespace rectify;
    if (argc != 4 || !output_format_named(argv[3])) {
        std::fprintf(stderr, "Usage: %s <pairs.txt> <output folder> <png|ppm>\n", argv[0]);
        return 1;
    }
    const std::vector<PairPaths> pairs = read_pair_list(argv[1]);
    const std::string folder = argv[2];
    const OutputFormat format = *output_format_named(argv[3]);
    for (const char* side : {"left", "right"}) {
        std::filesystem::create_directories(folder + "/" + side);
    }
    std::atomic<size_t> next{0};
    std::atomic<bool> failed{false};
    const auto work = [&] {
        for (size_t i = next++; i < pairs.size(); i = next++) {
            const PairOutputs outputs = pair_outputs(folder, pairs[i], output_extension(format, 3),
                                                     output_extension(format, 3), false);
            const ImagePair images = read_image_pair(pairs[i].left, pairs[i].right, ImageMode::any,
                                                     false);
            AtomicFile left(outputs.left), right(outputs.right);
            CommitFailure failure;
            if (images.failure != ImagePair::Failure::none ||
                !write_image(left, images.first, format) || !write_image(right, images.second, format) ||
                !commit_together({&left, &right}, failure)) {
                failed = true;
            }
        }
    };
    std::vector<std::thread> workers;
    for (int i = 0; i < available_processors(); ++i) {
        workers.emplace_back(work);
    }
    for (std::thread& worker : workers) {
        worker.join();
    }
    if (failed) {
        std::fprintf(stderr, "batch_floor: a pair failed\n");
        return 1;
    }
    return 0;
}
