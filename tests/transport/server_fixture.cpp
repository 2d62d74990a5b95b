#include "transport/server_fixture.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <stdexcept>

#include "core/text.h"

namespace kaldren::patcher::test {

bool running_under_wine() {
  return GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr;
}

std::string pattern_bytes(std::uint64_t start, std::uint64_t count) {
  std::string bytes(count, '\0');
  for (std::uint64_t i = 0; i < count; ++i) {
    const std::uint64_t n = start + i;
    bytes[i] = static_cast<char>(((n * 7) + (n >> 8)) & 0xFF);
  }
  return bytes;
}

std::wstring required_environment(const wchar_t* name) {
  wchar_t value[4096];
  const DWORD length = GetEnvironmentVariableW(name, value, static_cast<DWORD>(std::size(value)));
  if (length == 0 || length >= std::size(value)) {
    throw std::runtime_error(to_utf8(name) + " is not set: run this test through its driving script");
  }
  return std::wstring(value, length);
}

std::wstring local_address(std::wstring_view scheme_and_host, std::wstring_view path) {
  return std::wstring(scheme_and_host) + L":" + required_environment(L"LANTERNIX_TEST_PORT") +
         std::wstring(path);
}

std::wstring FaultServer::address(std::wstring_view base_path) {
  return local_address(L"http://127.0.0.1", base_path);
}

void FaultServer::script(std::string_view json) {
  const std::filesystem::path file = required_environment(L"LANTERNIX_TEST_SCRIPT");
  const std::filesystem::path temporary = file.wstring() + L".new";
  write_bytes(temporary, json);
  if (!MoveFileExW(temporary.c_str(), file.c_str(), MOVEFILE_REPLACE_EXISTING)) {
    throw std::runtime_error("could not replace the fault server's script");
  }
}

std::vector<LoggedRequest> FaultServer::requests(std::string_view prefix) {
  std::istringstream lines(read_bytes(required_environment(L"LANTERNIX_TEST_LOG")));
  std::vector<LoggedRequest> result;
  std::string line;
  while (std::getline(lines, line)) {
    std::vector<std::string> fields;
    std::istringstream columns(line);
    std::string field;
    while (std::getline(columns, field, '\t')) fields.push_back(field);
    if (fields.size() != 6 || fields[2].compare(0, prefix.size(), prefix) != 0) continue;
    result.push_back({std::stoll(fields[0]), fields[2], fields[3], fields[4], fields[5]});
  }
  return result;
}

std::string read_bytes(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

void write_bytes(const std::filesystem::path& path, std::string_view bytes) {
  std::filesystem::create_directories(path.parent_path());
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (!out) throw std::runtime_error("could not write " + path.string());
}

}  // namespace kaldren::patcher::test
