// A site run for a long time: history, prune, promote, resign, upload order, expiry,
// files installed only when missing, and the faults a long-lived site meets (another
// publisher's release, a damaged object, two runs at once, a crash's leftovers).
#include <filesystem>
#include <set>
#include <string>

#include <gtest/gtest.h>

#include "core/wall_clock.h"
#include "protocol/manifest.h"
#include "protocol/release.h"
#include "protocol/utc_time.h"
#include "publish_fixture.h"
#include "tools/channel_commands.h"
#include "tools/prune.h"
#include "tools/release_objects.h"
#include "tools/site_history.h"
#include "tools/site_lock.h"

namespace kaldren::patcher::publish {
namespace {

using namespace test;
namespace fs = std::filesystem;

std::set<std::string> objects_on(const fs::path& site) {
  std::set<std::string> paths;
  for (const auto& entry : fs::recursive_directory_iterator(site / "v2/objects"))
    if (entry.is_regular_file()) paths.insert(fs::relative(entry.path(), site).generic_string());
  return paths;
}

template <typename Call>
std::string error_of(Call&& call) {
  try {
    call();
  } catch (const ToolError& e) {
    return e.what();
  }
  return "(no error)";
}

class SiteLifecycleTest : public PublishTest {
 protected:
  // Publishes version 1.0.<n> with one file changed, one added per release.
  PublishSummary publish_version(int n, const std::string& channel = "live") {
    write_all(client() / "data/text.txt", std::string(200000, static_cast<char>('a' + n % 26)) + std::to_string(n));
    write_all(client() / ("data/added-" + std::to_string(n) + ".bin"), random_bytes(3000, 100 + n));
    auto r = request("1.0." + std::to_string(n));
    r.channel = channel;
    return publish(r);
  }

  std::set<std::string> reached_by(const std::vector<PublishedRelease>& releases) const {
    std::set<std::string> paths;
    for (const auto& published : releases) {
      auto reached = release_objects(site(), published.release);
      paths.insert(reached.begin(), reached.end());
    }
    return paths;
  }

  PruneSummary prune(std::uint64_t keep, bool dry_run = false) {
    return prune_site({site(), keep, keys(), dry_run}, [](const std::string&) {});
  }

  ChannelRequest again(const std::string& from, const std::string& to) const {
    ChannelRequest r;
    r.site = site();
    r.from = from;
    r.to = to;
    r.keys = {key_};
    r.published_at = "2026-12-09T00:00:00Z";
    return r;
  }
};

// Twelve releases over two channels (beta promoted to live now and then), pruned to the
// newest three of each: exactly what those and the current releases reach stays, the
// site still verifies, and a dry run or a second prune removes nothing more.
TEST_F(SiteLifecycleTest, PruneKeepsExactlyWhatTheNewestReleasesReach) {
  for (int n = 1; n <= 12; ++n) {
    publish_version(n, "beta");
    if (n % 4 == 0) release_again(again("beta", "live"));
  }
  // History: one signed document per sequence, the last equal to release.json.
  auto beta = channel_releases(site(), "beta", keys());
  ASSERT_EQ(beta.size(), 12u);
  EXPECT_TRUE(beta.back().current);
  EXPECT_EQ(beta.back().document, read_all(site() / release_path("beta")));
  EXPECT_EQ(read_all(site() / history_path("beta", 7)), beta[6].document);
  auto live = channel_releases(site(), "live", keys());
  ASSERT_EQ(live.size(), 3u);
  EXPECT_EQ(live.back().release.client.version, (Version{1, 0, 12}));

  const auto before = objects_on(site());
  const PruneSummary dry = prune(2, true);
  EXPECT_EQ(objects_on(site()), before);
  const PruneSummary summary = prune(2);
  EXPECT_EQ(summary.removed.size(), dry.removed.size());
  EXPECT_EQ(summary.bytes, dry.bytes);
  EXPECT_GT(summary.bytes, 0u);

  std::vector<PublishedRelease> kept(beta.end() - 2, beta.end());
  kept.insert(kept.end(), live.end() - 2, live.end());
  EXPECT_EQ(objects_on(site()), reached_by(kept));
  EXPECT_EQ(summary.kept_releases, 4u);
  for (const auto& removed : summary.removed) EXPECT_TRUE(before.contains(removed.path)) << removed.path;
  // The manifests of dropped releases go before any other object.
  std::set<std::string> old_manifests;
  for (std::size_t i = 0; i + 2 < beta.size(); ++i) old_manifests.insert(object_path(beta[i].release.client.manifest));
  bool others_began = false;
  for (const auto& removed : summary.removed) {
    if (!old_manifests.contains(removed.path)) others_began = true;
    else EXPECT_FALSE(others_began) << removed.path << " removed after other objects";
  }
  EXPECT_TRUE(check().empty());
  EXPECT_TRUE(check_site(site(), "beta", SigningKey::load(key_).public_key_hex(), 2, [](const std::string&) {}).empty());
  EXPECT_TRUE(prune(2).removed.empty());
  // History documents stay: the site still tells everything it published.
  EXPECT_EQ(channel_releases(site(), "beta", keys()).size(), 12u);
}

TEST_F(SiteLifecycleTest, PruneKeepsTheCurrentReleaseWhateverKeepSaysAndRefusesWhatItCannotVerify) {
  for (int n = 1; n <= 3; ++n) publish_version(n);
  prune(0);
  EXPECT_EQ(objects_on(site()), reached_by({channel_releases(site(), "live", keys()).back()}));
  EXPECT_TRUE(check().empty());

  // A history document signed by a key prune was not given: nothing is removed.
  publish_version(4);
  const auto before = objects_on(site());
  const fs::path other = root_ / "other.pem";
  SigningKey::generate().save_new(other);
  std::vector<SigningKey> other_keys;
  other_keys.push_back(SigningKey::load(other));
  write_all(site() / history_path("live", 9),
            sign_release(write_release_payload({"live", 9, "x", "1.0.0", "bin/64/Kaldren.exe", 0, 0, 0, {}, "0.1.0", {}}),
                         other_keys));
  EXPECT_EQ(error_of([&] { prune(1); }).rfind("Refusing to prune: v2/channels/live/history/9.json: The update from "
                                             "the patch server is not signed by a trusted release key (security)", 0),
            0u);
  EXPECT_EQ(objects_on(site()), before);
  // Nor when a history document holds another sequence than its name.
  fs::copy_file(site() / history_path("live", 2), site() / history_path("live", 9), fs::copy_options::overwrite_existing);
  EXPECT_EQ(error_of([&] { prune(1); }), "Refusing to prune: v2/channels/live/history/9.json: holds release 2");
  EXPECT_EQ(objects_on(site()), before);
}

TEST_F(SiteLifecycleTest, PromoteAndResignSignAgainWithoutTouchingAnObject) {
  publish_version(1, "beta");
  publish_version(2, "live");
  publish_version(3, "live");
  const auto objects = objects_on(site());
  const ChannelSummary promoted = release_again(again("beta", "live"));
  EXPECT_EQ(objects_on(site()), objects);
  EXPECT_EQ(promoted.release.sequence, 3u);  // live's next
  EXPECT_EQ(promoted.release.channel, "live");
  EXPECT_EQ(promoted.release.client.version, (Version{1, 0, 1}));
  EXPECT_EQ(promoted.new_files, (std::vector<std::string>{history_path("live", 3), release_path("live")}));
  EXPECT_TRUE(check().empty());

  auto resign = again("live", "live");
  resign.expires_at = system_wall_clock() + 7 * 86400;
  const ChannelSummary resigned = release_again(resign);
  EXPECT_EQ(resigned.release.sequence, 4u);
  EXPECT_EQ(resigned.release.expires_at, *resign.expires_at);
  EXPECT_EQ(resigned.release.client.manifest, promoted.release.client.manifest);
  EXPECT_EQ(objects_on(site()), objects);
  EXPECT_TRUE(check().empty());

  resign.expires_at = system_wall_clock() - 1;
  EXPECT_NE(error_of([&] { release_again(resign); }).find("is not in the future; launchers would refuse the release"),
            std::string::npos);
  EXPECT_EQ(current_release().sequence, 4u);
  // A release whose objects are not all there is not signed for another channel.
  fs::remove(site() / object_path(current_release().launcher.file));
  EXPECT_NE(error_of([&] { release_again(again("live", "beta")); }).find("the launcher: object v2/objects/"),
            std::string::npos);
  EXPECT_FALSE(fs::exists(site() / history_path("beta", 2)));
  EXPECT_EQ(error_of([&] { release_again(again("staging", "live")); }), "Channel staging has no release to promote");
}

TEST_F(SiteLifecycleTest, NewFilesComeInUploadOrderAndTheExpiryIsSigned) {
  auto r = request();
  r.expires_at = *parse_utc_time("2099-01-01T00:00:00Z");
  PublishSummary first = publish(r);
  const Release release = current_release();
  EXPECT_EQ(release.expires_at, r.expires_at);
  const std::string manifest = object_path(release.client.manifest);
  ASSERT_EQ(first.new_files.size(), 6u);  // two contents, the launcher, the manifest, two release documents
  EXPECT_EQ(first.new_files[3], manifest);
  EXPECT_EQ(first.new_files[4], history_path("live", 1));
  EXPECT_EQ(first.new_files[5], release_path("live"));
  EXPECT_EQ(std::set<std::string>(first.new_files.begin(), first.new_files.begin() + 4), objects_on(site()));
  // Nothing changed: only the release documents are new.
  EXPECT_EQ(publish(request()).new_files, (std::vector<std::string>{history_path("live", 2), release_path("live")}));
  r.expires_at = system_wall_clock() - 60;
  EXPECT_NE(error_of([&] { publish(r); }).find("is not in the future"), std::string::npos);
  EXPECT_EQ(current_release().sequence, 2u);
}

TEST_F(SiteLifecycleTest, FilesMarkedInstallIfMissingCarryTheMember) {
  write_all(client() / "config/settings.ini", "volume=5");
  write_all(client() / "config/keys.ini", "jump=space");
  write_all(client() / "config/deep/other.ini", "x");
  auto r = request();
  r.install_if_missing = {"config/*.ini"};
  publish(r);
  std::set<std::string> marked;
  for (const auto& file : current_manifest().files)
    if (file.install_if_missing) marked.insert(file.path);
  EXPECT_EQ(marked, (std::set<std::string>{"config/keys.ini", "config/settings.ini"}));

  const struct {
    std::vector<std::string> patterns;
    std::string message;
  } refused[] = {
      {{"config/setings.ini"}, "--install-if-missing config/setings.ini matches no file of the client"},
      {{"config/*.ini", "*.cfg"}, "--install-if-missing *.cfg matches no file of the client"},
      {{"bin/*/*.exe"}, "--install-if-missing bin/*/*.exe takes in the game executable bin/64/Kaldren.exe, which "
                        "updates must be able to replace"},
  };
  for (const auto& c : refused) {
    r.install_if_missing = c.patterns;
    EXPECT_EQ(error_of([&] { publish(r); }), c.message);
  }
  EXPECT_EQ(current_release().sequence, 1u);
}

// The faults of a publish found by reading it: each is now refused or mended.
TEST_F(SiteLifecycleTest, PublishMendsWhatALongLivedSiteMeets) {
  publish(request());
  // Another publisher's release (another or a rotated key) still bounds the sequence.
  const fs::path other = root_ / "other.pem";
  SigningKey::generate().save_new(other);
  auto theirs = request();
  theirs.keys = {other};
  theirs.sequence = 5;
  publish(theirs);
  auto ours = request();
  ours.sequence = 1;
  EXPECT_EQ(error_of([&] { publish(ours); }),
            "The sequence 1 is not higher than the current release's 5; launchers would refuse it");
  ours.sequence = 6;
  EXPECT_EQ(publish(ours).sequence, 6u);

  // A damaged object of the right size is found by its digest and written again.
  const fs::path launcher = site() / object_path(current_release().launcher.file);
  std::string damaged = read_all(launcher);
  damaged[10] ^= 1;
  fs::remove(launcher);
  write_all(launcher, damaged);
  ASSERT_FALSE(check().empty());
  const PublishSummary mended = publish(request());
  EXPECT_EQ(mended.objects_damaged, 1u);
  EXPECT_EQ(mended.objects_new, 1u);
  EXPECT_TRUE(check().empty());

  // Two runs at once: the second is refused before it reads anything.
  {
    SiteLock held(site());
    EXPECT_EQ(error_of([&] { publish(request()); }),
              "Another lanternix-publish is working on " + site().string() + "; run this again once it has finished");
    EXPECT_NE(error_of([&] { prune(1); }).find("Another lanternix-publish is working on"), std::string::npos);
  }
  // What a crash left (temporary objects, a half-written release) is gone after the next run.
  write_all(site() / "v2/objects/.tmp-123-0", "half an object");
  write_all(site() / "v2/objects/ab/.tmp-9-9", "half an object");
  write_all(site() / "v2/channels/live/.release.json.tmp-77", "half a release");
  write_all(site_work_folder(site()) / ".tmp-77-1", "half an object");
  EXPECT_EQ(publish(request()).sequence, 8u);
  for (const char* left : {"v2/objects/.tmp-123-0", "v2/objects/ab/.tmp-9-9", "v2/channels/live/.release.json.tmp-77"})
    EXPECT_FALSE(fs::exists(site() / left)) << left;
  EXPECT_TRUE(fs::is_empty(site_work_folder(site())));
  EXPECT_TRUE(check().empty());
}

}  // namespace
}  // namespace kaldren::patcher::publish
