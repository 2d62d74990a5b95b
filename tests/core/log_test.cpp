#include "core/log.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <latch>
#include <map>
#include <random>
#include <set>
#include <thread>
#include <vector>

namespace kaldren::patcher {
namespace {

namespace fs = std::filesystem;

constexpr std::uintmax_t kRotationLimit = 4194304;

TEST(LogLine, LevelWordsAreFiveCharacters) {
  const struct {
    std::uint32_t level;
    const char* word;
  } cases[] = {
      {0, "DEBUG"}, {1, "INFO "}, {2, "WARN "}, {3, "ERROR"}, {4, "?    "}, {0xFFFFFFFF, "?    "},
  };
  for (const auto& item : cases) {
    SCOPED_TRACE(item.level);
    EXPECT_EQ(level_word(static_cast<LogLevel>(item.level)), item.word);
  }
}

TEST(LogLine, Format) {
  const struct {
    int year, month, day, hour, minute, second, millisecond;
    LogLevel level;
    std::uint64_t thread;
    std::string message;
    std::string line;
  } cases[] = {
      {2024, 1, 2, 3, 4, 5, 6, LogLevel::info, 1234, "Starting",
       "2024-01-02T03:04:05.006Z INFO  [1234] Starting\r\n"},
      {2031, 12, 31, 23, 59, 59, 999, LogLevel::warn, 7, "Source demoted",
       "2031-12-31T23:59:59.999Z WARN  [7] Source demoted\r\n"},
      {987, 10, 11, 0, 0, 0, 0, LogLevel::debug, 0, "", "0987-10-11T00:00:00.000Z DEBUG [0] \r\n"},
      {2025, 6, 7, 8, 9, 10, 11, LogLevel::error, UINT64_MAX, "Failed: \xC3\xA9",
       "2025-06-07T08:09:10.011Z ERROR [18446744073709551615] Failed: \xC3\xA9\r\n"},
      {2025, 6, 7, 8, 9, 10, 110, static_cast<LogLevel>(9), 42, "odd",
       "2025-06-07T08:09:10.110Z ?     [42] odd\r\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.line);
    EXPECT_EQ(format_log_line(c.year, c.month, c.day, c.hour, c.minute, c.second, c.millisecond,
                              c.level, c.thread, c.message),
              c.line);
  }
}

struct ParsedLine {
  std::chrono::sys_time<std::chrono::milliseconds> time;
  std::string level;
  std::uint64_t thread = 0;
  std::string message;
};

bool is_digits(std::string_view text) {
  return !text.empty() && text.find_first_not_of("0123456789") == std::string_view::npos;
}

// Parses one line without its CR LF; fails the test if it is not a log line.
ParsedLine parse_line(const std::string& line) {
  // 'd' stands for a decimal digit.
  constexpr std::string_view kStamp = "dddd-dd-ddTdd:dd:dd.dddZ ";
  ParsedLine parsed;
  bool ok = line.size() > kStamp.size() + 8;
  for (std::size_t i = 0; ok && i < kStamp.size(); ++i) {
    ok = kStamp[i] == 'd' ? (line[i] >= '0' && line[i] <= '9') : line[i] == kStamp[i];
  }
  const std::size_t level_at = kStamp.size();
  const std::size_t thread_at = level_at + 7;
  const std::size_t thread_end = ok ? line.find("] ", thread_at) : std::string::npos;
  ok = ok && line.compare(level_at + 5, 2, " [") == 0 && thread_end != std::string::npos &&
       is_digits(std::string_view(line).substr(thread_at, thread_end - thread_at));
  if (!ok) {
    ADD_FAILURE() << "not a log line: " << line.substr(0, 80);
    return parsed;
  }
  using namespace std::chrono;
  const auto number = [&](std::size_t at, std::size_t length) {
    return std::stoi(line.substr(at, length));
  };
  const year_month_day date{year{number(0, 4)}, month{static_cast<unsigned>(number(5, 2))},
                            day{static_cast<unsigned>(number(8, 2))}};
  EXPECT_TRUE(date.ok()) << line.substr(0, 24);
  parsed.time = sys_days(date) + hours(number(11, 2)) + minutes(number(14, 2)) +
                seconds(number(17, 2)) + milliseconds(number(20, 3));
  parsed.level = line.substr(level_at, 5);
  parsed.thread = std::stoull(line.substr(thread_at, thread_end - thread_at));
  parsed.message = line.substr(thread_end + 2);
  return parsed;
}

std::string read_file(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void write_file(const fs::path& path, const std::string& content) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(content.data(), static_cast<std::streamsize>(content.size()));
  ASSERT_TRUE(out.good()) << path;
}

// Lines of a log file without their CR LF; a missing CR LF at the end fails.
std::vector<std::string> split_lines(const std::string& content) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  while (start < content.size()) {
    const std::size_t end = content.find("\r\n", start);
    if (end == std::string::npos) {
      ADD_FAILURE() << "unterminated last line";
      break;
    }
    lines.push_back(content.substr(start, end - start));
    start = end + 2;
  }
  return lines;
}

// The logger is one per process: every test here points it at a file of its
// own folder and leaves it pointing at a file that cannot be opened.
class LogFile : public ::testing::Test {
 protected:
  void SetUp() override {
    std::random_device random;
    folder_ = fs::temp_directory_path() /
              ("lanternix-core-log-" + std::to_string(random()) + std::to_string(random()));
    fs::create_directories(folder_);
    blocker_ = folder_ / "blocker";
    write_file(blocker_, "a file where a folder is expected");
  }

  void TearDown() override {
    close_log();
    std::error_code ignored;
    fs::remove_all(folder_, ignored);
  }

  // A path whose parent is a file: open_log cannot create or open it.
  fs::path unopenable() const { return blocker_ / "logs" / "lanternix.log"; }
  void close_log() const { open_log(unopenable()); }

  fs::path folder_;
  fs::path blocker_;
};

TEST_F(LogFile, WritesUtcStampedLinesAndCreatesFolders) {
  const fs::path path = folder_ / "data" / "logs" / "lanternix.log";
  const auto before =
      std::chrono::floor<std::chrono::milliseconds>(std::chrono::system_clock::now());
  open_log(path);
  log(LogLevel::info, "Lanternix 0.1.0 starting");
  log(LogLevel::warn, "{} of {} sources answered", 1, 2);
  log(LogLevel::debug, std::string_view("tab\there"));
  log(LogLevel::error, "Update failed: {}", "\xC3\xA9");
  const auto after = std::chrono::ceil<std::chrono::milliseconds>(std::chrono::system_clock::now());

  const std::vector<std::string> lines = split_lines(read_file(path));
  ASSERT_EQ(lines.size(), 4u);
  const struct {
    const char* level;
    const char* message;
  } expected[] = {
      {"INFO ", "Lanternix 0.1.0 starting"},
      {"WARN ", "1 of 2 sources answered"},
      {"DEBUG", "tab\there"},
      {"ERROR", "Update failed: \xC3\xA9"},
  };
  std::set<std::uint64_t> threads;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    SCOPED_TRACE(lines[i]);
    const ParsedLine parsed = parse_line(lines[i]);
    EXPECT_EQ(parsed.level, expected[i].level);
    EXPECT_EQ(parsed.message, expected[i].message);
    // The stamp is UTC and within the time the calls took (give or take the
    // system clock's coarser tick).
    EXPECT_GE(parsed.time, before - std::chrono::seconds(2));
    EXPECT_LE(parsed.time, after + std::chrono::seconds(2));
    threads.insert(parsed.thread);
  }
  EXPECT_EQ(threads.size(), 1u);
  EXPECT_NE(lines[0].find("Z INFO  ["), std::string::npos);
  EXPECT_NE(lines[1].find("Z WARN  ["), std::string::npos);
}

TEST_F(LogFile, AppendsToAnExistingFile) {
  const fs::path path = folder_ / "lanternix.log";
  write_file(path, "earlier run\r\n");
  open_log(path);
  log(LogLevel::info, "later run");
  const std::string content = read_file(path);
  ASSERT_EQ(content.rfind("earlier run\r\n", 0), 0u) << content;
  const std::vector<std::string> lines = split_lines(content);
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(parse_line(lines[1]).message, "later run");
}

TEST_F(LogFile, FileOfExactlyTheLimitIsKeptAndAppended) {
  const fs::path path = folder_ / "lanternix.log";
  write_file(path, std::string(kRotationLimit, 'a'));
  open_log(path);
  log(LogLevel::info, "appended");
  const std::string content = read_file(path);
  ASSERT_GT(content.size(), kRotationLimit);
  EXPECT_EQ(content.find_first_not_of('a'), kRotationLimit);
  EXPECT_EQ(parse_line(content.substr(kRotationLimit, content.size() - kRotationLimit - 2)).message,
            "appended");
  EXPECT_FALSE(fs::exists(folder_ / "lanternix.log.1"));
}

TEST_F(LogFile, FileAboveTheLimitBecomesTheOlderGeneration) {
  const fs::path path = folder_ / "lanternix.log";
  const fs::path older = folder_ / "lanternix.log.1";
  write_file(older, "generation before");
  write_file(path, std::string(kRotationLimit + 1, 'b'));
  open_log(path);
  log(LogLevel::info, "fresh file");

  EXPECT_EQ(fs::file_size(older), kRotationLimit + 1);
  EXPECT_EQ(read_file(older).find_first_not_of('b'), std::string::npos);
  const std::vector<std::string> lines = split_lines(read_file(path));
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(parse_line(lines[0]).message, "fresh file");
  // Nothing else is created or removed.
  std::set<std::string> names;
  for (const auto& entry : fs::directory_iterator(folder_)) {
    names.insert(entry.path().filename().string());
  }
  EXPECT_EQ(names, (std::set<std::string>{"blocker", "lanternix.log", "lanternix.log.1"}));
}

TEST_F(LogFile, ReopeningMovesLaterLinesToTheNewFile) {
  const fs::path first = folder_ / "first.log";
  const fs::path second = folder_ / "second.log";
  open_log(first);
  log(LogLevel::info, "one");
  open_log(second);
  log(LogLevel::info, "two");
  open_log(first);
  log(LogLevel::info, "three");

  const std::vector<std::string> first_lines = split_lines(read_file(first));
  ASSERT_EQ(first_lines.size(), 2u);
  EXPECT_EQ(parse_line(first_lines[0]).message, "one");
  EXPECT_EQ(parse_line(first_lines[1]).message, "three");
  const std::vector<std::string> second_lines = split_lines(read_file(second));
  ASSERT_EQ(second_lines.size(), 1u);
  EXPECT_EQ(parse_line(second_lines[0]).message, "two");
}

TEST_F(LogFile, LinesAreDroppedWhenTheFileCannotBeOpened) {
  const fs::path path = folder_ / "lanternix.log";
  open_log(path);
  log(LogLevel::info, "kept");
  open_log(unopenable());
  log(LogLevel::error, "dropped");
  EXPECT_FALSE(fs::exists(unopenable()));
  EXPECT_TRUE(fs::is_regular_file(blocker_));

  const std::vector<std::string> lines = split_lines(read_file(path));
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(parse_line(lines[0]).message, "kept");
}

TEST_F(LogFile, LoggingBeforeOpenCreatesNothing) {
  // A fresh process, since this one's logger may already have a file.
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        const fs::path work = folder_ / "work";
        fs::create_directory(work);
        const fs::path previous = fs::current_path();
        fs::current_path(work);
        log(LogLevel::error, "before any log file");
        log(LogLevel::info, "{} before any log file", 2);
        fs::current_path(previous);
        bool ok = fs::is_empty(work);
        if (!ok) std::cerr << "a file appeared in the working folder\n";
        const fs::path path = folder_ / "late.log";
        open_log(path);
        log(LogLevel::info, "after open");
        const std::string content = read_file(path);
        if (content.find("before") != std::string::npos ||
            content.find("after open") == std::string::npos) {
          std::cerr << "unexpected log content: " << content << "\n";
          ok = false;
        }
        close_log();
        std::error_code ignored;
        fs::remove_all(folder_, ignored);
        std::exit(ok ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "");
}

TEST_F(LogFile, ConcurrentLinesStayWhole) {
  constexpr int kThreads = 8;
  constexpr int kLinesPerThread = 200;
  const fs::path path = folder_ / "lanternix.log";
  open_log(path);

  // Long messages of differing lengths make a torn or interleaved write visible.
  const auto padding = [](int thread, int line) {
    return std::string(static_cast<std::size_t>(1 + (thread * 977 + line * 131) % 3000),
                       static_cast<char>('a' + thread));
  };
  std::latch all_running(kThreads);
  std::vector<std::thread> workers;
  for (int t = 0; t < kThreads; ++t) {
    workers.emplace_back([&, t] {
      all_running.arrive_and_wait();
      for (int i = 0; i < kLinesPerThread; ++i) {
        log(LogLevel::info, "worker {} line {} {}", t, i, padding(t, i));
      }
    });
  }
  for (std::thread& worker : workers) worker.join();

  const std::vector<std::string> lines = split_lines(read_file(path));
  ASSERT_EQ(lines.size(), static_cast<std::size_t>(kThreads * kLinesPerThread));
  std::map<int, int> next_line;
  std::map<int, std::uint64_t> thread_of_worker;
  for (const std::string& line : lines) {
    const ParsedLine parsed = parse_line(line);
    int worker = -1;
    int index = -1;
    char pad[8] = {};
    ASSERT_EQ(std::sscanf(parsed.message.c_str(), "worker %d line %d %7s", &worker, &index, pad), 3)
        << line.substr(0, 80);
    ASSERT_TRUE(worker >= 0 && worker < kThreads) << line.substr(0, 80);
    // Each worker's lines arrive whole and in its own order.
    EXPECT_EQ(index, next_line[worker]) << line.substr(0, 80);
    next_line[worker] = index + 1;
    EXPECT_EQ(parsed.message,
              fmt::format("worker {} line {} {}", worker, index, padding(worker, index)));
    const auto [it, inserted] = thread_of_worker.emplace(worker, parsed.thread);
    EXPECT_EQ(it->second, parsed.thread);
  }
  std::set<std::uint64_t> distinct;
  for (const auto& [worker, thread] : thread_of_worker) distinct.insert(thread);
  EXPECT_EQ(distinct.size(), static_cast<std::size_t>(kThreads));
}

}  // namespace
}  // namespace kaldren::patcher
