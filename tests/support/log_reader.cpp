#include "support/log_reader.h"

#include <fstream>
#include <iterator>

#include "core/log.h"

namespace kaldren::patcher::test {

LogReader::LogReader(std::filesystem::path file) : file_(std::move(file)) { open_log(file_); }

// A file cannot be a folder: the log closes and later lines are dropped.
LogReader::~LogReader() { open_log(file_ / "closed"); }

void LogReader::mark() {
  std::error_code missing;
  const std::uintmax_t size = std::filesystem::file_size(file_, missing);
  start_ = missing ? 0 : size;
}

std::string LogReader::text() const {
  std::ifstream in(file_, std::ios::binary);
  in.seekg(static_cast<std::streamoff>(start_));
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

std::vector<std::string> LogReader::raw_lines() const {
  const std::string text = this->text();
  std::vector<std::string> lines;
  std::size_t begin = 0;
  while (begin < text.size()) {
    std::size_t end = text.find("\r\n", begin);
    if (end == std::string::npos) end = text.size();
    lines.push_back(text.substr(begin, end - begin));
    begin = end + 2;
  }
  return lines;
}

std::vector<std::string> LogReader::lines() const {
  std::vector<std::string> lines;
  for (const std::string& line : raw_lines()) {
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

std::vector<std::string> LogReader::at(std::string_view level) const {
  std::vector<std::string> matching;
  const std::string prefix = std::string(level) + " ";
  for (const std::string& line : lines()) {
    if (line.starts_with(prefix)) matching.push_back(line.substr(prefix.size()));
  }
  return matching;
}

}  // namespace kaldren::patcher::test
