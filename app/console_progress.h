// Shows update progress on a console: a redrawn bar with bytes, speed and time
// left on a terminal, plain lines (at most one every few seconds) otherwise.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>

#include "engine/update_engine.h"

namespace kaldren::patcher {

class ConsoleProgress {
 public:
  // `terminal`: redraw one line in place; otherwise print whole lines.
  ConsoleProgress(std::FILE* out, bool terminal);

  // Thread-safe; called for every status the engine reports.
  void show(const UpdateStatus& status);
  // Ends a drawn bar so that later output starts on a fresh line.
  void finish();

 private:
  using Clock = std::chrono::steady_clock;
  void print_line(const std::string& line);
  std::string progress_text(const UpdateStatus& status, Clock::time_point now);

  std::FILE* out_;
  bool terminal_;
  std::mutex mutex_;
  std::int32_t phase_ = -1;
  std::string text_;
  bool bar_drawn_ = false;
  Clock::time_point phase_start_{};
  Clock::time_point last_draw_{};
  std::uint64_t phase_start_done_ = 0;
  std::uint64_t last_done_ = static_cast<std::uint64_t>(-1);
};

// `text` (UTF-8) when it has at most `max_bytes`, else "..." and its end, cut at a
// character boundary so that the whole fits in `max_bytes` (at least 4).
std::string shorten_from_start(std::string_view text, std::size_t max_bytes);

}  // namespace kaldren::patcher
