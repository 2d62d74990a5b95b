// Win32 error codes as text, from the system's message table (and WinHTTP's,
// whose codes the system table does not know).
#include <windows.h>

#include <memory>

#include <fmt/format.h>

#include "core/error.h"
#include "core/text.h"

namespace kaldren::patcher {
namespace {

struct LocalFreeDeleter {
  void operator()(wchar_t* buffer) const noexcept { LocalFree(buffer); }
};
using LocalText = std::unique_ptr<wchar_t, LocalFreeDeleter>;

constexpr DWORD kEnglishUnitedStates = 1033;

std::wstring_view message_text(DWORD flags, HMODULE module, DWORD code, DWORD language,
                               LocalText& owner) {
  wchar_t* buffer = nullptr;
  const DWORD length =
      FormatMessageW(flags | FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS, module,
                     code, language, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
  owner.reset(buffer);
  if (length == 0 || buffer == nullptr) return {};
  return {buffer, length};
}

std::wstring_view trim_message_end(std::wstring_view text) {
  while (!text.empty()) {
    const wchar_t last = text.back();
    if (last != L'\r' && last != L'\n' && last != L'.' && last != L' ') break;
    text.remove_suffix(1);
  }
  return text;
}

}  // namespace

std::string win32_error_text(std::string_view context, std::uint32_t code) {
  LocalText owner;
  std::wstring_view text =
      message_text(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, code, kEnglishUnitedStates, owner);
  if (text.empty()) {
    if (HMODULE winhttp = GetModuleHandleW(L"winhttp.dll")) {
      text = message_text(FORMAT_MESSAGE_FROM_HMODULE, winhttp, code,
                          MAKELANGID(LANG_NEUTRAL, SUBLANG_NEUTRAL), owner);
    }
  }
  text = trim_message_end(text);
  const std::string utf8 = to_utf8_lenient(text);
  if (utf8.empty()) return fmt::format("{} (Win32 error {})", context, code);
  return fmt::format("{}: {} (Win32 error {})", context, utf8, code);
}

}  // namespace kaldren::patcher
