#include "system/processes.h"

namespace kaldren::patcher {

std::wstring quote_argument(std::wstring_view argument) {
  if (!argument.empty() && argument.find_first_of(L" \t\n\v\"") == std::wstring_view::npos) {
    return std::wstring(argument);
  }
  // The rule Windows programs split command lines by: backslashes are literal unless a
  // double quote follows them (then they escape in pairs) or the closing quote does.
  std::wstring quoted = L"\"";
  std::size_t backslashes = 0;
  for (const wchar_t character : argument) {
    if (character == L'\\') {
      ++backslashes;
      continue;
    }
    if (character == L'"') {
      quoted.append(2 * backslashes + 1, L'\\');
    } else {
      quoted.append(backslashes, L'\\');
    }
    backslashes = 0;
    quoted += character;
  }
  quoted.append(2 * backslashes, L'\\');
  quoted += L'"';
  return quoted;
}

std::wstring build_command_line(std::wstring_view executable, const std::vector<std::wstring>& arguments) {
  std::wstring line = quote_argument(executable);
  for (const std::wstring& argument : arguments) {
    line += L' ';
    line += quote_argument(argument);
  }
  return line;
}

}  // namespace kaldren::patcher
