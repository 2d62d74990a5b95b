// The setup's and uninstall's pages answered as a player would: a second thread finds
// each task dialog by its title, reads its texts and buttons and presses them, while
// the page runs its modal loop on the test's thread. Needs a display.
#include "ui/setup_pages.h"

#include <fmt/format.h>
#include <gtest/gtest.h>
#include <objbase.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "build_constants.h"
#include "core/error.h"
#include "core/text.h"
#include "ui/task_dialog.h"
#include "ui_test_support.h"

namespace kaldren::patcher {
namespace {

using namespace std::chrono_literals;

HWND wait_for_window(const wchar_t* title) {
  for (int tries = 0; tries < 400; ++tries, Sleep(25)) {
    const HWND window = FindWindowW(nullptr, title);
    if (window != nullptr && IsWindowVisible(window)) return window;
  }
  return nullptr;
}

bool wait_until(const std::function<bool()>& done) {
  for (int tries = 0; tries < 400; ++tries, Sleep(25)) {
    if (done()) return true;
  }
  return false;
}

bool enabled(HWND dialog, int id) { return IsWindowEnabled(GetDlgItem(dialog, id)) != FALSE; }
bool shows(HWND dialog, const std::wstring& text) { return test::static_texts(dialog).find(text) != std::wstring::npos; }
// Posted: a press may open a nested dialog, which a sent message would wait for.
void press(HWND dialog, int id) { PostMessageW(dialog, TDM_CLICK_BUTTON, id, 0); }

// Plays the player on its own thread for as long as it lives.
class Player {
 public:
  explicit Player(std::function<void()> play) : thread_(std::move(play)) {}
  ~Player() { thread_.join(); }

 private:
  std::thread thread_;
};

// A release reader that answers each call only when let go: with a release, or
// with a failure; a stop request ends the wait with the cancelled error.
class GatedReader {
 public:
  Release read(const std::stop_token& stop) {
    std::unique_lock lock(mutex_);
    ++calls_;
    if (!changed_.wait(lock, stop, [&] { return answers_ > 0; })) {
      throw PatchError(ErrorCategory::cancelled, "The launcher was closed");
    }
    --answers_;
    if (fail_next_) {
      fail_next_ = false;
      throw PatchError(ErrorCategory::network, "no route to the patch server");
    }
    Release release;
    release.client.version = {1, 2, 3};
    release.client.download_size = 42u << 20;
    release.client.install_size = 100u << 20;
    return release;
  }
  void answer(bool fail) {
    const std::lock_guard lock(mutex_);
    fail_next_ = fail;
    ++answers_;
    changed_.notify_all();
  }
  int calls() {
    const std::lock_guard lock(mutex_);
    return calls_;
  }
  ReleaseReader reader() {
    return [this](const std::stop_token& stop) { return read(stop); };
  }

 private:
  std::mutex mutex_;
  std::condition_variable_any changed_;
  int answers_ = 0;
  int calls_ = 0;
  bool fail_next_ = false;
};

std::wstring test_folder() {
  wchar_t data[MAX_PATH] = L"";
  GetEnvironmentVariableW(L"LOCALAPPDATA", data, MAX_PATH);
  return std::wstring(data) + L"\\Programs\\Kaldren Morvale setup test";
}

class SetupPages : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!test::windows_can_be_created()) GTEST_SKIP() << "no display";
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  }
  void TearDown() override {
    RemoveDirectoryW(test_folder().c_str());
    CoUninitialize();
  }
  const HINSTANCE instance_ = GetModuleHandleW(nullptr);
};

TEST_F(SetupPages, InstallPageRetriesAFailedCheckAndAcceptsWithTheChoices) {
  GatedReader release;
  const std::wstring folder = test_folder();
  InstallPageResult result;
  {
    Player player([&] {
      const HWND page = wait_for_window(L"Kaldren Morvale Setup");
      ASSERT_NE(page, nullptr);
      EXPECT_TRUE(wait_until([&] { return shows(page, L"Install location:\n" + folder + L"\n\nChecking the patch server..."); }));
      EXPECT_TRUE(shows(page, L"Install Kaldren Morvale"));
      EXPECT_TRUE(shows(page, L". The game installs for your Windows account only and updates itself."));
      EXPECT_FALSE(enabled(page, 100)) << "Install while the first check runs";
      EXPECT_TRUE(enabled(page, 101));
      release.answer(true);
      EXPECT_TRUE(wait_until([&] { return enabled(page, 100); }));
      EXPECT_TRUE(shows(page, L"\n\nCould not reach the patch server:\nno route to the patch server\n\n"
                              L"Select Install to try again."));
      press(page, 100);  // no release yet: checks again
      EXPECT_TRUE(wait_until([&] { return release.calls() == 2; }));
      EXPECT_FALSE(enabled(page, 100));
      EXPECT_TRUE(shows(page, L"Checking the patch server..."));
      release.answer(false);
      EXPECT_TRUE(wait_until([&] { return enabled(page, 100); }));
      EXPECT_TRUE(shows(page, to_utf16(fmt::format("Download: {}   (uses {} on disk)\nVersion 1.2.3", format_size(42u << 20),
                                                   format_size(100u << 20)))));
      PostMessageW(page, TDM_CLICK_VERIFICATION, FALSE, FALSE);
      press(page, 100);
    });
    result = show_install_page(instance_, folder, release.reader());
  }
  EXPECT_TRUE(result.accepted);
  EXPECT_EQ(result.request.folder, folder);
  EXPECT_FALSE(result.request.desktop_shortcut);
  ASSERT_TRUE(result.release.has_value());
  EXPECT_EQ(result.release->client.install_size, 100u << 20);
}

TEST_F(SetupPages, InstallPageRefusesAFolderTakesAPickedOneAndStopsItsCheckOnClose) {
  GatedReader release;
  const std::wstring protected_folder = L"C:\\Program Files\\Kaldren Morvale";
  InstallPageResult result;
  auto closed_at = std::chrono::steady_clock::now();
  {
    Player player([&] {
      const HWND page = wait_for_window(L"Kaldren Morvale Setup");
      ASSERT_NE(page, nullptr);
      release.answer(false);
      EXPECT_TRUE(wait_until([&] { return enabled(page, 100); }));
      press(page, 100);
      const HWND refusal = wait_for_window(L"Kaldren Morvale");
      ASSERT_NE(refusal, nullptr);
      EXPECT_EQ(GetWindow(refusal, GW_OWNER), page);
      EXPECT_TRUE(shows(refusal, L"This folder cannot be used"));
      press(refusal, IDOK);
      EXPECT_TRUE(wait_until([&] { return FindWindowW(nullptr, L"Kaldren Morvale") == nullptr; }));
      EXPECT_TRUE(IsWindowVisible(page)) << "the page stays";
      EXPECT_TRUE(shows(page, L"Install location:\n" + protected_folder + L"\n\n"));
      // A drive's root chosen in the Shell's picker becomes its "Kaldren Morvale" folder.
      press(page, 101);
      const HWND picker = wait_for_window(L"Choose where to install the game");
      ASSERT_NE(picker, nullptr);
      SetDlgItemTextW(picker, 1152, L"C:\\");  // its file name box
      PostMessageW(picker, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), reinterpret_cast<LPARAM>(GetDlgItem(picker, IDOK)));
      EXPECT_TRUE(wait_until([&] { return shows(page, L"Install location:\nC:\\Kaldren Morvale\n\n"); }));
      PostMessageW(page, WM_CLOSE, 0, 0);
    });
    result = show_install_page(instance_, protected_folder, release.reader());
  }
  EXPECT_FALSE(result.accepted);
  EXPECT_EQ(result.request.folder, L"C:\\Kaldren Morvale");

  // A reader that never answers: the close box stops it and the page returns at once.
  {
    Player player([&] {
      const HWND page = wait_for_window(L"Kaldren Morvale Setup");
      ASSERT_NE(page, nullptr);
      EXPECT_TRUE(wait_until([&] { return release.calls() == 2; }));
      closed_at = std::chrono::steady_clock::now();
      PostMessageW(page, WM_CLOSE, 0, 0);
    });
    result = show_install_page(instance_, test_folder(), release.reader());
    // Hiding a window takes Wine about 2 s on an X server without a window manager.
    EXPECT_LT(std::chrono::steady_clock::now() - closed_at, 5s);
  }
  EXPECT_FALSE(result.accepted);
  EXPECT_FALSE(result.release.has_value());
}

TEST_F(SetupPages, InstalledPageMessagesAndUninstallConfirmationAnswer) {
  const struct {
    int button;
    int answer;
  } installed[] = {{200, 0}, {201, 1}, {IDCANCEL, 2}};
  for (const auto& [button, answer] : installed) {
    Player player([&, button = button] {
      const HWND page = wait_for_window(L"Kaldren Morvale Setup");
      ASSERT_NE(page, nullptr);
      EXPECT_TRUE(shows(page, L"Kaldren Morvale is already installed"));
      EXPECT_TRUE(shows(page, L"It is installed in:\nC:\\Games\\Kaldren Morvale"));
      press(page, button);
    });
    EXPECT_EQ(show_installed_page(instance_, L"C:\\Games\\Kaldren Morvale"), answer) << button;
  }
  for (const bool yes : {false, true}) {
    Player player([&] {
      const HWND question = wait_for_window(L"Kaldren Morvale");
      ASSERT_NE(question, nullptr);
      EXPECT_TRUE(shows(question, L"Uninstall Kaldren Morvale?"));
      EXPECT_TRUE(shows(question, L"This removes the game from:\nC:\\Games\\Kaldren Morvale\n\nScreenshots and other "
                                  L"files you added there are kept."));
      if (yes) {
        press(question, IDYES);
      } else {
        PostMessageW(question, WM_CLOSE, 0, 0);  // the close box counts as No
      }
    });
    EXPECT_EQ(confirm_uninstall(L"C:\\Games\\Kaldren Morvale"), yes);
  }
  Player player([&] {
    const HWND message = wait_for_window(L"Kaldren Morvale");
    ASSERT_NE(message, nullptr);
    EXPECT_TRUE(shows(message, L"The game is running"));
    press(message, IDCANCEL);
  });
  EXPECT_EQ(show_message(nullptr, MessageIcon::error, L"The game is running", L"Close the game, then try again.",
                         TDCBF_OK_BUTTON | TDCBF_CANCEL_BUTTON),
            IDCANCEL);
}

TEST(SetupPageFooter, TellsTheVersionOfTheModulesVersionResourceOrElseTheBuilds) {
  const HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
  wchar_t path[MAX_PATH] = L"";
  GetModuleFileNameW(kernel, path, MAX_PATH);
  std::vector<char> info(GetFileVersionInfoSizeW(path, nullptr));
  VS_FIXEDFILEINFO* fixed = nullptr;
  UINT size = 0;
  ASSERT_TRUE(!info.empty() && GetFileVersionInfoW(path, 0, static_cast<DWORD>(info.size()), info.data()) &&
              VerQueryValueW(info.data(), L"\\", reinterpret_cast<void**>(&fixed), &size));
  EXPECT_EQ(own_version_text(kernel), std::to_wstring(HIWORD(fixed->dwFileVersionMS)) + L"." +
                                          std::to_wstring(LOWORD(fixed->dwFileVersionMS)) + L"." +
                                          std::to_wstring(HIWORD(fixed->dwFileVersionLS)));
  EXPECT_EQ(own_version_text(GetModuleHandleW(nullptr)), to_utf16(build::kLauncherVersion));
}

}  // namespace
}  // namespace kaldren::patcher
