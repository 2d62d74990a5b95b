#include "ui/gdi.h"

#include <stdexcept>
#include <string>

#include "core/error.h"

namespace kaldren::patcher {

void throw_ui_failure(std::string_view context) {
  // Most GDI calls set no error code; a stale one would only mislead.
  const DWORD code = GetLastError();
  throw std::runtime_error(code != ERROR_SUCCESS ? win32_error_text(context, code) : std::string(context));
}

DcScope select_into(HDC dc, HGDIOBJ object, std::string_view failure) {
  SetLastError(ERROR_SUCCESS);
  const HGDIOBJ previous = SelectObject(dc, object);
  if (previous == nullptr || previous == HGDI_ERROR) throw_ui_failure(failure);
  return DcScope(
      dc, [](HDC scoped, std::intptr_t value) noexcept { SelectObject(scoped, reinterpret_cast<HGDIOBJ>(value)); },
      reinterpret_cast<std::intptr_t>(previous));
}

DcScope save_state(HDC dc, std::string_view failure) {
  SetLastError(ERROR_SUCCESS);
  const int saved = SaveDC(dc);
  if (saved == 0) throw_ui_failure(failure);
  return DcScope(
      dc, [](HDC scoped, std::intptr_t value) noexcept { RestoreDC(scoped, static_cast<int>(value)); }, saved);
}

}  // namespace kaldren::patcher
