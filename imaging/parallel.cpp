#include "imaging/parallel.hpp"

#include <sched.h>

#include <algorithm>
#include <atomic>
#include <system_error>
#include <thread>
#include <vector>

namespace rectify {

int available_processors() {
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof set, &set) == 0) {
        return std::max(1, CPU_COUNT(&set));
    }
    return std::max(1u, std::thread::hardware_concurrency());
}

void run_in_parallel(int count, int threads, const std::function<void(int)>& task) {
    std::atomic<int> next{0};
    const auto work = [&] {
        for (int i = next.fetch_add(1); i < count; i = next.fetch_add(1)) {
            task(i);
        }
    };
    const int wanted = std::min(threads, count) - 1;
    std::vector<std::thread> helpers;
    helpers.reserve(static_cast<size_t>(std::max(wanted, 0)));
    for (int i = 0; i < wanted; ++i) {
        try {
            helpers.emplace_back(work);
        } catch (const std::system_error&) {
            break;  // the threads already running and this one share the rest
        }
    }
    work();
    for (std::thread& helper : helpers) {
        helper.join();
    }
}

}  // namespace rectify
