#include "engine/release_choice.h"

#include <gtest/gtest.h>

#include <chrono>
#include <optional>
#include <random>
#include <thread>

#include "core/error.h"
#include "engine/update_engine.h"
#include "fake_publication.h"
#include "support/log_reader.h"
#include "support/temp_folder.h"
#include "support/failure_of.h"
#include "support/release_signing.h"

namespace kaldren::patcher {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using test::FakePublication;
using test::ReleaseFields;
using test::fails_with;
using test_support::test_keys;

std::string release_of(std::uint64_t sequence, std::string channel = "live") {
  ReleaseFields fields;
  fields.sequence = sequence;
  fields.channel = std::move(channel);
  return test::signed_release_document(fields);
}

// The payload without any signature.
std::string unsigned_release(std::uint64_t sequence) {
  ReleaseFields fields;
  fields.sequence = sequence;
  return test_support::envelope(test::release_payload(fields), "");
}

class ReleaseChoiceTest : public ::testing::Test {
 protected:
  std::vector<std::string> warnings() const { return log_.at("WARN"); }

  test::TempFolder folder_;
  test::LogReader log_{folder_ / "lanternix.log"};
};

TEST_F(ReleaseChoiceTest, HighestValidSequenceWinsAndItsSourcesArePreferred) {
  const struct {
    const char* name;
    std::vector<std::optional<std::string>> documents;
    std::uint64_t chosen;
    std::vector<std::uint64_t> preferred;
    std::vector<std::string> warnings;
  } cases[] = {
      {"newer second source", {release_of(10), release_of(11)}, 11, {1},
       {"Patch sources disagree; using release 11 from 1 of 2 sources"}},
      {"newer first source", {release_of(11), release_of(10)}, 11, {0},
       {"Patch sources disagree; using release 11 from 1 of 2 sources"}},
      {"two of three agree", {release_of(11), release_of(10), release_of(11)}, 11, {0, 2},
       {"Patch sources disagree; using release 11 from 2 of 3 sources"}},
      {"all agree", {release_of(4), release_of(4), release_of(4)}, 4, {0, 1, 2}, {}},
      {"one source", {release_of(4)}, 4, {0}, {}},
      {"unreachable source is no disagreement", {std::nullopt, release_of(6)}, 6, {1}, {}},
      {"unsigned release skipped",
       {unsigned_release(12), release_of(5)},
       5,
       {1},
       {"Ignoring the release from patch source 0: The update from the patch server is not signed by a trusted "
        "release key",
        "Patch sources disagree; using release 5 from 1 of 2 sources"}},
      {"other channel skipped",
       {release_of(5), release_of(9, "beta")},
       5,
       {0},
       {"Ignoring the release from patch source 1: The patch server sent the release of channel \"beta\" instead "
        "of \"live\"",
        "Patch sources disagree; using release 5 from 1 of 2 sources"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::size_t already = warnings().size();
    FakePublication publication(c.documents.size());
    for (std::size_t i = 0; i < c.documents.size(); ++i) publication.serve_release(i, c.documents[i]);
    const Release release = choose_release(publication, "live", test_keys(), {});
    EXPECT_EQ(release.sequence, c.chosen);
    EXPECT_EQ(publication.preferred(), std::vector<std::vector<std::uint64_t>>{c.preferred});
    const std::vector<std::string> all = warnings();
    EXPECT_EQ(std::vector<std::string>(all.begin() + static_cast<std::ptrdiff_t>(already), all.end()), c.warnings);
  }
}

TEST_F(ReleaseChoiceTest, WithoutAValidReleaseTheFirstErrorIsThrown) {
  FakePublication publication(3);
  publication.serve_release(0, unsigned_release(3));
  publication.serve_release(1, release_of(3, "beta"));
  publication.serve_release(2, "{");
  EXPECT_TRUE(fails_with([&] { choose_release(publication, "live", test_keys(), {}); }, ErrorCategory::security,
                         "The update from the patch server is not signed by a trusted release key"));
  EXPECT_EQ(warnings().size(), 3u);
  EXPECT_TRUE(publication.preferred().empty());
}

// A source frozen on an expired release is passed over like any invalid one: another
// source's live release wins, and with none the expiry is the error.
TEST_F(ReleaseChoiceTest, AnExpiredReleaseIsLeftOutByTheClock) {
  ReleaseFields frozen;
  frozen.sequence = 9;
  frozen.expires_at = "2027-01-31T00:00:00Z";
  ReleaseFields lasting;
  lasting.sequence = 8;
  const std::int64_t expiry = 1801353600;
  FakePublication publication(2);
  publication.serve_release(0, test::signed_release_document(frozen));
  publication.serve_release(1, test::signed_release_document(lasting));
  std::int64_t now = expiry;
  const WallClock clock = [&] { return now; };
  EXPECT_EQ(choose_release(publication, "live", test_keys(), {}, 1, clock).sequence, 9u);
  now = expiry + 1;
  const std::string expired =
      "The update from the patch server expired on 2027-01-31T00:00:00Z: the server may be sending an outdated "
      "copy, or this computer's clock is wrong";
  EXPECT_EQ(choose_release(publication, "live", test_keys(), {}, 1, clock).sequence, 8u);
  EXPECT_EQ(warnings().at(warnings().size() - 2), "Ignoring the release from patch source 0: " + expired);
  publication.serve_release(1, std::nullopt);
  EXPECT_TRUE(fails_with([&] { choose_release(publication, "live", test_keys(), {}, 1, clock); },
                         ErrorCategory::security, expired));
}

TEST_F(ReleaseChoiceTest, AThresholdAboveOneNeedsThatManyTrustedSigners) {
  ReleaseFields fields;
  const std::string payload = test::release_payload(fields);
  const std::vector<ReleaseKey> keys{test_keys()[0], test_support::release_key_of(test_support::other_test_key_pair(2))};
  FakePublication publication;
  publication.serve_release(0, test_support::signed_release(payload));
  EXPECT_TRUE(fails_with([&] { choose_release(publication, "live", keys, {}, 2); }, ErrorCategory::security,
                         "The update from the patch server is signed by 1 of the 2 trusted release keys it needs"));
  publication.serve_release(0, test_support::envelope(payload, test_support::signature_by(test_support::test_key_pair(), payload) + "," +
                                                                   test_support::signature_by(test_support::other_test_key_pair(2), payload)));
  EXPECT_EQ(choose_release(publication, "live", keys, {}, 2).sequence, 1u);
}

TEST_F(ReleaseChoiceTest, NoKeysIsAConfigurationErrorBeforeAnyRequest) {
  FakePublication publication;
  publication.serve_release(0, release_of(1));
  EXPECT_TRUE(fails_with([&] { choose_release(publication, "live", {}, {}); }, ErrorCategory::configuration,
                         "This launcher was built without a release key"));
  EXPECT_EQ(publication.release_requests(), 0u);
}

TEST_F(ReleaseChoiceTest, TransportFailuresPassThrough) {
  FakePublication publication(2);  // neither source serves a release
  EXPECT_TRUE(fails_with([&] { choose_release(publication, "live", test_keys(), {}); }, ErrorCategory::network,
                         "No patch source could be reached"));
  std::stop_source stop;
  stop.request_stop();
  publication.serve_release_everywhere(release_of(1));
  EXPECT_TRUE(fails_with([&] { choose_release(publication, "live", test_keys(), stop.get_token()); },
                         ErrorCategory::cancelled, "The launcher was closed"));
}

LauncherState accepted(std::uint64_t sequence, bool installed, bool pending, std::string channel = "live") {
  LauncherState state;
  state.channel = std::move(channel);
  record_sequence(state, "live", sequence);
  ReleaseRecord record{sequence, Version{2, 3, 4}, {}, "bin/game.exe"};
  if (installed) state.installed = record;
  if (pending) state.pending = record;
  return state;
}

TEST_F(ReleaseChoiceTest, OlderReleasesAreAskedAgainThenKeepTheInstalledClientOrFail) {
  const std::string still_publishing =
      "The patch server is still publishing release 12. Please try again in a minute.";
  const struct {
    const char* name;
    LauncherState state;
    bool kept;
  } cases[] = {
      {"installed", accepted(12, true, false), true},
      {"nothing installed", accepted(12, false, false), false},
      {"pending install", accepted(12, true, true), false},
      {"installed for another channel", accepted(12, true, false, "beta"), false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::size_t already = warnings().size();
    FakePublication publication;
    publication.serve_release(0, release_of(11));
    const auto started = std::chrono::steady_clock::now();
    if (c.kept) {
      const ReleaseChoice choice =
          choose_accepted_release(publication, "live", test_keys(), c.state, 3, 10, {});
      EXPECT_TRUE(choice.keep_installed);
      EXPECT_EQ(choice.release.sequence, 11u);
    } else {
      EXPECT_TRUE(fails_with([&] { choose_accepted_release(publication, "live", test_keys(), c.state, 3, 10, {}); },
                             ErrorCategory::network, still_publishing));
    }
    // Three choices with waits of 10 and 20 ms between them.
    const auto times = publication.release_request_times();
    ASSERT_EQ(times.size(), 3u);
    EXPECT_GE(times[1] - times[0], 10ms);
    EXPECT_GE(times[2] - times[1], 20ms);
    EXPECT_LT(std::chrono::steady_clock::now() - started, 2s);
    std::vector<std::string> expected(3, "The patch server offered release 11, older than release 12 already accepted");
    if (c.kept) expected.push_back("Keeping the installed client 2.3.4 until the newer release is available");
    const std::vector<std::string> all = warnings();
    EXPECT_EQ(std::vector<std::string>(all.begin() + static_cast<std::ptrdiff_t>(already), all.end()), expected);
  }
}

TEST_F(ReleaseChoiceTest, AReleaseAsNewAsTheAcceptedOneIsTakenAtOnce) {
  for (const std::uint64_t offered : {12u, 13u}) {
    SCOPED_TRACE(offered);
    FakePublication publication;
    publication.serve_release(0, release_of(offered));
    const ReleaseChoice choice =
        choose_accepted_release(publication, "live", test_keys(), accepted(12, true, false), 3, 10, {});
    EXPECT_FALSE(choice.keep_installed);
    EXPECT_EQ(choice.release.sequence, offered);
    EXPECT_EQ(publication.release_requests(), 1u);
  }
}

TEST_F(ReleaseChoiceTest, ANewerReleaseDuringTheWaitsIsUsed) {
  FakePublication publication;
  publication.before_fetch_all = [&](std::size_t call) {
    publication.serve_release(0, release_of(call == 0 ? 11 : 12));
  };
  const ReleaseChoice choice =
      choose_accepted_release(publication, "live", test_keys(), accepted(12, false, false), 3, 10, {});
  EXPECT_FALSE(choice.keep_installed);
  EXPECT_EQ(choice.release.sequence, 12u);
  EXPECT_EQ(publication.release_requests(), 2u);
}

TEST_F(ReleaseChoiceTest, AttemptsOfOneNeverWait) {
  FakePublication publication;
  publication.serve_release(0, release_of(3));
  EXPECT_TRUE(fails_with(
      [&] { choose_accepted_release(publication, "live", test_keys(), accepted(4, false, false), 1, 60000, {}); },
      ErrorCategory::network, "The patch server is still publishing release 4. Please try again in a minute."));
  EXPECT_EQ(publication.release_requests(), 1u);
}

TEST_F(ReleaseChoiceTest, ClosingTheLauncherEndsTheWaitBetweenAttempts) {
  FakePublication publication;
  publication.serve_release(0, release_of(3));
  std::stop_source stop;
  std::jthread closer([&] {
    std::this_thread::sleep_for(100ms);
    stop.request_stop();
  });
  const auto started = std::chrono::steady_clock::now();
  EXPECT_TRUE(fails_with(
      [&] {
        choose_accepted_release(publication, "live", test_keys(), accepted(4, true, false), 3, 60000,
                                stop.get_token());
      },
      ErrorCategory::cancelled, "The launcher was closed"));
  EXPECT_LT(std::chrono::steady_clock::now() - started, 2s);
  EXPECT_EQ(publication.release_requests(), 1u);
}

TEST(CancellableWait, WaitsTheTimeUnlessStopped) {
  auto started = std::chrono::steady_clock::now();
  wait_cancellable({}, 50ms);
  EXPECT_GE(std::chrono::steady_clock::now() - started, 50ms);

  std::stop_source stopped;
  stopped.request_stop();
  EXPECT_TRUE(fails_with([&] { wait_cancellable(stopped.get_token(), 0ms); }, ErrorCategory::cancelled,
                         "The launcher was closed"));

  std::stop_source later;
  std::jthread closer([&] {
    std::this_thread::sleep_for(30ms);
    later.request_stop();
  });
  started = std::chrono::steady_clock::now();
  EXPECT_TRUE(fails_with([&] { wait_cancellable(later.get_token(), 10s); }, ErrorCategory::cancelled,
                         "The launcher was closed"));
  // Seen within one 20 ms step (and some scheduling slack).
  EXPECT_LT(std::chrono::steady_clock::now() - started, 500ms);
}

}  // namespace
}  // namespace kaldren::patcher
