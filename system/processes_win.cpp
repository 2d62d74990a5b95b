// Processes on Windows: CreateProcessW, the Tool Help snapshot and ShellExecuteW.
#include <windows.h>
#include <shellapi.h>
#include <tlhelp32.h>

#include <fmt/format.h>

#include "core/error.h"
#include "core/log.h"
#include "core/text.h"
#include "system/processes.h"

namespace kaldren::patcher {
namespace {

constexpr DWORD kImagePathCapacity = 32768;

bool same_text_ignoring_case(std::wstring_view a, std::wstring_view b) {
  return a.size() == b.size() && CompareStringOrdinal(a.data(), static_cast<int>(a.size()), b.data(),
                                                      static_cast<int>(b.size()), TRUE) == CSTR_EQUAL;
}

// The full image path of a running process in Win32 form, or empty when it cannot be read.
std::wstring image_path(DWORD process_id) {
  const UniqueNullHandle process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, process_id));
  if (!process) return {};
  std::wstring path(kImagePathCapacity, L'\0');
  DWORD length = kImagePathCapacity;
  if (!QueryFullProcessImageNameW(process.get(), 0, path.data(), &length)) return {};
  path.resize(length);
  return path;
}

}  // namespace

UniqueNullHandle start_process(const std::filesystem::path& executable, const std::vector<std::wstring>& arguments,
                               const std::filesystem::path& working_folder) {
  const DWORD attributes = GetFileAttributesW(executable.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    throw PatchError(ErrorCategory::io, display_path(executable) + " was not found");
  }
  std::wstring command_line = build_command_line(executable.native(), arguments);
  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION started{};
  if (!CreateProcessW(executable.c_str(), command_line.data(), nullptr, nullptr, FALSE, CREATE_DEFAULT_ERROR_MODE,
                      nullptr, working_folder.empty() ? nullptr : working_folder.c_str(), &startup, &started)) {
    const DWORD error = GetLastError();
    throw_win32(ErrorCategory::io, "Could not start " + display_path(executable), error);
  }
  const UniqueNullHandle thread(started.hThread);
  UniqueNullHandle process(started.hProcess);
  log(LogLevel::info, "Started {} (pid {})", display_path(executable), started.dwProcessId);
  return process;
}

bool is_program_running(const std::filesystem::path& executable) {
  const std::wstring name = executable.filename().native();
  const std::wstring full = std::filesystem::absolute(executable).lexically_normal().native();
  const UniqueHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
  if (!snapshot) {
    const DWORD error = GetLastError();
    throw_win32(ErrorCategory::internal, "Could not list running programs", error);
  }
  PROCESSENTRY32W entry{};
  entry.dwSize = sizeof(entry);
  for (BOOL more = Process32FirstW(snapshot.get(), &entry); more; more = Process32NextW(snapshot.get(), &entry)) {
    if (!same_text_ignoring_case(entry.szExeFile, name)) continue;
    if (same_text_ignoring_case(image_path(entry.th32ProcessID), full)) return true;
  }
  return false;
}

void open_with_shell(std::wstring_view target) {
  const std::wstring terminated(target);
  const auto result = reinterpret_cast<INT_PTR>(
      ShellExecuteW(nullptr, L"open", terminated.c_str(), nullptr, nullptr, SW_SHOWNORMAL));
  if (result <= 32) throw PatchError(ErrorCategory::io, "Could not open " + to_utf8_lenient(target));
}

}  // namespace kaldren::patcher
