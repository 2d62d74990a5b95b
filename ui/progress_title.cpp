#include "ui/progress_title.h"

#include <fmt/format.h>

#include <algorithm>
#include <cmath>

#include "core/text.h"

namespace kaldren::patcher {

void DownloadRate::add(Clock::time_point when, std::uint64_t done) {
  if (!samples_.empty() && done < samples_.back().second) samples_.clear();
  samples_.emplace_back(when, done);
  // Keep one sample at or beyond the span's start, so the average spans it whole.
  while (samples_.size() > 2 && samples_[1].first <= when - span_) samples_.pop_front();
}

double DownloadRate::bytes_per_second() const noexcept {
  if (samples_.size() < 2) return 0.0;
  const std::chrono::duration<double> elapsed = samples_.back().first - samples_.front().first;
  if (elapsed < std::chrono::milliseconds(250)) return 0.0;
  return static_cast<double>(samples_.back().second - samples_.front().second) / elapsed.count();
}

std::wstring launcher_title(const UpdateStatus& status, double bytes_per_second) {
  std::string title = "[Kaldren Morvale] Lanternixing...";
  if (status.phase == UpdateStatus::downloading && status.total != 0) {
    const std::uint64_t done = std::min(status.done, status.total);
    title += fmt::format(" {}%", done * 100 / status.total);
    if (bytes_per_second >= 1.0) {
      const auto left =
          static_cast<std::uint64_t>(std::ceil(static_cast<double>(status.total - done) / bytes_per_second));
      title += " - " + format_rate(bytes_per_second) + " - " + format_duration(left) + " left";
    }
  }
  return to_utf16_lenient(title);
}

}  // namespace kaldren::patcher
