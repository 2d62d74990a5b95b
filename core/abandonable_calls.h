// Blocking calls a caller can walk away from: a file-system call on a network share that
// does not answer blocks in the system, where no stop token reaches it. Each call runs
// on a helper thread while its caller waits for the call's end, its stop token or its
// patience, whichever comes first.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <stop_token>

namespace kaldren::patcher {

// A call walked away from still finishes on its helper thread and nobody sees its
// result, so it must share ownership of everything it touches. Helper threads are
// reused once free and end after a minute without work; the object never waits for one.
// Thread-safe.
class AbandonableCalls {
 public:
  enum class Outcome { done, stopped, out_of_patience };

  AbandonableCalls();
  AbandonableCalls(const AbandonableCalls&) = delete;
  AbandonableCalls& operator=(const AbandonableCalls&) = delete;
  ~AbandonableCalls();

  // done: `call` ended, and an exception it threw is thrown here.
  Outcome run(std::function<void()> call, std::stop_token stop, std::chrono::milliseconds patience);

  struct Helpers;  // shared with the helper threads, which may outlive the object

 private:
  std::shared_ptr<Helpers> helpers_;
};

}  // namespace kaldren::patcher
