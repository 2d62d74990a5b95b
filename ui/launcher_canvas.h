// The window's back buffer: composes a 640 by 466 frame from the skin's pictures,
// the progress bars and the byte counts of a status, and presents it at any size.
#pragma once

#include <windows.h>

#include <cstdint>
#include <optional>
#include <string>

#include "engine/update_engine.h"
#include "ui/gdi.h"

namespace kaldren::patcher {

// A skin variant (1 to 3) drawn uniformly by the process-wide generator, seeded once.
int draw_skin_variant();

// The bar's share of its 592 pixels: 0 below 1 KiB on either side, else whole KiB
// done over whole KiB in all, clamped to 0..1.
float progress_fraction(std::uint64_t done, std::uint64_t total) noexcept;

// "%.0fK/%.0fK = %.2f%%" of whole KiB; empty when either count is below 1 KiB.
std::string progress_text(std::uint64_t done, std::uint64_t total);

class LauncherCanvas {
 public:
  static constexpr int width = 640;
  static constexpr int height = 466;

  // Loads the pictures of two freshly drawn skin variants, or of the given ones
  // (outside 1 to 3: std::invalid_argument). Throws std::runtime_error on failure.
  explicit LauncherCanvas(HINSTANCE instance);
  LauncherCanvas(HINSTANCE instance, int first_variant, int second_variant);

  // Draws `snapshot` and copies it onto `target` (stretched unless 640 by 466).
  void render(HDC target, int target_width, int target_height, const UpdateStatus& snapshot);

 private:
  struct Picture {
    OwnedBitmap bitmap;
    int width = 0;
    int height = 0;
  };
  static Picture load(HINSTANCE instance, int id);
  void copy(const Picture& picture, int x, int y, int copy_width, int copy_height);
  void draw_bar(int x, int y, std::uint64_t done, std::uint64_t total);
  void draw_line(int x, int y, const char* label, std::uint64_t done, std::uint64_t total);
  void draw_text(const UpdateStatus& snapshot);

  Picture picture_a_;
  Picture picture_b_;
  Picture bar_;
  OwnedMemoryDc canvas_dc_;
  OwnedMemoryDc source_dc_;
  OwnedBitmap canvas_bitmap_;
  std::optional<DcScope> canvas_selection_;  // undone before the bitmap goes
};

}  // namespace kaldren::patcher
