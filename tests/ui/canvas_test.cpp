// The canvas drawn into memory, with no window: pictures per phase, bar lengths,
// progress texts and scaling, checked pixel by pixel against the resources.
#include <gtest/gtest.h>

#include <stdexcept>

#include "ui/launcher_canvas.h"
#include "ui/resource_ids.h"
#include "ui_test_support.h"

namespace kaldren::patcher {
namespace {

using test::Pixels;

constexpr std::uint64_t kib = 1024;
constexpr std::uint64_t mib = 1024 * kib;

UpdateStatus status_of(std::int32_t phase, std::uint64_t item_done, std::uint64_t item_total, std::uint64_t done,
                       std::uint64_t total) {
  UpdateStatus status;
  status.phase = phase;
  status.item_done = item_done;
  status.item_total = item_total;
  status.done = done;
  status.total = total;
  return status;
}

Pixels rendered(const UpdateStatus& status, int width = 640, int height = 466, int first = 1, int second = 2) {
  LauncherCanvas canvas(GetModuleHandleW(nullptr), first, second);
  Pixels target(width, height);
  canvas.render(target.dc(), width, height, status);
  return target;
}

// Pixels of the box [x0, x1) by [y0, y1) that differ between two frames.
int differences(const Pixels& a, const Pixels& b, int x0, int y0, int x1, int y1) {
  int count = 0;
  for (int y = y0; y < y1; ++y)
    for (int x = x0; x < x1; ++x) count += a.at(x, y) != b.at(x, y);
  return count;
}

TEST(ProgressRules, FractionOnWholeKibibytesAndTextFormat) {
  const struct {
    std::uint64_t done, total;
    float fraction;
    const char* text;
  } cases[] = {
      {0, 10 * mib, 0.0f, ""},
      {512, 10 * mib, 0.0f, ""},
      {10 * mib, 512, 0.0f, ""},
      {kib, 4 * kib, 0.25f, "1K/4K = 25.00%"},
      {kib + 1023, 2 * kib, 0.5f, "1K/2K = 50.00%"},
      {3 * kib, 3 * kib, 1.0f, "3K/3K = 100.00%"},
      {5 * kib, 2 * kib, 1.0f, "5K/2K = 250.00%"},
      {kib, 3 * kib, 1.0f / 3.0f, "1K/3K = 33.33%"},
  };
  for (const auto& c : cases) {
    EXPECT_FLOAT_EQ(progress_fraction(c.done, c.total), c.fraction) << c.done << "/" << c.total;
    EXPECT_EQ(progress_text(c.done, c.total), c.text) << c.done << "/" << c.total;
  }
}

TEST(LauncherCanvas, RefusesVariantsOutsideOneToThree) {
  for (const auto& [first, second] : {std::pair{0, 1}, std::pair{1, 4}, std::pair{-1, 2}}) {
    try {
      LauncherCanvas(GetModuleHandleW(nullptr), first, second);
      ADD_FAILURE() << first << ", " << second;
    } catch (const std::invalid_argument& error) {
      EXPECT_STREQ(error.what(), "Invalid launcher skin variant");
    }
  }
  for (int i = 0; i < 50; ++i) EXPECT_TRUE(draw_skin_variant() >= 1 && draw_skin_variant() <= 3);
}

TEST(LauncherCanvas, EachPhaseShowsItsPicture) {
  const Pixels a = test::resource_picture(LANTERNIX_PICTURE_A_BASE + 1);
  const Pixels b = test::resource_picture(LANTERNIX_PICTURE_B_BASE + 2);
  for (const std::int32_t phase : {0, 1, 2, 3, 4, 5}) {
    const Pixels frame = rendered(status_of(phase, 0, 0, 0, 0));
    const bool uses_b = phase == 1 || phase == 3 || phase == 4;
    EXPECT_EQ(differences(frame, uses_b ? b : a, 0, 0, 640, 360), 0) << "phase " << phase;
  }
}

TEST(LauncherCanvas, BelowOneKibibyteDrawsNoBarAndNoText) {
  const Pixels a = test::resource_picture(LANTERNIX_PICTURE_A_BASE + 1);
  const Pixels frame = rendered(status_of(UpdateStatus::downloading, 512, 10 * mib, 512, 10 * mib));
  EXPECT_EQ(differences(frame, a, 0, 397, 640, 414), 0) << "first bar";
  EXPECT_EQ(differences(frame, a, 0, 436, 640, 453), 0) << "second bar";
  EXPECT_EQ(differences(frame, a, 107, 377, 640, 394), 0) << "first progress text";
  EXPECT_EQ(differences(frame, a, 107, 416, 640, 433), 0) << "second progress text";
  EXPECT_GT(differences(frame, a, 27, 377, 107, 394), 0) << "the label is there";
}

TEST(LauncherCanvas, AFinishedCountDrawsTheWholeBarAndItsPercentage) {
  const Pixels bar = test::resource_picture(LANTERNIX_PROGRESS_BAR);
  const Pixels a = test::resource_picture(LANTERNIX_PICTURE_A_BASE + 1);
  const Pixels b = test::resource_picture(LANTERNIX_PICTURE_B_BASE + 2);
  struct Case {
    std::int32_t phase;
    std::uint64_t done, total;
    int x, y;
    const Pixels& picture;
  };
  for (const Case& c : {Case{2, 7 * kib, 7 * kib, 22, 436, a}, Case{2, 9 * kib, 7 * kib, 22, 436, a},
                        Case{3, 7 * kib, 7 * kib, 24, 437, b}, Case{1, 2 * mib, 2 * mib, 24, 437, b}}) {
    const Pixels frame = rendered(status_of(c.phase, 0, 0, c.done, c.total));
    for (int y = 0; y < 17; ++y) {
      for (int x = 0; x < 640 - c.x; ++x) {
        const std::uint32_t expected = x < 592 ? bar.at(x, y) : c.picture.at(c.x + x, c.y + y);
        ASSERT_EQ(frame.at(c.x + x, c.y + y), expected) << "phase " << c.phase << " at " << x << "," << y;
      }
    }
    EXPECT_GT(differences(frame, c.picture, 107, 416, 640, 433), 20) << "the progress text";
  }
  // The text itself: 100.00 % is wider than 10.00 %, and both are drawn in white.
  const Pixels full = rendered(status_of(2, 0, 0, 100 * kib, 100 * kib));
  const Pixels tenth = rendered(status_of(2, 0, 0, 10 * kib, 100 * kib));
  int full_right = 0, tenth_right = 0;
  for (int y = 416; y < 433; ++y) {
    for (int x = 107; x < 640; ++x) {
      if (full.at(x, y) == 0xFFFFFF) full_right = std::max(full_right, x);
      if (tenth.at(x, y) == 0xFFFFFF) tenth_right = std::max(tenth_right, x);
    }
  }
  EXPECT_GT(full_right, tenth_right) << "\"100K/100K = 100.00%\" against \"10K/100K = 10.00%\"";
}

TEST(LauncherCanvas, AShortPictureLeavesTheLastRowBlackAndOtherSizesAreStretched) {
  const Pixels short_frame = rendered(status_of(0, 0, 0, 0, 0), 640, 466, 3, 3);
  for (int x = 0; x < 640; ++x) ASSERT_EQ(short_frame.at(x, 465), 0u) << x;

  const UpdateStatus status = status_of(2, 3 * kib, 9 * kib, 5 * kib, 9 * kib);
  const Pixels frame = rendered(status);
  const Pixels large = rendered(status, 960, 699);
  for (int y = 0; y < 465; y += 7) {
    for (int x = 0; x < 639; x += 9) {
      const std::uint32_t got = large.at(x * 3 / 2 + 1, y * 3 / 2 + 1);
      const bool close_by = got == frame.at(x, y) || got == frame.at(x + 1, y) || got == frame.at(x, y + 1) ||
                            got == frame.at(x + 1, y + 1);
      ASSERT_TRUE(close_by) << x << "," << y;
    }
  }
}

}  // namespace
}  // namespace kaldren::patcher
