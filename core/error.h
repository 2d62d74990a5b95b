// The launcher's one user-facing exception type and the conversion of system
// error codes into it.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <stop_token>
#include <string>
#include <string_view>

namespace kaldren::patcher {

// Stored and logged as a 32-bit number: values are append-only.
enum class ErrorCategory : std::uint32_t {
  network = 0,
  server = 1,
  security = 2,
  disk_space = 3,
  file_in_use = 4,
  io = 5,
  configuration = 6,
  cancelled = 7,
  internal = 8,
};

// A failure a user may see: a message written for the user (UTF-8) and the
// category that decides how it is presented. Copyable.
class PatchError : public std::runtime_error {
 public:
  PatchError(ErrorCategory category, const std::string& message)
      : std::runtime_error(message), category_(category) {}
  ErrorCategory category() const noexcept { return category_; }

 private:
  ErrorCategory category_;
};

// The category's log word ("network" ... "internal"); "unknown" for any other value.
const char* category_name(ErrorCategory category) noexcept;

// file_in_use for sharing/lock/user-mapped codes, disk_space for disk-full codes, else io.
ErrorCategory category_for_win32(std::uint32_t code) noexcept;

// The system's English text for a Win32 code without its final full stop; empty when
// it has none. Where Windows is not underneath, a table of the codes the launcher meets.
std::string win32_message(std::uint32_t code);

// "{context}: {system text} (Win32 error {code})", or "{context} (Win32 error {code})"
// when the system has no text for the code. Never throws except on allocation failure.
std::string win32_error_text(std::string_view context, std::uint32_t code);

// Throws PatchError(category, win32_error_text(context, code)).
[[noreturn]] void throw_win32(ErrorCategory category, std::string_view context, std::uint32_t code);

// How every wait, transfer and loop of a job ends once the launcher is closed:
// PatchError cancelled "The launcher was closed".
[[noreturn]] void throw_cancelled();
inline void throw_if_stopped(const std::stop_token& stop) {
  if (stop.stop_requested()) throw_cancelled();
}

// The exit code of a command-line front end that failed with `category`: 10 + the
// category (10 network ... 18 internal); an unknown category counts as internal.
int exit_code_for(ErrorCategory category) noexcept;

}  // namespace kaldren::patcher
