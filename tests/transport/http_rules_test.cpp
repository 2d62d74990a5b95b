#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "core/error.h"
#include "core/log.h"
#include "transport/http_rules.h"
#include "transport/transport.h"

namespace kaldren::patcher {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

std::int64_t elapsed_ms(Clock::time_point since) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - since).count();
}

TEST(PublicationPath, AcceptsOnlyTheSafeAlphabet) {
  struct Case {
    std::string path;
    bool accepted;
  };
  const Case cases[] = {
      {"v2/objects/ab/ab01cd-ef_9.zst", true},
      {"v2/channels/live/release.json", true},
      {"a", true},
      {"A.b-C_d/E", true},
      {"", false},
      {"/v2/objects/ab", false},
      {"v2/../secret", false},
      {"v2/file..json", false},
      {"..", false},
      {"v2/a b", false},
      {"v2/caf\xc3\xa9.bin", false},
      {"v2/a?b=1", false},
      {"v2/a#b", false},
      {"v2\\a", false},
      {"v2/%2e", false},
      {std::string("v2/a\0b", 6), false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    EXPECT_EQ(http::is_publication_path(c.path), c.accepted);
  }
}

TEST(ContentRange, StartAndTotalMustMatchExactly) {
  struct Case {
    const char* header;
    bool matches;  // against start 1000, total 5000
  };
  const Case cases[] = {
      {"bytes 1000-4999/5000", true},
      {"bytes 1000-/5000", true},       // the end is not examined
      {"bytes 1000-9999/5000", true},
      {"bytes 0-4999/5000", false},     // the server restarted from 0
      {"bytes 1000-4999/5001", false},  // another object size
      {"bytes 1000-4999/*", false},
      {"bytes */5000", false},
      {"Bytes 1000-4999/5000", false},
      {"bytes  1000-4999/5000", false},
      {"bytes=1000-4999/5000", false},
      {"bytes +1000-4999/5000", false},
      {"bytes -4999/5000", false},
      {"bytes 1000-4999/", false},
      {"bytes 1000-4999/5000 ", false},
      {"bytes 1000-4999", false},
      {"bytes 1000/5000", false},
      {"", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.header);
    EXPECT_EQ(http::content_range_matches(c.header, 1000, 5000), c.matches);
  }
}

TEST(ContentRange, NumbersBeyond64BitsFail) {
  // Without an overflow check both would wrap around to the expected values.
  EXPECT_FALSE(http::content_range_matches("bytes 1000-1/18446744073709556616", 1000, 5000));
  EXPECT_FALSE(http::content_range_matches("bytes 18446744073709552616-1/5000", 1000, 5000));
  EXPECT_TRUE(http::content_range_matches("bytes 18446744073709551615-/18446744073709551615",
                                          UINT64_MAX, UINT64_MAX));
}

TEST(RetryAfter, DigitsOnlyAndCappedAtFiveMinutes) {
  struct Case {
    const char* value;
    std::uint64_t seconds;
  };
  const Case cases[] = {
      {"2", 2},
      {"120", 120},
      {"007", 7},
      {"300", 300},
      {"301", 300},
      {"18446744073709551615", 300},
      {"18446744073709551616", 0},  // overflows: absent
      {"0", 0},
      {"", 0},
      {" 2", 0},
      {"2 ", 0},
      {"+2", 0},
      {"-1", 0},
      {"1.5", 0},
      {"Wed, 21 Oct 2015 07:28:00 GMT", 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.value);
    EXPECT_EQ(http::parse_retry_after(c.value), c.seconds);
  }
}

TEST(StatusClassification, UsableAnswers) {
  using http::RequestKind;
  using http::StatusOutcome;
  EXPECT_EQ(http::classify_status(RequestKind::document, 200), StatusOutcome::document);
  EXPECT_EQ(http::classify_status(RequestKind::object, 200), StatusOutcome::whole_object);
  EXPECT_EQ(http::classify_status(RequestKind::object, 206), StatusOutcome::resume);
  EXPECT_EQ(http::classify_status(RequestKind::object, 416), StatusOutcome::refused_resume);
  for (const std::uint32_t status : {206u, 416u, 404u, 410u, 503u, 204u, 304u}) {
    SCOPED_TRACE(status);
    EXPECT_EQ(http::classify_status(RequestKind::document, status), StatusOutcome::failure);
  }
  for (const std::uint32_t status : {201u, 204u, 404u, 410u, 503u}) {
    SCOPED_TRACE(status);
    EXPECT_EQ(http::classify_status(RequestKind::object, status), StatusOutcome::failure);
  }
}

TEST(StatusClassification, FailureMessagesAndRetryability) {
  using http::RequestKind;
  struct Case {
    RequestKind kind;
    std::uint32_t status;
    bool transient;
    const char* message;
  };
  const Case cases[] = {
      {RequestKind::document, 404, false, "The patch server has no v2/x.json"},
      {RequestKind::object, 404, false, "The patch server is missing v2/x.json"},
      {RequestKind::object, 410, false, "The patch server is missing v2/x.json"},
      {RequestKind::document, 410, false, "The patch server answered HTTP 410 for v2/x.json"},
      {RequestKind::document, 206, false, "The patch server answered HTTP 206 for v2/x.json"},
      {RequestKind::document, 416, false, "The patch server answered HTTP 416 for v2/x.json"},
      {RequestKind::object, 403, false, "The patch server answered HTTP 403 for v2/x.json"},
      {RequestKind::object, 501, false, "The patch server answered HTTP 501 for v2/x.json"},
      {RequestKind::document, 301, false, "The patch server answered HTTP 301 for v2/x.json"},
      {RequestKind::document, 408, true, "The patch server is busy (HTTP 408) for v2/x.json"},
      {RequestKind::document, 425, true, "The patch server is busy (HTTP 425) for v2/x.json"},
      {RequestKind::object, 429, true, "The patch server is busy (HTTP 429) for v2/x.json"},
      {RequestKind::object, 500, true, "The patch server is busy (HTTP 500) for v2/x.json"},
      {RequestKind::document, 502, true, "The patch server is busy (HTTP 502) for v2/x.json"},
      {RequestKind::object, 503, true, "The patch server is busy (HTTP 503) for v2/x.json"},
      {RequestKind::document, 504, true, "The patch server is busy (HTTP 504) for v2/x.json"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.status);
    try {
      http::throw_status_error(c.kind, c.status, "v2/x.json", 7);
    } catch (const TransientError& error) {
      EXPECT_TRUE(c.transient);
      EXPECT_STREQ(error.what(), c.message);
      EXPECT_EQ(error.retry_after_seconds(), 7u);
      EXPECT_EQ(error.category(), ErrorCategory::network);
    } catch (const PatchError& error) {
      EXPECT_FALSE(c.transient);
      EXPECT_STREQ(error.what(), c.message);
      EXPECT_EQ(error.category(), ErrorCategory::server);
    }
  }
}

TEST(Backoff, DoublesFromHalfASecondUpToFifteenWithQuarterJitter) {
  struct Case {
    int attempt;
    std::uint64_t low;
    std::uint64_t high;
  };
  const Case cases[] = {
      {1, 375, 625},     {2, 750, 1250},    {3, 1500, 2500},    {4, 3000, 5000},
      {5, 6000, 10000},  {6, 11250, 18750}, {7, 11250, 18750},  {64, 11250, 18750},
      {2147483647, 11250, 18750},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.attempt);
    const http::DelayRange range = http::backoff_range(c.attempt);
    EXPECT_EQ(range.low, c.low);
    EXPECT_EQ(range.high, c.high);
  }
}

TEST(Backoff, DrawsCoverTheWholeRangeAndNothingElse) {
  std::uint64_t lowest = UINT64_MAX;
  std::uint64_t highest = 0;
  for (int i = 0; i < 4000; ++i) {
    const std::uint64_t delay = http::backoff_ms(2);
    lowest = std::min(lowest, delay);
    highest = std::max(highest, delay);
  }
  EXPECT_GE(lowest, 750u);
  EXPECT_LE(lowest, 760u);
  EXPECT_LE(highest, 1250u);
  EXPECT_GE(highest, 1240u);
}

TEST(RetryDelay, RetryAfterWinsUpToOneMinute) {
  EXPECT_EQ(http::retry_delay_ms(120, 1), 60000u);
  EXPECT_EQ(http::retry_delay_ms(60, 5), 60000u);
  EXPECT_EQ(http::retry_delay_ms(2, 6), 2000u);
  EXPECT_EQ(http::retry_delay_ms(UINT64_MAX, 1), 60000u);
  const std::uint64_t backoff = http::retry_delay_ms(0, 1);
  EXPECT_GE(backoff, 375u);
  EXPECT_LE(backoff, 625u);
}

class RetryLoop : public ::testing::Test {
 protected:
  void SetUp() override {
    log_path_ = std::filesystem::temp_directory_path() /
                ("lanternix-retry-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) + "-" +
                 ::testing::UnitTest::GetInstance()->current_test_info()->name() + ".log");
    std::filesystem::remove(log_path_);
    open_log(log_path_);
  }
  void TearDown() override {
    open_log(log_path_.string() + ".closed");
    std::filesystem::remove(log_path_);
    std::filesystem::remove(log_path_.string() + ".closed");
  }
  std::string log_text() const {
    std::ifstream in(log_path_, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  }

  std::filesystem::path log_path_;
};

TEST_F(RetryLoop, TransientFailureIsRetriedAfterTheBackoffAndLogged) {
  int calls = 0;
  const auto start = Clock::now();
  http::run_with_retries("v2/x.json", 3, {}, [&] {
    if (++calls == 1) throw TransientError("The patch server is busy (HTTP 503) for v2/x.json");
  });
  const std::int64_t waited = elapsed_ms(start);
  EXPECT_EQ(calls, 2);
  EXPECT_GE(waited, 375);
  EXPECT_LT(waited, 1500);
  const std::string text = log_text();
  const std::string line_start =
      "v2/x.json failed (attempt 1 of 3): The patch server is busy (HTTP 503) for v2/x.json; retrying in ";
  const std::size_t at = text.find(line_start);
  ASSERT_NE(at, std::string::npos) << text;
  EXPECT_NE(text.rfind("WARN  [", at), std::string::npos);
  const int delay = std::stoi(text.substr(at + line_start.size()));
  EXPECT_GE(delay, 375);
  EXPECT_LE(delay, 625);
  EXPECT_EQ(text.compare(at + line_start.size() + std::to_string(delay).size(), 5, " ms\r\n"), 0);
}

TEST_F(RetryLoop, LastTransientFailureLeavesAsNetworkError) {
  for (const int attempts : {1, 2}) {
    SCOPED_TRACE(attempts);
    int calls = 0;
    try {
      http::run_with_retries("v2/x.json", attempts, {}, [&] {
        ++calls;
        throw TransientError("The connection closed before v2/x.json finished");
      });
      ADD_FAILURE() << "no error";
    } catch (const TransientError&) {
      ADD_FAILURE() << "a TransientError left the loop";
    } catch (const PatchError& error) {
      EXPECT_EQ(error.category(), ErrorCategory::network);
      EXPECT_STREQ(error.what(), "The connection closed before v2/x.json finished");
    }
    EXPECT_EQ(calls, attempts);
  }
}

TEST_F(RetryLoop, OtherErrorsPassAtOnce) {
  const ErrorCategory categories[] = {ErrorCategory::server, ErrorCategory::io, ErrorCategory::security,
                                      ErrorCategory::internal};
  for (const ErrorCategory category : categories) {
    SCOPED_TRACE(category_name(category));
    int calls = 0;
    try {
      http::run_with_retries("v2/x.json", 6, {}, [&] {
        ++calls;
        throw PatchError(category, "permanent");
      });
    } catch (const PatchError& error) {
      EXPECT_EQ(error.category(), category);
      EXPECT_STREQ(error.what(), "permanent");
    }
    EXPECT_EQ(calls, 1);
  }
  EXPECT_EQ(log_text().find("failed (attempt"), std::string::npos);
}

TEST_F(RetryLoop, StopBeforeTheFirstAttemptAsksNothing) {
  std::stop_source stop;
  stop.request_stop();
  int calls = 0;
  try {
    http::run_with_retries("v2/x.json", 6, stop.get_token(), [&] { ++calls; });
    ADD_FAILURE() << "no error";
  } catch (const PatchError& error) {
    EXPECT_EQ(error.category(), ErrorCategory::cancelled);
    EXPECT_STREQ(error.what(), "The launcher was closed");
  }
  EXPECT_EQ(calls, 0);
}

TEST_F(RetryLoop, StopDuringARetryAfterWaitEndsItWithinAStep) {
  std::stop_source stop;
  int calls = 0;
  std::jthread stopper([&] {
    std::this_thread::sleep_for(300ms);
    stop.request_stop();
  });
  const auto start = Clock::now();
  try {
    http::run_with_retries("v2/x.json", 6, stop.get_token(), [&] {
      ++calls;
      throw TransientError("", 120);
    });
    ADD_FAILURE() << "no error";
  } catch (const PatchError& error) {
    EXPECT_EQ(error.category(), ErrorCategory::cancelled);
    EXPECT_STREQ(error.what(), "The launcher was closed");
  }
  const std::int64_t waited = elapsed_ms(start);
  EXPECT_GE(waited, 290);
  EXPECT_LT(waited, 1000);
  EXPECT_EQ(calls, 1);
  EXPECT_NE(log_text().find("v2/x.json failed (attempt 1 of 6): Unknown exception; retrying in 60000 ms\r\n"),
            std::string::npos)
      << log_text();
}

TEST(CancellableWait, WaitsTheWholeDelayWithoutStop) {
  const auto start = Clock::now();
  http::wait_cancellable(120, {});
  EXPECT_GE(elapsed_ms(start), 120);
}

}  // namespace
}  // namespace kaldren::patcher
