// The launcher's hand-over for real: a stand-in program plays the new launcher, which
// confirms, crashes at start or hangs; the old launcher's files are checked afterwards.
#include <windows.h>

#include <gtest/gtest.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "core/owned_handle.h"
#include "core/text.h"
#include "engine/self_replacement.h"
#include "support/log_reader.h"
#include "support/temp_folder.h"
#include "system/data_folder.h"
#include "system/file_system.h"
#include "system/processes.h"
#include "system/system_test_support.h"

namespace kaldren::patcher {
namespace {

using namespace std::chrono_literals;

constexpr std::string_view kOldBytes = "the running launcher";

std::filesystem::path own_folder() {
  std::wstring module(32768, L'\0');
  module.resize(GetModuleFileNameW(nullptr, module.data(), static_cast<DWORD>(module.size())));
  return std::filesystem::path(module).parent_path();
}

// A game folder whose Lanternix.exe is "running", a staged stand-in as the new launcher,
// and the log read back.
class HandOverTest : public ::testing::Test {
 protected:
  HandOverTest() {
    std::filesystem::create_directories(staging_folder(root_.path()));
    new_bytes_ = test::content_of(own_folder() / L"self_replacement_stand_in.exe");
    options_.root = root_.path().wstring();
    options_.launcher_path = target_.wstring();
    options_.arguments = {L"--root", options_.root, L"--after-update", L"--wait-pid", L"7"};
    restore();
  }
  ~HandOverTest() override { release_target(); }

  // A stand-in that confirmed may still be ending, and its image file is in use until then.
  void release_target() const {
    std::error_code in_use;
    for (int i = 0; i < 400 && !std::filesystem::remove(target_, in_use) && test::present(target_); ++i) Sleep(25);
  }

  // The old launcher in place, the new one staged, no previous launcher.
  void restore() const {
    release_target();
    root_.write(L"Lanternix.exe", kOldBytes);
    std::filesystem::remove(previous_);
    if (!test::present(staged_)) std::filesystem::copy_file(own_folder() / L"self_replacement_stand_in.exe", staged_);
  }

  bool hand_over(const wchar_t* behaviour, std::chrono::milliseconds confirmation = 30000ms) {
    SetEnvironmentVariableW(L"LANTERNIX_STAND_IN", behaviour);
    log_.mark();
    return replace_launcher(options_, staged_, HandOverTimes{.confirmation = confirmation});
  }

  // The log without the process start's own line, whose pid changes.
  std::vector<std::string> lines() const {
    std::vector<std::string> kept;
    for (std::string& line : log_.lines()) {
      if (!line.starts_with("INFO Started ")) kept.push_back(std::move(line));
    }
    return kept;
  }

  test::TempFolder root_;
  test::LogReader log_{root_ / L"test.log"};
  const std::filesystem::path target_ = root_ / L"Lanternix.exe";
  const std::filesystem::path previous_ = old_launcher_path(root_.path());
  const std::filesystem::path staged_ = staging_folder(root_.path()) / L"Lanternix.exe";
  std::string new_bytes_;
  LauncherOptions options_;
};

TEST_F(HandOverTest, TakesOverOnlyWhenTheNewLauncherConfirms) {
  struct Case {
    const wchar_t* behaviour;
    std::chrono::milliseconds confirmation;
    std::chrono::seconds within;  // a crash is answered at once, not after the wait
    bool elsewhere;               // the running launcher is a copy outside the game folder
    bool stale;                   // an earlier hand-over left a previous launcher
    std::string line;
  };
  const std::string handed_over = "INFO Handed over to the updated launcher";
  const std::filesystem::path elsewhere = root_.path().parent_path() / L"Lanternix.exe";
  const Case cases[] = {
      {L"confirm", 30000ms, 10s, false, false, handed_over},
      {L"confirm", 30000ms, 10s, false, true, handed_over},
      {L"exit", 20000ms, 10s, false, false,
       "ERROR The new launcher did not start properly (it exited); keeping this one"},
      {L"hang", 1000ms, 6s, false, false,
       "ERROR The new launcher did not start properly (no answer in 1 s); keeping this one"},
      {L"confirm", 30000ms, 1s, true, false,
       "WARN Not replacing " + display_path(target_) + ": this launcher runs from " +
           display_path(elsewhere)},
  };
  // Its own options once, the hand-over options once, with this process's pid.
  const std::string record = display_path(root_.path()) + "\n--root\n" + display_path(root_.path()) +
                             "\n--after-update\n--wait-pid\n" + std::to_string(GetCurrentProcessId()) + "\n";
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    restore();
    if (c.stale) root_.write(L"Lanternix/Lanternix.old.exe", "stale");
    options_.launcher_path = (c.elsewhere ? elsewhere : target_).wstring();
    const bool took_over = c.line == handed_over;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(hand_over(c.behaviour, c.confirmation), took_over);
    EXPECT_LT(std::chrono::steady_clock::now() - start, c.within);
    EXPECT_EQ(lines(), std::vector<std::string>{c.line});
    EXPECT_EQ(test::content_of(target_), took_over ? new_bytes_ : kOldBytes);
    EXPECT_EQ(test::content_of(staged_), took_over ? "<missing>" : new_bytes_) << "moved back for a retry";
    EXPECT_EQ(test::content_of(previous_), took_over ? kOldBytes : "<missing>");
    EXPECT_EQ(test::content_of(root_ / L"stand-in.txt"), took_over ? record : "<missing>");
    std::filesystem::remove(root_ / L"stand-in.txt");
  }
}

TEST_F(HandOverTest, KeepsRunningWhenThePreviousLauncherStillRuns) {
  root_.write(L"Lanternix/Lanternix.old.exe", "stale");
  const test::Holder holder = test::Holder::hold_file(previous_, 10000, root_.path());
  EXPECT_FALSE(hand_over(L"confirm"));
  const std::vector<std::string> logged = lines();
  ASSERT_EQ(logged.size(), 2u);
  EXPECT_EQ(logged[0], "WARN Could not remove " + display_path(previous_) + "; it is probably still running");
  EXPECT_TRUE(logged[1].starts_with("ERROR Could not move the running launcher aside: ")) << logged[1];
  EXPECT_EQ(test::content_of(target_), kOldBytes);
  EXPECT_EQ(test::content_of(staged_), new_bytes_);
}

TEST_F(HandOverTest, RemovesThePreviousLauncherOnceReleased) {
  struct Case {
    const char* name;
    bool folder;
    DWORD held_ms;
    int attempts;
    bool removed;
  };
  const Case cases[] = {
      {"free", false, 0, 20, true},
      {"released within the retries", false, 500, 20, true},
      {"never released", false, 10000, 3, false},
      {"a folder of that name", true, 0, 20, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    c.folder ? root_.make_folder(L"Lanternix/Lanternix.old.exe") : root_.write(L"Lanternix/Lanternix.old.exe", "old");
    std::optional<test::Holder> holder;
    if (c.held_ms > 0) holder.emplace(test::Holder::hold_file(previous_, c.held_ms, root_.path()));
    log_.mark();
    remove_previous_launcher(root_.path(), HandOverTimes{.removal_attempts = c.attempts});
    EXPECT_EQ(test::present(previous_), !c.removed);
    EXPECT_EQ(log_.lines(), c.removed ? std::vector<std::string>{"INFO Removed the previous launcher"}
                                      : std::vector<std::string>{});
    holder.reset();
    std::filesystem::remove(previous_);
  }
}

TEST(ConfirmStart, SetsOnlyTheEventOfThatPid) {
  EXPECT_EQ(start_event_name(4242), L"Local\\KaldrenMorvale.Lanternix.Started.4242");
  const UniqueNullHandle event(CreateEventW(nullptr, TRUE, FALSE, start_event_name(4242).c_str()));
  ASSERT_TRUE(event);
  confirm_start(4243);
  EXPECT_EQ(WaitForSingleObject(event.get(), 0), static_cast<DWORD>(WAIT_TIMEOUT));
  confirm_start(4242);
  EXPECT_EQ(WaitForSingleObject(event.get(), 0), static_cast<DWORD>(WAIT_OBJECT_0));
}

// The old launcher killed right before each disk operation of its hand-over: every
// time either a launcher is at its name or the previous one waits to be put back, and
// the next start's recovery leaves the old or the new launcher there, never neither.
TEST_F(HandOverTest, ACrashAtEveryStepLeavesALauncherToStart) {
  int steps = 0;
  int recoveries = 0;
  for (int step = 1; step <= 60; ++step) {
    SCOPED_TRACE("killed before operation " + std::to_string(step));
    restore();
    SetEnvironmentVariableW(L"LANTERNIX_STAND_IN", L"confirm");
    SetEnvironmentVariableW(L"LANTERNIX_FAULT_PLAN", (L"kill@" + std::to_wstring(step)).c_str());
    const UniqueNullHandle old_launcher = start_process(own_folder() / L"self_replacement_stand_in.exe",
                                                        {L"--hand-over", root_.path().wstring(), staged_.wstring()},
                                                        root_.path());
    SetEnvironmentVariableW(L"LANTERNIX_FAULT_PLAN", nullptr);
    ASSERT_EQ(WaitForSingleObject(old_launcher.get(), 60000), WAIT_OBJECT_0);
    DWORD code = 0;
    GetExitCodeProcess(old_launcher.get(), &code);
    EXPECT_TRUE(test::present(target_) || test::present(previous_));
    const bool recovered = recover_launcher(system_file_system(), root_.path());
    recoveries += recovered ? 1 : 0;
    ASSERT_TRUE(test::present(target_));
    const std::string now = test::content_of(target_);
    EXPECT_TRUE(now == kOldBytes || now == new_bytes_);
    if (code != 99) {  // the hand-over ran to its end
      EXPECT_EQ(code, 0u);
      EXPECT_EQ(now, new_bytes_);
      EXPECT_FALSE(recovered);
      steps = step - 1;
      break;
    }
  }
  EXPECT_GE(steps, 2) << "the hand-over was never cut off";
  EXPECT_EQ(recoveries, 1) << "the cut between moving aside and putting in place";
}

}  // namespace
}  // namespace kaldren::patcher
