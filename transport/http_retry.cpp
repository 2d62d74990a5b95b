// The retry loop around one transport request, with jittered exponential back-off.
#include <algorithm>
#include <chrono>
#include <random>
#include <thread>

#include "core/error.h"
#include "core/log.h"
#include "transport/http_rules.h"
#include "transport/transport.h"

namespace kaldren::patcher::http {
namespace {

constexpr std::uint64_t kFirstBackoffMs = 500;
constexpr std::uint64_t kMaxBackoffMs = 15000;
constexpr std::uint64_t kMaxRetryAfterMs = 60000;
constexpr auto kWaitStep = std::chrono::milliseconds(50);

std::mt19937& random_engine() {
  // One engine per thread: download workers draw their jitter without a lock.
  thread_local std::mt19937 engine{std::random_device{}()};
  return engine;
}

}  // namespace

DelayRange backoff_range(int attempt) noexcept {
  std::uint64_t base = kFirstBackoffMs;
  for (int n = 1; n < attempt && base < kMaxBackoffMs; ++n) base *= 2;
  base = std::min(base, kMaxBackoffMs);
  return {base * 3 / 4, base * 5 / 4};
}

std::uint64_t backoff_ms(int attempt) {
  const DelayRange range = backoff_range(attempt);
  std::uniform_int_distribution<std::uint64_t> distribution(range.low, range.high);
  return distribution(random_engine());
}

std::uint64_t retry_delay_ms(std::uint64_t retry_after_seconds, int attempt) {
  if (retry_after_seconds > 0) {
    return std::min(retry_after_seconds, kMaxRetryAfterMs / 1000) * 1000;
  }
  return backoff_ms(attempt);
}

void wait_cancellable(std::uint64_t delay_ms, std::stop_token stop) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(delay_ms);
  for (;;) {
    if (std::chrono::steady_clock::now() >= deadline) return;
    if (stop.stop_requested()) throw_cancelled();
    std::this_thread::sleep_for(kWaitStep);
  }
}

void run_with_retries(std::string_view path, int attempts, std::stop_token stop,
                      const std::function<void()>& attempt) {
  for (int n = 1;; ++n) {
    if (stop.stop_requested()) throw_cancelled();
    try {
      attempt();
      return;
    } catch (const TransientError& error) {
      if (n >= attempts || stop.stop_requested()) {
        throw PatchError(ErrorCategory::network, error.what());
      }
      const std::uint64_t delay = retry_delay_ms(error.retry_after_seconds(), n);
      const std::string_view message = error.what();
      log(LogLevel::warn, "{} failed (attempt {} of {}): {}; retrying in {} ms", path, n, attempts,
          message.empty() ? std::string_view("Unknown exception") : message, delay);
      wait_cancellable(delay, stop);
    }
  }
}

}  // namespace kaldren::patcher::http
