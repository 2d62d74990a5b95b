#include <sys/stat.h>

#include <filesystem>
#include <functional>
#include <fstream>
#include <random>
#include <string>

#include <gtest/gtest.h>

#include "core/error.h"
#include "core/version.h"
#include "protocol/manifest.h"
#include "protocol/release.h"
#include "tools/client_folder.h"
#include "tools/object_writer.h"
#include "tools/publication.h"
#include "tools/published_chunks.h"
#include "tools/signing_key.h"
#include "tools/site_check.h"
#include "publish_fixture.h"

namespace kaldren::patcher::publish {
namespace {

using namespace test;
namespace fs = std::filesystem;

TEST_F(PublishTest, FreshPublicationVerifiesAndStoresEachContentOnce) {
  PublishSummary summary = publish(request());
  EXPECT_EQ(summary.sequence, 1u);
  EXPECT_EQ(summary.files, 3u);
  // Two distinct client contents, the manifest and the launcher.
  EXPECT_EQ(summary.objects_new, 4u);
  EXPECT_EQ(count_files(site() / "v2/objects"), 4u);
  EXPECT_TRUE(check().empty());

  Release release = current_release();
  EXPECT_EQ(release.client.file_count, 3u);
  EXPECT_EQ(release.client.install_size, 470000u);
  EXPECT_EQ(summary.download_bytes, release.client.download_size);
  EXPECT_NO_THROW(validate_release(release, "live"));
}

TEST_F(PublishTest, CompressesOnlyWhatShrinks) {
  publish(request());
  Release release = current_release();
  ObjectRef manifest_ref = release.client.manifest;
  ASSERT_TRUE(manifest_ref.compressed);  // JSON always shrinks
  EXPECT_FALSE(release.launcher.file.compressed);  // random bytes do not
  EXPECT_EQ(release.launcher.file.stored_sha256, release.launcher.file.sha256);
}

TEST_F(PublishTest, LevelZeroStoresEverythingAsIs) {
  auto r = request();
  r.level = 0;
  publish(r);
  Release release = current_release();
  EXPECT_FALSE(release.client.manifest.compressed);
  auto manifest = parse_client_manifest(read_all(site() / object_path(release.client.manifest)));
  for (const auto& file : manifest.files) {
    EXPECT_FALSE(file.object.compressed) << file.path;
    EXPECT_EQ(file.object.stored_size, file.object.size);
  }
  EXPECT_TRUE(check().empty());
}

TEST_F(PublishTest, RepublishingUnchangedClientWritesNoObject) {
  publish(request());
  auto objects_before = count_files(site() / "v2/objects");
  PublishSummary again = publish(request());
  EXPECT_EQ(again.sequence, 2u);
  EXPECT_EQ(again.objects_new, 0u);
  EXPECT_EQ(again.bytes_stored, 0u);
  EXPECT_EQ(count_files(site() / "v2/objects"), objects_before);
  EXPECT_EQ(current_release().sequence, 2u);
}

TEST_F(PublishTest, ChangingOneFileWritesOneObjectAndTheManifest) {
  publish(request());
  auto objects_before = count_files(site() / "v2/objects");
  write_all(client() / "data/text.txt", std::string(200000, 'z'));
  PublishSummary summary = publish(request("1.0.1"));
  EXPECT_EQ(summary.objects_new, 2u);
  EXPECT_EQ(count_files(site() / "v2/objects"), objects_before + 2);
  Release release = current_release();
  EXPECT_EQ(release.sequence, 2u);
  EXPECT_EQ(release.client.version, (Version{1, 0, 1}));
  EXPECT_TRUE(check().empty());
}

TEST_F(PublishTest, ChunkListsDescribeLargeFilesAndCostOnlyWhatChanged) {
  const std::string archive = random_bytes(3000000, 9);
  write_all(client() / "data/archive.pak", archive);
  auto r = request();
  r.chunk_params = default_chunk_params();
  publish(r);
  for (const ManifestFile& file : current_manifest().files) {
    // Files of fewer than four average chunks stay whole only; the two equal files share a list.
    EXPECT_EQ(file.chunks.has_value(), file.object.size >= 4 * r.chunk_params.average) << file.path;
    if (!file.chunks) continue;
    const auto list = read_published_list(site(), file);
    ASSERT_TRUE(list) << file.path;
    std::string rebuilt;
    for (const ObjectRef& chunk : list->chunks) rebuilt += object_content(chunk);
    EXPECT_EQ(sha256(rebuilt), file.object.sha256) << file.path;
  }
  EXPECT_TRUE(check().empty());

  // Nothing changed: nothing written. A small edit: its chunks, pages, index and the
  // manifest, and an update costs a few of those instead of the archive.
  r.sequence.reset();
  EXPECT_EQ(publish(r).objects_new, 0u);
  std::string edited = archive;
  edited.replace(1500000, 3000, random_bytes(3000, 10));
  write_all(client() / "data/archive.pak", edited);
  r.version = "1.0.1";
  const PublishSummary summary = publish(r);
  EXPECT_LT(summary.objects_new, 12u);
  ASSERT_EQ(summary.updates.size(), 1u);
  EXPECT_EQ(summary.updates[0].sequence, 2u);
  EXPECT_LT(summary.updates[0].cost.bytes, 200000u);
  EXPECT_LT(summary.updates[0].cost.requests, 12u);
  EXPECT_TRUE(check().empty());
}

TEST_F(PublishTest, SequenceMustMoveForward) {
  publish(request());
  auto r = request();
  r.sequence = 1;
  try {
    publish(r);
    FAIL() << "an old sequence was published";
  } catch (const ToolError& e) {
    EXPECT_STREQ(e.what(), "The sequence 1 is not higher than the current release's 1; launchers would refuse it");
  }
  r.sequence = 10;
  EXPECT_EQ(publish(r).sequence, 10u);
  EXPECT_EQ(publish(request()).sequence, 11u);
}

TEST_F(PublishTest, AnotherPublishersReleaseNeedsAnExplicitSequence) {
  publish(request());
  auto r = request();
  r.keys = {root_ / "other.pem"};
  SigningKey::generate().save_new(r.keys[0]);
  EXPECT_THROW(publish(r), ToolError);
  r.sequence = 5;
  EXPECT_EQ(publish(r).sequence, 5u);
}

TEST_F(PublishTest, EightKeysSignNineAreRefused) {
  auto r = request();
  std::vector<ReleaseKey> public_keys;
  for (int i = 0; i < 9; ++i) {
    fs::path path = root_ / ("k" + std::to_string(i) + ".pem");
    auto key = SigningKey::generate();
    key.save_new(path);
    r.keys.push_back(path);
  }
  r.keys.erase(r.keys.begin());  // nine generated keys
  EXPECT_THROW(publish(r), ToolError);
  EXPECT_FALSE(fs::exists(site()));
  r.keys.pop_back();
  publish(r);
  // The last of the eight verifies on its own.
  std::vector<ReleaseKey> last{parse_release_key(SigningKey::load(r.keys.back()).public_key_hex())};
  EXPECT_NO_THROW(verify_release(read_all(site() / release_path("live")), last));
}

// Whatever the launcher would refuse is refused before anything is written.
TEST_F(PublishTest, RefusesBadClientsBeforeWritingAnything) {
  struct Case {
    const char* name;
    std::function<void(PublishRequest&)> change;
    const char* message_part;
  };
  const Case cases[] = {
      {"device name", [&](PublishRequest&) { write_all(client() / "Com1.log", "x"); }, "Com1.log: the launcher refuses"},
      {"case twin", [&](PublishRequest&) { write_all(client() / "Data/Text.txt", "x"); }, "differ only in letter case"},
      {"case twin outside Latin-1",
       [&](PublishRequest&) {
         write_all(client() / "data/\xE1\xBA\xA1.txt", "x");  // U+1EA1
         write_all(client() / "data/\xE1\xBA\xA0.txt", "y");  // U+1EA0
       },
       "differ only in letter case"},
      {"fullwidth case twin",
       [&](PublishRequest&) {
         write_all(client() / "data/\xEF\xBD\x81", "x");  // U+FF41
         write_all(client() / "data/\xEF\xBC\xA1", "y");  // U+FF21
       },
       "differ only in letter case"},
      {"upper case launchers do not share",
       [&](PublishRequest&) { write_all(client() / "data/\xC4\xB1.txt", "x"); }, "data/\xC4\xB1.txt: holds U+0131"},
      {"unassigned code point",
       [&](PublishRequest&) { write_all(client() / "\xCD\xB8/a.txt", "x"); }, "\xCD\xB8/a.txt: holds U+0378"},
      {"file and folder",
       [&](PublishRequest&) { write_all(client() / "DATA", "x"); }, "a file and a folder of the same name"},
      {"missing executable", [](PublishRequest& r) { r.executable = "bin/64/Missing.exe"; }, "is not in the client folder"},
      {"unsafe executable", [](PublishRequest& r) { r.executable = "../x.exe"; }, "is not a file name the launcher accepts"},
      {"reserved folder", [&](PublishRequest&) { write_all(client() / "lanternix/state.json", "x"); }, "lanternix/state.json"},
      {"launcher version", [](PublishRequest& r) { r.launcher_version = "1.70000.0"; }, "does not fit a Windows version resource"},
      {"client version", [](PublishRequest& r) { r.version = "1.0"; }, "is not a version"},
      {"channel", [](PublishRequest& r) { r.channel = "Live"; }, "must be 1-32 lowercase"},
      {"sequence 0", [](PublishRequest& r) { r.sequence = 0; }, "The sequence must be 1 or more"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(client());
    SetUp();
    auto r = request();
    c.change(r);
    try {
      publish(r);
      ADD_FAILURE() << "published";
    } catch (const ToolError& e) {
      EXPECT_NE(std::string(e.what()).find(c.message_part), std::string::npos) << e.what();
    }
    EXPECT_FALSE(fs::exists(site()));
  }
}

TEST_F(PublishTest, LinksAreRefused) {
  fs::create_symlink(client() / "data/text.txt", client() / "data/link.txt");
  EXPECT_THROW(publish(request()), ToolError);
  EXPECT_FALSE(fs::exists(site()));
}

TEST_F(PublishTest, CheckFindsDamagedMissingAndTruncatedObjects) {
  publish(request());
  Release release = current_release();
  auto manifest_bytes = read_all(site() / object_path(release.client.manifest));
  ASSERT_TRUE(check().empty());

  fs::path launcher = site() / object_path(release.launcher.file);
  std::string original = read_all(launcher);
  std::string damaged = original;
  damaged[100] ^= 1;
  write_all(launcher, damaged);
  auto problems = check();
  ASSERT_EQ(problems.size(), 1u);
  EXPECT_NE(problems[0].find("does not match its stored SHA-256"), std::string::npos) << problems[0];

  write_all(launcher, original.substr(0, original.size() - 1));
  problems = check();
  ASSERT_EQ(problems.size(), 1u);
  EXPECT_NE(problems[0].find("has 4999 bytes, the release says 5000"), std::string::npos) << problems[0];

  fs::remove(launcher);
  problems = check();
  ASSERT_EQ(problems.size(), 1u);
  EXPECT_NE(problems[0].find("is missing"), std::string::npos) << problems[0];
}

// Entries may share one stored object yet declare different content; a launcher checks
// each entry, so the check must too.
TEST_F(PublishTest, CheckReadsEveryEntryOfASharedObject) {
  struct Case {
    const char* name;
    const char* path;
    std::function<void(ObjectRef&, const ObjectRef& executable)> change;
    const char* message_part;
  };
  const Case cases[] = {
      {"content digest", "data/text.txt", [](ObjectRef& ref, const ObjectRef&) { ref.sha256[0] ^= 1; },
       "does not unpack to its content SHA-256"},
      {"content size", "data/text.txt", [](ObjectRef& ref, const ObjectRef&) { ref.size -= 1; },
       "unpacks to more than 199999 bytes"},
      {"stored size", "data/text.txt", [](ObjectRef& ref, const ObjectRef&) { ref.stored_size += 1; },
       "the release says"},
      {"compression", "data/copy.txt",
       [](ObjectRef& ref, const ObjectRef& executable) {
         ref.stored_sha256 = executable.stored_sha256;
         ref.stored_size = executable.stored_size;
       },
       "does not unpack"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(root_);
    SetUp();
    publish(request());
    rewrite_manifest([&](std::vector<ManifestFile>& files) {
      ASSERT_EQ(files[0].path, "bin/64/Kaldren.exe");
      for (auto& file : files)
        if (file.path == c.path) c.change(file.object, files[0].object);
    });
    auto problems = check();
    EXPECT_EQ(problems.size(), 1u);
    if (problems.empty()) continue;
    EXPECT_EQ(problems[0].rfind(std::string(c.path) + ": ", 0), 0u) << problems[0];
    EXPECT_NE(problems[0].find(c.message_part), std::string::npos) << problems[0];
  }
}

TEST_F(PublishTest, CheckRefusesAReleaseSignedByAnotherKey) {
  publish(request());
  auto other = SigningKey::generate();
  auto problems = check_site(site(), "live", other.public_key_hex(), 1, [](const std::string&) {});
  ASSERT_EQ(problems.size(), 1u);
  EXPECT_NE(problems[0].find("not signed by a trusted release key"), std::string::npos) << problems[0];
}

// A file edited between hashing and storing must fail the publish, never be stored
// under the digest of what it held before.
TEST_F(PublishTest, StoringAFileEditedSinceItWasHashedFails) {
  struct Case {
    const char* name;
    int level;
    std::string before;
    std::string after;  // same size
  };
  const Case cases[] = {
      {"compressed", 6, std::string(200000, 'k'), std::string(199999, 'k') + "z"},
      {"compression does not pay", 6, random_bytes(70000, 3), random_bytes(70000, 4)},
      {"stored as is", 0, std::string(200000, 'k'), std::string(199999, 'k') + "z"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(site());
    fs::path file = root_ / "edited.dat";
    write_all(file, c.before);
    ContentDigest hashed = hash_file(file);
    write_all(file, c.after);
    ObjectWriter writer(site(), c.level);
    try {
      writer.store_file(file, hashed);
      ADD_FAILURE() << "stored";
    } catch (const ToolError& e) {
      EXPECT_NE(std::string(e.what()).find("changed while it was published"), std::string::npos) << e.what();
    }
    EXPECT_EQ(count_files(site() / "v2/objects"), 0u);
  }
}

TEST(SigningKeyTest, NewKeyIsPrivateAndNeverOverwritten) {
  fs::path path = fs::temp_directory_path() / ("lanternix-key-" + std::to_string(::getpid()) + ".pem");
  fs::remove(path);
  auto key = SigningKey::generate();
  key.save_new(path);
  struct stat info {};
  ASSERT_EQ(::stat(path.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);
  EXPECT_THROW(SigningKey::generate().save_new(path), ToolError);
  auto loaded = SigningKey::load(path);
  EXPECT_EQ(loaded.public_key_hex(), key.public_key_hex());
  EXPECT_EQ(loaded.public_key_hex().size(), 130u);
  EXPECT_EQ(loaded.key_id(), parse_release_key(key.public_key_hex()).key_id);
  fs::remove(path);
}

TEST(SigningKeyTest, SignatureVerifiesWithTheLaunchersCheck) {
  auto key = SigningKey::generate();
  auto point = parse_release_key(key.public_key_hex()).point;
  auto signature = key.sign("message");
  EXPECT_TRUE(verify_p256_signature(point, sha256(std::string_view("message")), signature));
  EXPECT_FALSE(verify_p256_signature(point, sha256(std::string_view("messagf")), signature));
}

}  // namespace
}  // namespace kaldren::patcher::publish
