// The window on this thread: its size and place, when a status is posted, the drag
// rule, keys, posted actions and the failure dialog it raises.
#include "ui/launcher_window.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "ui/resource_ids.h"
#include "ui_test_support.h"

namespace kaldren::patcher {
namespace {

class LauncherWindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SKIP_WITHOUT_WINDOWS();
    window_ = std::make_unique<LauncherWindow>(GetModuleHandleW(nullptr),
                                               [this](WindowAction action) { actions_.push_back(action); });
    window_->show(SW_HIDE);  // X11 without a window manager waits 2 s to unmap a shown window
    hwnd_ = window_->handle();
    ASSERT_NE(hwnd_, nullptr);
  }

  void set_phase(std::int32_t phase) {
    window_->set_status({.phase = phase, .text = "No patch source answered", .category = ErrorCategory::network});
  }

  int take_status_messages() {
    int count = 0;
    MSG message;
    while (PeekMessageW(&message, hwnd_, launcher_status_message, launcher_status_message, PM_REMOVE)) ++count;
    return count;
  }

  std::unique_ptr<LauncherWindow> window_;
  HWND hwnd_ = nullptr;
  std::vector<WindowAction> actions_;
};

TEST_F(LauncherWindowTest, IsCentredAtItsDesignSizeForTheSystemDpi) {
  const int dpi = static_cast<int>(GetDpiForWindow(hwnd_));
  EXPECT_EQ(dpi, static_cast<int>(GetDpiForSystem()));  // one monitor here
  RECT area{}, window{};
  SystemParametersInfoW(SPI_GETWORKAREA, 0, &area, 0);
  GetWindowRect(hwnd_, &window);
  const int width = MulDiv(640, dpi, 96), height = MulDiv(466, dpi, 96);
  EXPECT_EQ(window.right - window.left, width);
  EXPECT_EQ(window.bottom - window.top, height);
  EXPECT_EQ(window.left, area.left + (area.right - area.left - width) / 2);
  EXPECT_EQ(window.top, area.top + (area.bottom - area.top - height) / 2);
  wchar_t text[64] = {};
  GetWindowTextW(hwnd_, text, 64);
  EXPECT_STREQ(text, L"[Kaldren Morvale] Lanternixing...");
  GetClassNameW(hwnd_, text, 64);
  EXPECT_STREQ(text, L"KaldrenMorvale.Lanternix.Window");
  EXPECT_TRUE(LauncherWindow::bring_to_front());
}

// Moved to monitors of other scaling: the place Windows suggests, the size of the DPI.
TEST_F(LauncherWindowTest, FollowsTheMonitorsScaling) {
  for (const int dpi : {144, 192, 96, 120}) {
    RECT suggested{100, 50, 100 + MulDiv(640, dpi, 96) + 7, 50 + MulDiv(466, dpi, 96) + 3};  // not quite right
    SendMessageW(hwnd_, WM_DPICHANGED, MAKEWPARAM(dpi, dpi), reinterpret_cast<LPARAM>(&suggested));
    RECT window{};
    GetWindowRect(hwnd_, &window);
    EXPECT_EQ(window.left, 100) << dpi;
    EXPECT_EQ(window.top, 50) << dpi;
    EXPECT_EQ(window.right - window.left, MulDiv(640, dpi, 96)) << dpi;
    EXPECT_EQ(window.bottom - window.top, MulDiv(466, dpi, 96)) << dpi;
  }
}

TEST_F(LauncherWindowTest, PostsAStatusOnlyForANewPhaseOrAFailure) {
  std::thread job([this] {
    for (std::int32_t phase : {0, 0, 2, 2, 2, 3, 3, 5, 5}) {  // posted: 2, 3 and each failure
      for (std::uint64_t done = 0; done < (phase == 5 ? 1 : 4); ++done) {
        window_->set_status({.phase = phase, .done = done * 4096, .total = 16384});
      }
    }
  });
  job.join();
  EXPECT_EQ(take_status_messages(), 4);
}

TEST_F(LauncherWindowTest, DragsByThePictureAboveTheBars) {
  RECT client{};
  GetClientRect(hwnd_, &client);
  const int limit = MulDiv(360, client.bottom, 466);
  for (const auto& [y, hit] : {std::pair{0, HTCAPTION}, std::pair{limit - 1, HTCAPTION}, std::pair{limit, HTCLIENT},
                               std::pair{static_cast<int>(client.bottom) - 1, HTCLIENT}}) {
    POINT point{client.right / 2, y};
    ClientToScreen(hwnd_, &point);
    EXPECT_EQ(SendMessageW(hwnd_, WM_NCHITTEST, 0, MAKELPARAM(point.x, point.y)), hit) << "y " << y;
  }
}

TEST_F(LauncherWindowTest, EnterStartsTheGameOnlyWhenFinishedAndEscapeCloses) {
  for (const std::int32_t phase : {0, 1, 2, 3, 5, 4}) {
    set_phase(phase == 5 ? 2 : phase);  // a failure would raise the dialog
    SendMessageW(hwnd_, WM_KEYUP, VK_RETURN, 0);
  }
  window_->post_action(WindowAction::Retry);
  test::pump_until([this] { return actions_.size() == 2; });
  SendMessageW(hwnd_, WM_KEYUP, VK_ESCAPE, 0);
  test::pump_until([this] { return window_->handle() == nullptr; });
  EXPECT_EQ(actions_, (std::vector<WindowAction>{WindowAction::StartGame, WindowAction::Retry, WindowAction::Stop}));
  EXPECT_EQ(window_->handle(), nullptr);
  MSG quit;
  EXPECT_TRUE(PeekMessageW(&quit, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE));
}

TEST_F(LauncherWindowTest, TheTitleCarriesTheDownloadWhileItRuns) {
  const std::pair<std::int32_t, const wchar_t*> steps[] = {
      {UpdateStatus::downloading, L"[Kaldren Morvale] Lanternixing... 25%"},
      {UpdateStatus::complete, L"[Kaldren Morvale] Lanternixing..."},
  };
  for (const auto& [phase, title] : steps) {
    window_->set_status({.phase = phase, .done = 1024, .total = 4096});
    SendMessageW(hwnd_, WM_TIMER, 1, 0);
    wchar_t text[128] = {};
    GetWindowTextW(hwnd_, text, 128);
    EXPECT_STREQ(text, title);
  }
}

TEST_F(LauncherWindowTest, AFailureAsksAndReportsTheAnswer) {
  test::answer_next_dialog([this](HWND dialog) {
    EXPECT_EQ(GetWindow(dialog, GW_OWNER), hwnd_);
    set_phase(UpdateStatus::failed);  // handled while this dialog is up: a repaint, no second dialog
    PostMessageW(GetDlgItem(dialog, LANTERNIX_MANUAL_BUTTON), BM_CLICK, 0, 0);
    test::answer_next_dialog([](HWND second) { PostMessageW(second, WM_CLOSE, 0, 0); });
  });
  set_phase(UpdateStatus::failed);
  test::pump_until([this] { return !actions_.empty(); });
  test::pump_until([] { return false; });  // time for a second dialog, were there one
  test::stop_answering();
  EXPECT_EQ(actions_, std::vector<WindowAction>{WindowAction::ManualPatch});
}

}  // namespace
}  // namespace kaldren::patcher
