// Where the launcher runs from and whether a folder holds an installed game.
#include <windows.h>

#include <filesystem>
#include <utility>

#include <fmt/format.h>

#include "config/options.h"
#include "core/error.h"
#include "core/text.h"

namespace kaldren::patcher {
namespace {

constexpr const wchar_t* kRegistrationKey =
    L"Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\KaldrenMorvale";
constexpr DWORD kMaxRegistrationBytes = 65536;

class RegistryKey {
 public:
  RegistryKey() = default;
  explicit RegistryKey(HKEY key) : key_(key) {}
  RegistryKey(RegistryKey&& other) noexcept : key_(std::exchange(other.key_, nullptr)) {}
  RegistryKey& operator=(RegistryKey&& other) noexcept {
    if (this != &other) {
      close();
      key_ = std::exchange(other.key_, nullptr);
    }
    return *this;
  }
  RegistryKey(const RegistryKey&) = delete;
  RegistryKey& operator=(const RegistryKey&) = delete;
  ~RegistryKey() { close(); }

  HKEY get() const noexcept { return key_; }

 private:
  void close() noexcept {
    if (key_ != nullptr) RegCloseKey(key_);
    key_ = nullptr;
  }
  HKEY key_ = nullptr;
};

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

bool same_folder(const std::wstring& a, const std::wstring& b) {
  std::wstring full_a = absolute_normal_path(a);
  std::wstring full_b = absolute_normal_path(b);
  return full_a.size() == full_b.size() &&
         CompareStringOrdinal(full_a.data(), static_cast<int>(full_a.size()), full_b.data(),
                              static_cast<int>(full_b.size()), TRUE) == CSTR_EQUAL;
}

bool is_registered_installation(const std::wstring& folder) {
  std::optional<std::wstring> registered = read_registration();
  if (!registered || !path_exists(std::filesystem::path(folder) / L"Lanternix.exe")) return false;
  try {
    return same_folder(*registered, folder);
  } catch (const PatchError&) {
    // A registered value the system cannot resolve names no folder.
    return false;
  }
}

}  // namespace

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
  if (names_file(base / L"Lanternix" / L"state.json")) return true;
  if (is_registered_installation(folder)) return true;
  return names_folder(base / L"Lanternix") && names_file(base / L"bin" / L"64" / L"Kaldren.exe");
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
  HKEY opened = nullptr;
  if (RegOpenKeyExW(HKEY_CURRENT_USER, kRegistrationKey, 0, KEY_QUERY_VALUE, &opened) !=
      ERROR_SUCCESS) {
    return std::nullopt;
  }
  RegistryKey key(opened);
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
