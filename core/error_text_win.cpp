// Win32 error codes as text, from the system's message table (and WinHTTP's,
// whose codes the system table does not know).
#include <windows.h>

#include <memory>

#include "core/error.h"
#include "core/owned_handle.h"
#include "core/text.h"

namespace kaldren::patcher {
namespace {

using LocalText = OwnedHandle<ClosedBy<wchar_t*, LocalFree>>;

constexpr DWORD kEnglishUnitedStates = 1033;

std::wstring_view message_text(DWORD flags, HMODULE module, DWORD code, DWORD language,
                               LocalText& owner) {
  const DWORD length =
      FormatMessageW(flags | FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS, module,
                     code, language, reinterpret_cast<wchar_t*>(owner.out()), 0, nullptr);
  if (length == 0 || !owner) return {};
  return {owner.get(), length};
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

std::string win32_message(std::uint32_t code) {
  LocalText owner;
  std::wstring_view text =
      message_text(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, code, kEnglishUnitedStates, owner);
  if (text.empty()) {
    if (HMODULE winhttp = GetModuleHandleW(L"winhttp.dll")) {
      text = message_text(FORMAT_MESSAGE_FROM_HMODULE, winhttp, code,
                          MAKELANGID(LANG_NEUTRAL, SUBLANG_NEUTRAL), owner);
    }
  }
  return to_utf8_lenient(trim_message_end(text));
}

}  // namespace kaldren::patcher
