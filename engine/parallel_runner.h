// Runs numbered work items on a few worker threads that share one atomic counter.
// Used to stage objects and to check game files.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <stop_token>

namespace kaldren::patcher {

// Calls work(i, stop) for every i in [0, count) on min(max(threads, 1), count) workers.
// The first exception of any worker wins: it stops the others (through `stop` handed
// to each item and at item boundaries) and is rethrown after all workers are joined.
// When the caller's `stop` was requested, throws PatchError cancelled "The launcher
// was closed" instead, whatever the workers threw.
void run_parallel(std::size_t count, std::uint32_t threads, std::stop_token stop,
                  const std::function<void(std::size_t index, std::stop_token stop)>& work);

}  // namespace kaldren::patcher
