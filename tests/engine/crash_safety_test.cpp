// Power cuts and disk errors at every numbered operation of an update, on the
// in-memory drive: whatever happens, the game folder holds whole files only, a
// player's own files are never touched, and the next run reaches the new release.
#include <gtest/gtest.h>

#include <map>
#include <string>

#include "core/error.h"
#include "engine/launcher_state.h"
#include "engine/update_engine.h"
#include "fake_publication.h"
#include "support/release_signing.h"
#include "support/test_disk.h"
#include "system/file_operations.h"
#include "system/memory_file_system.h"

namespace kaldren::patcher {
namespace {

namespace fs = std::filesystem;
using Files = std::map<std::string, std::string>;

// Three releases: shared content (one object, several files), changes, additions,
// removals, a folder that becomes a file, a file that becomes a folder, and a file
// that B adds and C keeps.
const Files kA = {{"bin/game.exe", "game 1"},        {"data/a.pak", "alpha"},        {"data/same1", "shared"},
                  {"data/same2", "shared"},          {"data/sub/x.dat", "x in a folder"}, {"old/only-a.txt", "a"},
                  {"levels", "a file"}};
const Files kB = {{"bin/game.exe", "game 2"},  {"data/a.pak", "alpha 2"},     {"data/same1", "shared"},
                  {"data/same2", "shared"},    {"data/same3", "shared"},      {"data/sub", "now a file"},
                  {"only-b/b.txt", "b"},       {"levels/one.lvl", "a folder now"}, {"bc/both.txt", "b and c"}};
const Files kC = {{"bin/game.exe", "game 3"}, {"data/a.pak", "alpha 2"}, {"data/same1", "shared 3"},
                  {"data/same2", "shared 3"}, {"new/c.txt", "c"},        {"bc/both.txt", "b and c"}};
// C without the file B added and C kept: after two interrupted installs, the release
// that no longer has it.
const Files kD = [] {
  Files files = kC;
  files.erase("bc/both.txt");
  return files;
}();
// A player's own files, which no release lists.
const Files kPlayer = {{"screenshots/me.png", "mine"}, {"data/player.cfg", "keys"}};

class CrashSafetyTest : public ::testing::Test {
 protected:
  CrashSafetyTest() { publication_.disk = &disk_; }

  // Power cuts need the in-memory drive; the run on the system's disk has nothing to add.
  void SetUp() override {
    if (!test::memory_disk()) GTEST_SKIP() << "the drive under test cannot lose power";
  }

  void publish(std::uint64_t sequence, const Files& files) {
    test::ReleaseFields fields;
    fields.sequence = sequence;
    fields.client_version = "1.0." + std::to_string(sequence);
    publication_.publish(fields, files);
  }

  // Runs the update to whatever is published; the error it ended with, if any.
  std::optional<PatchError> run() {
    UpdateEngine engine;
    engine.root = root_;
    engine.channel = "live";
    engine.launcher_version = {1, 0, 0};
    engine.release_retry_delay_ms = 1;
    engine.download_threads = 1;  // one order of operations, so that N names one moment
    engine.check_threads = 1;
    engine.file_system = &disk_;
    engine.transport = &publication_;
    engine.keys = test_support::test_keys();
    try {
      engine.run({});
      return std::nullopt;
    } catch (const PatchError& error) {
      return error;
    }
  }

  // A fresh drive with release A installed and the player's files beside it.
  void install_a() {
    disk_.clear_faults();
    remove_tree(disk_, root_);
    ASSERT_EQ(create_folders(disk_, root_), 0u);
    for (const auto& [path, content] : kPlayer) write_file_atomic(disk_, root_ / fs::path(path).make_preferred(), content);
    publish(1, kA);
    ASSERT_FALSE(run());
  }

  // Runs to the release published with a power cut (or, with `process_only`, the
  // process's end) before operation N of the run; false when the run ended before N.
  bool cut_at(std::uint64_t n, bool process_only = false) {
    if (process_only) {
      disk_.end_process_before(disk_.operations() + n);
    } else {
      disk_.cut_power_before(disk_.operations() + n);
    }
    run();
    const bool cut = disk_.power_is_cut();
    disk_.restart();
    return cut;
  }

  Files game_files() const {
    Files files = disk_.files_below(root_);
    std::erase_if(files, [](const auto& entry) { return entry.first.starts_with("Lanternix/"); });
    return files;
  }

  // Every file holds whole content of one of the releases it may come from.
  void expect_whole_files(const std::vector<const Files*>& releases) const {
    for (const auto& [path, content] : game_files()) {
      bool whole = kPlayer.contains(path) && kPlayer.at(path) == content;
      for (const Files* release : releases) whole |= release->contains(path) && release->at(path) == content;
      EXPECT_TRUE(whole) << path << " holds \"" << content << "\"";
    }
    for (const auto& [path, content] : kPlayer) EXPECT_EQ(game_files()[path], content) << "a player's file";
  }

  // Folders below `folder` that hold nothing (the launcher's data folder aside).
  std::vector<std::string> empty_folders(const fs::path& folder, const std::string& prefix = "") {
    std::vector<std::string> empty;
    for (const FolderEntry& entry : disk_.list(folder).entries) {
      const std::string name = prefix + display_path(entry.name);
      if (!entry.status.folder || name == "Lanternix") continue;
      if (disk_.list(folder / entry.name).entries.empty()) empty.push_back(name);
      const std::vector<std::string> below = empty_folders(folder / entry.name, name + "/");
      empty.insert(empty.end(), below.begin(), below.end());
    }
    return empty;
  }

  // A clean run reaches `release` exactly: its files, the player's, nothing else, and
  // no emptied folder is left behind (unless the drive refused to remove one).
  void expect_converges_to(const Files& release, bool empty_folders_allowed = false) {
    disk_.clear_faults();
    const std::optional<PatchError> error = run();
    ASSERT_FALSE(error) << error->what();
    Files expected = release;
    expected.insert(kPlayer.begin(), kPlayer.end());
    EXPECT_EQ(game_files(), expected);
    if (!empty_folders_allowed) {
      EXPECT_EQ(empty_folders(root_), std::vector<std::string>{});
    }
    for (const auto& [path, content] : disk_.files_below(data_folder(root_))) {
      EXPECT_FALSE(path.starts_with("staging") || path.ends_with(".tmp") || path == "pending-manifest.json")
          << path << " is left behind";
    }
  }

  MemoryFileSystem disk_;
  test::FakePublication publication_;
  const fs::path root_ = fs::path("/game");
};

TEST_F(CrashSafetyTest, APowerCutOrAnEndedProcessAnywhereLeavesWholeFilesAndTheNextRunFinishes) {
  for (const bool process_only : {false, true}) {
    std::uint64_t n = 1;
    for (;; ++n) {
      SCOPED_TRACE((process_only ? "process ended before operation " : "power cut before operation ") +
                   std::to_string(n));
      install_a();
      publish(2, kB);
      if (!cut_at(n, process_only)) break;
      expect_whole_files({&kA, &kB});
      expect_converges_to(kB);
      if (HasFailure()) break;
    }
    EXPECT_GT(n, 50u) << "the update is expected to take many operations";
    std::cout << (process_only ? "process ended" : "power cut") << " before each of " << n - 1
              << " operations of an update\n";
  }
}

// Large files built from their old version's chunks and a few fetched ones: a cut during
// the building never leaves a mixture at a final name.
TEST_F(CrashSafetyTest, ACutWhileFilesAreBuiltFromChunksLeavesTheOldOrTheNewFile) {
  publication_.chunk_params = ChunkParams{64, 256, 1024, 2, 4, 16};
  std::string pak(6000, '\0');
  for (std::size_t i = 0; i < pak.size(); ++i) pak[i] = static_cast<char>((i * 7919) ^ (i >> 5));
  std::string edited = pak;
  edited.replace(3000, 40, std::string(40, 'e'));
  edited.insert(500, "inserted");
  const Files old_files = {{"bin/game.exe", "game 1"}, {"data/big.pak", pak}, {"data/copy.pak", pak}};
  const Files new_files = {{"bin/game.exe", "game 2"}, {"data/big.pak", edited}, {"moved/copy.pak", pak}};
  for (const bool process_only : {false, true}) {
    std::uint64_t n = 1;
    for (;; ++n) {
      SCOPED_TRACE((process_only ? "process ended before operation " : "power cut before operation ") +
                   std::to_string(n));
      disk_.clear_faults();
      remove_tree(disk_, root_);
      ASSERT_EQ(create_folders(disk_, root_), 0u);
      for (const auto& [path, content] : kPlayer) write_file_atomic(disk_, root_ / fs::path(path).make_preferred(), content);
      publish(1, old_files);
      ASSERT_FALSE(run());
      publish(2, new_files);
      if (!cut_at(n, process_only)) break;
      expect_whole_files({&old_files, &new_files});
      expect_converges_to(new_files);
      if (HasFailure()) break;
    }
    EXPECT_GT(n, 30u);
  }
}

TEST_F(CrashSafetyTest, TwoInterruptedInstallsInARowLeaveNothingOfEitherBehind) {
  // Every third operation of each run: the cuts still fall into every step.
  constexpr std::uint64_t kStride = 3;
  std::uint64_t cases = 0;
  bool b_reached = true;
  for (std::uint64_t n = 1; b_reached && !HasFailure(); n += kStride) {
    bool c_reached = true;
    for (std::uint64_t m = 1; c_reached && !HasFailure(); m += kStride) {
      SCOPED_TRACE("B cut before " + std::to_string(n) + ", C cut before " + std::to_string(m));
      install_a();
      publish(2, kB);
      b_reached = cut_at(n);
      if (!b_reached) break;
      publish(3, kC);
      c_reached = cut_at(m);
      expect_whole_files({&kA, &kB, &kC});
      publish(4, kD);
      expect_converges_to(kD);
      ++cases;
    }
  }
  std::cout << cases << " pairs of cuts\n";
}

TEST_F(CrashSafetyTest, ADiskErrorAtAnyOperationIsReportedAndTheNextRunFinishes) {
  // What the failure may be reported as: the code's category, or io where a step
  // reports every failure as io (creating folders, for one).
  const struct {
    SystemCode code;
    std::vector<ErrorCategory> categories;
  } faults[] = {
      {system_code::access_denied, {ErrorCategory::io, ErrorCategory::file_in_use}},
      {system_code::disk_full, {ErrorCategory::disk_space, ErrorCategory::io}},
      {system_code::sharing_violation, {ErrorCategory::file_in_use, ErrorCategory::io}},
  };
  std::uint64_t cases = 0;
  for (const auto& fault : faults) {
    for (std::uint64_t n = 1;; ++n) {
      SCOPED_TRACE("Win32 error " + std::to_string(fault.code) + " from operation " + std::to_string(n));
      install_a();
      publish(2, kB);
      const std::uint64_t start = disk_.operations();
      disk_.fail_operation(start + n, fault.code, true);
      const std::optional<PatchError> error = run();
      const bool reached = disk_.operations() >= start + n;
      if (error) {
        EXPECT_NE(std::find(fault.categories.begin(), fault.categories.end(), error->category()),
                  fault.categories.end())
            << category_name(error->category()) << ": " << error->what();
        // The system's reason, or the launcher's own words for a folder it cannot clear.
        const std::string message = error->what();
        EXPECT_TRUE(message.find(win32_message(fault.code)) != std::string::npos ||
                    message.ends_with(" is a folder where a file belongs"))
            << message;
      }
      expect_whole_files({&kA, &kB});
      expect_converges_to(kB, true);
      ++cases;
      if (!reached || HasFailure()) break;
    }
  }
  std::cout << cases << " disk errors\n";
}

}  // namespace
}  // namespace kaldren::patcher
