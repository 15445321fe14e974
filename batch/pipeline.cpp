#include "batch/pipeline.hpp"

#include <condition_variable>
#include <exception>
#include <map>
#include <mutex>
#include <optional>
#include <system_error>
#include <thread>
#include <vector>

#include "imaging/parallel.hpp"

namespace rectify {
namespace {

// The shared state of one run: the stream handed out a pair at a time, and
// the results waiting for their turn to be reported.
class Dispatcher {
  public:
    Dispatcher(PairStream& pairs, const RunSettings& settings, std::size_t window)
        : pairs_(pairs), settings_(settings), window_(window) {}

    // The next pair of the shard and its sequence number, waiting while too
    // many results wait to be reported; nothing at the end of the stream.
    struct Task {
        std::size_t sequence, index;
        PairPaths pair;
    };
    std::optional<Task> take() {
        std::unique_lock lock(mutex_);
        room_.wait(lock, [&] { return ended_ || handed_out_ < reported_ + window_; });
        while (!ended_) {
            std::optional<PairPaths> pair;
            try {
                pair = pairs_.next();
            } catch (...) {
                failure_ = std::current_exception();
                pair.reset();
            }
            if (!pair) {
                ended_ = true;
                ready_.notify_all();
                room_.notify_all();
                break;
            }
            const std::size_t index = listed_++;
            if (in_shard(index, settings_)) {
                return Task{handed_out_++, index, std::move(*pair)};
            }
        }
        return std::nullopt;
    }

    void finish(std::size_t sequence, std::size_t index, PairResult result) {
        std::lock_guard lock(mutex_);
        done_.emplace(sequence, Done{index, std::move(result)});
        ready_.notify_all();
    }

    // Reports the results whose turn has come, without waiting for more.
    void report_ready(const std::function<void(std::size_t, const PairResult&)>& report) {
        std::unique_lock lock(mutex_);
        while (done_.contains(reported_)) {
            auto node = done_.extract(reported_);
            lock.unlock();
            report(node.mapped().index, node.mapped().result);
            lock.lock();
            ++reported_;
        }
    }

    // Reports every result whose turn has come, in order, then waits for more;
    // returns when the stream has ended and everything handed out is reported.
    void report_all(const std::function<void(std::size_t, const PairResult&)>& report) {
        std::unique_lock lock(mutex_);
        for (;;) {
            ready_.wait(lock, [&] { return done_.contains(reported_) || (ended_ && reported_ == handed_out_); });
            if (!done_.contains(reported_)) {
                break;
            }
            auto node = done_.extract(reported_);
            lock.unlock();
            report(node.mapped().index, node.mapped().result);
            lock.lock();
            ++reported_;
            room_.notify_all();
        }
        if (failure_) {
            std::rethrow_exception(failure_);
        }
    }

  private:
    struct Done {
        std::size_t index;
        PairResult result;
    };
    PairStream& pairs_;
    const RunSettings& settings_;
    const std::size_t window_;
    std::mutex mutex_;
    std::condition_variable room_, ready_;
    std::size_t listed_ = 0, handed_out_ = 0, reported_ = 0;
    bool ended_ = false;
    std::exception_ptr failure_;
    std::map<std::size_t, Done> done_;
};

}  // namespace

RunSummary run_pairs(PairStream& pairs, const std::string& output_folder,
                     const PairRectifier& rectifier, const BatchOptions& options,
                     const RunSettings& settings,
                     const std::function<void(std::size_t, const PairResult&)>& report) {
    const int jobs = settings.jobs > 0 ? settings.jobs : available_processors();
    // One pair's own work uses every processor when it runs alone, and one
    // when several pairs share them.
    const int threads_per_pair = jobs == 1 ? 0 : 1;
    const std::string extension = output_extension(options.format, 3);
    Dispatcher dispatcher(pairs, settings, 2 * static_cast<std::size_t>(jobs));
    const auto process = [&](const Dispatcher::Task& task) {
        PairResult result;
        try {
            const PairOutputs outputs =
                pair_outputs(output_folder, task.pair, extension, extension, options.masks);
            if (settings.resume && pair_outputs_exist(outputs, options.format)) {
                result.pair = task.pair;
                result.outputs = outputs;
                result.skipped = true;
            } else {
                result = rectify_pair_files(rectifier, options, task.pair, outputs,
                                            threads_per_pair);
            }
        } catch (...) {
            result.pair = task.pair;
            result.failure = "out of memory.";
        }
        dispatcher.finish(task.sequence, task.index, std::move(result));
    };
    const auto work = [&] {
        while (std::optional<Dispatcher::Task> task = dispatcher.take()) {
            process(*task);
        }
    };
    std::vector<std::thread> workers;
    workers.reserve(static_cast<std::size_t>(jobs));
    for (int i = 0; i < jobs; ++i) {
        try {
            workers.emplace_back(work);
        } catch (const std::system_error&) {
            break;  // the workers already running share the pairs
        }
    }
    RunSummary summary;
    const auto count = [&](std::size_t index, const PairResult& result) {
        summary.times += result.times;
        if (result.skipped) {
            ++summary.skipped;
        } else if (result.failure.empty()) {
            ++summary.rectified;
        } else {
            ++summary.failed;
        }
        report(index, result);
    };
    if (workers.empty()) {
        // No thread to be had: the pairs one after another, in this thread.
        while (std::optional<Dispatcher::Task> task = dispatcher.take()) {
            process(*task);
            dispatcher.report_ready(count);
        }
        dispatcher.report_all(count);
        return summary;
    }
    try {
        dispatcher.report_all(count);
    } catch (...) {
        for (std::thread& worker : workers) {
            worker.join();
        }
        throw;
    }
    for (std::thread& worker : workers) {
        worker.join();
    }
    return summary;
}

}  // namespace rectify
