// The window title while downloading: percentage, speed and time left, the speed a
// moving average over the last few seconds of samples of the downloaded count.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <string>
#include <utility>

#include "engine/update_engine.h"

namespace kaldren::patcher {

class DownloadRate {
 public:
  using Clock = std::chrono::steady_clock;
  explicit DownloadRate(Clock::duration span = std::chrono::seconds(4)) : span_(span) {}

  // A count below the last one starts over (a new download).
  void add(Clock::time_point when, std::uint64_t done);
  void clear() { samples_.clear(); }
  // Bytes per second across the span; 0 until the samples cover a quarter second.
  double bytes_per_second() const noexcept;

 private:
  Clock::duration span_;
  std::deque<std::pair<Clock::time_point, std::uint64_t>> samples_;
};

// "[Kaldren Morvale] Lanternixing..." and, while downloading a known total,
// " 42% - 1.5 MB/s - 0:12 left" (speed and time only once a speed is known).
std::wstring launcher_title(const UpdateStatus& status, double bytes_per_second);

}  // namespace kaldren::patcher
