// Win32 error codes as text, from the system's message table (and WinHTTP's,
// whose codes the system table does not know).
#include "core/error_text_win.h"

#include <memory>

#include "core/error.h"
#include "core/owned_handle.h"
#include "core/text.h"

namespace kaldren::patcher {
namespace {

using LocalText = OwnedHandle<ClosedBy<wchar_t*, LocalFree>>;

constexpr DWORD kEnglishUnitedStates = 1033;
constexpr DWORD kUsersLanguage = 0;  // neutral, then the thread's, the user's, the system's

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

std::string module_message(HMODULE module, std::uint32_t code) {
  const DWORD source = module == nullptr ? FORMAT_MESSAGE_FROM_SYSTEM : FORMAT_MESSAGE_FROM_HMODULE;
  LocalText owner;
  std::wstring_view text = message_text(source, module, code, kEnglishUnitedStates, owner);
  if (text.empty()) text = message_text(source, module, code, kUsersLanguage, owner);
  return to_utf8_lenient(trim_message_end(text));
}

std::string win32_message(std::uint32_t code) {
  std::string text = module_message(nullptr, code);
  if (text.empty()) {
    if (HMODULE winhttp = GetModuleHandleW(L"winhttp.dll")) text = module_message(winhttp, code);
  }
  return text;
}

}  // namespace kaldren::patcher
