#include "system_test_support.h"

#include <chrono>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <thread>
#include <utility>

#include "core/text.h"
#include "support/log_reader.h"

namespace kaldren::patcher::test {
namespace {

std::filesystem::path own_folder() {
  std::wstring module(32768, L'\0');
  module.resize(GetModuleFileNameW(nullptr, module.data(), static_cast<DWORD>(module.size())));
  return std::filesystem::path(module).parent_path();
}

LogReader& process_log() {
  static LogReader log(std::filesystem::temp_directory_path() / L"lanternix-system-tests.log");
  return log;
}

}  // namespace

LogCapture::LogCapture() { process_log().mark(); }

std::vector<std::string> LogCapture::new_lines() const { return process_log().raw_lines(); }

std::vector<std::string> LogCapture::lines_ending_with(std::string_view suffix) const {
  std::vector<std::string> matching;
  for (std::string& line : new_lines()) {
    if (line.ends_with(suffix)) matching.push_back(std::move(line));
  }
  return matching;
}

std::string content_of(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return "<missing>";
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

bool present(const std::filesystem::path& path) {
  return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::string utf8(const std::filesystem::path& path) { return to_utf8(path.native()); }

std::string system_text(DWORD code) {
  wchar_t buffer[2048] = {};
  const DWORD length =
      FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code,
                     1033, buffer, static_cast<DWORD>(std::size(buffer)), nullptr);
  std::wstring text(buffer, length);
  while (!text.empty() && (text.back() == L'\r' || text.back() == L'\n' || text.back() == L'.' ||
                           text.back() == L' ')) {
    text.pop_back();
  }
  return to_utf8(text);
}

DWORD run_helper(std::wstring_view program_name, const std::wstring& arguments) {
  const std::filesystem::path program = own_folder() / program_name;
  std::wstring command_line = L"\"" + program.native() + L"\" " + arguments;
  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION info{};
  if (!CreateProcessW(program.c_str(), command_line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                      &info)) {
    throw std::runtime_error("could not start " + utf8(program) + ": error " + std::to_string(GetLastError()));
  }
  CloseHandle(info.hThread);
  WaitForSingleObject(info.hProcess, INFINITE);
  DWORD exit_code = 0;
  GetExitCodeProcess(info.hProcess, &exit_code);
  CloseHandle(info.hProcess);
  return exit_code;
}

Holder Holder::hold_file(const std::filesystem::path& file, DWORD milliseconds,
                         const std::filesystem::path& scratch) {
  const std::filesystem::path marker = scratch / L"holder-ready";
  return Holder(L"hold \"" + file.native() + L"\" " + std::to_wstring(milliseconds) + L" \"" +
                    marker.native() + L"\"",
                marker);
}

Holder Holder::own_mutex(std::wstring_view name, const std::filesystem::path& scratch) {
  const std::filesystem::path marker = scratch / L"holder-ready";
  return Holder(L"mutex \"" + std::wstring(name) + L"\" \"" + marker.native() + L"\"", marker);
}

Holder::Holder(const std::wstring& arguments, const std::filesystem::path& marker) {
  DeleteFileW(marker.c_str());
  const std::filesystem::path program = own_folder() / L"system_helper.exe";
  std::wstring command_line = L"\"" + program.native() + L"\" " + arguments;
  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION info{};
  if (!CreateProcessW(program.c_str(), command_line.data(), nullptr, nullptr, FALSE, 0, nullptr,
                      nullptr, &startup, &info)) {
    throw std::runtime_error("could not start system_helper.exe: error " +
                             std::to_string(GetLastError()));
  }
  CloseHandle(info.hThread);
  process_ = info.hProcess;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (!present(marker)) {
    DWORD exit_code = 0;
    if (GetExitCodeProcess(process_, &exit_code) && exit_code != STILL_ACTIVE) {
      kill();
      throw std::runtime_error("system_helper.exe ended early with " + std::to_string(exit_code));
    }
    if (std::chrono::steady_clock::now() > deadline) {
      kill();
      throw std::runtime_error("system_helper.exe did not become ready");
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

Holder::Holder(Holder&& other) noexcept : process_(std::exchange(other.process_, nullptr)) {}

Holder::~Holder() { kill(); }

void Holder::kill() {
  if (process_ == nullptr) return;
  TerminateProcess(process_, 9);
  WaitForSingleObject(process_, 10000);
  CloseHandle(std::exchange(process_, nullptr));
}

}  // namespace kaldren::patcher::test
