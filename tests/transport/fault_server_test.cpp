// HttpTransport against the scripted fault server (tests/support/fault_server.py),
// started by fault_server_tests.sh. Every case uses its own request targets.
#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <fmt/format.h>

#include "build_constants.h"
#include "core/error.h"
#include "core/text.h"
#include "transport/http_rules.h"
#include "transport/http_transport.h"
#include "support/log_reader.h"
#include "support/temp_folder.h"
#include "transport/server_fixture.h"
#include "support/failure_of.h"

namespace kaldren::patcher {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using test::FaultServer;
using test::pattern_bytes;

constexpr std::uint64_t kObjectSize = 5000;

std::int64_t elapsed_ms(Clock::time_point since) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - since).count();
}

using test::failure_of;

std::string expected_user_agent() { return std::string("KaldrenMorvale-Lanternix/") + build::kLauncherVersion; }

// Records every progress call of a download.
struct ProgressLog {
  std::mutex lock;
  std::vector<std::uint64_t> calls;
  DownloadProgress callback() {
    return [this](std::uint64_t bytes) {
      std::lock_guard guard(lock);
      calls.push_back(bytes);
    };
  }
  std::uint64_t last() {
    std::lock_guard guard(lock);
    return calls.empty() ? 0 : calls.back();
  }
};

TEST(FaultServer, BasePathGetsExactlyOneSlashBeforeThePublicationPath) {
  FaultServer::script(R"({"/one/v2/doc.json": {"body": "one"}, "/two/v2/doc.json": {"body": "two"},
    "/three/v2/doc.json": {"body": "three"}, "/bare-doc.json": {"body": "bare"},
    "/root-doc.json": {"body": "root"}})");
  struct Case {
    const wchar_t* base;
    const char* path;
    const char* target;
    const char* body;
  };
  const Case cases[] = {
      {L"/one", "v2/doc.json", "/one/v2/doc.json", "one"},
      {L"/two/", "v2/doc.json", "/two/v2/doc.json", "two"},
      {L"/three//", "v2/doc.json", "/three/v2/doc.json", "three"},
      {L"", "bare-doc.json", "/bare-doc.json", "bare"},
      {L"/", "root-doc.json", "/root-doc.json", "root"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.target);
    HttpTransport transport(FaultServer::address(c.base), 1, 2000);
    EXPECT_EQ(transport.fetch(c.path, 100, {}), c.body);
    const auto requests = FaultServer::requests(c.target);
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].target, c.target);
    EXPECT_EQ(requests[0].cache_control, "no-cache");
    EXPECT_EQ(requests[0].user_agent, expected_user_agent());
    EXPECT_EQ(requests[0].range, "-");
  }
}

TEST(FaultServer, FetchAllIsTheOneDocumentOfSourceZero) {
  FaultServer::script(R"({"/all/v2/release.json": {"body": "{\"release\":1}"}})");
  HttpTransport transport(FaultServer::address(L"/all"), 1, 2000);
  const std::vector<SourceDocument> documents = transport.fetch_all("v2/release.json", 100, {});
  ASSERT_EQ(documents.size(), 1u);
  EXPECT_EQ(documents[0].source, 0u);
  EXPECT_EQ(documents[0].body, "{\"release\":1}");
}

TEST(FaultServer, DocumentOfExactlyTheCapIsReturnedOneByteMoreIsRefused) {
  // 32768 ends exactly on a read chunk; 20000 ends inside one.
  FaultServer::script(R"({"/cap/v2/a.json": {"size": 32768}, "/cap/v2/b.json": {"size": 20000},
    "/cap/v2/empty.json": {"body": ""}})");
  HttpTransport transport(FaultServer::address(L"/cap"), 2, 2000);
  EXPECT_EQ(transport.fetch("v2/a.json", 32768, {}), pattern_bytes(0, 32768));
  EXPECT_EQ(transport.fetch("v2/b.json", 20000, {}), pattern_bytes(0, 20000));
  EXPECT_EQ(transport.fetch("v2/empty.json", 0, {}), "");
  for (const auto& [path, cap] : {std::pair{"v2/a.json", 32767}, std::pair{"v2/b.json", 19999}}) {
    SCOPED_TRACE(path);
    const PatchError error = failure_of([&] { transport.fetch(path, cap, {}); });
    EXPECT_EQ(error.category(), ErrorCategory::server);
    EXPECT_EQ(error.what(), fmt::format("{} is larger than allowed", path));
  }
  // The refusals are not retried.
  EXPECT_EQ(FaultServer::requests("/cap/v2/a.json").size(), 2u);
  EXPECT_EQ(FaultServer::requests("/cap/v2/b.json").size(), 2u);
}

TEST(FaultServer, StatusesThatEndTheRequestAtOnce) {
  struct Case {
    const char* name;
    int status;
    bool object;
    int attempts;
    ErrorCategory category;
    std::string message;
  };
  const Case cases[] = {
      {"doc404", 404, false, 6, ErrorCategory::server, "The patch server has no v2/doc404"},
      {"obj404", 404, true, 6, ErrorCategory::server, "The patch server is missing v2/obj404"},
      {"obj410", 410, true, 6, ErrorCategory::server, "The patch server is missing v2/obj410"},
      {"doc410", 410, false, 6, ErrorCategory::server, "The patch server answered HTTP 410 for v2/doc410"},
      {"doc206", 206, false, 6, ErrorCategory::server, "The patch server answered HTTP 206 for v2/doc206"},
      {"obj403", 403, true, 6, ErrorCategory::server, "The patch server answered HTTP 403 for v2/obj403"},
      {"doc451", 451, false, 6, ErrorCategory::server, "The patch server answered HTTP 451 for v2/doc451"},
      {"obj500", 500, true, 1, ErrorCategory::network, "The patch server is busy (HTTP 500) for v2/obj500"},
      {"doc429", 429, false, 1, ErrorCategory::network, "The patch server is busy (HTTP 429) for v2/doc429"},
  };
  std::string script = "{";
  for (const Case& c : cases) {
    if (script.size() > 1) script += ",";
    script += fmt::format(R"("/status/v2/{}": {{"status": {}, "body": "no"}})", c.name, c.status);
  }
  FaultServer::script(script + "}");
  test::TempFolder folder;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    HttpTransport transport(FaultServer::address(L"/status"), c.attempts, 2000);
    const std::string path = std::string("v2/") + c.name;
    const PatchError error = failure_of([&] {
      if (c.object) {
        transport.download(path, folder.path() / L"object.part", 100, {}, {}, 0);
      } else {
        transport.fetch(path, 100, {});
      }
    });
    EXPECT_EQ(error.category(), c.category);
    EXPECT_EQ(error.what(), c.message);
    EXPECT_EQ(FaultServer::requests("/status/" + path).size(), 1u);
    EXPECT_FALSE(std::filesystem::exists(folder.path() / L"object.part"));
  }
}

TEST(FaultServer, RetryAfterInSecondsIsWaitedAsADateTheBackoffIs) {
  const struct {
    const char* name;
    const char* retry_after;
    std::int64_t min_gap_ms, max_gap_ms;  // between the two requests
    int min_delay_ms, max_delay_ms;       // as logged
  } cases[] = {
      {"ra2", "2", 1900, 3500, 2000, 2000},
      {"radate", "Wed, 21 Oct 2015 07:28:00 GMT", 350, 1500, 375, 625},  // the first back-off step
  };
  std::string script = "{";
  for (const auto& c : cases) {
    script += fmt::format(R"({}"/{}/v2/doc.json": [{{"status": 503, "headers": {{"Retry-After": "{}"}}, "body": ""}},
      {{"body": "ready"}}])",
                          script.size() > 1 ? "," : "", c.name, c.retry_after);
  }
  FaultServer::script(script + "}");
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    test::TempFolder logs;
    test::LogReader log(logs / "test.log");
    HttpTransport transport(FaultServer::address(L"/" + to_utf16(c.name)), 2, 2000);
    EXPECT_EQ(transport.fetch("v2/doc.json", 100, {}), "ready");
    const auto requests = FaultServer::requests("/" + std::string(c.name) + "/");
    ASSERT_EQ(requests.size(), 2u);
    const std::int64_t gap = requests[1].ms - requests[0].ms;
    EXPECT_GE(gap, c.min_gap_ms);
    EXPECT_LT(gap, c.max_gap_ms);
    const std::string text = log.text();
    const std::string logged = "v2/doc.json failed (attempt 1 of 2): The patch server is busy (HTTP 503) for "
                               "v2/doc.json; retrying in ";
    const std::size_t at = text.find(logged);
    ASSERT_NE(at, std::string::npos) << text;
    const int delay = std::stoi(text.substr(at + logged.size()));
    EXPECT_GE(delay, c.min_delay_ms);
    EXPECT_LE(delay, c.max_delay_ms);
  }
}

TEST(FaultServer, RetryAfterOfTwoMinutesWaitsOneMinuteUnlessStopped) {
  EXPECT_EQ(http::retry_delay_ms(http::parse_retry_after("120"), 1), 60000u);
  FaultServer::script(R"({"/ra120/v2/doc.json": [{"status": 503, "headers": {"Retry-After": "120"}, "body": ""},
    {"body": "ready"}]})");
  test::TempFolder logs;
  test::LogReader log(logs / "test.log");
  HttpTransport transport(FaultServer::address(L"/ra120"), 2, 2000);
  std::stop_source stop;
  std::atomic<bool> done{false};
  PatchError error(ErrorCategory::internal, "no error");
  std::jthread worker([&] {
    error = failure_of([&] { transport.fetch("v2/doc.json", 100, stop.get_token()); });
    done = true;
  });
  const std::string waiting = "; retrying in 60000 ms\r\n";
  const auto deadline = Clock::now() + 10s;
  while (log.text().find(waiting) == std::string::npos && Clock::now() < deadline) std::this_thread::sleep_for(20ms);
  ASSERT_NE(log.text().find(waiting), std::string::npos) << log.text();
  std::this_thread::sleep_for(300ms);
  EXPECT_FALSE(done);
  const auto stopped = Clock::now();
  stop.request_stop();
  worker.join();
  EXPECT_LT(elapsed_ms(stopped), 500);
  EXPECT_EQ(error.category(), ErrorCategory::cancelled);
  EXPECT_STREQ(error.what(), "The launcher was closed");
  EXPECT_EQ(FaultServer::requests("/ra120/").size(), 1u);
}

TEST(FaultServer, ABusyServerIsAskedSixTimesThenTheNetworkErrorStays) {
  FaultServer::script(R"({"/busy/v2/doc.json": {"status": 503, "body": "later"}})");
  HttpTransport transport(FaultServer::address(L"/busy"), 6, 2000);
  const auto start = Clock::now();
  const PatchError error = failure_of([&] { transport.fetch("v2/doc.json", 100, {}); });
  const std::int64_t took = elapsed_ms(start);
  EXPECT_EQ(error.category(), ErrorCategory::network);
  EXPECT_STREQ(error.what(), "The patch server is busy (HTTP 503) for v2/doc.json");
  const auto requests = FaultServer::requests("/busy/");
  ASSERT_EQ(requests.size(), 6u);
  // The back-off after attempts 1 to 5 draws from 375-625, 750-1250, ... 6000-10000 ms.
  const http::DelayRange expected[] = {{375, 625}, {750, 1250}, {1500, 2500}, {3000, 5000}, {6000, 10000}};
  for (std::size_t i = 1; i < requests.size(); ++i) {
    SCOPED_TRACE(i);
    const std::int64_t gap = requests[i].ms - requests[i - 1].ms;
    EXPECT_GE(gap, static_cast<std::int64_t>(expected[i - 1].low) - 20);
    EXPECT_LE(gap, static_cast<std::int64_t>(expected[i - 1].high) + 500);
  }
  EXPECT_GE(took, 11625 - 100);
}

class FaultServerDownload : public ::testing::Test {
 protected:
  std::filesystem::path part() const { return folder_.path() / L"object.part"; }
  void write_part(std::string_view bytes) const { test::write_bytes(part(), bytes); }

  test::TempFolder folder_;
  ProgressLog progress_;
};

TEST_F(FaultServerDownload, EndsWithTheWholeObjectWhateverThePartialFileHeld) {
  const struct {
    const char* name;
    const char* answers;  // the server's script for the object
    std::string part;     // what the partial file holds before
    int attempts;
    std::vector<std::string> ranges;  // asked for, request by request
  } cases[] = {
      {"resume", R"({"ranged": true, "size": 5000})", pattern_bytes(0, 1000), 1, {"bytes=1000-"}},
      {"restart",  // a range from 0 instead of 1000 drops the partial file; the next attempt starts over
       R"([{"status": 206, "headers": {"Content-Range": "bytes 0-4999/5000"}, "size": 5000},
           {"ranged": true, "size": 5000}])",
       pattern_bytes(0, 1000), 2, {"bytes=1000-", "-"}},
      {"whole", R"({"size": 5000})", std::string(1000, 'X'), 1, {"bytes=1000-"}},
      {"overlong", R"({"ranged": true, "size": 5000})", std::string(6000, 'X'), 1, {"-"}},
      {"complete", R"({"ranged": true, "size": 5000})", pattern_bytes(0, kObjectSize), 1, {}},
  };
  std::string script = "{";
  for (const auto& c : cases) script += fmt::format(R"({}"/{}/v2/o.bin": {})", script.size() > 1 ? "," : "", c.name, c.answers);
  FaultServer::script(script + "}");
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    write_part(c.part);
    ProgressLog progress;
    HttpTransport transport(FaultServer::address(L"/" + to_utf16(c.name)), c.attempts, 2000);
    transport.download("v2/o.bin", part(), kObjectSize, {}, progress.callback(), 0);
    EXPECT_EQ(test::read_bytes(part()), pattern_bytes(0, kObjectSize));
    std::vector<std::string> ranges;
    for (const auto& request : FaultServer::requests("/" + std::string(c.name) + "/")) ranges.push_back(request.range);
    EXPECT_EQ(ranges, c.ranges);
    ASSERT_FALSE(progress.calls.empty());
    EXPECT_EQ(progress.calls.back(), kObjectSize);
    // Counts are absolute: a resumed download starts above the bytes already there.
    if (c.ranges == std::vector<std::string>{"bytes=1000-"} && c.part[0] != 'X') {
      EXPECT_GT(progress.calls.front(), 1000u);
    }
    if (c.ranges.empty()) {
      EXPECT_EQ(progress.calls, std::vector<std::uint64_t>{kObjectSize});
    }
  }
  // A resumed download counts the bytes already there; it is an ordinary request otherwise.
  const auto resumed = FaultServer::requests("/resume/");
  ASSERT_EQ(resumed.size(), 1u);
  EXPECT_EQ(resumed[0].cache_control, "-");
  EXPECT_EQ(resumed[0].user_agent, expected_user_agent());
}

TEST_F(FaultServerDownload, AnswersThatCannotBeResumedFromDropThePartialFile) {
  const std::string unexpected = "The patch server sent an unexpected range for v2/o.bin";
  const std::string larger = "v2/o.bin is larger than the release declares";
  const std::string resumable_part = pattern_bytes(0, 1000);
  const struct {
    const char* name;
    const char* answer;  // the server's script for the object
    std::string part;    // what the partial file holds before
    ErrorCategory category;
    std::string message;
  } cases[] = {
      {"from0", R"({"status": 206, "headers": {"Content-Range": "bytes 0-4999/5000"}, "size": 4000, "from": 1000})",
       resumable_part, ErrorCategory::network, unexpected},
      {"total", R"({"status": 206, "headers": {"Content-Range": "bytes 1000-4999/6000"}, "size": 4000, "from": 1000})",
       resumable_part, ErrorCategory::network, unexpected},
      {"star", R"({"status": 206, "headers": {"Content-Range": "bytes 1000-4999/*"}, "size": 4000, "from": 1000})",
       resumable_part, ErrorCategory::network, unexpected},
      {"none", R"({"status": 206, "headers": {}, "size": 4000, "from": 1000})", resumable_part,
       ErrorCategory::network, unexpected},
      {"refuse", R"({"status": 416, "body": ""})", resumable_part, ErrorCategory::network,
       "The patch server refused to resume v2/o.bin"},
      // More bytes than declared is the server's fault: never asked again.
      {"long", R"({"size": 5001})", "", ErrorCategory::server, larger},
      {"longer", R"({"status": 206, "headers": {"Content-Range": "bytes 1000-4999/5000"}, "size": 4001, "from": 1000})",
       resumable_part, ErrorCategory::server, larger},
  };
  std::string script = "{";
  for (const auto& c : cases) script += fmt::format(R"({}"/{}/v2/o.bin": {})", script.size() > 1 ? "," : "", c.name, c.answer);
  FaultServer::script(script + "}");
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove(part());
    if (!c.part.empty()) write_part(c.part);
    HttpTransport transport(FaultServer::address(L"/" + to_utf16(c.name)), c.category == ErrorCategory::server ? 3 : 1,
                            2000);
    const PatchError error = failure_of([&] { transport.download("v2/o.bin", part(), kObjectSize, {}, {}, 0); });
    EXPECT_EQ(error.category(), c.category);
    EXPECT_EQ(error.what(), c.message);
    EXPECT_FALSE(std::filesystem::exists(part()));
    EXPECT_EQ(FaultServer::requests("/" + std::string(c.name) + "/").size(), 1u);
  }
}

TEST_F(FaultServerDownload, AStopBetweenTheAnswerAndItsHeadersKeepsThePartialFile) {
  FaultServer::script(R"({"/race/v2/o.bin": {"ranged": true, "size": 5000}})");
  write_part(pattern_bytes(0, 1000));
  HttpTransport transport(FaultServer::address(L"/race"), 1, 2000);
  std::stop_source stop;
  transport.before_header_read = [&] { stop.request_stop(); };  // closes the request under the read
  const PatchError error =
      failure_of([&] { transport.download("v2/o.bin", part(), kObjectSize, stop.get_token(), {}, 0); });
  EXPECT_EQ(error.category(), ErrorCategory::cancelled);
  EXPECT_STREQ(error.what(), "The launcher was closed");
  EXPECT_EQ(test::read_bytes(part()), pattern_bytes(0, 1000)) << "the resumption point is kept";
}

TEST_F(FaultServerDownload, AnEmptyObjectNeedsNeitherARequestNorAFile) {
  FaultServer::script(R"({"/done/v2/o.bin": {"ranged": true, "size": 5000}})");
  HttpTransport transport(FaultServer::address(L"/done"), 1, 2000);
  ProgressLog empty;
  const std::filesystem::path empty_part = folder_.path() / L"empty.part";
  transport.download("v2/empty.bin", empty_part, 0, {}, empty.callback(), 0);
  EXPECT_EQ(empty.calls, std::vector<std::uint64_t>{0});
  EXPECT_TRUE(FaultServer::requests("/done/").empty());
}

TEST_F(FaultServerDownload, ACutConnectionKeepsItsBytesAndTheNextAttemptResumes) {
  FaultServer::script(R"({"/cut/v2/o.bin": {"size": 5000, "cut": 3000},
    "/cutresume/v2/o.bin": [{"size": 5000, "cut": 3000}, {"ranged": true, "size": 5000}]})");
  HttpTransport once(FaultServer::address(L"/cut"), 1, 2000);
  const PatchError error = failure_of([&] { once.download("v2/o.bin", part(), kObjectSize, {}, {}, 0); });
  EXPECT_EQ(error.category(), ErrorCategory::network);
  const std::string message = error.what();
  // WinHTTP reports the early end either as the end of the body or as a failed read.
  const std::string interrupted = "The download from the patch server was interrupted: ";
  if (message.compare(0, interrupted.size(), interrupted) != 0) {
    EXPECT_EQ(message, "The connection closed before v2/o.bin finished");
  }
  EXPECT_EQ(test::read_bytes(part()), pattern_bytes(0, 3000));

  std::filesystem::remove(part());
  HttpTransport twice(FaultServer::address(L"/cutresume"), 2, 2000);
  twice.download("v2/o.bin", part(), kObjectSize, {}, {}, 0);
  EXPECT_EQ(test::read_bytes(part()), pattern_bytes(0, kObjectSize));
  const auto requests = FaultServer::requests("/cutresume/");
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[0].range, "-");
  EXPECT_EQ(requests[1].range, "bytes=3000-");
}

// How long a stopped call may still take. Windows ends a blocked WinHTTP call as soon
// as its handle is closed. Wine 8 does not: the call returns only when the server
// gives up (the scripts' hang_seconds), so there only the outcome is checked.
constexpr int kHangSeconds = 4;
std::int64_t stop_latency_limit_ms() { return test::running_under_wine() ? kHangSeconds * 1000 + 2000 : 2000; }

// Half a second after the worker's call began to wait: stops it and checks that the
// call ended soon, as closed by the player.
void expect_stopped_promptly(std::stop_source& stop, std::jthread& worker, const PatchError& error) {
  std::this_thread::sleep_for(500ms);
  const auto stopped = Clock::now();
  stop.request_stop();
  worker.join();
  EXPECT_LT(elapsed_ms(stopped), stop_latency_limit_ms());
  EXPECT_EQ(error.category(), ErrorCategory::cancelled);
  EXPECT_STREQ(error.what(), "The launcher was closed");
}

TEST_F(FaultServerDownload, StopDuringABlockedReadEndsTheCallAndKeepsThePartialFile) {
  // More than one read buffer arrives before the server stops sending.
  FaultServer::script(fmt::format(R"({{"/hang/v2/o.bin": {{"size": 600000, "hang_after": 300000,
    "hang_seconds": {}}}}})", kHangSeconds));
  HttpTransport transport(FaultServer::address(L"/hang"), 6, 2000);
  std::stop_source stop;
  PatchError error(ErrorCategory::internal, "no error");
  std::jthread worker([&] {
    error = failure_of([&] { transport.download("v2/o.bin", part(), 600000, stop.get_token(),
                                                progress_.callback(), 0); });
  });
  const auto deadline = Clock::now() + 10s;
  while (progress_.last() < 262144 && Clock::now() < deadline) std::this_thread::sleep_for(20ms);
  ASSERT_GE(progress_.last(), 262144u);
  expect_stopped_promptly(stop, worker, error);  // the worker blocks in WinHttpReadData by now
  const std::uint64_t kept = progress_.last();
  EXPECT_EQ(test::read_bytes(part()), pattern_bytes(0, kept));
  EXPECT_EQ(FaultServer::requests("/hang/").size(), 1u);
}

TEST(FaultServer, StopWhileWaitingForAnAnswerEndsTheCall) {
  FaultServer::script(fmt::format(R"({{"/stall/v2/doc.json": {{"stall": true, "hang_seconds": {}}}}})",
                                  kHangSeconds));
  HttpTransport transport(FaultServer::address(L"/stall"), 6, 2000);
  std::stop_source stop;
  PatchError error(ErrorCategory::internal, "no error");
  std::jthread worker([&] { error = failure_of([&] { transport.fetch("v2/doc.json", 100, stop.get_token()); }); });
  const auto deadline = Clock::now() + 10s;
  while (FaultServer::requests("/stall/").empty() && Clock::now() < deadline) std::this_thread::sleep_for(20ms);
  expect_stopped_promptly(stop, worker, error);
  EXPECT_EQ(FaultServer::requests("/stall/").size(), 1u);
}

}  // namespace
}  // namespace kaldren::patcher
