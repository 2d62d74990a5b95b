#include "core/abandonable_calls.h"

#include <condition_variable>
#include <deque>
#include <exception>
#include <mutex>
#include <thread>

namespace kaldren::patcher {
namespace {

constexpr std::chrono::seconds kIdleHelperLifetime{60};

struct Call {
  std::function<void()> work;
  std::mutex mutex;
  std::condition_variable ended_signal;
  bool ended = false;
  std::exception_ptr error;
};

}  // namespace

struct AbandonableCalls::Helpers {
  std::mutex mutex;
  std::condition_variable work_signal;
  std::deque<std::shared_ptr<Call>> queue;
  std::size_t idle = 0;
  bool closing = false;
};

namespace {

void serve(const std::shared_ptr<AbandonableCalls::Helpers>& helpers);

}  // namespace

AbandonableCalls::AbandonableCalls() : helpers_(std::make_shared<Helpers>()) {}

AbandonableCalls::~AbandonableCalls() {
  const std::lock_guard guard(helpers_->mutex);
  helpers_->closing = true;
  helpers_->work_signal.notify_all();
}

AbandonableCalls::Outcome AbandonableCalls::run(std::function<void()> work, std::stop_token stop,
                                                std::chrono::milliseconds patience) {
  const auto deadline = std::chrono::steady_clock::now() + patience;
  const auto call = std::make_shared<Call>();
  call->work = std::move(work);
  {
    const std::lock_guard guard(helpers_->mutex);
    helpers_->queue.push_back(call);
    // Every queued call has a helper of its own: one stuck in the system holds up no other.
    if (helpers_->queue.size() > helpers_->idle) {
      std::thread([helpers = helpers_] { serve(helpers); }).detach();
    } else {
      helpers_->work_signal.notify_one();
    }
  }
  // Registered before the lock is taken: it may run at once, on this thread.
  const std::stop_callback wake(stop, [&call] {
    const std::lock_guard guard(call->mutex);
    call->ended_signal.notify_all();
  });
  std::unique_lock lock(call->mutex);
  call->ended_signal.wait_until(lock, deadline, [&] { return call->ended || stop.stop_requested(); });
  if (call->ended) {
    if (call->error) std::rethrow_exception(call->error);
    return Outcome::done;
  }
  return stop.stop_requested() ? Outcome::stopped : Outcome::out_of_patience;
}

namespace {

void serve(const std::shared_ptr<AbandonableCalls::Helpers>& helpers) {
  std::unique_lock lock(helpers->mutex);
  for (;;) {
    ++helpers->idle;
    helpers->work_signal.wait_for(lock, kIdleHelperLifetime,
                                  [&] { return helpers->closing || !helpers->queue.empty(); });
    --helpers->idle;
    if (helpers->queue.empty()) return;
    const std::shared_ptr<Call> call = std::move(helpers->queue.front());
    helpers->queue.pop_front();
    lock.unlock();
    std::exception_ptr error;
    try {
      call->work();
    } catch (...) {
      error = std::current_exception();
    }
    call->work = nullptr;  // what it held goes here, not with a caller that walked away
    {
      const std::lock_guard guard(call->mutex);
      call->ended = true;
      call->error = error;
    }
    call->ended_signal.notify_all();
    lock.lock();
  }
}

}  // namespace
}  // namespace kaldren::patcher
