// Shared pieces of the tests of the Windows file system: system message texts, paths
// as text, and the helper process that holds files and mutexes.
#pragma once

#include <windows.h>

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "system/file_system.h"

namespace kaldren::patcher::test {

// The disk under test.
inline FileSystem& disk() { return system_file_system(); }

// The lines the process's log received since construction (without CR LF). The test
// executable logs to one file for its whole run.
class LogCapture {
 public:
  LogCapture();
  std::vector<std::string> new_lines() const;
  // New lines that end with `suffix`.
  std::vector<std::string> lines_ending_with(std::string_view suffix) const;
};

// The file's bytes, or "<missing>" when it cannot be read.
std::string content_of(const std::filesystem::path& path);
bool present(const std::filesystem::path& path);
std::string utf8(const std::filesystem::path& path);

// FormatMessageW's text for the code, without trailing full stop or line end.
std::string system_text(DWORD code);

// Runs `program` (a helper next to the test executable) with `arguments` to its end;
// its exit code.
DWORD run_helper(std::wstring_view program, const std::wstring& arguments);

// The system_helper program next to the test executable, started with `arguments`;
// construction returns once it has signalled readiness. Killed on destruction.
class Holder {
 public:
  // Holds `file` open without sharing for `milliseconds` from readiness.
  static Holder hold_file(const std::filesystem::path& file, DWORD milliseconds,
                          const std::filesystem::path& scratch);
  // Owns the named mutex until killed.
  static Holder own_mutex(std::wstring_view name, const std::filesystem::path& scratch);

  Holder(Holder&& other) noexcept;
  Holder(const Holder&) = delete;
  Holder& operator=(const Holder&) = delete;
  Holder& operator=(Holder&&) = delete;
  ~Holder();

  void kill();

 private:
  Holder(const std::wstring& arguments, const std::filesystem::path& marker);
  HANDLE process_ = nullptr;
};

}  // namespace kaldren::patcher::test
