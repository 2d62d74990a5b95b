// Where the launcher runs from and whether a folder holds an installed game.
#include <windows.h>

#include <filesystem>
#include <utility>

#include <fmt/format.h>

#include "config/options.h"
#include "core/error.h"
#include "core/owned_handle.h"
#include "core/text.h"
#include "system/data_folder.h"

namespace kaldren::patcher {
namespace {

constexpr DWORD kMaxRegistrationBytes = 65536;

using RegistryKey = OwnedHandle<ClosedBy<HKEY, RegCloseKey>>;

bool names_file(const std::filesystem::path& path) {
  DWORD attributes = GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

bool names_folder(const std::filesystem::path& path) {
  DWORD attributes = GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

bool path_exists(const std::filesystem::path& path) {
  return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool is_registered_installation(const std::wstring& folder) {
  std::optional<std::wstring> registered = read_registration();
  if (!registered || !path_exists(std::filesystem::path(folder) / kLauncherFileName)) return false;
  try {
    return same_folder(*registered, folder);
  } catch (const PatchError&) {
    // A registered value the system cannot resolve names no folder.
    return false;
  }
}

}  // namespace

bool same_folder(const std::wstring& a, const std::wstring& b) {
  std::wstring full_a = absolute_normal_path(a);
  std::wstring full_b = absolute_normal_path(b);
  return full_a.size() == full_b.size() &&
         CompareStringOrdinal(full_a.data(), static_cast<int>(full_a.size()), full_b.data(),
                              static_cast<int>(full_b.size()), TRUE) == CSTR_EQUAL;
}

std::wstring absolute_normal_path(const std::wstring& path) {
  std::wstring buffer(260, L'\0');
  for (;;) {
    DWORD length = GetFullPathNameW(path.c_str(), static_cast<DWORD>(buffer.size()),
                                    buffer.data(), nullptr);
    if (length == 0) {
      DWORD code = GetLastError();
      throw_win32(ErrorCategory::configuration,
                  fmt::format("Could not make the path absolute (absolute): {}",
                              to_utf8_lenient(path)),
                  code);
    }
    if (length < buffer.size()) {
      buffer.resize(length);
      break;
    }
    // Too small: the length reported includes the terminating zero.
    buffer.assign(length, L'\0');
  }
  return std::filesystem::path(buffer).lexically_normal().wstring();
}

bool is_installation(const std::wstring& folder) {
  const std::filesystem::path base(folder);
  if (names_file(state_file(base))) return true;
  if (is_registered_installation(folder)) return true;
  return names_folder(data_folder(base)) && names_file(base / L"bin" / L"64" / L"Kaldren.exe");
}

std::wstring launcher_executable_path() {
  std::wstring buffer(32768, L'\0');
  DWORD length = GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
  if (length == 0) {
    DWORD code = GetLastError();
    throw_win32(ErrorCategory::internal, "Could not locate the launcher executable", code);
  }
  buffer.resize(length);
  return buffer;
}

std::optional<std::wstring> read_registration() {
  RegistryKey key;
  if (RegOpenKeyExW(HKEY_CURRENT_USER, kRegistrationKey, 0, KEY_QUERY_VALUE, key.out()) != ERROR_SUCCESS) {
    return std::nullopt;
  }
  DWORD type = 0;
  DWORD size = 0;
  if (RegQueryValueExW(key.get(), L"InstallLocation", nullptr, &type, nullptr, &size) !=
          ERROR_SUCCESS ||
      type != REG_SZ || size == 0 || size > kMaxRegistrationBytes) {
    return std::nullopt;
  }
  std::wstring value((size + 1) / sizeof(wchar_t), L'\0');
  DWORD read_size = static_cast<DWORD>(value.size() * sizeof(wchar_t));
  if (RegQueryValueExW(key.get(), L"InstallLocation", nullptr, &type,
                       reinterpret_cast<BYTE*>(value.data()), &read_size) != ERROR_SUCCESS ||
      type != REG_SZ) {
    return std::nullopt;
  }
  value.resize(read_size / sizeof(wchar_t));
  while (!value.empty() && value.back() == L'\0') value.pop_back();
  if (value.empty()) return std::nullopt;
  return value;
}

}  // namespace kaldren::patcher
