#pragma once
// Work spread over the processors this process may run on, with no pool and
// no dependence on any thread starting: the calling thread always takes part,
// and a thread that cannot be started (too little address space for its stack,
// a process limit) simply leaves its share to the others.

#include <functional>

namespace rectify {

// The number of processors this process may run on (its affinity mask), at
// least 1.
int available_processors();

// Runs task(0) .. task(count - 1), each exactly once, on up to `threads`
// threads including the calling one, and returns when all are done. Tasks are
// handed out in order as threads become free.
void run_in_parallel(int count, int threads, const std::function<void(int)>& task);

}  // namespace rectify
