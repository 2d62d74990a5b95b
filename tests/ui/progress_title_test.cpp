// The title's download figures and the moving average behind its speed.
#include "ui/progress_title.h"

#include <gtest/gtest.h>

namespace kaldren::patcher {
namespace {

using namespace std::chrono_literals;

TEST(DownloadRate, AveragesOverTheLastSecondsAndStartsOverWhenTheCountFalls) {
  DownloadRate rate(4s);
  const DownloadRate::Clock::time_point start{};
  EXPECT_EQ(rate.bytes_per_second(), 0.0);
  rate.add(start, 0);
  rate.add(start + 100ms, 1000);
  EXPECT_EQ(rate.bytes_per_second(), 0.0) << "too short a span";
  for (int second = 1; second <= 10; ++second)
    rate.add(start + second * 1s, second <= 6 ? second * 1000u : 6000u + (second - 6) * 4000u);
  EXPECT_DOUBLE_EQ(rate.bytes_per_second(), 4000.0) << "only the last four seconds count";
  rate.add(start + 11s, 10);
  EXPECT_EQ(rate.bytes_per_second(), 0.0);
}

TEST(LauncherTitle, ShowsPercentageSpeedAndTimeLeftOnlyWhileDownloading) {
  const struct {
    std::int32_t phase;
    std::uint64_t done, total;
    double rate;
    const wchar_t* title;
  } cases[] = {
      {UpdateStatus::checking, 5, 10, 100.0, L"[Kaldren Morvale] Lanternixing..."},
      {UpdateStatus::downloading, 0, 0, 100.0, L"[Kaldren Morvale] Lanternixing..."},
      {UpdateStatus::downloading, 512, 1024, 0.0, L"[Kaldren Morvale] Lanternixing... 50%"},
      {UpdateStatus::downloading, 1 << 20, 11 << 20, 1 << 20,
       L"[Kaldren Morvale] Lanternixing... 9% - 1.0 MB/s - 0:10 left"},
      {UpdateStatus::downloading, 0, 7200ull * 1536, 1536,
       L"[Kaldren Morvale] Lanternixing... 0% - 1.5 KB/s - 2:00:00 left"},
      {UpdateStatus::downloading, 9, 3, 1000.0, L"[Kaldren Morvale] Lanternixing... 100% - 1000 bytes/s - 0:00 left"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(launcher_title({.phase = c.phase, .done = c.done, .total = c.total}, c.rate), c.title);
  }
}

}  // namespace
}  // namespace kaldren::patcher
