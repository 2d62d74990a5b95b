// Readable pixels for drawing tests, and whether this desktop can show windows at all.
#pragma once

#include <windows.h>

#include <cstdint>
#include <functional>
#include <string>

#include "ui/gdi.h"

namespace kaldren::patcher::test {

// A 32-bit top-down DIB section selected into its own memory DC (deleted first).
class Pixels {
 public:
  Pixels(int width, int height);
  HDC dc() const noexcept { return dc_.get(); }
  int width() const noexcept { return width_; }
  int height() const noexcept { return height_; }
  std::uint32_t at(int x, int y) const noexcept { return bits_[y * width_ + x] & 0xFFFFFFu; }  // 0xRRGGBB

 private:
  int width_;
  int height_;
  std::uint32_t* bits_ = nullptr;
  OwnedBitmap bitmap_;
  OwnedMemoryDc dc_;
};

// Bitmap resource `id` of this program, drawn at its own size.
Pixels resource_picture(int id);

// Calls `answer` with the next window titled "Lanternix" (the failure dialog or its
// message box) from a timer of this thread, which the dialog's modal loop runs.
void answer_next_dialog(std::function<void(HWND)> answer);
// Forgets an answer no dialog has taken.
void stop_answering();

// The text of every static control of `dialog`, in window order.
std::wstring static_texts(HWND dialog);

// Runs this thread's messages until `done` holds, a quit message comes (left in the
// queue) or about two seconds have passed.
void pump_until(const std::function<bool()>& done);

// False where the system has no display for windows (Wine without a graphics driver).
bool windows_can_be_created();

}  // namespace kaldren::patcher::test

#define SKIP_WITHOUT_WINDOWS()                                                                        \
  if (!::kaldren::patcher::test::windows_can_be_created())                                            \
  GTEST_SKIP() << "no window can be created here (Wine without a display: set HKCU\\Software\\Wine\\" \
                  "Drivers Graphics=null, or give Wine an X server)"
