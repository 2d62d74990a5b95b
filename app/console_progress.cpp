#include "app/console_progress.h"

#include <algorithm>

#include <fmt/format.h>

#include "core/text.h"

namespace kaldren::patcher {
namespace {

constexpr auto kTerminalRedraw = std::chrono::milliseconds(100);
constexpr auto kPlainLineEvery = std::chrono::seconds(3);
constexpr int kBarWidth = 24;

}  // namespace

std::string shorten_from_start(std::string_view text, std::size_t max_bytes) {
  if (text.size() <= max_bytes) return std::string(text);
  std::size_t start = text.size() - (max_bytes - 3);
  // Continuation bytes (10xxxxxx) never begin a character.
  while (start < text.size() && (static_cast<unsigned char>(text[start]) & 0xC0) == 0x80) ++start;
  return "..." + std::string(text.substr(start));
}

ConsoleProgress::ConsoleProgress(std::FILE* out, bool terminal) : out_(out), terminal_(terminal) {}

void ConsoleProgress::print_line(const std::string& line) {
  if (bar_drawn_) {
    std::fputs("\r\x1b[K", out_);
    bar_drawn_ = false;
  }
  std::fputs(line.c_str(), out_);
  std::fputc('\n', out_);
  std::fflush(out_);
}

std::string ConsoleProgress::progress_text(const UpdateStatus& status, Clock::time_point now) {
  double seconds = std::chrono::duration<double>(now - phase_start_).count();
  std::uint64_t moved = status.done >= phase_start_done_ ? status.done - phase_start_done_ : 0;
  double rate = seconds > 0.2 ? moved / seconds : 0;
  std::string text = fmt::format("{} / {}", format_size(status.done), format_size(status.total));
  if (rate > 0) {
    text += "  " + format_rate(rate);
    if (status.total > status.done) text += "  ETA " + format_duration(static_cast<std::uint64_t>((status.total - status.done) / rate));
  }
  return text;
}

void ConsoleProgress::show(const UpdateStatus& status) {
  std::lock_guard lock(mutex_);
  auto now = Clock::now();
  bool new_phase = status.phase != phase_ || status.text != text_;
  if (new_phase) {
    phase_ = status.phase;
    text_ = status.text;
    phase_start_ = now;
    phase_start_done_ = status.done;
    last_draw_ = now;
    last_done_ = static_cast<std::uint64_t>(-1);
    print_line(status.text);
    if (status.total == 0) return;
  }
  if (status.total == 0) return;
  const Clock::duration every = terminal_ ? std::chrono::duration_cast<Clock::duration>(kTerminalRedraw)
                                           : std::chrono::duration_cast<Clock::duration>(kPlainLineEvery);
  // The last step of a phase is always shown, once.
  bool final_step = status.done == status.total && last_done_ != status.done;
  if (!new_phase && now - last_draw_ < every && !final_step) return;
  if (!new_phase && status.done == last_done_ && !terminal_) return;
  last_draw_ = now;
  last_done_ = status.done;
  double fraction = std::min(1.0, static_cast<double>(status.done) / static_cast<double>(status.total));
  std::string numbers = progress_text(status, now);
  if (terminal_) {
    int filled = static_cast<int>(fraction * kBarWidth);
    std::string bar(static_cast<std::size_t>(filled), '#');
    bar.resize(kBarWidth, '-');
    const std::string detail = shorten_from_start(status.detail, 40);
    std::fprintf(out_, "\r\x1b[K[%s] %5.1f%%  %s  %s", bar.c_str(), fraction * 100, numbers.c_str(), detail.c_str());
    std::fflush(out_);
    bar_drawn_ = true;
  } else if (!new_phase) {
    print_line(fmt::format("  {:.1f}%  {}", fraction * 100, numbers));
  }
}

void ConsoleProgress::finish() {
  std::lock_guard lock(mutex_);
  if (bar_drawn_) {
    std::fputc('\n', out_);
    std::fflush(out_);
    bar_drawn_ = false;
  }
}

}  // namespace kaldren::patcher
