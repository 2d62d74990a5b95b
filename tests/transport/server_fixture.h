// What the transport tests share: the servers' driving scripts pass their port and
// files through the environment; file bytes.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace kaldren::patcher::test {

// True when the program runs under Wine rather than Windows.
bool running_under_wine();

// Byte i of the fault server's generated bodies is ((i * 7) + (i >> 8)) & 0xFF.
std::string pattern_bytes(std::uint64_t start, std::uint64_t count);

// A variable set by the driving script; fails the calling test when it is missing.
std::wstring required_environment(const wchar_t* name);

// "http://127.0.0.1:{LANTERNIX_TEST_PORT}" followed by `path`.
std::wstring local_address(std::wstring_view scheme_and_host, std::wstring_view path);

struct LoggedRequest {
  std::int64_t ms = 0;  // since the server started
  std::string target;
  std::string range;          // "-" when absent
  std::string cache_control;  // "-" when absent
  std::string user_agent;
};

// The fault server (tests/support/fault_server.py) as the test program sees it.
class FaultServer {
 public:
  // http://127.0.0.1:port + base path.
  static std::wstring address(std::wstring_view base_path);
  // Replaces the server's script (JSON, see the server).
  static void script(std::string_view json);
  // The requests logged so far whose target starts with `prefix`.
  static std::vector<LoggedRequest> requests(std::string_view prefix);
};

std::string read_bytes(const std::filesystem::path& path);
void write_bytes(const std::filesystem::path& path, std::string_view bytes);

}  // namespace kaldren::patcher::test
