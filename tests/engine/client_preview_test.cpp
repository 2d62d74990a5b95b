// The client's paths read ahead of an install, from the publication and nothing else,
// and the depth rule that refuses a folder for them.
#include "engine/client_preview.h"

#include <gtest/gtest.h>

#include <map>
#include <string>

#include "engine/fake_publication.h"
#include "engine/update_engine.h"
#include "support/failure_of.h"
#include "support/release_signing.h"
#include "system/memory_file_system.h"

namespace kaldren::patcher {
namespace {

TEST(ClientPreview, ReadsTheVerifiedPathsAndTellsTheFirstTooDeep) {
  test::FakePublication publication;
  const std::string deep = "data/" + std::string(200, 'd') + "/file.pak";
  publication.publish({}, {{"bin/game.exe", "game"}, {deep, "deep"}, {"readme.txt", "hello"}});
  const Release release = choose_release(publication, "live", test_support::test_keys(), {});
  const std::vector<std::string> paths = client_file_paths(publication, release, {});
  EXPECT_EQ(paths, (std::vector<std::string>{"bin/game.exe", deep, "readme.txt"}));
  EXPECT_TRUE(publication.downloads().size() <= 1u) << "only the manifest is fetched";

  MemoryFileSystem disk;
  EXPECT_EQ(too_deep_path(disk, "/Games/Kaldren", paths), std::nullopt);  // 229 characters
  EXPECT_EQ(too_deep_path(disk, "/Users/Player/AppData/Local/Programs/Kaldren Morvale", paths), deep);
  disk.set_long_paths_enabled(true);
  EXPECT_EQ(too_deep_path(disk, "/Users/Player/AppData/Local/Programs/Kaldren Morvale", paths), std::nullopt);

  // A manifest that does not verify is refused as the update would refuse it.
  Release altered = release;
  altered.client.manifest = publication.add_object("{\"not\":\"the manifest\"}");
  altered.client.manifest.sha256[0] ^= 1;
  altered.client.manifest.stored_sha256 = altered.client.manifest.sha256;
  test::failure_of([&] { client_file_paths(publication, altered, {}); });
}

}  // namespace
}  // namespace kaldren::patcher
