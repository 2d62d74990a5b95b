#include "system/file_policy.h"

#include <string>

#include "core/error.h"
#include "core/log.h"
#include "core/text.h"

namespace kaldren::patcher::file_policy {
namespace {

// 25 attempts and 24 pauses: a file an anti-virus scanner or a closing game holds for
// a few seconds is waited out, one that stays locked fails within 4.8 s.
constexpr int kAttempts = 25;
constexpr std::chrono::milliseconds kPause{200};

constexpr std::wstring_view kLongPathPrefix = L"\\\\?\\";

}  // namespace

bool is_lock_code(SystemCode code) noexcept {
  return code == system_code::access_denied || code == system_code::sharing_violation ||
         code == system_code::lock_violation || code == system_code::user_mapped_file;
}

SystemCode retry_while_locked(FileSystem& fs, const std::filesystem::path& path,
                              const std::function<SystemCode()>& attempt) {
  SystemCode code = 0;
  for (int number = 1; number <= kAttempts; ++number) {
    code = attempt();
    if (code == 0 || !is_lock_code(code)) return code;
    if (number == 1) log(LogLevel::debug, "{} is locked; retrying", display_path(path));
    if (number < kAttempts) fs.pause(kPause);
  }
  return code;
}

void throw_after_retries(FileSystem& fs, std::string_view context, SystemCode code,
                         const std::vector<std::filesystem::path>& paths) {
  if (!is_lock_code(code)) throw_win32(category_for_win32(code), context, code);
  // The player can close a program we name; "a game file is in use" alone leaves them guessing.
  std::string users;
  for (const std::string& program : fs.programs_using(paths)) users += (users.empty() ? "" : ", ") + program;
  if (users.empty()) throw_win32(ErrorCategory::file_in_use, context, code);
  throw PatchError(ErrorCategory::file_in_use, win32_error_text(context, code) + "; in use by " + users);
}

void throw_by_code(std::string_view phrase, const std::filesystem::path& path, SystemCode code) {
  throw_win32(category_for_win32(code), std::string(phrase) + display_path(path), code);
}

bool status_of(FileSystem& fs, const std::filesystem::path& path, FileStatus& status) {
  return fs.status(path, status) == 0;
}

void clear_read_only(FileSystem& fs, const std::filesystem::path& path) {
  FileStatus status;
  if (status_of(fs, path, status) && status.read_only) fs.set_read_only(path, false);
}

std::filesystem::path normal_path(const std::filesystem::path& path) {
  const std::wstring text = path_to_utf16(path);
  if (text.size() <= kLongPathPrefix.size() || !text.starts_with(kLongPathPrefix)) return path.lexically_normal();
  const std::filesystem::path rest = std::filesystem::path(path.native().substr(kLongPathPrefix.size()));
  return std::filesystem::path(path.native().substr(0, kLongPathPrefix.size()) + rest.lexically_normal().native());
}

std::filesystem::path without_long_path_prefix(const std::filesystem::path& path) {
  const std::wstring text = path_to_utf16(path);
  const bool prefixed = text.size() >= 6 && text.starts_with(kLongPathPrefix) &&
                        ((text[4] >= L'A' && text[4] <= L'Z') || (text[4] >= L'a' && text[4] <= L'z')) &&
                        text[5] == L':';
  return prefixed ? std::filesystem::path(path.native().substr(kLongPathPrefix.size())) : path;
}

}  // namespace kaldren::patcher::file_policy
