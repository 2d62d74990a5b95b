#include "engine/parallel_runner.h"

#include <algorithm>
#include <atomic>
#include <exception>
#include <mutex>
#include <thread>
#include <vector>

#include "core/error.h"

namespace kaldren::patcher {

void run_parallel(std::size_t count, std::uint32_t threads, std::stop_token stop,
                  const std::function<void(std::size_t index, std::stop_token stop)>& work) {
  if (count == 0) return;

  // Workers watch only the inner source, so one worker's failure can stop the
  // others without touching the caller's token.
  std::stop_source inner;
  const std::stop_callback forward_stop(stop, [&inner] { inner.request_stop(); });

  std::atomic<std::size_t> next_index{0};
  std::mutex failure_mutex;
  std::exception_ptr failure;

  const auto worker = [&] {
    const std::stop_token inner_token = inner.get_token();
    while (!inner_token.stop_requested()) {
      const std::size_t index = next_index.fetch_add(1, std::memory_order_relaxed);
      if (index >= count) return;
      try {
        work(index, inner_token);
      } catch (...) {
        const std::lock_guard lock(failure_mutex);
        if (!failure) failure = std::current_exception();
        inner.request_stop();
        return;
      }
    }
  };

  {
    const std::size_t worker_count = std::min<std::size_t>(std::max<std::uint32_t>(threads, 1), count);
    std::vector<std::jthread> workers;
    workers.reserve(worker_count);
    try {
      for (std::size_t i = 0; i < worker_count; ++i) workers.emplace_back(worker);
    } catch (...) {
      // A thread that could not start: the ones running stop at their next item,
      // and are joined as the vector goes.
      inner.request_stop();
      throw;
    }
  }  // Joins every worker.

  throw_if_stopped(stop);
  if (failure) std::rethrow_exception(failure);
}

}  // namespace kaldren::patcher
