// wine_ceiling: the platform's own speed for the update engine's work, with no
// engine around it.
//   wine_ceiling BASE_URL LIST   fetch every "path size" line of LIST from BASE_URL
//                                with 8 threads (WinHTTP) and hash it (CNG SHA-256)
//   wine_ceiling hash LIST       hash every file named on a line of LIST, one thread
//   wine_ceiling install BASE_URL LIST ROOT
//                                the bare installer: for every "object size zstd|none path"
//                                line (bench/install_list.py), 8 threads fetch the object,
//                                hash it, unpack it if compressed (hashing the content too)
//                                and write the file under ROOT as path.tmp, flushed, then
//                                renamed to path: what any crash-safe installer must do
// Prints "bytes N seconds S"; exit code 1 on any failure.
#include <windows.h>
#include <winhttp.h>
#include <zstd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <exception>
#include <fstream>
#include <memory>
#include <mutex>
#include <set>
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
  bool compressed = false;
  std::wstring target;  // install mode: the file's path under the root, '\\' separated
};

// Install mode: where files go, and the folders made so far (made once each).
struct InstallTarget {
  std::wstring root;
  std::mutex lock;
  std::set<std::wstring> folders;

  bool make_parents(const std::wstring& file) {
    const size_t slash = file.rfind(L'\\');
    std::lock_guard hold(lock);
    if (folders.count(file.substr(0, slash))) return true;
    for (size_t at = file.find(L'\\', root.size() + 1); at != std::wstring::npos && at <= slash;
         at = file.find(L'\\', at + 1)) {
      const std::wstring part = file.substr(0, at);
      if (!folders.insert(part).second) continue;
      if (!CreateDirectoryW(part.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) return false;
    }
    return true;
  }
};

// One file being written: path.tmp, flushed and renamed by finish().
class StagedFile {
 public:
  explicit StagedFile(const std::wstring& path) : path_(path), temporary_(path + L".tmp") {
    handle_ = CreateFileW(temporary_.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  }
  ~StagedFile() {
    if (handle_ != INVALID_HANDLE_VALUE) CloseHandle(handle_);
  }
  StagedFile(const StagedFile&) = delete;
  StagedFile& operator=(const StagedFile&) = delete;
  bool ok() const { return handle_ != INVALID_HANDLE_VALUE; }
  bool write(const std::uint8_t* bytes, size_t size) {
    DWORD written = 0;
    return size == 0 || (WriteFile(handle_, bytes, static_cast<DWORD>(size), &written, nullptr) && written == size);
  }
  bool finish() {
    const bool flushed = FlushFileBuffers(handle_) != 0;
    CloseHandle(handle_);
    handle_ = INVALID_HANDLE_VALUE;
    return flushed && MoveFileExW(temporary_.c_str(), path_.c_str(), MOVEFILE_REPLACE_EXISTING);
  }

 private:
  std::wstring path_;
  std::wstring temporary_;
  HANDLE handle_ = INVALID_HANDLE_VALUE;
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
                std::atomic<std::uint64_t>& total, std::atomic<bool>& failed, InstallTarget* install) {
  Handle connection(WinHttpConnect(session, url.host.c_str(), url.port, 0));
  if (!connection.value) {
    std::fprintf(stderr, "WinHttpConnect failed (%lu)\n", GetLastError());
    failed = true;
    return;
  }
  std::vector<std::uint8_t> buffer(kBufferSize);
  std::vector<std::uint8_t> unpacked(ZSTD_DStreamOutSize());
  ZSTD_DCtx* decoder = ZSTD_createDCtx();
  struct FreeDecoder {
    ZSTD_DCtx* decoder;
    ~FreeDecoder() { ZSTD_freeDCtx(decoder); }
  } free_decoder{decoder};
  for (size_t index = next++; index < objects.size() && !failed; index = next++) {
    const Object& object = objects[index];
    std::unique_ptr<StagedFile> file;
    kaldren::patcher::Sha256 content_hash;
    if (install) {
      const std::wstring path = install->root + L"\\" + object.target;
      if (!install->make_parents(path) || !(file = std::make_unique<StagedFile>(path))->ok()) {
        std::fprintf(stderr, "cannot create %ls (%lu)\n", path.c_str(), GetLastError());
        failed = true;
        return;
      }
      ZSTD_DCtx_reset(decoder, ZSTD_reset_session_only);
    }
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
      if (!file) continue;
      bool written = true;
      if (!object.compressed) {
        written = file->write(buffer.data(), read);
      } else {
        ZSTD_inBuffer input{buffer.data(), read, 0};
        while (written && input.pos < input.size) {
          ZSTD_outBuffer output{unpacked.data(), unpacked.size(), 0};
          if (ZSTD_isError(ZSTD_decompressStream(decoder, &output, &input))) written = false;
          content_hash.update(std::span<const std::uint8_t>(unpacked.data(), output.pos));
          written = written && file->write(unpacked.data(), output.pos);
        }
      }
      if (!written) {
        std::fprintf(stderr, "cannot unpack or write %ls (%lu)\n", object.target.c_str(), GetLastError());
        failed = true;
        return;
      }
    }
    hash.finish();
    if (file) {
      if (object.compressed) content_hash.finish();
      if (!file->finish()) {
        std::fprintf(stderr, "cannot flush or rename %ls (%lu)\n", object.target.c_str(), GetLastError());
        failed = true;
        return;
      }
    }
    if (received != object.size) {
      std::fprintf(stderr, "%ls: %llu bytes, expected %llu\n", target.c_str(),
                   static_cast<unsigned long long>(received), static_cast<unsigned long long>(object.size));
      failed = true;
      return;
    }
    total += received;
  }
}

int fetch(const wchar_t* base_url, const wchar_t* list, InstallTarget* install) {
  Url url;
  if (!crack(base_url, url)) {
    std::fprintf(stderr, "not a URL: %ls\n", base_url);
    return 1;
  }
  std::vector<Object> objects;
  for (const std::string& line : read_lines(list)) {
    if (install) {  // object size zstd|none path (the path may hold spaces)
      const size_t first = line.find(' ');
      const size_t second = line.find(' ', first + 1);
      const size_t third = line.find(' ', second + 1);
      if (third == std::string::npos) continue;
      std::wstring target = widen(line.substr(third + 1));
      for (wchar_t& c : target) c = c == L'/' ? L'\\' : c;
      objects.push_back({widen(line.substr(0, first)), std::stoull(line.substr(first + 1, second - first - 1)),
                         line.compare(second + 1, third - second - 1, "zstd") == 0, target});
      continue;
    }
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
      threads.emplace_back([&] { fetch_loop(session.value, url, objects, next, total, failed, install); });
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
    if (argc == 5 && std::wstring(argv[1]) == L"install") {
      InstallTarget target;
      target.root = argv[4];
      CreateDirectoryW(target.root.c_str(), nullptr);
      return fetch(argv[2], argv[3], &target);
    }
    if (argc == 3) return fetch(argv[1], argv[2], nullptr);
  } catch (const std::exception& error) {
    std::fprintf(stderr, "wine_ceiling: %s\n", error.what());
    return 1;
  }
  std::fputs("usage: wine_ceiling BASE_URL LIST | wine_ceiling hash LIST | wine_ceiling install BASE_URL LIST ROOT\n",
             stderr);
  return 2;
}
