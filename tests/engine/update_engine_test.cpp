#include "engine/update_engine.h"

#include <gtest/gtest.h>

#include <fmt/format.h>

#include <optional>
#include <functional>
#include <map>
#include <set>
#include <string>

#include "core/error.h"
#include "core/text.h"
#include "engine/launcher_state.h"
#include "fake_publication.h"
#include "protocol/path_rule.h"
#include "support/log_reader.h"
#include "support/temp_folder.h"
#include "support/test_disk.h"
#include "system/file_operations.h"
#include "support/failure_of.h"
#include "support/release_signing.h"

namespace kaldren::patcher {
namespace {

namespace fs = std::filesystem;
using test::FakePublication;
using test::ReleaseFields;
using test::fails_with;
using Files = std::map<std::string, std::string>;

constexpr const char* kClosed = "The launcher was closed";

bool has_line(const std::vector<std::string>& lines, std::string_view line) {
  return std::find(lines.begin(), lines.end(), line) != lines.end();
}

bool any_starts_with(const std::vector<std::string>& lines, std::string_view prefix) {
  return std::any_of(lines.begin(), lines.end(), [&](const std::string& line) { return line.starts_with(prefix); });
}

class UpdateEngineTest : public ::testing::Test {
 protected:
  UpdateEngineTest() : log_(logs_ / "lanternix.log") { fresh_root(); }

  // Starts over with an empty game folder.
  void fresh_root() {
    deep_root_.reset();
    root_folder_.reset();
    root_folder_.emplace();
    stop_ = std::stop_source();
    on_status_ = {};
    statuses_.clear();
  }
  const fs::path& root() const { return deep_root_ ? *deep_root_ : root_folder_->path(); }
  // Makes the game folder a folder inside the fresh one whose full path has `length`
  // UTF-16 units.
  void deepen_root(std::size_t length) {
    const fs::path base = root_folder_->path();
    const std::size_t base_length = path_to_utf16(base).size();
    ASSERT_LT(base_length + 1, length);
    deep_root_ = base / std::string(length - base_length - 1, 'd');
    ASSERT_EQ(create_folders(disk_, *deep_root_), 0u);
    ASSERT_EQ(path_to_utf16(*deep_root_).size(), length);
  }

  // Publishes `files` (which must hold bin/game.exe) as release `sequence` of client `version`.
  std::string publish(std::uint64_t sequence, const Files& files, std::string version = "1.0.0") {
    ReleaseFields fields;
    fields.sequence = sequence;
    fields.client_version = std::move(version);
    return publication_.publish(fields, files);
  }

  UpdateEngine engine() {
    UpdateEngine engine;
    engine.root = root();
    engine.channel = "live";
    engine.launcher_version = {1, 0, 0};
    engine.release_retry_delay_ms = 10;
    engine.file_system = &disk_;
    engine.transport = &publication_;
    engine.keys = test_support::test_keys();
    engine.report = [this](const UpdateStatus& status) {
      statuses_.push_back(status);
      if (on_status_) on_status_(status);
    };
    return engine;
  }

  EngineResult run(std::function<void(UpdateEngine&)> adjust = {}) {
    UpdateEngine configured = engine();
    if (adjust) adjust(configured);
    return configured.run(stop_.get_token());
  }

  // In a fresh folder: `v1` installed as release 1, then `v2` published as release 2
  // (client 2.0.0); its manifest.
  std::string install_then_publish(const Files& v1, const Files& v2) {
    fresh_root();
    publish(1, v1);
    run();
    return publish(2, v2, "2.0.0");
  }

  // Runs the update and closes the launcher once the first (largest) object is
  // installed, one object at a time.
  void close_once_installing() {
    on_status_ = [&](const UpdateStatus& status) {
      if (status.phase == UpdateStatus::installing && status.done > 0) stop_.request_stop();
    };
    EXPECT_TRUE(fails_with([&] { run([](UpdateEngine& engine) { engine.download_threads = 1; }); },
                           ErrorCategory::cancelled, kClosed));
  }

  // Every file under the root outside the launcher's data folder, by '/' path.
  Files game_files() const { return test::files_below(root(), "Lanternix"); }

  fs::path game_path(std::string_view path) const { return resolve_path(root(), path); }
  void write_game_file(std::string_view path, std::string_view content) const {
    write_file_atomic(disk_, game_path(path), content);
  }
  fs::path data_file(std::string_view name) const { return data_folder(root()) / name; }

  // Object paths downloaded since the last call.
  std::vector<std::string> take_downloads() {
    std::vector<std::string> downloads = publication_.downloads();
    publication_.forget_requests();
    return downloads;
  }

  std::vector<std::string> texts() const {
    std::vector<std::string> texts;
    for (const UpdateStatus& status : statuses_) texts.push_back(status.text);
    return texts;
  }

  bool hashed_anything() const {
    return any_starts_with(log_.at("INFO"), "Verifying ") ||
           std::any_of(statuses_.begin(), statuses_.end(),
                       [](const UpdateStatus& s) { return s.phase == UpdateStatus::checking && s.total > 0; });
  }

  std::string root_text() const { return display_path(root()); }

  FileSystem& disk_ = test::test_disk();
  test::TempFolder logs_;
  test::LogReader log_;
  FakePublication publication_;
  std::optional<test::DiskFolder> root_folder_;
  std::optional<fs::path> deep_root_;
  std::stop_source stop_;
  std::vector<UpdateStatus> statuses_;
  std::function<void(const UpdateStatus&)> on_status_;
};

std::string object_path_of(std::string_view content) { return object_path(test::plain_object(content)); }

const Files kBasic = {
    {"bin/game.exe", "game"}, {"data/a.pak", "aaaa"}, {"data/sub/b.pak", "bb"}, {"readme.txt", ""}};

TEST_F(UpdateEngineTest, FreshInstallWritesEveryFileAndTheState) {
  const std::string manifest = publish(5, kBasic);
  const EngineResult result = run();

  EXPECT_EQ(result.outcome, EngineResult::updated);
  EXPECT_EQ(result.release.sequence, 5u);
  EXPECT_EQ(result.installed_version, "1.0.0");
  EXPECT_EQ(result.files_written, 4u);
  EXPECT_EQ(result.files_removed, 0u);
  EXPECT_EQ(result.downloaded, 10u);
  EXPECT_EQ(game_files(), kBasic);

  const LauncherState state = load_state(disk_, root());
  EXPECT_EQ(state.channel, "live");
  EXPECT_EQ(highest_sequence(state, "live"), 5u);
  EXPECT_EQ(state.installed, (ReleaseRecord{5, {1, 0, 0}, sha256(manifest), "bin/game.exe"}));
  EXPECT_FALSE(state.pending);
  EXPECT_EQ(test::content_of(data_file("manifest.json")), manifest);
  EXPECT_FALSE(test::present(data_file("pending-manifest.json")));
  EXPECT_FALSE(test::present(staging_folder(root())));

  const FileIndex index = load_index(disk_, root());
  ASSERT_EQ(index.size(), kBasic.size());
  for (const auto& [path, content] : kBasic) {
    SCOPED_TRACE(path);
    const auto entry = index.find(listing_key(path));
    ASSERT_NE(entry, index.end());
    const FileInfo info = file_info(disk_, game_path(path)).value();
    EXPECT_EQ(entry->second, (IndexEntry{path, info.size, info.modified, sha256(content)}));
  }

  // The manifest, then each object once.
  const std::vector<std::string> downloads = take_downloads();
  ASSERT_EQ(downloads.size(), 5u);
  EXPECT_EQ(downloads[0], object_path_of(manifest));
  EXPECT_EQ(std::set<std::string>(downloads.begin() + 1, downloads.end()),
            (std::set<std::string>{object_path_of("game"), object_path_of("aaaa"), object_path_of("bb"),
                                   object_path_of("")}));

  const std::vector<std::string> expected_texts = {"Connecting to the patch server...", "Reading the file list...",
                                                   "Checking game files...", "Downloading updates..."};
  const std::vector<std::string> reported = texts();
  ASSERT_GE(reported.size(), 4u);
  EXPECT_EQ(std::vector<std::string>(reported.begin(), reported.begin() + 4), expected_texts);
  const UpdateStatus& last = statuses_.back();
  EXPECT_EQ(last.phase, UpdateStatus::complete);
  EXPECT_EQ(last.text, "Update complete.");
  EXPECT_EQ(last.done, 10u);
  EXPECT_EQ(last.total, 10u);
  EXPECT_EQ(last.category, ErrorCategory::internal);

  const std::vector<std::string> info = log_.at("INFO");
  EXPECT_TRUE(has_line(info, "Checking fake publication channel live for " + root_text()));
  EXPECT_TRUE(has_line(info, "Release 5 on live: client 1.0.0, launcher 1.0.0"));
  EXPECT_TRUE(has_line(info, "Downloading 4 files (4 objects, 10 bytes to transfer, 10 bytes unpacked), removing 0"));
  EXPECT_TRUE(has_line(info, "Updated to client 1.0.0: 4 files written, 0 removed, 10 bytes downloaded"));
  EXPECT_FALSE(hashed_anything());
}

TEST_F(UpdateEngineTest, SecondRunHashesAndDownloadsNothing) {
  publish(5, kBasic);
  run();
  const std::string index_before = test::content_of(data_file("index.json"));
  take_downloads();
  statuses_.clear();

  const EngineResult result = run();
  EXPECT_EQ(result.outcome, EngineResult::up_to_date);
  EXPECT_EQ(result.installed_version, "1.0.0");
  EXPECT_EQ(result.files_written, 0u);
  EXPECT_TRUE(take_downloads().empty());  // the saved manifest is used too
  EXPECT_FALSE(hashed_anything());
  EXPECT_EQ(test::content_of(data_file("index.json")), index_before);
  EXPECT_EQ(game_files(), kBasic);
  EXPECT_TRUE(has_line(log_.at("INFO"), "Client 1.0.0 is up to date (4 files)"));
  EXPECT_EQ(statuses_.back().phase, UpdateStatus::complete);
  EXPECT_EQ(statuses_.back().text, "Your client is up to date.");
}

TEST_F(UpdateEngineTest, FilesAlreadyPresentAreHashedAndRecordedWithoutDownload) {
  for (const auto& [path, content] : kBasic) write_game_file(path, content);
  const std::string manifest = publish(3, kBasic);
  const EngineResult result = run();

  EXPECT_EQ(result.outcome, EngineResult::up_to_date);
  EXPECT_EQ(take_downloads(), std::vector<std::string>{object_path_of(manifest)});
  EXPECT_TRUE(has_line(log_.at("INFO"), "Verifying 4 files (10 bytes)"));
  const auto checked = std::find_if(statuses_.rbegin(), statuses_.rend(), [](const UpdateStatus& s) {
    return s.phase == UpdateStatus::checking;
  });
  ASSERT_NE(checked, statuses_.rend());
  EXPECT_EQ(checked->done, 10u);
  EXPECT_EQ(checked->total, 10u);

  const LauncherState state = load_state(disk_, root());
  EXPECT_EQ(state.installed, (ReleaseRecord{3, {1, 0, 0}, sha256(manifest), "bin/game.exe"}));
  EXPECT_EQ(test::content_of(data_file("manifest.json")), manifest);
  EXPECT_EQ(load_index(disk_, root()).size(), 4u);
  EXPECT_FALSE(test::present(staging_folder(root())));
}

TEST_F(UpdateEngineTest, UpdateDownloadsChangedObjectsAndRemovesDroppedFiles) {
  publish(1, {{"bin/game.exe", "game"},
              {"data/keep.pak", "keep"},
              {"data/change.pak", "old"},
              {"old/deep/gone.txt", "gone"}});
  run();
  take_downloads();
  const Files v2 = {
      {"bin/game.exe", "game"}, {"data/keep.pak", "keep"}, {"data/change.pak", "new!"}, {"data/added.pak", "added"}};
  const std::string manifest = publish(2, v2, "1.1.0");
  const EngineResult result = run([](UpdateEngine& engine) { engine.download_threads = 1; });

  EXPECT_EQ(result.outcome, EngineResult::updated);
  EXPECT_EQ(result.files_written, 2u);
  EXPECT_EQ(result.files_removed, 1u);
  EXPECT_EQ(result.downloaded, 9u);
  // Largest object first.
  EXPECT_EQ(take_downloads(),
            (std::vector<std::string>{object_path_of(manifest), object_path_of("added"), object_path_of("new!")}));
  EXPECT_EQ(game_files(), v2);
  EXPECT_FALSE(test::present(game_path("old")));  // empty parents go too
  EXPECT_FALSE(hashed_anything());
  EXPECT_TRUE(has_line(log_.at("INFO"), "Downloading 2 files (2 objects, 9 bytes to transfer, 9 bytes unpacked), removing 1"));
  const FileIndex index = load_index(disk_, root());
  EXPECT_EQ(index.size(), 4u);
  EXPECT_EQ(index.count(listing_key("old/deep/gone.txt")), 0u);
  EXPECT_EQ(load_state(disk_, root()).installed->version, (Version{1, 1, 0}));
}

TEST_F(UpdateEngineTest, RepairHashesEveryFileAndRestoresADamagedOne) {
  publish(1, kBasic);
  run();
  take_downloads();
  // Same size, other bytes, the old write time: only hashing can tell.
  const fs::path damaged = game_path("data/a.pak");
  const FileInfo before = file_info(disk_, damaged).value();
  write_game_file("data/a.pak", "AAAA");
  test::set_modified(damaged, before.modified);
  ASSERT_EQ(file_info(disk_, damaged), before);

  EXPECT_EQ(run().outcome, EngineResult::up_to_date);
  EXPECT_EQ(test::content_of(damaged), "AAAA");
  EXPECT_TRUE(take_downloads().empty());

  const EngineResult result = run([](UpdateEngine& engine) { engine.repair = true; });
  EXPECT_EQ(result.outcome, EngineResult::updated);
  EXPECT_EQ(result.files_written, 1u);
  EXPECT_EQ(take_downloads(), std::vector<std::string>{object_path_of("aaaa")});
  EXPECT_EQ(game_files(), kBasic);
  EXPECT_TRUE(has_line(log_.at("INFO"), "Verifying 4 files (10 bytes)"));
}

// Settings the game rewrites: installed when missing, then left as the player has them
// through updates that change their defaults, repairs and the removal of other files.
TEST_F(UpdateEngineTest, FilesInstalledOnlyWhenMissingKeepThePlayersCopy) {
  ReleaseFields fields;
  fields.install_if_missing = {"config/settings.ini", "config/keys.ini"};
  Files files = kBasic;
  files["config/settings.ini"] = "volume=5";
  files["config/keys.ini"] = "jump=space";
  publication_.publish(fields, files);
  EXPECT_EQ(run().files_written, 6u);
  EXPECT_EQ(game_files(), files);

  write_game_file("config/settings.ini", "volume=11 and a longer line");
  ASSERT_TRUE(delete_file(disk_, game_path("config/keys.ini")));
  fields.sequence = 2;
  fields.client_version = "1.0.1";
  files["config/settings.ini"] = "volume=7";
  files["config/keys.ini"] = "jump=w";
  files["data/a.pak"] = "AAAA";
  const std::string manifest = publication_.publish(fields, files);
  take_downloads();
  const EngineResult update = run();
  EXPECT_EQ(update.outcome, EngineResult::updated);
  EXPECT_EQ(update.files_written, 2u);  // data/a.pak and the missing keys.ini
  EXPECT_EQ(test::content_of(game_path("config/settings.ini")), "volume=11 and a longer line");
  EXPECT_EQ(test::content_of(game_path("config/keys.ini")), "jump=w");
  std::vector<std::string> downloads = take_downloads();
  std::sort(downloads.begin(), downloads.end());
  std::vector<std::string> expected{object_path_of("AAAA"), object_path_of("jump=w"), object_path_of(manifest)};
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(downloads, expected);

  write_game_file("config/keys.ini", "jump=q");
  const EngineResult repair = run([](UpdateEngine& engine) { engine.repair = true; });
  EXPECT_EQ(repair.files_written, 0u);
  EXPECT_TRUE(take_downloads().empty());
  EXPECT_EQ(test::content_of(game_path("config/keys.ini")), "jump=q");
  EXPECT_EQ(test::content_of(game_path("config/settings.ini")), "volume=11 and a longer line");
}

TEST_F(UpdateEngineTest, AStaleIndexEntryIsDroppedWithoutHashing) {
  publish(1, kBasic);
  run();
  FileIndex index = load_index(disk_, root());
  index[listing_key("gone.dat")] = IndexEntry{"gone.dat", 1, 2, sha256("gone")};
  save_index(disk_, root(), index);

  EXPECT_EQ(run().outcome, EngineResult::up_to_date);
  EXPECT_FALSE(hashed_anything());
  EXPECT_EQ(load_index(disk_, root()).size(), kBasic.size()) << "rewritten: only the entry count differed";
}

TEST_F(UpdateEngineTest, AGameFileThatCannotBeReadIsFetchedAgain) {
  MemoryFileSystem* memory = test::memory_disk();
  if (memory == nullptr) GTEST_SKIP() << "only the in-memory drive can make a file unreadable";
  for (const auto& [path, content] : kBasic) write_game_file(path, content);
  memory->set_unreadable(game_path("data/a.pak"));
  publish(1, kBasic);

  EXPECT_EQ(run().outcome, EngineResult::updated);
  EXPECT_EQ(take_downloads().size(), 2u);  // the manifest and the unreadable file's object
  EXPECT_TRUE(any_starts_with(log_.at("WARN"), "Could not check data/a.pak: Could not open "));
  EXPECT_EQ(game_files(), kBasic);
}

TEST_F(UpdateEngineTest, IndexedFileWithAnotherDigestIsDownloadedWithoutHashing) {
  publish(1, {{"bin/game.exe", "game"}, {"data/a.pak", "aaaa"}});
  run();
  take_downloads();
  const std::string manifest = publish(2, {{"bin/game.exe", "game"}, {"data/a.pak", "bbbb"}});
  EXPECT_EQ(run().outcome, EngineResult::updated);
  EXPECT_EQ(take_downloads(), (std::vector<std::string>{object_path_of(manifest), object_path_of("bbbb")}));
  EXPECT_FALSE(hashed_anything());
  EXPECT_EQ(test::content_of(game_path("data/a.pak")), "bbbb");
}

TEST_F(UpdateEngineTest, SharedContentIsDownloadedOnceCopiedThenMoved) {
  const Files files = {{"bin/game.exe", "g"}, {"x/one.dat", "same"}, {"y/two.dat", "same"}};
  const std::string manifest = publish(1, files);
  const std::string hex = to_hex(sha256("same"));
  const fs::path staged = staging_folder(root()) / hex.substr(0, 2) / hex;
  std::vector<std::pair<std::string, bool>> installing;  // detail, staged file still there
  on_status_ = [&](const UpdateStatus& status) {
    if (status.phase == UpdateStatus::installing) installing.emplace_back(status.detail, test::present(staged));
  };
  // One object at a time, so that the reports come in the objects' order.
  const EngineResult result = run([](UpdateEngine& engine) { engine.download_threads = 1; });

  EXPECT_EQ(result.files_written, 3u);
  const std::vector<std::string> downloads = take_downloads();
  ASSERT_EQ(downloads.size(), 3u);
  EXPECT_EQ(downloads[0], object_path_of(manifest));
  EXPECT_EQ(std::set<std::string>(downloads.begin() + 1, downloads.end()),
            (std::set<std::string>{object_path_of("same"), object_path_of("g")}));
  EXPECT_EQ(game_files(), files);
  // The staged file is there until the object's last file took it by a move, so the
  // first file was copied from it.
  std::vector<std::pair<std::string, bool>> expected = {
      {"", true}, {"x/one.dat", true}, {"y/two.dat", false}, {"bin/game.exe", false}};
  expected.resize(installing.size(), {"", false});  // the closing steps
  EXPECT_EQ(installing, expected);
}

TEST_F(UpdateEngineTest, InstallingReportsEveryFileAndRemovalWithBytesThatOnlyGrow) {
  publish(1, {{"bin/game.exe", "game"}, {"old.txt", "old"}});
  run();
  publish(2, {{"bin/game.exe", "game2"}, {"a/one", "shared"}, {"b/two", "shared"}}, "1.1.0");
  std::vector<UpdateStatus> installing;
  on_status_ = [&](const UpdateStatus& status) {
    if (status.phase == UpdateStatus::installing) installing.push_back(status);
  };
  run();
  std::uint64_t done = 0;
  std::set<std::string> details;
  for (const UpdateStatus& status : installing) {
    EXPECT_EQ(status.total, 17u) << "every byte written, copies too";
    EXPECT_GE(status.done, done);
    done = status.done;
    details.insert(status.detail);
  }
  EXPECT_EQ(done, 17u);
  EXPECT_EQ(details, (std::set<std::string>{"", "old.txt", "bin/game.exe", "a/one", "b/two"}));
  EXPECT_GE(installing.size(), 1u + 4u + 4u) << "the start, each file and removal, each closing step";
}

TEST_F(UpdateEngineTest, OldFilesAlreadyGoneAreNotCountedAsRemoved) {
  publish(1, {{"bin/game.exe", "game"}, {"gone.txt", "x"}, {"other.txt", "y"}});
  run();
  ASSERT_TRUE(delete_file(disk_, game_path("gone.txt")));

  publish(2, {{"bin/game.exe", "game"}, {"new.txt", "n"}, {"other.txt", "y"}});
  const EngineResult result = run();
  EXPECT_EQ(result.outcome, EngineResult::updated);
  EXPECT_EQ(result.files_removed, 0u);
  EXPECT_TRUE(has_line(log_.at("INFO"), "Downloading 1 files (1 objects, 1 bytes to transfer, 1 bytes unpacked), removing 0"));
}

TEST_F(UpdateEngineTest, OlderReleaseKeepsTheInstalledClient) {
  publish(5, kBasic);
  run();
  const std::string state_before = test::content_of(data_file("state.json"));
  take_downloads();
  publish(4, {{"bin/game.exe", "older"}}, "0.9.0");

  const EngineResult result = run();
  EXPECT_EQ(result.outcome, EngineResult::up_to_date);
  EXPECT_TRUE(result.kept_installed);
  EXPECT_EQ(result.installed_version, "1.0.0");
  EXPECT_EQ(result.release.sequence, 4u);
  EXPECT_EQ(publication_.release_requests(), 3u);
  EXPECT_TRUE(take_downloads().empty());
  EXPECT_EQ(test::content_of(data_file("state.json")), state_before);
  EXPECT_EQ(game_files(), kBasic);
  EXPECT_EQ(statuses_.back().text, "Your client is up to date.");
  EXPECT_TRUE(has_line(log_.at("WARN"), "Keeping the installed client 1.0.0 until the newer release is available"));
}

TEST_F(UpdateEngineTest, OlderReleaseWithNothingInstalledIsStillPublishing) {
  LauncherState state;
  record_sequence(state, "live", 5);
  save_state(disk_, root(), state);
  publish(4, kBasic);
  EXPECT_TRUE(fails_with([&] { run(); }, ErrorCategory::network,
                         "The patch server is still publishing release 5. Please try again in a minute."));
  EXPECT_EQ(publication_.release_requests(), 3u);
  EXPECT_TRUE(game_files().empty());
}

TEST_F(UpdateEngineTest, NewerLauncherIsHandedOver) {
  const struct {
    const char* name;
    bool offer;          // hand_over set
    bool after_update;
    bool takes_over;     // what hand_over answers
    bool handed;         // hand_over called
  } cases[] = {
      {"taken over", true, false, true, true},
      {"not taken over", true, false, false, true},
      {"just updated", true, true, true, false},
      {"no launcher updates", false, false, true, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    fresh_root();
    publication_.forget_requests();
    const std::size_t warnings = log_.at("WARN").size();
    const std::size_t errors = log_.at("ERROR").size();

    ReleaseFields fields;
    fields.sequence = 6;
    fields.launcher_version = "2.0.0";
    publication_.publish(fields, kBasic, "new launcher");
    int calls = 0;
    const EngineResult result = run([&](UpdateEngine& engine) {
      engine.after_update = c.after_update;
      if (!c.offer) return;
      engine.hand_over = [&](const fs::path& staged, const Release& release) {
        ++calls;
        EXPECT_EQ(release.sequence, 6u);
        EXPECT_EQ(test::content_of(staged), "new launcher");
        // Accepted before the new launcher starts, nothing else changed.
        const LauncherState state = load_state(disk_, root());
        EXPECT_EQ(highest_sequence(state, "live"), 6u);
        EXPECT_EQ(state.channel, "");
        EXPECT_FALSE(state.installed || state.pending);
        return c.takes_over;
      };
    });
    EXPECT_EQ(calls, c.handed ? 1 : 0);
    const std::string launcher_path = object_path_of("new launcher");
    if (c.handed && c.takes_over) {
      EXPECT_EQ(result.outcome, EngineResult::handed_over);
      EXPECT_EQ(publication_.downloads(), std::vector<std::string>{launcher_path});
      EXPECT_TRUE(game_files().empty());
    } else {
      EXPECT_EQ(result.outcome, EngineResult::updated);
      EXPECT_EQ(game_files(), kBasic);
    }
    if (c.handed) {
      const auto launcher = std::find_if(statuses_.rbegin(), statuses_.rend(), [](const UpdateStatus& s) {
        return s.text == "Updating the launcher...";
      });
      ASSERT_NE(launcher, statuses_.rend());
      EXPECT_EQ(launcher->phase, UpdateStatus::downloading);
      EXPECT_EQ(launcher->detail, "Lanternix.exe");
      EXPECT_EQ(launcher->item_done, 12u);
      EXPECT_EQ(launcher->done, 12u);
      EXPECT_EQ(launcher->item_total, 12u);
      EXPECT_EQ(launcher->total, 12u);
      EXPECT_TRUE(has_line(log_.at("INFO"), "Updating the launcher from 1.0.0 to 2.0.0"));
    }
    const std::vector<std::string> all_warnings = log_.at("WARN");
    const std::vector<std::string> new_warnings(all_warnings.begin() + static_cast<std::ptrdiff_t>(warnings),
                                                all_warnings.end());
    EXPECT_EQ(has_line(new_warnings, "Continuing with launcher 1.0.0"), c.handed && !c.takes_over);
    const std::vector<std::string> all_errors = log_.at("ERROR");
    EXPECT_EQ(all_errors.size() - errors, c.after_update ? 1u : 0u);
    if (c.after_update) {
      EXPECT_EQ(all_errors.back(),
                "The published launcher 2.0.0 still reports an older version after an update; continuing without "
                "another launcher update");
    }
  }
}

TEST_F(UpdateEngineTest, RunningGameStopsTheUpdateBeforeInstalling) {
  publish(5, kBasic);
  std::vector<std::uint64_t> asked;
  EXPECT_TRUE(fails_with(
      [&] {
        run([&](UpdateEngine& engine) {
          engine.game_running = [&](const Release& release) {
            asked.push_back(release.sequence);
            return true;
          };
        });
      },
      ErrorCategory::file_in_use, "Please close the game before the update is installed."));
  EXPECT_EQ(asked, std::vector<std::uint64_t>{5});
  EXPECT_TRUE(game_files().empty());
  const LauncherState state = load_state(disk_, root());
  EXPECT_FALSE(state.pending || state.installed);
  EXPECT_FALSE(test::present(data_file("pending-manifest.json")));
  EXPECT_EQ(take_downloads().size(), 5u);

  // The staged objects survive for the next attempt.
  EXPECT_EQ(run().outcome, EngineResult::updated);
  EXPECT_TRUE(take_downloads().empty());
  EXPECT_EQ(game_files(), kBasic);
}

TEST_F(UpdateEngineTest, FreeSpaceCountsTheEightLargestObjectsCopiesAndStagedContent) {
  // Objects of 1..10 hundred bytes plus the executable; the largest is used twice and
  // the smallest is already staged.
  Files files = {{"bin/game.exe", "g"}};
  for (int i = 1; i <= 10; ++i) {
    files[fmt::format("f/{:02}", i)] = std::string(100 * i, static_cast<char>('a' + i));
  }
  files["f/copy"] = files["f/10"];
  const std::string staged_content = files["f/01"];
  MemoryFileSystem* memory = test::memory_disk();
  if (memory == nullptr) GTEST_SKIP() << "only the in-memory drive can be given a free space";
  const std::string manifest = publish(1, files);
  // Staged flat, as an earlier launcher did: taken over all the same.
  write_file_atomic(disk_, staging_folder(root()) / to_hex(sha256(staged_content)), staged_content);

  const std::uint64_t unpacked = 5501, eight_largest = 5200, copies = 1000, staged = 100;
  const std::uint64_t needed = unpacked + eight_largest + copies - staged + 67108864;
  // The manifest is staged before the check, out of the free space.
  memory->set_free_space(needed - 1 + manifest.size());
  EXPECT_TRUE(fails_with([&] { run(); }, ErrorCategory::disk_space,
                         "The update needs " + format_size(needed) + " of free disk space, but only " +
                             format_size(needed - 1) + " is available on the drive of " + root_text() + "."));
  EXPECT_EQ(take_downloads().size(), 1u);  // only the manifest

  memory->set_free_space(needed);
  const EngineResult result = run();
  EXPECT_EQ(result.outcome, EngineResult::updated);
  EXPECT_EQ(result.files_written, 12u);
  EXPECT_EQ(take_downloads().size(), 10u);  // the staged object is not fetched
  EXPECT_EQ(game_files(), files);
}

TEST_F(UpdateEngineTest, InterruptedInstallIsCompletedByTheNextRun) {
  const Files v1 = {{"bin/game.exe", "g1"}, {"a.dat", "a1"}, {"b.dat", "b1"}};
  const Files v2 = {{"bin/game.exe", "g1"}, {"a.dat", "a2x"}, {"b.dat", "b2x"}, {"v2only/new.dat", "the new file"}};
  const Files v3 = {{"bin/game.exe", "g1"}, {"a.dat", "a2x"}, {"b.dat", "b3"}};
  const struct {
    const char* name;
    bool block_with_folder;  // a real failure instead of closing the launcher
    std::uint64_t next_sequence;
    const Files* next;
  } cases[] = {
      {"closed, same release again", false, 2, &v2},
      {"closed, newer release drops a half-installed file", false, 3, &v3},
      {"failed, same release again", true, 2, &v2},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string v2_manifest = install_then_publish(v1, v2);
    if (c.block_with_folder) {
      ASSERT_TRUE(delete_file(disk_, game_path("b.dat")));
      write_game_file("b.dat/inside.txt", "a folder where b.dat belongs");
      EXPECT_THROW(run(), PatchError);
    } else {
      close_once_installing();
      EXPECT_EQ(test::content_of(game_path("v2only/new.dat")), "the new file");
      EXPECT_EQ(test::content_of(game_path("b.dat")), "b1");
    }
    const LauncherState interrupted = load_state(disk_, root());
    ASSERT_TRUE(interrupted.pending);
    EXPECT_EQ(interrupted.pending->sequence, 2u);
    EXPECT_EQ(interrupted.installed->sequence, 1u);
    EXPECT_EQ(test::content_of(data_file("pending-manifest.json")), v2_manifest);

    stop_ = std::stop_source();
    on_status_ = {};
    if (c.block_with_folder) remove_tree(disk_, game_path("b.dat"));
    if (c.next == &v3) publish(3, v3, "3.0.0");
    const EngineResult result = run();
    EXPECT_EQ(result.outcome, EngineResult::updated);
    EXPECT_EQ(game_files(), *c.next);
    // The half-installed file the newer release dropped goes with its folder.
    EXPECT_EQ(test::present(game_path("v2only")), c.next->contains("v2only/new.dat"));
    const LauncherState finished = load_state(disk_, root());
    EXPECT_FALSE(finished.pending);
    EXPECT_EQ(finished.installed->sequence, c.next_sequence);
    EXPECT_FALSE(test::present(data_file("pending-manifest.json")));
  }
}

// An install closed half-way, then another release: what the closed install already put
// in place is fetched again only where the new release has other content there.
TEST_F(UpdateEngineTest, FilesAnInterruptedInstallPutInPlaceAreKeptWhereTheNextReleaseAgrees) {
  const Files v1 = {{"bin/game.exe", "g1"}, {"a.dat", "a1"}};
  // Installed largest first, one object at a time: the launcher is closed once big.dat
  // is in place; a.dat and c.dat stay staged.
  const std::string big(1000, 'b');
  const Files v2 = {{"bin/game.exe", "g1"}, {"a.dat", "a2"}, {"big.dat", big}, {"new/c.dat", "c2"}};
  Files v3_other_c = v2;
  v3_other_c["new/c.dat"] = "c3";
  Files v3_other_big = v2;
  v3_other_big["big.dat"] = std::string(1000, 'B');
  const struct {
    const char* name;
    const Files* next;
    const char* client_version;
    const char* launcher_version;
    std::vector<std::string> downloads;  // contents fetched by the next run, manifest aside
  } cases[] = {
      {"the same release again", &v2, nullptr, "1.0.0", {}},
      {"a release of the same client with a new launcher", &v2, "2.0.0", "1.1.0", {}},
      {"a release that changes another file", &v3_other_c, "3.0.0", "1.0.0", {"c3"}},
      {"a release that changes the file put in place", &v3_other_big, "3.0.0", "1.0.0", {std::string(1000, 'B')}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string v2_manifest = install_then_publish(v1, v2);
    close_once_installing();
    ASSERT_EQ(test::content_of(game_path("big.dat")), big);
    ASSERT_EQ(test::content_of(game_path("a.dat")), "a1");

    stop_ = std::stop_source();
    on_status_ = {};
    std::string next_manifest = v2_manifest;
    if (c.client_version) {
      ReleaseFields fields;
      fields.sequence = 3;
      fields.client_version = c.client_version;
      fields.launcher_version = c.launcher_version;
      next_manifest = publication_.publish(fields, *c.next);
    }
    take_downloads();
    const EngineResult result = run();
    EXPECT_EQ(result.outcome, EngineResult::updated);
    EXPECT_EQ(game_files(), *c.next);
    std::vector<std::string> expected;
    if (next_manifest != v2_manifest) expected.push_back(object_path_of(next_manifest));
    for (const std::string& content : c.downloads) expected.push_back(object_path_of(content));
    EXPECT_EQ(take_downloads(), expected);
    EXPECT_FALSE(load_state(disk_, root()).pending);
  }
}

TEST_F(UpdateEngineTest, ClosingTheLauncherInEachPhaseCancels) {
  const struct {
    std::int32_t phase;
    const char* text;
    bool pending;  // the install had begun
  } cases[] = {
      {UpdateStatus::preparing, "Connecting to the patch server...", false},
      {UpdateStatus::preparing, "Reading the file list...", false},
      {UpdateStatus::checking, "Checking game files...", false},
      {UpdateStatus::downloading, "Downloading updates...", false},
      {UpdateStatus::installing, "Installing updates...", true},
  };
  // Two files to hash, two to download.
  const Files files = {{"bin/game.exe", "game"}, {"a.dat", "aaaa"}, {"b.dat", "bb"}, {"c.dat", "c"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    fresh_root();
    write_game_file("bin/game.exe", "game");
    write_game_file("a.dat", "aaaa");
    publish(1, files);
    stop_ = std::stop_source();
    on_status_ = [&](const UpdateStatus& status) {
      if (status.phase == c.phase && status.text == c.text) stop_.request_stop();
    };
    EXPECT_TRUE(fails_with([&] { run(); }, ErrorCategory::cancelled, kClosed));
    EXPECT_EQ(static_cast<bool>(load_state(disk_, root()).pending), c.pending);

    stop_ = std::stop_source();
    on_status_ = {};
    EXPECT_EQ(run().outcome, EngineResult::updated);
    EXPECT_EQ(game_files(), files);
  }
}

// Without long paths, no name the update uses may pass MAX_PATH: not a game file, and
// not a staged download either (the game folder plus 91 characters), which fails
// before the first byte is fetched, not half-way with a raw system error.
TEST_F(UpdateEngineTest, GameFolderTooDeepForWindowsWithoutLongPaths) {
  if (disk_.long_paths_enabled()) GTEST_SKIP() << "long paths are enabled on this system";
  constexpr std::size_t kStagedName = 91;  // \Lanternix\staging\xx\<64 hex digits>.part
  const std::string too_deep = " is too deeply nested for Windows. Reinstall the game into a shorter folder such as "
                               "C:\\Games.";
  const struct {
    const char* name;
    std::size_t root_length;  // 0: the test's own folder
    std::size_t game_path_length;  // of the longest game file, root included
    bool long_paths;  // (the in-memory drive only)
    bool refused;
    bool manifest_fetched;
  } cases[] = {
      {"a game file at the limit", 0, 259, false, false, true},
      {"a game file past it", 0, 260, false, true, true},
      {"staged names at the limit", 259 - kStagedName, 0, false, false, true},
      {"staged names past it", 260 - kStagedName, 0, false, true, false},
      {"staged names past it with long paths", 260 - kStagedName, 0, true, false, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    fresh_root();
    if (c.long_paths && !test::memory_disk()) continue;
    if (c.root_length != 0) deepen_root(c.root_length);
    if (test::memory_disk()) test::memory_disk()->set_long_paths_enabled(c.long_paths);
    const std::size_t root_length = path_to_utf16(root()).size();
    Files files = {{"bin/game.exe", "game"}};
    if (c.game_path_length != 0) {
      ASSERT_LT(root_length + 7, c.game_path_length);
      files.emplace("deep/" + std::string(c.game_path_length - root_length - 1 - 5, 'x'), "long");
    }
    publish(1, files);
    take_downloads();
    if (c.refused) {
      EXPECT_TRUE(fails_with([&] { run(); }, ErrorCategory::configuration, "The game folder " + root_text() + too_deep));
      EXPECT_EQ(take_downloads().size(), c.manifest_fetched ? 1u : 0u);
      EXPECT_EQ(game_files(), Files{});
    } else {
      EXPECT_EQ(run().outcome, EngineResult::updated);
      EXPECT_EQ(game_files(), files);
    }
  }
  if (test::memory_disk()) test::memory_disk()->set_long_paths_enabled(false);

  // Installed while long paths were on, then turned off: nothing needs staging, so the
  // up-to-date client is not refused; a newer release is.
  if (!test::memory_disk()) return;
  fresh_root();
  deepen_root(260 - kStagedName);
  test::memory_disk()->set_long_paths_enabled(true);
  publish(1, kBasic);
  ASSERT_EQ(run().outcome, EngineResult::updated);
  test::memory_disk()->set_long_paths_enabled(false);
  EXPECT_EQ(run().outcome, EngineResult::up_to_date);
  Files changed = kBasic;
  changed["data/a.pak"] = "changed";
  publish(2, changed);
  EXPECT_TRUE(fails_with([&] { run(); }, ErrorCategory::configuration, "The game folder " + root_text() + too_deep));
  EXPECT_EQ(game_files(), kBasic);
}

}  // namespace
}  // namespace kaldren::patcher
