// The parallel runner: worker counts, the first failure, cancellation by the caller,
// and every item run exactly once.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <set>
#include <stdexcept>
#include <thread>
#include <vector>

#include "core/error.h"
#include "engine/parallel_runner.h"
#include "support/failure_of.h"

namespace kaldren::patcher {
namespace {

using namespace std::chrono_literals;

using test::failure_of;

// Blocks until `stop` is requested or `limit` passes; true when stopped.
bool wait_for_stop(const std::stop_token& stop, std::chrono::milliseconds limit = 10s) {
  std::mutex mutex;
  std::condition_variable_any wake;
  std::unique_lock lock(mutex);
  wake.wait_for(lock, stop, limit, [] { return false; });
  return stop.stop_requested();
}

// Counts arrivals and lets callers wait for a number of them.
class Arrivals {
 public:
  void arrive() {
    const std::lock_guard lock(mutex_);
    ++count_;
    changed_.notify_all();
  }
  bool wait_for(int count, std::chrono::milliseconds limit = 10s) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, limit, [&] { return count_ >= count; });
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  int count_ = 0;
};

TEST(ParallelRunner, StartsAsManyWorkersAsThreadsAllowAndItemsNeed) {
  const struct {
    std::uint32_t threads;
    std::size_t items;
    int workers;
  } cases[] = {
      {8, 3, 3}, {0, 3, 1}, {1, 4, 1}, {2, 6, 2}, {4, 4, 4},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.threads << " threads, " << c.items << " items");
    std::mutex mutex;
    std::set<std::thread::id> threads_seen;
    std::atomic<int> active{0};
    std::atomic<int> most_active{0};
    Arrivals arrivals;
    run_parallel(c.items, c.threads, {}, [&](std::size_t, std::stop_token) {
      {
        const std::lock_guard lock(mutex);
        threads_seen.insert(std::this_thread::get_id());
      }
      const int now = ++active;
      int seen = most_active.load();
      while (seen < now && !most_active.compare_exchange_weak(seen, now)) {
      }
      // Every expected worker gets here together; a surplus one would overlap the linger.
      arrivals.arrive();
      arrivals.wait_for(c.workers, 2s);
      std::this_thread::sleep_for(20ms);
      --active;
    });
    EXPECT_EQ(most_active.load(), c.workers);
    EXPECT_EQ(threads_seen.size(), static_cast<std::size_t>(c.workers));
    EXPECT_FALSE(threads_seen.contains(std::this_thread::get_id())) << "items run on workers, not the caller";
  }
}

TEST(ParallelRunner, NoItemsReturnsAtOnceEvenWhenStopped) {
  std::stop_source stopped;
  stopped.request_stop();
  for (const std::stop_token& stop : {std::stop_token{}, stopped.get_token()}) {
    bool called = false;
    run_parallel(0, 8, stop, [&](std::size_t, std::stop_token) { called = true; });
    EXPECT_FALSE(called);
  }
}

TEST(ParallelRunner, RunsEveryItemExactlyOnceUnderContention) {
  constexpr std::size_t kItems = 200000;
  const auto runs = std::make_unique<std::atomic<int>[]>(kItems);
  run_parallel(kItems, 8, {}, [&](std::size_t index, std::stop_token) { ++runs[index]; });
  std::size_t wrong = 0;
  for (std::size_t i = 0; i < kItems; ++i) wrong += runs[i].load() != 1;
  EXPECT_EQ(wrong, 0u);
}

// Item 0 fails once item 1 runs; item 1 is long. Two workers, many items.
TEST(ParallelRunner, FirstFailureWinsAndStopsTheOthers) {
  const struct {
    const char* name;
    bool long_item_watches_token;  // else it ends on its own, and the stop is seen between items
    bool long_item_throws;         // a later failure that must not replace the first
  } cases[] = {
      {"long item ended through its token, then throws", true, true},
      {"long item ended through its token, returns", true, false},
      {"long item ignores the token", false, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::atomic<int> started{0};
    std::atomic<bool> long_item_saw_stop{false};
    Arrivals long_item_running;
    const auto begin = std::chrono::steady_clock::now();
    const PatchError error = failure_of([&] {
      run_parallel(100, 2, {}, [&](std::size_t index, std::stop_token stop) {
        ++started;
        if (index == 0) {
          long_item_running.wait_for(1);
          throw PatchError(ErrorCategory::server, "The patch server is missing v2/objects/ab/first");
        }
        if (index == 1) {
          long_item_running.arrive();
          if (c.long_item_watches_token) {
            long_item_saw_stop = wait_for_stop(stop);
          } else {
            std::this_thread::sleep_for(100ms);
            long_item_saw_stop = stop.stop_requested();
          }
          if (c.long_item_throws) throw PatchError(ErrorCategory::network, "a later failure");
        }
      });
    });
    EXPECT_EQ(error.category(), ErrorCategory::server);
    EXPECT_STREQ(error.what(), "The patch server is missing v2/objects/ab/first");
    EXPECT_TRUE(long_item_saw_stop.load());
    EXPECT_EQ(started.load(), 2) << "no item starts after the failure";
    EXPECT_LT(std::chrono::steady_clock::now() - begin, 5s);
  }
}

TEST(ParallelRunner, KeepsTheTypeOfAFailureThatIsNotAPatchError) {
  EXPECT_THROW(run_parallel(3, 2, {}, [](std::size_t index, std::stop_token) {
                 if (index == 1) throw std::length_error("vector too long");
               }),
               std::length_error);
}

TEST(ParallelRunner, CallerStopIsReportedAsClosedEvenWhenAWorkerFailed) {
  const struct {
    const char* name;
    bool worker_fails_after_stop;
  } cases[] = {
      {"workers only see the stop", false},
      {"a worker fails with a server error after the stop", true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::stop_source caller;
    std::atomic<int> stopped_items{0};
    Arrivals running;
    std::jthread closer([&] {
      running.wait_for(3);
      caller.request_stop();
    });
    const PatchError error = failure_of([&] {
      run_parallel(10, 3, caller.get_token(), [&](std::size_t, std::stop_token stop) {
        running.arrive();
        if (wait_for_stop(stop)) ++stopped_items;
        if (c.worker_fails_after_stop) throw PatchError(ErrorCategory::server, "The patch server answered HTTP 500");
      });
    });
    EXPECT_EQ(error.category(), ErrorCategory::cancelled);
    EXPECT_STREQ(error.what(), "The launcher was closed");
    EXPECT_EQ(stopped_items.load(), 3) << "the caller's stop reaches items inside their work";
  }
}

TEST(ParallelRunner, CallerStopAfterTheLastItemStillReportsClosed) {
  std::stop_source caller;
  const PatchError error = failure_of([&] {
    run_parallel(4, 2, caller.get_token(), [&](std::size_t index, std::stop_token) {
      if (index == 3) caller.request_stop();
    });
  });
  EXPECT_EQ(error.category(), ErrorCategory::cancelled);
  EXPECT_STREQ(error.what(), "The launcher was closed");
}

}  // namespace
}  // namespace kaldren::patcher
