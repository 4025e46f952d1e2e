// qpack's worker threads.
#pragma once

#include <stddef.h>

#include <functional>

// Runs task(0) .. task(count - 1) on as many threads as the machine has
// cores; tick (when set) runs on the calling thread about every 100 ms until
// all are done. The first exception a task throws is rethrown here after
// every thread has stopped; tasks not yet started then do not run.
void RunInParallel(size_t count, const std::function<void(size_t)> &task,
                   const std::function<void()> &tick);
