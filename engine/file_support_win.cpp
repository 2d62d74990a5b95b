#include "engine/file_support_win.h"

#include <memory>
#include <vector>

#include <fmt/format.h>

#include "core/log.h"
#include "core/text.h"

namespace kaldren::patcher::file_support {
namespace {

// 25 attempts and 24 pauses: a file an anti-virus scanner or a closing game holds for
// a few seconds is waited out, one that stays locked fails within 4.8 s.
constexpr int kAttempts = 25;
constexpr DWORD kPauseMilliseconds = 200;
constexpr DWORD kEnglishUnitedStates = 1033;

bool is_lock_code(DWORD code) {
  return code == ERROR_ACCESS_DENIED || code == ERROR_SHARING_VIOLATION ||
         code == ERROR_LOCK_VIOLATION || code == ERROR_USER_MAPPED_FILE;
}

bool is_folder(const std::filesystem::path& path) {
  const DWORD attributes = attributes_of(path);
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

struct LocalFreeDeleter {
  void operator()(wchar_t* buffer) const noexcept { LocalFree(buffer); }
};

}  // namespace

std::string display_path(const std::filesystem::path& path) {
  return to_utf8_lenient(path.native());
}

std::filesystem::path normal_path(const std::filesystem::path& path) {
  static constexpr std::wstring_view kPrefix = L"\\\\?\\";
  const std::wstring& text = path.native();
  if (text.size() <= kPrefix.size() || text.compare(0, kPrefix.size(), kPrefix) != 0) {
    return path.lexically_normal();
  }
  const std::filesystem::path rest = std::filesystem::path(text.substr(kPrefix.size()));
  return std::filesystem::path(std::wstring(kPrefix) + rest.lexically_normal().native());
}

DWORD attributes_of(const std::filesystem::path& path) noexcept {
  return GetFileAttributesW(path.c_str());
}

void clear_read_only(const std::filesystem::path& path) noexcept {
  const DWORD attributes = attributes_of(path);
  if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_READONLY) == 0) return;
  DWORD cleared = attributes & ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY);
  if (cleared == 0) cleared = FILE_ATTRIBUTE_NORMAL;
  SetFileAttributesW(path.c_str(), cleared);
}

DWORD create_folders(const std::filesystem::path& folder) {
  // Walk up to the nearest existing part, then create downward: roots and shares
  // above it are never touched.
  std::vector<std::filesystem::path> missing;
  std::filesystem::path current = folder;
  while (!current.empty() && attributes_of(current) == INVALID_FILE_ATTRIBUTES) {
    missing.push_back(current);
    std::filesystem::path parent = current.parent_path();
    if (parent == current) break;
    current = std::move(parent);
  }
  if (missing.empty() && !current.empty() && !is_folder(current)) return ERROR_ALREADY_EXISTS;
  for (auto part = missing.rbegin(); part != missing.rend(); ++part) {
    if (!CreateDirectoryW(part->c_str(), nullptr)) {
      const DWORD error = GetLastError();
      // Another thread or process may have created it meanwhile.
      if (error == ERROR_ALREADY_EXISTS && is_folder(*part)) continue;
      return error;
    }
  }
  return 0;
}

std::string system_message(DWORD code) {
  wchar_t* buffer = nullptr;
  const DWORD length = FormatMessageW(
      FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, code, kEnglishUnitedStates, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
  const std::unique_ptr<wchar_t, LocalFreeDeleter> owner(buffer);
  std::wstring_view text = length != 0 && buffer != nullptr ? std::wstring_view(buffer, length)
                                                            : std::wstring_view();
  while (!text.empty() && (text.back() == L'\r' || text.back() == L'\n' || text.back() == L'.' ||
                           text.back() == L' ')) {
    text.remove_suffix(1);
  }
  if (text.empty()) return fmt::format("Win32 error {}", code);
  return to_utf8_lenient(text);
}

DWORD retry_while_locked(const std::filesystem::path& path,
                         const std::function<DWORD()>& attempt) {
  DWORD code = 0;
  bool logged = false;
  for (int number = 1; number <= kAttempts; ++number) {
    code = attempt();
    if (code == 0 || !is_lock_code(code)) return code;
    if (!logged) {
      log(LogLevel::debug, "{} is locked; retrying", display_path(path));
      logged = true;
    }
    if (number < kAttempts) Sleep(kPauseMilliseconds);
  }
  return code;
}

void throw_after_retries(std::string_view context, DWORD code) {
  const ErrorCategory category =
      is_lock_code(code) ? ErrorCategory::file_in_use : category_for_win32(code);
  throw_win32(category, context, code);
}

}  // namespace kaldren::patcher::file_support
