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
  for (const auto& [first, second] : {std::pair{0, 1}, std::pair{1, 4}}) {
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
    const bool uses_b = phase == 1 || phase == 3 || phase == 4;
    EXPECT_EQ(differences(rendered({.phase = phase}), uses_b ? b : a, 0, 0, 640, 360), 0) << "phase " << phase;
  }
}

TEST(LauncherCanvas, BelowOneKibibyteDrawsNoBarAndNoText) {
  const Pixels a = test::resource_picture(LANTERNIX_PICTURE_A_BASE + 1);
  const Pixels frame = rendered(
      {.phase = UpdateStatus::downloading, .item_done = 512, .item_total = 10 * mib, .done = 512, .total = 10 * mib});
  for (const int y : {377, 397, 416, 436}) EXPECT_EQ(differences(frame, a, 107, y, 640, y + 17), 0) << "at " << y;
  EXPECT_EQ(differences(frame, a, 22, 397, 107, 414), 0) << "the first bar's start";
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
    const Pixels frame = rendered({.phase = c.phase, .done = c.done, .total = c.total});
    for (int y = 0; y < 17; ++y) {
      for (int x = 0; x < 640 - c.x; ++x) {
        const std::uint32_t expected = x < 592 ? bar.at(x, y) : c.picture.at(c.x + x, c.y + y);
        ASSERT_EQ(frame.at(c.x + x, c.y + y), expected) << "phase " << c.phase << " at " << x << "," << y;
      }
    }
    EXPECT_GT(differences(frame, c.picture, 107, 416, 640, 433), 20) << "the progress text";
  }
  // "100K/100K = 100.00%" reaches further right than "10K/100K = 10.00%".
  const Pixels full = rendered({.phase = 2, .done = 100 * kib, .total = 100 * kib});
  const Pixels tenth = rendered({.phase = 2, .done = 10 * kib, .total = 100 * kib});
  EXPECT_GT(differences(full, a, 250, 416, 640, 433), differences(tenth, a, 250, 416, 640, 433));
}

TEST(LauncherCanvas, AShortPictureLeavesTheLastRowBlackAndOtherSizesAreStretched) {
  const Pixels short_frame = rendered({}, 640, 466, 3, 3);
  for (int x = 0; x < 640; ++x) ASSERT_EQ(short_frame.at(x, 465), 0u) << x;

  const UpdateStatus status{.phase = 2, .item_done = 3 * kib, .item_total = 9 * kib, .done = 5 * kib, .total = 9 * kib};
  const Pixels frame = rendered(status);
  const Pixels large = rendered(status, 960, 699);
  for (int y = 0; y < 465; y += 7) {
    for (int x = 0; x < 639; x += 9) {
      const std::uint32_t got = large.at(x * 3 / 2 + 1, y * 3 / 2 + 1);
      ASSERT_TRUE(got == frame.at(x, y) || got == frame.at(x + 1, y) || got == frame.at(x, y + 1) ||
                  got == frame.at(x + 1, y + 1))
          << x << "," << y;
    }
  }
}

}  // namespace
}  // namespace kaldren::patcher
