// Error codes as text on POSIX systems, where the codes are errno values and
// the C library's message table takes the place of the system's.
#include <string.h>

#include <fmt/format.h>

#include "core/error.h"
#include "core/text.h"

namespace kaldren::patcher {
namespace {

// strerror_r comes in two shapes: the GNU one returns the text, the XSI one
// fills the buffer and returns a status.
[[maybe_unused]] const char* strerror_result(const char* text, const char*) { return text; }
[[maybe_unused]] const char* strerror_result(int status, const char* buffer) {
  return status == 0 ? buffer : "";
}

std::string message_text(std::uint32_t code) {
  char buffer[256] = {};
  const char* text =
      strerror_result(strerror_r(static_cast<int>(code), buffer, sizeof buffer), buffer);
  std::string_view view = text != nullptr ? std::string_view(text) : std::string_view();
  // The C library's answer for a code it does not know is a placeholder, not a text.
  if (view.starts_with("Unknown error")) return {};
  while (!view.empty()) {
    const char last = view.back();
    if (last != '\r' && last != '\n' && last != '.' && last != ' ') break;
    view.remove_suffix(1);
  }
  // The table is in the locale's encoding; pass on only valid UTF-8.
  return to_utf8_lenient(to_utf16_lenient(view));
}

}  // namespace

std::string win32_error_text(std::string_view context, std::uint32_t code) {
  const std::string text = message_text(code);
  if (text.empty()) return fmt::format("{} (Win32 error {})", context, code);
  return fmt::format("{}: {} (Win32 error {})", context, text, code);
}

}  // namespace kaldren::patcher
