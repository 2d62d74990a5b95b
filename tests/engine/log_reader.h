// The process log sent to a file of the test's own, read back as "LEVEL message"
// lines (time stamp and thread left out). Closes the log when it goes.
#pragma once

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "core/log.h"

namespace kaldren::patcher::test {

class LogReader {
 public:
  explicit LogReader(std::filesystem::path file) : file_(std::move(file)) { open_log(file_); }
  LogReader(const LogReader&) = delete;
  LogReader& operator=(const LogReader&) = delete;
  // A file cannot be a folder: the log closes and later lines are dropped.
  ~LogReader() { open_log(file_ / "closed"); }

  std::vector<std::string> lines() const {
    std::ifstream in(file_, std::ios::binary);
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::vector<std::string> lines;
    std::size_t begin = 0;
    while (begin < text.size()) {
      std::size_t end = text.find("\r\n", begin);
      if (end == std::string::npos) end = text.size();
      const std::string line = text.substr(begin, end - begin);
      begin = end + 2;
      // "2024-01-02T03:04:05.006Z INFO  [1234] message"
      const std::size_t level_at = line.find(' ');
      const std::size_t message_at = line.find("] ");
      if (level_at == std::string::npos || message_at == std::string::npos) {
        lines.push_back(line);
        continue;
      }
      std::string level = line.substr(level_at + 1, 5);
      while (!level.empty() && level.back() == ' ') level.pop_back();
      lines.push_back(level + " " + line.substr(message_at + 2));
    }
    return lines;
  }

  // The lines at `level` ("INFO", "WARN", ...), without the level word.
  std::vector<std::string> at(std::string_view level) const {
    std::vector<std::string> matching;
    const std::string prefix = std::string(level) + " ";
    for (const std::string& line : lines()) {
      if (line.starts_with(prefix)) matching.push_back(line.substr(prefix.size()));
    }
    return matching;
  }

 private:
  std::filesystem::path file_;
};

}  // namespace kaldren::patcher::test
