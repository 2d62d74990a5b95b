// What the installation leaves in the test user's Windows session (the uninstall
// registration and the two shortcuts), put back as it was when the guard goes.
#pragma once

#include <windows.h>

#include <filesystem>
#include <optional>
#include <string>

#include "install/registration.h"
#include "system/data_folder.h"

namespace kaldren::patcher::test {

class WindowsTraces {
 public:
  WindowsTraces();
  WindowsTraces(const WindowsTraces&) = delete;
  WindowsTraces& operator=(const WindowsTraces&) = delete;
  ~WindowsTraces();

  // Clears the registration and both shortcuts for a test that starts from nothing.
  static void clear();

 private:
  std::wstring backup_key_;
  bool had_registration_ = false;
  std::optional<std::string> start_menu_;
  std::optional<std::string> desktop_;
};

// The registration value, with its type.
struct RegistryValue {
  DWORD type = REG_NONE;
  std::wstring text;    // REG_SZ without its terminating zero
  DWORD number = 0;     // REG_DWORD
  DWORD bytes = 0;      // the stored size
};
std::optional<RegistryValue> registration_value(const wchar_t* name);

// A shortcut's stored target and working folder, read back through the Shell.
struct ShortcutContents {
  std::wstring target;
  std::wstring working_folder;
};
std::optional<ShortcutContents> read_shortcut(const std::wstring& path);

}  // namespace kaldren::patcher::test
