#include "install/windows_traces.h"

#include <objbase.h>
#include <shlobj.h>
#include <shobjidl.h>

#include <cstring>
#include <fstream>
#include <iterator>

namespace kaldren::patcher::test {
namespace {

std::optional<std::string> bytes_of(const std::wstring& path) {
  std::ifstream in(std::filesystem::path(path), std::ios::binary);
  if (!in) return std::nullopt;
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

void put_back(const std::wstring& path, const std::optional<std::string>& bytes) {
  DeleteFileW(path.c_str());
  if (!bytes) return;
  std::ofstream(std::filesystem::path(path), std::ios::binary) << *bytes;
}

bool copy_key(const wchar_t* from, const std::wstring& to) {
  HKEY source = nullptr;
  if (RegOpenKeyExW(HKEY_CURRENT_USER, from, 0, KEY_READ, &source) != ERROR_SUCCESS) return false;
  HKEY target = nullptr;
  bool copied = false;
  if (RegCreateKeyExW(HKEY_CURRENT_USER, to.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &target, nullptr) ==
      ERROR_SUCCESS) {
    copied = RegCopyTreeW(source, nullptr, target) == ERROR_SUCCESS;
    RegCloseKey(target);
  }
  RegCloseKey(source);
  return copied;
}

}  // namespace

WindowsTraces::WindowsTraces()
    : backup_key_(L"Software\\LanternixTestBackup" + std::to_wstring(GetCurrentProcessId())),
      start_menu_(bytes_of(start_menu_shortcut_path())),
      desktop_(bytes_of(desktop_shortcut_path())) {
  had_registration_ = copy_key(kRegistrationKey, backup_key_);
}

WindowsTraces::~WindowsTraces() {
  clear();
  if (had_registration_) {
    copy_key(backup_key_.c_str(), kRegistrationKey);
    RegDeleteTreeW(HKEY_CURRENT_USER, backup_key_.c_str());
  }
  put_back(start_menu_shortcut_path(), start_menu_);
  put_back(desktop_shortcut_path(), desktop_);
}

void WindowsTraces::clear() {
  RegDeleteTreeW(HKEY_CURRENT_USER, kRegistrationKey);
  DeleteFileW(start_menu_shortcut_path().c_str());
  DeleteFileW(desktop_shortcut_path().c_str());
}

std::optional<RegistryValue> registration_value(const wchar_t* name) {
  RegistryValue value;
  wchar_t buffer[2048] = {};
  DWORD size = sizeof(buffer) - sizeof(wchar_t);
  if (RegGetValueW(HKEY_CURRENT_USER, kRegistrationKey, name, RRF_RT_ANY | RRF_NOEXPAND, &value.type, buffer,
                   &size) != ERROR_SUCCESS) {
    return std::nullopt;
  }
  value.bytes = size;
  if (value.type == REG_DWORD) std::memcpy(&value.number, buffer, sizeof(value.number));
  if (value.type == REG_SZ) value.text = buffer;
  return value;
}

std::optional<ShortcutContents> read_shortcut(const std::wstring& path) {
  const HRESULT apartment = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  std::optional<ShortcutContents> contents;
  IShellLinkW* link = nullptr;
  if (SUCCEEDED(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW,
                                 reinterpret_cast<void**>(&link)))) {
    IPersistFile* file = nullptr;
    if (SUCCEEDED(link->QueryInterface(IID_IPersistFile, reinterpret_cast<void**>(&file)))) {
      wchar_t target[1040] = {};
      wchar_t folder[1040] = {};
      if (SUCCEEDED(file->Load(path.c_str(), STGM_READ)) &&
          SUCCEEDED(link->GetPath(target, 1040, nullptr, SLGP_RAWPATH)) &&
          SUCCEEDED(link->GetWorkingDirectory(folder, 1040))) {
        contents = ShortcutContents{target, folder};
      }
      file->Release();
    }
    link->Release();
  }
  if (SUCCEEDED(apartment)) CoUninitialize();
  return contents;
}

}  // namespace kaldren::patcher::test
