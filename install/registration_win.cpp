// The per-user uninstall registration under HKEY_CURRENT_USER, which needs no
// administrator rights and lists the game among the installed apps.
#include <windows.h>

#include <filesystem>
#include <optional>
#include <string_view>

#include <fmt/format.h>

#include "build_constants.h"
#include "config/options.h"
#include "core/error.h"
#include "core/log.h"
#include "core/owned_handle.h"
#include "core/text.h"
#include "install/registration.h"
#include "system/data_folder.h"
#include "system/processes.h"

namespace kaldren::patcher {
namespace {

constexpr wchar_t kDisplayName[] = L"Kaldren Morvale";
constexpr std::uint64_t kEstimatedSizeLimit = std::uint64_t{1} << 42;

using RegistryKey = OwnedHandle<ClosedBy<HKEY, RegCloseKey>>;

void write_string(HKEY key, const wchar_t* name, const std::wstring& value) {
  // The stored size counts the terminating zero.
  const auto bytes = static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t));
  const LSTATUS status =
      RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()), bytes);
  if (status != ERROR_SUCCESS) {
    throw_win32(ErrorCategory::io, "Could not write the uninstall registration", static_cast<std::uint32_t>(status));
  }
}

void write_number(HKEY key, const wchar_t* name, DWORD value) {
  const LSTATUS status = RegSetValueExW(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof(value));
  if (status != ERROR_SUCCESS) {
    throw_win32(ErrorCategory::io, "Could not write the uninstall registration", static_cast<std::uint32_t>(status));
  }
}

// True when the registration names `root`; a registered value the system cannot
// resolve names nothing.
bool registered_here(const std::wstring& root) {
  const std::optional<std::wstring> registered = read_registration();
  if (!registered) return false;
  try {
    return same_folder(*registered, root);
  } catch (const PatchError&) {
    return false;
  }
}

}  // namespace

std::uint32_t estimated_size_kib(std::uint64_t install_size) {
  if (install_size >= kEstimatedSizeLimit) return 0xFFFFFFFF;
  return static_cast<std::uint32_t>(install_size / 1024);
}

void register_installation(const std::wstring& root, const std::wstring& version, std::uint64_t install_size) {
  RegistryKey key;
  const LSTATUS status = RegCreateKeyExW(HKEY_CURRENT_USER, kRegistrationKey, 0, nullptr, REG_OPTION_NON_VOLATILE,
                                         KEY_SET_VALUE, nullptr, key.out(), nullptr);
  if (status != ERROR_SUCCESS) {
    throw_win32(ErrorCategory::io, "Could not register the installation", static_cast<std::uint32_t>(status));
  }
  SYSTEMTIME today{};
  GetLocalTime(&today);
  const std::wstring launcher = (std::filesystem::path(root) / kLauncherFileName).wstring();
  const std::wstring quoted = quote_argument(launcher);
  const std::wstring install_date = to_utf16(fmt::format("{:04}{:02}{:02}", today.wYear, today.wMonth, today.wDay));
  write_string(key.get(), L"DisplayName", kDisplayName);
  write_string(key.get(), L"DisplayVersion", version);
  write_string(key.get(), L"Publisher", kDisplayName);
  write_string(key.get(), L"DisplayIcon", launcher + L",0");
  write_string(key.get(), L"InstallLocation", root);
  write_string(key.get(), L"InstallDate", install_date);
  write_string(key.get(), L"UninstallString", quoted + L" --uninstall");
  write_string(key.get(), L"QuietUninstallString", quoted + L" --uninstall --quiet");
  write_string(key.get(), L"URLInfoAbout", build::kWebsite);
  write_string(key.get(), L"HelpLink", build::kWebsite);
  write_number(key.get(), L"NoModify", 1);
  write_number(key.get(), L"NoRepair", 1);
  write_number(key.get(), L"EstimatedSize", estimated_size_kib(install_size));
  log(LogLevel::info, "Registered the installation at {}", to_utf8_lenient(root));
}

void update_registration(const std::wstring& root, const std::wstring& version, std::uint64_t install_size) {
  if (!registered_here(root)) return;
  RegistryKey key;
  if (RegOpenKeyExW(HKEY_CURRENT_USER, kRegistrationKey, 0, KEY_SET_VALUE, key.out()) != ERROR_SUCCESS) return;
  write_string(key.get(), L"DisplayVersion", version);
  write_number(key.get(), L"EstimatedSize", estimated_size_kib(install_size));
}

void unregister_installation(const std::wstring& root) {
  if (!registered_here(root)) return;
  RegDeleteTreeW(HKEY_CURRENT_USER, kRegistrationKey);
  log(LogLevel::info, "Removed the uninstall registration");
}

}  // namespace kaldren::patcher
