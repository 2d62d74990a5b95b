#include "ui/launcher_canvas.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <random>
#include <stdexcept>
#include <string>

#include "ui/resource_ids.h"

namespace kaldren::patcher {
namespace {

constexpr int bar_span = 592;
constexpr COLORREF label_colour = RGB(0, 128, 128);
constexpr COLORREF progress_colour = RGB(255, 255, 255);

bool uses_picture_b(std::int32_t phase) noexcept {
  return phase == UpdateStatus::checking || phase == UpdateStatus::installing || phase == UpdateStatus::complete;
}

int checked_variant(int variant) {
  if (variant < 1 || variant > 3) throw std::invalid_argument("Invalid launcher skin variant");
  return variant;
}

OwnedMemoryDc new_memory_dc() {
  SetLastError(ERROR_SUCCESS);
  OwnedMemoryDc dc(CreateCompatibleDC(nullptr));
  if (!dc) throw_ui_failure("Could not create launcher back buffer");
  return dc;
}

OwnedBitmap new_canvas_bitmap(HDC dc) {
  BITMAPINFO info{};
  info.bmiHeader.biSize = sizeof(info.bmiHeader);
  info.bmiHeader.biWidth = LauncherCanvas::width;
  info.bmiHeader.biHeight = -LauncherCanvas::height;  // top-down
  info.bmiHeader.biPlanes = 1;
  info.bmiHeader.biBitCount = 32;
  info.bmiHeader.biCompression = BI_RGB;
  void* bits = nullptr;
  SetLastError(ERROR_SUCCESS);
  OwnedBitmap bitmap(CreateDIBSection(dc, &info, DIB_RGB_COLORS, &bits, nullptr, 0));
  if (!bitmap) throw_ui_failure("Could not allocate launcher canvas");
  return bitmap;
}

}  // namespace

int draw_skin_variant() {
  static std::mutex lock;
  static std::mt19937 generator{std::random_device{}()};
  const std::scoped_lock hold(lock);
  return std::uniform_int_distribution<int>(1, 3)(generator);
}

float progress_fraction(std::uint64_t done, std::uint64_t total) noexcept {
  if (done < 1024 || total < 1024) return 0.0f;
  const float fraction = static_cast<float>(done >> 10) / static_cast<float>(total >> 10);
  return std::clamp(fraction, 0.0f, 1.0f);
}

std::string progress_text(std::uint64_t done, std::uint64_t total) {
  if (done < 1024 || total < 1024) return {};
  const double done_k = static_cast<double>(done >> 10);
  const double total_k = static_cast<double>(total >> 10);
  char buffer[96];
  const int length =
      std::snprintf(buffer, sizeof buffer, "%.0fK/%.0fK = %.2f%%", done_k, total_k, done_k * 100.0 / total_k);
  if (length < 0 || length >= static_cast<int>(sizeof buffer)) {
    throw std::runtime_error("Could not format launcher progress");
  }
  return std::string(buffer, static_cast<std::size_t>(length));
}

LauncherCanvas::LauncherCanvas(HINSTANCE instance)
    : LauncherCanvas(instance, draw_skin_variant(), draw_skin_variant()) {}

LauncherCanvas::LauncherCanvas(HINSTANCE instance, int first_variant, int second_variant)
    : picture_a_(load(instance, LANTERNIX_PICTURE_A_BASE + checked_variant(first_variant))),
      picture_b_(load(instance, LANTERNIX_PICTURE_B_BASE + checked_variant(second_variant))),
      bar_(load(instance, LANTERNIX_PROGRESS_BAR)),
      canvas_dc_(new_memory_dc()),
      source_dc_(new_memory_dc()),
      canvas_bitmap_(new_canvas_bitmap(canvas_dc_.get())) {
  canvas_selection_.emplace(
      select_into(canvas_dc_.get(), canvas_bitmap_.get(), "Could not initialize launcher canvas"));
}

LauncherCanvas::Picture LauncherCanvas::load(HINSTANCE instance, int id) {
  Picture picture;
  SetLastError(ERROR_SUCCESS);
  picture.bitmap.reset(
      static_cast<HBITMAP>(LoadImageW(instance, MAKEINTRESOURCEW(id), IMAGE_BITMAP, 0, 0, LR_CREATEDIBSECTION)));
  if (!picture.bitmap) throw_ui_failure("Could not load a launcher bitmap");
  BITMAP info{};
  if (GetObjectW(picture.bitmap.get(), sizeof info, &info) == 0)
    throw_ui_failure("Could not inspect a launcher bitmap");
  picture.width = info.bmWidth;
  picture.height = info.bmHeight;
  return picture;
}

void LauncherCanvas::copy(const Picture& picture, int x, int y, int copy_width, int copy_height) {
  const DcScope selected = select_into(source_dc_.get(), picture.bitmap.get(), "Could not select launcher bitmap");
  if (!BitBlt(canvas_dc_.get(), x, y, copy_width, copy_height, source_dc_.get(), 0, 0, SRCCOPY)) {
    throw_ui_failure("Could not compose launcher bitmap");
  }
}

void LauncherCanvas::draw_bar(int x, int y, std::uint64_t done, std::uint64_t total) {
  const int length = static_cast<int>(progress_fraction(done, total) * bar_span);
  if (length <= 0) return;
  copy(bar_, x, y, std::min(bar_.width, length), bar_.height <= 16 ? bar_.height : 17);
}

void LauncherCanvas::draw_line(int x, int y, const char* label, std::uint64_t done, std::uint64_t total) {
  const HDC dc = canvas_dc_.get();
  if (SetTextColor(dc, label_colour) == CLR_INVALID ||
      !TextOutA(dc, x, y, label, static_cast<int>(std::strlen(label)))) {
    throw_ui_failure("Could not paint launcher progress text");
  }
  const std::string text = progress_text(done, total);
  if (text.empty()) return;
  if (SetTextColor(dc, progress_colour) == CLR_INVALID ||
      !TextOutA(dc, x + 80, y, text.data(), static_cast<int>(text.size()))) {
    throw_ui_failure("Could not paint launcher progress text");
  }
}

void LauncherCanvas::draw_text(const UpdateStatus& snapshot) {
  const HDC dc = canvas_dc_.get();
  const DcScope saved = save_state(dc, "Could not save launcher text state");
  const HGDIOBJ font = GetStockObject(SYSTEM_FONT);
  if (font == nullptr || SelectObject(dc, font) == nullptr || SetBkMode(dc, TRANSPARENT) == 0) {
    throw_ui_failure("Could not prepare launcher text");
  }
  switch (snapshot.phase) {
    case UpdateStatus::checking:
      draw_line(27, 416, "Checked:", snapshot.done, snapshot.total);
      break;
    case UpdateStatus::installing:
    case UpdateStatus::complete:
      draw_line(27, 416, "Installed:", snapshot.done, snapshot.total);
      break;
    default:
      draw_line(27, 377, "Updated:", snapshot.item_done, snapshot.item_total);
      draw_line(27, 416, "Total:", snapshot.done, snapshot.total);
      break;
  }
}

void LauncherCanvas::render(HDC target, int target_width, int target_height, const UpdateStatus& snapshot) {
  const HDC dc = canvas_dc_.get();
  SetLastError(ERROR_SUCCESS);  // GDI sets few codes: none of an earlier call in a message
  if (!PatBlt(dc, 0, 0, width, height, BLACKNESS)) throw_ui_failure("Could not clear launcher canvas");
  if (uses_picture_b(snapshot.phase)) {
    copy(picture_b_, 0, 0, picture_b_.width, picture_b_.height);
    draw_bar(24, 437, snapshot.done, snapshot.total);
  } else {
    copy(picture_a_, 0, 0, picture_a_.width, picture_a_.height);
    draw_bar(22, 397, snapshot.item_done, snapshot.item_total);
    draw_bar(22, 436, snapshot.done, snapshot.total);
  }
  draw_text(snapshot);
  if (target_width == width && target_height == height) {
    if (!BitBlt(target, 0, 0, width, height, dc, 0, 0, SRCCOPY)) throw_ui_failure("Could not present launcher frame");
    return;
  }
  if (SetStretchBltMode(target, COLORONCOLOR) == 0) throw_ui_failure("Could not configure launcher scaling");
  if (!StretchBlt(target, 0, 0, target_width, target_height, dc, 0, 0, width, height, SRCCOPY)) {
    throw_ui_failure("Could not scale launcher frame");
  }
}

}  // namespace kaldren::patcher
