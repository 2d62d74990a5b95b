#include "transport/mirrored_transport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <latch>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "core/log.h"
#include "transport/scripted_source.h"

namespace kaldren::patcher {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using test::body;
using test::cancelled;
using test::hang;
using test::network;
using test::Reply;
using test::ScriptedSource;
using test::server;
using test::transient;

constexpr std::string_view kPath = "v2/objects/ab/abcdef";
constexpr std::string_view kReleasePath = "v2/channels/live/release.json";
constexpr std::int64_t kPenaltyMs = 60000;

class FakeClock {
 public:
  SteadyClock function() {
    return [this] { return now_.load(); };
  }
  void advance(std::chrono::nanoseconds duration) { now_ += duration.count(); }

 private:
  std::atomic<std::int64_t> now_{1'000'000'000'000};
};

// What one call to the transport ended with.
struct Outcome {
  std::optional<std::string> body;
  std::optional<ErrorCategory> category;
  std::string message;
  bool transient = false;  // the error was still a TransientError
};

Outcome outcome_of(const std::function<std::string()>& call) {
  Outcome outcome;
  try {
    outcome.body = call();
  } catch (const PatchError& error) {
    outcome.category = error.category();
    outcome.message = error.what();
    outcome.transient = dynamic_cast<const TransientError*>(&error) != nullptr;
  }
  return outcome;
}

std::string read_file(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// Every test gets sources named A, B, C... and its own log file (the logger is one per
// process), which it reads back as "LEVEL message" lines.
class MirroredTransportTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::random_device random;
    folder_ = fs::temp_directory_path() /
              ("lanternix-mirrored-" + std::to_string(random()) + std::to_string(random()));
    fs::create_directories(folder_);
    std::ofstream(folder_ / "blocker") << "a file where a folder is expected";
    open_log(folder_ / "lanternix.log");
  }

  void TearDown() override {
    transport_.reset();
    open_log(folder_ / "blocker" / "lanternix.log");
    std::error_code ignored;
    fs::remove_all(folder_, ignored);
  }

  MirroredTransport& make(int count, std::chrono::milliseconds grace = 2s) {
    transport_.reset();
    sources_.clear();
    std::vector<std::unique_ptr<Transport>> sources;
    for (int i = 0; i < count; ++i) {
      auto source = std::make_unique<ScriptedSource>(i, std::string(1, static_cast<char>('A' + i)), calls_);
      sources_.push_back(source.get());
      sources.push_back(std::move(source));
    }
    transport_ = std::make_unique<MirroredTransport>(std::move(sources), kPenaltyMs, clock_.function(), grace);
    calls_.take();
    return *transport_;
  }

  ScriptedSource& source(int index) { return *sources_.at(static_cast<std::size_t>(index)); }

  void script(const std::vector<Reply>& replies) {
    for (std::size_t i = 0; i < replies.size(); ++i) source(static_cast<int>(i)).answer(replies[i]);
  }

  Outcome fetch(std::stop_token stop = {}) {
    return outcome_of([&] { return transport_->fetch(kPath, 1000, stop); });
  }

  Outcome download(std::uint64_t copy_index) {
    return outcome_of([&] {
      transport_->download(kPath, folder_ / "object.part", 5000, {}, {}, copy_index);
      return std::string("downloaded");
    });
  }

  // The sources asked since the last look, in order.
  std::vector<int> asked() { return calls_.take(); }

  // The log lines since the last look, as "LEVEL message".
  std::vector<std::string> logged() {
    const std::string text = read_file(folder_ / "lanternix.log");
    std::vector<std::string> lines;
    std::size_t start = log_offset_;
    for (std::size_t end; (end = text.find("\r\n", start)) != std::string::npos; start = end + 2) {
      const std::string line = text.substr(start, end - start);
      const std::size_t message = line.find("] ");
      if (line.size() < 31 || message == std::string::npos) {
        ADD_FAILURE() << "not a log line: " << line;
        continue;
      }
      std::string level = line.substr(25, 5);
      level.erase(level.find_last_not_of(' ') + 1);
      lines.push_back(level + " " + line.substr(message + 2));
    }
    log_offset_ = start;
    return lines;
  }

  // Only the lines about a source's health.
  std::vector<std::string> health_logged() {
    std::vector<std::string> lines;
    for (std::string& line : logged()) {
      if (line.find("Patch source") != std::string::npos) lines.push_back(std::move(line));
    }
    return lines;
  }

  fs::path folder_;
  FakeClock clock_;
  test::CallLog calls_;
  std::vector<ScriptedSource*> sources_;
  std::unique_ptr<MirroredTransport> transport_;
  std::size_t log_offset_ = 0;
};

std::string unreachable_line(std::string_view source, int seconds) {
  return fmt::format("WARN Patch source {} is unreachable; using the others for {} s", source, seconds);
}

std::string failed_line(std::string_view path, std::string_view source, std::string_view message) {
  return fmt::format("WARN {} failed on {}: {}", path, source, message);
}

TEST_F(MirroredTransportTest, ConstructionNeedsASource) {
  try {
    MirroredTransport transport({}, kPenaltyMs);
    FAIL() << "an empty source list was accepted";
  } catch (const PatchError& error) {
    EXPECT_EQ(error.category(), ErrorCategory::configuration);
    EXPECT_STREQ(error.what(), "No patch server is configured");
  }
}

TEST_F(MirroredTransportTest, NameAndCount) {
  const struct {
    int sources;
    std::string name;
  } cases[] = {{1, "mirrors A"}, {2, "mirrors A, B"}, {3, "mirrors A, B, C"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    MirroredTransport& transport = make(c.sources);
    EXPECT_EQ(transport.name(), c.name);
    EXPECT_EQ(transport.source_count(), static_cast<std::uint64_t>(c.sources));
  }
}

TEST_F(MirroredTransportTest, FailOver) {
  const std::string a_unreachable = "Could not reach the patch server for A";
  const std::string b_unreachable = "Could not reach the patch server for B";
  const std::string missing = "The patch server has no v2/objects/ab/abcdef";
  const struct {
    const char* name;
    std::vector<Reply> replies;
    std::vector<int> asked;
    std::optional<std::string> body;  // or the error:
    ErrorCategory category;
    std::string message;
    std::vector<std::string> log;
    std::vector<int> next_plan;  // the order a following request asks in
  } cases[] = {
      {"the first source answers", {body("a"), body("b"), body("c")}, {0}, "a", {}, "", {}, {0, 1, 2}},
      {"an unreachable second source is not asked while the first answers",
       {body("a"), network(b_unreachable), body("c")}, {0}, "a", {}, "", {}, {0, 1, 2}},
      {"the first two unreachable",
       {network(a_unreachable), network(b_unreachable), body("c")},
       {0, 1, 2},
       "c",
       {},
       "",
       {failed_line(kPath, "A", a_unreachable), unreachable_line("A", 60), failed_line(kPath, "B", b_unreachable),
        unreachable_line("B", 60)},
       {2, 0, 1}},
      {"a missing document does not penalise the source",
       {server(missing), body("b"), body("c")}, {0, 1}, "b", {}, "", {failed_line(kPath, "A", missing)}, {0, 1, 2}},
      {"a transient failure counts as unreachable",
       {transient("busy"), body("b"), body("c")},
       {0, 1},
       "b",
       {},
       "",
       {failed_line(kPath, "A", "busy"), unreachable_line("A", 60)},
       {1, 2, 0}},
      {"every source fails: the first error is reported",
       {server(missing), network(b_unreachable), server("The patch server answered HTTP 403 for v2/x")},
       {0, 1, 2},
       std::nullopt,
       ErrorCategory::server,
       missing,
       {failed_line(kPath, "A", missing), failed_line(kPath, "B", b_unreachable), unreachable_line("B", 60),
        failed_line(kPath, "C", "The patch server answered HTTP 403 for v2/x")},
       {0, 2, 1}},
      {"every source unreachable: a plain network error",
       {transient("busy"), network(b_unreachable), network("down")},
       {0, 1, 2},
       std::nullopt,
       ErrorCategory::network,
       "busy",
       {failed_line(kPath, "A", "busy"), unreachable_line("A", 60), failed_line(kPath, "B", b_unreachable),
        unreachable_line("B", 60), failed_line(kPath, "C", "down"), unreachable_line("C", 60)},
       {0, 1, 2}},
      {"cancellation passes straight through", {cancelled(), body("b"), body("c")}, {0}, std::nullopt,
       ErrorCategory::cancelled, "The launcher was closed", {}, {0, 1, 2}},
      {"cancellation after a failure",
       {network(a_unreachable), cancelled(), body("c")},
       {0, 1},
       std::nullopt,
       ErrorCategory::cancelled,
       "The launcher was closed",
       {failed_line(kPath, "A", a_unreachable), unreachable_line("A", 60)},
       {1, 2, 0}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    make(3);
    script(c.replies);
    const Outcome outcome = fetch();
    EXPECT_EQ(asked(), c.asked);
    EXPECT_EQ(outcome.body, c.body);
    if (!c.body) {
      EXPECT_EQ(outcome.category, c.category);
      EXPECT_EQ(outcome.message, c.message);
      EXPECT_FALSE(outcome.transient);
    }
    EXPECT_EQ(logged(), c.log);
    // Network failures everywhere make the next request ask every source, showing its plan.
    script({network("x"), network("y"), network("z")});
    fetch();
    EXPECT_EQ(asked(), c.next_plan);
    logged();
  }
}

TEST_F(MirroredTransportTest, PenaltyDoublesPerFailedProbeUpTo480Seconds) {
  make(3);
  // A and C refuse without being penalised, so every request shows its whole plan.
  script({server("no a"), network("B is down"), server("no c")});
  const struct {
    std::chrono::milliseconds advance;
    std::vector<int> asked;
    std::vector<std::string> log;
  } steps[] = {
      {0ms, {0, 1, 2}, {unreachable_line("B", 60)}},
      {59999ms, {0, 2, 1}, {}},  // still penalised: asked last, penalty unchanged
      {1ms, {0, 1, 2}, {unreachable_line("B", 120)}},  // the probe fails
      {119999ms, {0, 2, 1}, {}},
      {1ms, {0, 1, 2}, {unreachable_line("B", 240)}},
      {240s, {0, 1, 2}, {unreachable_line("B", 480)}},
      {480s, {0, 1, 2}, {unreachable_line("B", 480)}},
      {479999ms, {0, 2, 1}, {}},
      {1ms, {0, 1, 2}, {unreachable_line("B", 480)}},
  };
  int number = 0;
  for (const auto& step : steps) {
    SCOPED_TRACE(++number);
    clock_.advance(step.advance);
    const Outcome outcome = fetch();
    EXPECT_EQ(outcome.message, "no a");
    EXPECT_EQ(asked(), step.asked);
    EXPECT_EQ(health_logged(), step.log);
  }

  // A successful probe makes the source healthy; its next failure starts over at 60 s.
  clock_.advance(480s);
  source(1).answer(body("b"));
  EXPECT_EQ(fetch().body, "b");
  EXPECT_EQ(asked(), (std::vector<int>{0, 1}));
  EXPECT_EQ(health_logged(), std::vector<std::string>{"INFO Patch source B is reachable again"});
  source(1).answer(network("B is down"));
  fetch();
  EXPECT_EQ(asked(), (std::vector<int>{0, 1, 2}));
  EXPECT_EQ(health_logged(), std::vector<std::string>{unreachable_line("B", 60)});
}

TEST_F(MirroredTransportTest, ARefusalEndsAPenaltyEvenFromALastResort) {
  make(3);
  script({server("no a"), network("B is down"), server("no c")});
  fetch();
  source(1).answer(server("no b"));
  fetch();
  EXPECT_EQ(asked(), (std::vector<int>{0, 1, 2, 0, 2, 1}));
  EXPECT_EQ(health_logged(), (std::vector<std::string>{unreachable_line("B", 60),
                                                       "INFO Patch source B is reachable again"}));
  // Healthy again: a new failure is a first failure, not a failed probe.
  source(1).answer(network("B is down"));
  fetch();
  EXPECT_EQ(health_logged(), std::vector<std::string>{unreachable_line("B", 60)});
}

TEST_F(MirroredTransportTest, OneRequestAtATimeProbesARecoveringSource) {
  const struct {
    const char* name;
    Reply probe_reply;
    std::string probe_result;
    std::vector<std::string> log;
    std::vector<int> next_plan;
  } cases[] = {
      {"the probe succeeds", body("b"), "b", {"INFO Patch source B is reachable again"}, {1, 0, 2}},
      {"the probe fails", network("B is down"), "a", {unreachable_line("B", 120)}, {0, 2, 1}},
  };
  constexpr int kRequests = 8;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    MirroredTransport& transport = make(3);
    const std::uint64_t b_first[] = {1};
    transport.prefer_sources(b_first);
    script({body("a"), network("B is down"), body("c")});
    fetch();
    clock_.advance(60s);
    asked();
    health_logged();

    source(1).hold();
    source(1).answer(c.probe_reply);
    std::vector<std::string> results(kRequests);
    std::atomic<int> done{0};
    std::latch start(kRequests);
    std::vector<std::thread> requests;
    for (int i = 0; i < kRequests; ++i) {
      requests.emplace_back([&, i] {
        start.arrive_and_wait();
        results[static_cast<std::size_t>(i)] = fetch().body.value_or("failed");
        ++done;
      });
    }
    // Every request but the probing one goes around B; B waits until the others are done.
    const auto deadline = std::chrono::steady_clock::now() + 30s;
    while ((done < kRequests - 1 || source(1).held() < 1) && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(1ms);
    }
    EXPECT_EQ(done.load(), kRequests - 1);
    EXPECT_EQ(source(1).calls(), 2);  // the first failure and this one probe
    source(1).release();
    for (std::thread& request : requests) request.join();

    EXPECT_EQ(std::count(results.begin(), results.end(), "a"), c.probe_result == "a" ? kRequests : kRequests - 1);
    EXPECT_EQ(std::count(results.begin(), results.end(), c.probe_result), c.probe_result == "a" ? kRequests : 1);
    EXPECT_EQ(source(1).calls(), 2);
    EXPECT_EQ(health_logged(), c.log);
    script({network("x"), network("y"), network("z")});
    asked();
    fetch();
    EXPECT_EQ(asked(), c.next_plan);
  }
}

TEST_F(MirroredTransportTest, ACancelledProbeLetsTheNextRequestProbe) {
  MirroredTransport& transport = make(3);
  const std::uint64_t b_first[] = {1};
  transport.prefer_sources(b_first);
  script({server("no a"), network("B is down"), server("no c")});
  fetch();
  clock_.advance(60s);
  source(1).answer(cancelled());
  EXPECT_EQ(fetch().category, ErrorCategory::cancelled);
  source(1).answer(network("B is down"));
  asked();
  health_logged();
  fetch();
  EXPECT_EQ(asked(), (std::vector<int>{1, 0, 2}));
  EXPECT_EQ(health_logged(), std::vector<std::string>{unreachable_line("B", 120)});
}

TEST_F(MirroredTransportTest, StopTokenEndsTheRequestWithoutPenalty) {
  make(3);
  script({body("a"), body("b"), body("c")});
  std::stop_source stop;
  stop.request_stop();
  const Outcome outcome = fetch(stop.get_token());
  EXPECT_EQ(outcome.category, ErrorCategory::cancelled);
  EXPECT_EQ(outcome.message, "The launcher was closed");
  EXPECT_EQ(asked(), std::vector<int>{0});
  EXPECT_EQ(fetch().body, "a");
  EXPECT_EQ(logged(), std::vector<std::string>{});
}

TEST_F(MirroredTransportTest, DownloadStartsAtTheCopyIndex) {
  const struct {
    std::uint64_t copy_index;
    std::vector<std::uint64_t> prefer;
    bool penalise_a;
    std::vector<int> plan;
  } cases[] = {
      {0, {}, false, {0, 1, 2}},
      {1, {}, false, {1, 2, 0}},
      {2, {}, false, {2, 0, 1}},
      {3, {}, false, {0, 1, 2}},
      {4, {}, false, {1, 2, 0}},
      {UINT64_MAX, {}, false, {0, 1, 2}},  // 2^64 - 1 is a multiple of 3
      {1, {2}, false, {0, 1, 2}},          // the second of the preference order 2, 0, 1
      {1, {}, true, {2, 1, 0}},            // a penalised source stays last
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.copy_index << " " << c.plan[0] << c.plan[1] << c.plan[2]);
    MirroredTransport& transport = make(3);
    transport.prefer_sources(c.prefer);
    if (c.penalise_a) {
      script({network("A is down"), body("b"), body("c")});
      fetch();
    }
    script({c.penalise_a ? network("A is down") : server("missing a"), server("missing b"), server("missing c")});
    asked();
    EXPECT_EQ(download(c.copy_index).message, std::string("missing ") + static_cast<char>('a' + c.plan[0]));
    EXPECT_EQ(asked(), c.plan);
    for (int i = 0; i < 3; ++i) {
      EXPECT_EQ(source(i).copy_indices().back(), 0u);
    }
  }
}

TEST_F(MirroredTransportTest, DownloadHandsOverDestinationSizeAndProgress) {
  MirroredTransport& transport = make(3);
  script({body(""), body(""), body("")});
  std::vector<std::uint64_t> progress;
  transport.download(kPath, folder_ / "object.part", 5000, {}, [&](std::uint64_t bytes) { progress.push_back(bytes); },
                     1);
  EXPECT_EQ(asked(), std::vector<int>{1});
  EXPECT_EQ(source(1).copy_indices(), std::vector<std::uint64_t>{0});
  EXPECT_EQ(source(1).last_destination(), folder_ / "object.part");
  EXPECT_EQ(progress, std::vector<std::uint64_t>{5000});
}

TEST_F(MirroredTransportTest, PreferSources) {
  const struct {
    std::vector<std::vector<std::uint64_t>> calls;
    std::vector<int> plan;
  } cases[] = {
      {{}, {0, 1, 2}},
      {{{2, 2, 7}}, {2, 0, 1}},
      {{{1, 0}}, {1, 0, 2}},
      {{{}}, {0, 1, 2}},
      {{{7, 3}}, {0, 1, 2}},
      {{{2, 1, 0, 1}}, {2, 1, 0}},
      {{{2}, {1}}, {1, 2, 0}},  // the earlier preference stays behind the new one
      {{{2, 1}, {0}}, {0, 2, 1}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.plan[0] << c.plan[1] << c.plan[2]);
    MirroredTransport& transport = make(3);
    for (const auto& sources : c.calls) transport.prefer_sources(sources);
    script({server("missing a"), server("missing b"), server("missing c")});
    fetch();
    EXPECT_EQ(asked(), c.plan);
  }
}

TEST_F(MirroredTransportTest, FetchAllStopsAStragglerTwoSecondsAfterTheFirstAnswer) {
  MirroredTransport& transport = make(2);
  script({body("release a"), hang()});
  const auto start = std::chrono::steady_clock::now();
  const std::vector<SourceDocument> documents = transport.fetch_all(kReleasePath, 1000, {});
  const auto elapsed = std::chrono::steady_clock::now() - start;
  EXPECT_GE(elapsed, 1500ms);
  EXPECT_LE(elapsed, 5s);
  ASSERT_EQ(documents.size(), 1u);
  EXPECT_EQ(documents[0].source, 0u);
  EXPECT_EQ(documents[0].body, "release a");
  EXPECT_TRUE(source(1).saw_stop());
  EXPECT_EQ(source(1).active(), 0);  // joined, not left running
  EXPECT_EQ(logged(), std::vector<std::string>{
                          "INFO v2/channels/live/release.json from B took too long; continuing without it"});
}

TEST_F(MirroredTransportTest, FetchAll) {
  const std::string b_unreachable = "Could not reach the patch server for B";
  const std::string missing = "The patch server has no v2/channels/live/release.json";
  const struct {
    const char* name;
    std::vector<std::uint64_t> prefer;
    std::vector<Reply> replies;
    std::vector<std::pair<std::uint64_t, std::string>> documents;  // or the error:
    ErrorCategory category;
    std::string message;
    std::vector<std::string> log;
  } cases[] = {
      {"every source answers", {}, {body("a"), body("b"), body("c")}, {{0, "a"}, {1, "b"}, {2, "c"}}, {}, "", {}},
      {"preference order, not arrival order",
       {2, 0},
       {body("a", 300ms), body("b"), body("c", 150ms)},
       {{2, "c"}, {0, "a"}, {1, "b"}},
       {},
       "",
       {}},
      {"an unreachable source is penalised",
       {},
       {body("a"), network(b_unreachable), body("c", 100ms)},
       {{0, "a"}, {2, "c"}},
       {},
       "",
       {failed_line(kReleasePath, "B", b_unreachable), unreachable_line("B", 60)}},
      {"a missing document is not penalised",
       {},
       {body("a"), server(missing), body("c")},
       {{0, "a"}, {2, "c"}},
       {},
       "",
       {failed_line(kReleasePath, "B", missing)}},
      {"every source fails: the first error in preference order",
       {2},
       {server(missing), network(b_unreachable), server("no c")},
       {},
       ErrorCategory::server,
       "no c",
       {failed_line(kReleasePath, "C", "no c"), failed_line(kReleasePath, "A", missing),
        failed_line(kReleasePath, "B", b_unreachable), unreachable_line("B", 60)}},
      {"every source busy: a plain network error",
       {},
       {transient("busy a"), transient("busy b")},
       {},
       ErrorCategory::network,
       "busy a",
       {failed_line(kReleasePath, "A", "busy a"), unreachable_line("A", 60), failed_line(kReleasePath, "B", "busy b"),
        unreachable_line("B", 60)}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    MirroredTransport& transport = make(static_cast<int>(c.replies.size()));
    transport.prefer_sources(c.prefer);
    script(c.replies);
    std::vector<std::pair<std::uint64_t, std::string>> documents;
    const auto start = std::chrono::steady_clock::now();
    const Outcome outcome = outcome_of([&] {
      for (SourceDocument& document : transport.fetch_all(kReleasePath, 1000, {})) {
        documents.emplace_back(document.source, std::move(document.body));
      }
      return std::string();
    });
    // Nobody straggled, so nobody was waited for.
    EXPECT_LT(std::chrono::steady_clock::now() - start, 1500ms);
    EXPECT_EQ(documents, c.documents);
    if (c.documents.empty()) {
      EXPECT_EQ(outcome.category, c.category);
      EXPECT_EQ(outcome.message, c.message);
      EXPECT_FALSE(outcome.transient);
    }
    EXPECT_EQ(logged(), c.log);
  }
}

TEST_F(MirroredTransportTest, FetchAllPenalisesEveryFailureAnewAndHealsOnAnswer) {
  MirroredTransport& transport = make(2);
  script({body("a"), network("B is down")});
  for (const int seconds : {60, 120, 240}) {
    SCOPED_TRACE(seconds);
    EXPECT_EQ(transport.fetch_all(kReleasePath, 1000, {}).size(), 1u);
    EXPECT_EQ(health_logged(), std::vector<std::string>{unreachable_line("B", seconds)});
  }
  EXPECT_EQ(source(1).calls(), 3);  // asked although penalised
  source(1).answer(body("b"));
  EXPECT_EQ(transport.fetch_all(kReleasePath, 1000, {}).size(), 2u);
  EXPECT_EQ(health_logged(), std::vector<std::string>{"INFO Patch source B is reachable again"});
  const std::uint64_t b_first[] = {1};
  transport.prefer_sources(b_first);
  asked();
  EXPECT_EQ(fetch().body, "b");  // healthy at once, without waiting out the penalty
}

TEST_F(MirroredTransportTest, FetchAllEndsWhenTheCallerStops) {
  const struct {
    const char* name;
    std::vector<Reply> replies;
    std::chrono::milliseconds stop_after;  // negative: stopped before the call
  } cases[] = {
      {"stopped before the call", {body("a"), body("b")}, -1ms},
      {"stopped while every source hangs", {hang(), hang()}, 100ms},
      {"stopped while waiting for a straggler", {body("a"), hang()}, 300ms},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    MirroredTransport& transport = make(2);
    script(c.replies);
    std::stop_source stop;
    if (c.stop_after < 0ms) stop.request_stop();
    std::jthread stopper([&] {
      if (c.stop_after >= 0ms) {
        std::this_thread::sleep_for(c.stop_after);
        stop.request_stop();
      }
    });
    const auto start = std::chrono::steady_clock::now();
    const Outcome outcome = outcome_of([&] {
      transport.fetch_all(kReleasePath, 1000, stop.get_token());
      return std::string();
    });
    EXPECT_LT(std::chrono::steady_clock::now() - start, 1500ms);
    EXPECT_EQ(outcome.category, ErrorCategory::cancelled);
    EXPECT_EQ(outcome.message, "The launcher was closed");
    for (int i = 0; i < 2; ++i) {
      if (c.replies[static_cast<std::size_t>(i)].kind == Reply::Kind::hang) {
        EXPECT_TRUE(source(i).saw_stop()) << i;
      }
      EXPECT_EQ(source(i).active(), 0) << i;
    }
    EXPECT_EQ(logged(), std::vector<std::string>{});
  }
}

TEST_F(MirroredTransportTest, ConcurrentRequestsKeepTheHealthRecordsConsistent) {
  constexpr int kThreads = 8;
  constexpr int kRounds = 150;
  MirroredTransport& transport = make(3, 200ms);
  source(0).script({body("a"), network("A is down"), server("no a"), body("a")});
  source(1).script({network("B is down"), body("b", 1ms), transient("B is busy")});
  source(2).script({body("c"), server("no c"), network("C is down"), body("c")});
  const std::vector<std::string> bodies = {"a", "b", "c", "downloaded"};
  const std::vector<std::string> messages = {"A is down", "no a", "B is down", "B is busy",
                                             "no c", "C is down"};

  std::atomic<int> unexpected{0};
  const auto check = [&](const Outcome& outcome) {
    const bool known = outcome.body ? std::count(bodies.begin(), bodies.end(), *outcome.body) == 1
                                    : !outcome.transient && (outcome.category == ErrorCategory::network ||
                                                             outcome.category == ErrorCategory::server) &&
                                          std::count(messages.begin(), messages.end(), outcome.message) == 1;
    if (!known) ++unexpected;
  };
  std::latch start(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      std::mt19937 random(static_cast<unsigned>(t));
      start.arrive_and_wait();
      for (int round = 0; round < kRounds; ++round) {
        clock_.advance(std::chrono::milliseconds(random() % 20000));
        switch (random() % 8) {
          case 0: {
            const std::uint64_t preferred[] = {random() % 4, random() % 4};
            transport.prefer_sources(preferred);
            break;
          }
          case 1:
            check(outcome_of([&] {
              std::string text;
              for (const SourceDocument& document : transport.fetch_all(kReleasePath, 1000, {})) {
                if (document.body != bodies.at(document.source)) ++unexpected;
                text = document.body;
              }
              return text;
            }));
            break;
          case 2:
          case 3: check(download(random() % 5)); break;
          default: check(fetch()); break;
        }
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(unexpected.load(), 0);

  // No probe claim was left behind: once every penalty is over, every source is in
  // the plan at its place in the preference order.
  const std::uint64_t natural[] = {0, 1, 2};
  transport.prefer_sources(natural);
  clock_.advance(std::chrono::hours(1));
  script({server("no a"), server("no b"), server("no c")});
  asked();
  fetch();
  EXPECT_EQ(asked(), (std::vector<int>{0, 1, 2}));
  script({body("a"), body("b"), body("c")});
  EXPECT_EQ(fetch().body, "a");
  EXPECT_EQ(asked(), std::vector<int>{0});
  logged();  // every line written by the workers is whole
}

}  // namespace
}  // namespace kaldren::patcher
