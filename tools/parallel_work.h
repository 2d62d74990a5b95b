// Runs numbered work items on a few threads for the publishing tool.
#pragma once

#include <cstddef>
#include <functional>

namespace kaldren::patcher::publish {

// Runs `work(i)` for i in [0, count) on `threads` workers (the caller's thread among
// them); the first failure stops the others and is rethrown.
void run_parallel(std::size_t count, unsigned threads, const std::function<void(std::size_t)>& work);

}  // namespace kaldren::patcher::publish
