// The process log sent to a file of the test's own, read back. Closes the log when
// it goes.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace kaldren::patcher::test {

class LogReader {
 public:
  explicit LogReader(std::filesystem::path file);
  LogReader(const LogReader&) = delete;
  LogReader& operator=(const LogReader&) = delete;
  ~LogReader();

  // What was written after the last mark(): as it is, and as lines without CR LF.
  std::string text() const;
  std::vector<std::string> raw_lines() const;
  void mark();
  // The lines as "LEVEL message" (time stamp and thread left out).
  std::vector<std::string> lines() const;
  // The lines at `level` ("INFO", "WARN", ...), without the level word.
  std::vector<std::string> at(std::string_view level) const;

 private:
  std::filesystem::path file_;
  std::uintmax_t start_ = 0;
};

}  // namespace kaldren::patcher::test
