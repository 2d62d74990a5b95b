// Updates that fetch only what changed inside large files: chunks found on the disk
// (the old version, moved or shared content, an interrupted run's chunks) are reused,
// the rest is fetched, and a file is installed only once its whole digest holds.
#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <optional>
#include <random>
#include <string>

#include "core/error.h"
#include "engine/update_engine.h"
#include "fake_publication.h"
#include "protocol/path_rule.h"
#include "support/release_signing.h"
#include "support/test_disk.h"
#include "system/file_operations.h"

namespace kaldren::patcher {
namespace {

namespace fs = std::filesystem;
using Files = std::map<std::string, std::string>;

const ChunkParams kParams = {256, 1024, 4096, 4, 8, 32};

std::string random_bytes(std::size_t size, std::mt19937& random) {
  std::string bytes(size, '\0');
  for (char& c : bytes) c = static_cast<char>(random());
  return bytes;
}

class DeltaUpdateTest : public ::testing::Test {
 protected:
  DeltaUpdateTest() { publication_.chunk_params = kParams; }

  // Returns the manifest's size.
  std::size_t publish(std::uint64_t sequence, const Files& files) {
    test::ReleaseFields fields;
    fields.sequence = sequence;
    fields.client_version = "1.0." + std::to_string(sequence);
    return publication_.publish(fields, files).size();
  }

  EngineResult run(bool repair = false) {
    UpdateEngine engine;
    engine.root = root_->path();
    engine.channel = "live";
    engine.launcher_version = {1, 0, 0};
    engine.repair = repair;
    engine.release_retry_delay_ms = 1;
    engine.file_system = &disk_;
    engine.transport = &publication_;
    engine.keys = test_support::test_keys();
    engine.report = [this](const UpdateStatus& status) { statuses_.push_back(status); };
    return engine.run({});
  }

  // Installs `v1`, then publishes `v2` and forgets what the install fetched.
  void install_then_publish(const Files& v1, const Files& v2) {
    publish(1, v1);
    run();
    ASSERT_EQ(game_files(), v1);
    manifest_bytes_ = publish(2, v2);
    publication_.forget_requests();
    statuses_.clear();
  }

  Files game_files() const { return test::files_below(root_->path(), "Lanternix"); }
  std::uint64_t fetched() const { return publication_.downloaded_bytes(); }

  FileSystem& disk_ = test::test_disk();
  std::optional<test::DiskFolder> root_{std::in_place};
  test::FakePublication publication_;
  std::vector<UpdateStatus> statuses_;
  std::size_t manifest_bytes_ = 0;
};

TEST_F(DeltaUpdateTest, RandomEditsFetchLittleAndRebuildTheNewFilesExactly) {
  std::mt19937 random(7);
  for (int round = 0; round < 12; ++round) {
    SCOPED_TRACE(round);
    root_.reset();
    root_.emplace();
    const std::string old_pak = random_bytes(200000 + random() % 100000, random);
    std::string pak = old_pak;
    std::size_t changed = 0;
    for (int edit = 0; edit < 1 + static_cast<int>(random() % 4); ++edit) {
      const std::size_t at = random() % pak.size();
      const std::size_t length = 1 + random() % 600;
      switch (random() % 3) {
        case 0: pak.insert(at, random_bytes(length, random)); break;
        case 1: pak.replace(at, std::min(length, pak.size() - at), random_bytes(length, random)); break;
        default: pak.erase(at, std::min(length, pak.size() - at)); break;
      }
      changed += length;
    }
    const Files v1 = {{"bin/game.exe", "game 1"}, {"data/a.pak", old_pak}};
    const Files v2 = {{"bin/game.exe", "game 2"}, {"data/a.pak", pak}};
    install_then_publish(v1, v2);
    const EngineResult result = run();
    EXPECT_EQ(game_files(), v2);
    // The edits, the chunks they touch at their edges, a few pages and the index.
    EXPECT_LT(fetched(), pak.size() / 5) << changed << " bytes changed";
    EXPECT_EQ(result.downloaded + manifest_bytes_, fetched()) << "the result counts objects and lists";
    // Progress counts the bytes fetched, not the size of the file.
    std::uint64_t download_total = 0;
    for (const UpdateStatus& status : statuses_) {
      if (status.text == "Downloading updates...") download_total = status.total;
    }
    EXPECT_LT(download_total, pak.size() / 2);
  }
}

TEST_F(DeltaUpdateTest, MovedSharedAndDamagedContentIsTakenFromTheDisk) {
  std::mt19937 random(11);
  const std::string a = random_bytes(100000, random);
  const std::string b = random_bytes(100000, random);
  const std::string shared = random_bytes(150000, random);
  const Files v1 = {{"bin/game.exe", "game"}, {"data/a.pak", a}, {"data/b.pak", b + shared}};
  // a.pak moves, a new file holds the range b.pak shares (named as a seed), b.pak stays.
  const Files v2 = {{"bin/game.exe", "game"},
                    {"moved/a.pak", a},
                    {"data/b.pak", b + shared},
                    {"data/c.pak", shared + "new tail"}};
  publication_.tamper_chunks = [](const std::string& path, ChunkIndex& index, std::vector<ChunkPage>&) {
    if (path == "data/c.pak") index.seeds = {"data/b.pak"};
  };
  install_then_publish(v1, v2);
  run();
  EXPECT_EQ(game_files(), v2);
  EXPECT_LT(fetched(), 20000u) << "the moved file and the shared range are local";
  for (const std::string& path : publication_.downloads()) {
    EXPECT_NE(path, object_path(test::plain_object(a)));
  }

  // Repair: one damaged byte costs its chunk and its page, not the file.
  std::string damaged = b + shared;
  damaged[123456] ^= 0x55;
  write_file_atomic(disk_, resolve_path(root_->path(), "data/b.pak"), damaged);
  publication_.forget_requests();
  run(true);
  EXPECT_EQ(game_files(), v2);
  EXPECT_LT(fetched(), 12000u);
}

TEST_F(DeltaUpdateTest, FreshInstallFetchesWholeObjectsOnly) {
  std::mt19937 random(3);
  const Files v1 = {{"bin/game.exe", "game"}, {"data/a.pak", random_bytes(50000, random)}};
  publish(1, v1);
  run();
  EXPECT_EQ(game_files(), v1);
  // The manifest, then one object per file: no chunk list, no chunk.
  EXPECT_EQ(publication_.downloads().size(), 3u);
}

TEST_F(DeltaUpdateTest, HostileChunkListsAreRefusedAndNothingIsInstalled) {
  std::mt19937 random(5);
  const std::string old_pak = random_bytes(100000, random);
  std::string new_pak = old_pak;
  new_pak.replace(50000, 50, std::string(50, 'x'));
  const Files v1 = {{"bin/game.exe", "game 1"}, {"data/a.pak", old_pak}};
  const Files v2 = {{"bin/game.exe", "game 2"}, {"data/a.pak", new_pak}};
  using Tamper = std::function<void(ChunkIndex&, std::vector<ChunkPage>&)>;
  const struct {
    const char* name;
    Tamper tamper;
    std::string message;
  } cases[] = {
      {"sizes that do not add up", [](ChunkIndex& index, std::vector<ChunkPage>&) { index.pages.back().span += 7; },
       "The chunk list of data/a.pak does not add up to the file's size"},
      {"a huge count", [](ChunkIndex& index, std::vector<ChunkPage>&) { index.pages[0].chunks = 1ull << 40; },
       "The chunk list of data/a.pak has a page outside the format's bounds"},
      {"a page that is not the one its index names",
       [](ChunkIndex&, std::vector<ChunkPage>& pages) {
         for (ChunkPage& page : pages) std::swap(page.chunks.front(), page.chunks.back());
       },
       "The chunk list of data/a.pak has a page that does not match its index"},
      {"chunks out of order, their page and index agreeing",
       [](ChunkIndex& index, std::vector<ChunkPage>& pages) {
         for (std::size_t p = 0; p < pages.size(); ++p) {
           if (pages[p].chunks.size() < 2) continue;
           std::swap(pages[p].chunks[0], pages[p].chunks[1]);
           index.pages[p].fingerprint = page_fingerprint(pages[p].chunks);
         }
       },
       "An assembled file failed verification (data/a.pak). The publication is inconsistent."},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    root_.reset();
    root_.emplace();
    publication_.tamper_chunks = {};
    publish(1, v1);
    run();
    publication_.tamper_chunks = [&](const std::string& path, ChunkIndex& index, std::vector<ChunkPage>& pages) {
      if (path == "data/a.pak") c.tamper(index, pages);
    };
    publish(2, v2);
    try {
      run();
      ADD_FAILURE() << "installed";
    } catch (const PatchError& error) {
      EXPECT_EQ(error.category(), ErrorCategory::security);
      EXPECT_EQ(error.what(), c.message);
    }
    EXPECT_EQ(game_files(), v1);
  }
}

}  // namespace
}  // namespace kaldren::patcher
