#include "tools/parallel_work.h"

#include <algorithm>
#include <atomic>
#include <exception>
#include <mutex>
#include <thread>
#include <vector>

namespace kaldren::patcher::publish {

void run_parallel(std::size_t count, unsigned threads, const std::function<void(std::size_t)>& work) {
  std::atomic<std::size_t> next{0};
  std::atomic<bool> failed{false};
  std::exception_ptr first_error;
  std::mutex error_mutex;
  auto worker = [&] {
    for (;;) {
      if (failed.load()) return;
      std::size_t i = next.fetch_add(1);
      if (i >= count) return;
      try {
        work(i);
      } catch (...) {
        std::lock_guard lock(error_mutex);
        if (!first_error) first_error = std::current_exception();
        failed.store(true);
      }
    }
  };
  std::vector<std::thread> pool;
  unsigned n = std::max(1u, std::min<unsigned>(threads, static_cast<unsigned>(std::max<std::size_t>(count, 1))));
  for (unsigned t = 1; t < n; ++t) pool.emplace_back(worker);
  worker();
  for (auto& thread : pool) thread.join();
  if (first_error) std::rethrow_exception(first_error);
}

}  // namespace kaldren::patcher::publish
