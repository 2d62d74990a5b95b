// Owners of GDI and paint resources: bitmaps and memory DCs, and scopes that undo a
// selection, a saved DC state or a paint when they end. Failures throw
// std::runtime_error with the caller's context (and the Win32 code where one is set).
#pragma once

#include <windows.h>

#include <cstdint>
#include <string_view>
#include <utility>

#include "core/owned_handle.h"

namespace kaldren::patcher {

using OwnedBitmap = OwnedHandle<ClosedBy<HBITMAP, DeleteObject>>;
using OwnedMemoryDc = OwnedHandle<ClosedBy<HDC, DeleteDC>>;

// Throws std::runtime_error(context), with the system's text when GetLastError has a code.
[[noreturn]] void throw_ui_failure(std::string_view context);

// Undoes one change to a DC when it ends: a selection or a saved state.
class DcScope {
 public:
  DcScope(DcScope&& other) noexcept
      : dc_(std::exchange(other.dc_, nullptr)), undo_(other.undo_), value_(other.value_) {}
  DcScope& operator=(DcScope&&) = delete;
  ~DcScope() {
    if (dc_ != nullptr) undo_(dc_, value_);
  }

  // Selects `object` into `dc`; the previous object goes back in at the end.
  friend DcScope select_into(HDC dc, HGDIOBJ object, std::string_view failure);
  // Saves the DC's state (SaveDC); exactly that state comes back at the end.
  friend DcScope save_state(HDC dc, std::string_view failure);

 private:
  using Undo = void (*)(HDC, std::intptr_t) noexcept;
  DcScope(HDC dc, Undo undo, std::intptr_t value) noexcept : dc_(dc), undo_(undo), value_(value) {}
  HDC dc_;
  Undo undo_;
  std::intptr_t value_;
};

DcScope select_into(HDC dc, HGDIOBJ object, std::string_view failure);
DcScope save_state(HDC dc, std::string_view failure);

// BeginPaint for the window; EndPaint at the end of scope.
class PaintScope {
 public:
  explicit PaintScope(HWND window) : window_(window), dc_(BeginPaint(window, &paint_)) {}
  ~PaintScope() { EndPaint(window_, &paint_); }
  PaintScope(const PaintScope&) = delete;
  PaintScope& operator=(const PaintScope&) = delete;
  HDC dc() const noexcept { return dc_; }

 private:
  HWND window_;
  PAINTSTRUCT paint_{};
  HDC dc_;
};

}  // namespace kaldren::patcher
