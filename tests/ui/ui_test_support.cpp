#include "ui_test_support.h"

#include <stdexcept>
#include <utility>

namespace kaldren::patcher::test {

Pixels::Pixels(int width, int height) : width_(width), height_(height) {
  dc_.reset(CreateCompatibleDC(nullptr));
  BITMAPINFO info{};
  info.bmiHeader = {sizeof(info.bmiHeader), width, -height, 1, 32, BI_RGB};
  void* bits = nullptr;
  bitmap_.reset(CreateDIBSection(dc_.get(), &info, DIB_RGB_COLORS, &bits, nullptr, 0));
  if (!dc_ || !bitmap_) throw std::runtime_error("no test bitmap");
  bits_ = static_cast<std::uint32_t*>(bits);
  SelectObject(dc_.get(), bitmap_.get());
}

Pixels resource_picture(int id) {
  const OwnedBitmap picture(static_cast<HBITMAP>(
      LoadImageW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(id), IMAGE_BITMAP, 0, 0, LR_CREATEDIBSECTION)));
  BITMAP info{};
  if (!picture || GetObjectW(picture.get(), sizeof info, &info) == 0) throw std::runtime_error("no picture");
  Pixels pixels(info.bmWidth, info.bmHeight);
  const OwnedMemoryDc source(CreateCompatibleDC(nullptr));
  const DcScope selected = select_into(source.get(), picture.get(), "no picture");
  BitBlt(pixels.dc(), 0, 0, info.bmWidth, info.bmHeight, source.get(), 0, 0, SRCCOPY);
  return pixels;
}

namespace {

std::function<void(HWND)> pending_answer;
UINT_PTR answer_timer = 0;

void CALLBACK answer_when_shown(HWND, UINT, UINT_PTR, DWORD) {
  const HWND dialog = FindWindowW(L"#32770", L"Lanternix");
  if (dialog == nullptr) return;  // not up yet
  stop_answering();
  std::function<void(HWND)> answer = std::exchange(pending_answer, nullptr);
  answer(dialog);
}

}  // namespace

void answer_next_dialog(std::function<void(HWND)> answer) {
  stop_answering();
  pending_answer = std::move(answer);
  answer_timer = SetTimer(nullptr, 0, 20, answer_when_shown);
}

void stop_answering() {
  if (answer_timer != 0) KillTimer(nullptr, std::exchange(answer_timer, 0));
}

std::wstring static_texts(HWND dialog) {
  std::wstring texts;
  for (HWND child = GetWindow(dialog, GW_CHILD); child != nullptr; child = GetWindow(child, GW_HWNDNEXT)) {
    wchar_t name[16] = {};
    GetClassNameW(child, name, 16);
    if (lstrcmpiW(name, L"Static") != 0) continue;
    std::wstring text(static_cast<std::size_t>(GetWindowTextLengthW(child)) + 1, L'\0');
    text.resize(static_cast<std::size_t>(GetWindowTextW(child, text.data(), static_cast<int>(text.size()))));
    texts += text;
  }
  return texts;
}

void pump_until(const std::function<bool()>& done) {
  for (int round = 0; round < 200 && !done(); ++round) {
    MSG message;
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
      if (message.message == WM_QUIT) {  // left for the test to see
        PostQuitMessage(static_cast<int>(message.wParam));
        return;
      }
      TranslateMessage(&message);
      DispatchMessageW(&message);
    }
    if (!done()) MsgWaitForMultipleObjects(0, nullptr, FALSE, 10, QS_ALLINPUT);
  }
}

bool windows_can_be_created() {
  static const bool can = [] {
    const HWND probe = CreateWindowExW(0, L"STATIC", L"", WS_POPUP, 0, 0, 1, 1, nullptr, nullptr, nullptr, nullptr);
    if (probe != nullptr) DestroyWindow(probe);
    return probe != nullptr;
  }();
  return can;
}

}  // namespace kaldren::patcher::test
