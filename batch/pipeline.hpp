#pragma once
// The run over many pairs: several pairs in flight at once, one per worker,
// each read, resampled and written in turn, so that the decoding of one pair
// overlaps the resampling and encoding of others on every processor. Results
// come back in list order, whatever the number of workers; at most a few
// pairs per worker are in flight, so memory stays bounded however long the
// list is.

#include <cstddef>
#include <functional>

#include "batch/batch_run.hpp"
#include "batch/pair_list.hpp"

namespace rectify {

struct RunSettings {
    int jobs = 0;         // workers; 0: every processor this process may run on
    bool resume = false;  // skip a pair whose outputs all exist
    // Only the pairs whose 0-based index in the list is congruent to shard
    // modulo shards.
    int shard = 0, shards = 1;
};

struct RunSummary {
    std::size_t rectified = 0, skipped = 0, failed = 0;
    StageTimes times;  // summed over every pair
};

// Whether the pair at this index of the list belongs to the shard.
inline bool in_shard(std::size_t index, const RunSettings& settings) {
    return index % static_cast<std::size_t>(settings.shards) ==
           static_cast<std::size_t>(settings.shard);
}

// Rectifies the pairs of the stream that belong to the shard, into
// output_folder. report is called from the calling thread, once per pair in
// list order, as soon as that pair and every one before it are done. Throws
// PairListError when the stream fails.
RunSummary run_pairs(PairStream& pairs, const std::string& output_folder,
                     const PairRectifier& rectifier, const BatchOptions& options,
                     const RunSettings& settings,
                     const std::function<void(std::size_t index, const PairResult&)>& report);

}  // namespace rectify
