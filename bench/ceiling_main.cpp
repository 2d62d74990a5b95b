// wine_ceiling: the platform's own speed for the update engine's work, with no
// engine around it.
//   wine_ceiling BASE_URL LIST   fetch every "path size" line of LIST from BASE_URL
//                                with 8 threads (WinHTTP) and hash it (CNG SHA-256)
//   wine_ceiling hash LIST       hash every file named on a line of LIST, one thread
// Prints "bytes N seconds S"; exit code 1 on any failure.
#include <windows.h>
#include <winhttp.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <exception>
#include <fstream>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "protocol/crypto.h"

namespace {

constexpr int kThreads = 8;
constexpr DWORD kBufferSize = 256 * 1024;

struct Object {
  std::wstring path;
  std::uint64_t size = 0;
};

std::wstring widen(const std::string& text) {
  int length = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring wide(static_cast<size_t>(length), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), wide.data(), length);
  return wide;
}

std::vector<std::string> read_lines(const wchar_t* file) {
  std::ifstream in(file);
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (!line.empty()) lines.push_back(line);
  }
  return lines;
}

// Closes a WinHTTP handle when it goes out of scope.
struct Handle {
  HINTERNET value = nullptr;
  explicit Handle(HINTERNET handle) : value(handle) {}
  ~Handle() {
    if (value) WinHttpCloseHandle(value);
  }
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
};

struct Url {
  std::wstring host;
  INTERNET_PORT port = 0;
  std::wstring prefix;  // ends with '/'
  bool secure = false;
};

bool crack(const std::wstring& text, Url& url) {
  URL_COMPONENTS parts{};
  parts.dwStructSize = sizeof(parts);
  parts.dwHostNameLength = static_cast<DWORD>(-1);
  parts.dwUrlPathLength = static_cast<DWORD>(-1);
  if (!WinHttpCrackUrl(text.c_str(), 0, 0, &parts)) return false;
  url.host.assign(parts.lpszHostName, parts.dwHostNameLength);
  url.port = parts.nPort;
  url.prefix.assign(parts.lpszUrlPath, parts.dwUrlPathLength);
  if (url.prefix.empty() || url.prefix.back() != L'/') url.prefix += L'/';
  url.secure = parts.nScheme == INTERNET_SCHEME_HTTPS;
  return true;
}

// One thread's request loop: takes the next object until none is left.
void fetch_loop(HINTERNET session, const Url& url, const std::vector<Object>& objects, std::atomic<size_t>& next,
                std::atomic<std::uint64_t>& total, std::atomic<bool>& failed) {
  Handle connection(WinHttpConnect(session, url.host.c_str(), url.port, 0));
  if (!connection.value) {
    std::fprintf(stderr, "WinHttpConnect failed (%lu)\n", GetLastError());
    failed = true;
    return;
  }
  std::vector<std::uint8_t> buffer(kBufferSize);
  for (size_t index = next++; index < objects.size() && !failed; index = next++) {
    const Object& object = objects[index];
    const std::wstring target = url.prefix + object.path;
    Handle request(WinHttpOpenRequest(connection.value, L"GET", target.c_str(), nullptr, WINHTTP_NO_REFERER,
                                      WINHTTP_DEFAULT_ACCEPT_TYPES, url.secure ? WINHTTP_FLAG_SECURE : 0));
    DWORD status = 0;
    DWORD status_size = sizeof(status);
    if (!request.value ||
        !WinHttpSendRequest(request.value, WINHTTP_NO_ADDITIONAL_HEADERS, 0, WINHTTP_NO_REQUEST_DATA, 0, 0, 0) ||
        !WinHttpReceiveResponse(request.value, nullptr) ||
        !WinHttpQueryHeaders(request.value, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                             WINHTTP_HEADER_NAME_BY_INDEX, &status, &status_size, WINHTTP_NO_HEADER_INDEX)) {
      std::fprintf(stderr, "request for %ls failed (%lu)\n", target.c_str(), GetLastError());
      failed = true;
      return;
    }
    if (status != 200) {
      std::fprintf(stderr, "%ls: HTTP status %lu\n", target.c_str(), status);
      failed = true;
      return;
    }
    kaldren::patcher::Sha256 hash;
    std::uint64_t received = 0;
    for (;;) {
      DWORD read = 0;
      if (!WinHttpReadData(request.value, buffer.data(), kBufferSize, &read)) {
        std::fprintf(stderr, "reading %ls failed (%lu)\n", target.c_str(), GetLastError());
        failed = true;
        return;
      }
      if (read == 0) break;
      hash.update(std::span<const std::uint8_t>(buffer.data(), read));
      received += read;
    }
    hash.finish();
    if (received != object.size) {
      std::fprintf(stderr, "%ls: %llu bytes, expected %llu\n", target.c_str(),
                   static_cast<unsigned long long>(received), static_cast<unsigned long long>(object.size));
      failed = true;
      return;
    }
    total += received;
  }
}

int fetch(const wchar_t* base_url, const wchar_t* list) {
  Url url;
  if (!crack(base_url, url)) {
    std::fprintf(stderr, "not a URL: %ls\n", base_url);
    return 1;
  }
  std::vector<Object> objects;
  for (const std::string& line : read_lines(list)) {
    size_t space = line.rfind(' ');
    if (space == std::string::npos) continue;
    objects.push_back({widen(line.substr(0, space)), std::stoull(line.substr(space + 1))});
  }
  Handle session(WinHttpOpen(L"wine_ceiling", WINHTTP_ACCESS_TYPE_NO_PROXY, WINHTTP_NO_PROXY_NAME,
                             WINHTTP_NO_PROXY_BYPASS, 0));
  if (!session.value) {
    std::fprintf(stderr, "WinHttpOpen failed (%lu)\n", GetLastError());
    return 1;
  }
  DWORD connections = kThreads;
  WinHttpSetOption(session.value, WINHTTP_OPTION_MAX_CONNS_PER_SERVER, &connections, sizeof(connections));
  std::atomic<size_t> next{0};
  std::atomic<std::uint64_t> total{0};
  std::atomic<bool> failed{false};
  auto started = std::chrono::steady_clock::now();
  {
    std::vector<std::jthread> threads;
    for (int i = 0; i < kThreads; ++i)
      threads.emplace_back([&] { fetch_loop(session.value, url, objects, next, total, failed); });
  }
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  if (failed) return 1;
  std::printf("bytes %llu seconds %.3f\n", static_cast<unsigned long long>(total.load()), seconds);
  return 0;
}

int hash_files(const wchar_t* list) {
  std::vector<std::wstring> files;
  for (const std::string& line : read_lines(list)) files.push_back(widen(line));
  std::vector<std::uint8_t> buffer(kBufferSize);
  std::uint64_t total = 0;
  auto started = std::chrono::steady_clock::now();
  for (const std::wstring& file : files) {
    HANDLE handle = CreateFileW(file.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
      std::fprintf(stderr, "cannot open %ls (%lu)\n", file.c_str(), GetLastError());
      return 1;
    }
    kaldren::patcher::Sha256 hash;
    DWORD read = 0;
    BOOL ok = TRUE;
    while ((ok = ReadFile(handle, buffer.data(), kBufferSize, &read, nullptr)) && read > 0) {
      hash.update(std::span<const std::uint8_t>(buffer.data(), read));
      total += read;
    }
    DWORD code = GetLastError();
    CloseHandle(handle);
    if (!ok) {
      std::fprintf(stderr, "cannot read %ls (%lu)\n", file.c_str(), code);
      return 1;
    }
    hash.finish();
  }
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  std::printf("bytes %llu seconds %.3f\n", static_cast<unsigned long long>(total), seconds);
  return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  try {
    if (argc == 3 && std::wstring(argv[1]) == L"hash") return hash_files(argv[2]);
    if (argc == 3) return fetch(argv[1], argv[2]);
  } catch (const std::exception& error) {
    std::fprintf(stderr, "wine_ceiling: %s\n", error.what());
    return 1;
  }
  std::fputs("usage: wine_ceiling BASE_URL LIST | wine_ceiling hash LIST\n", stderr);
  return 2;
}
