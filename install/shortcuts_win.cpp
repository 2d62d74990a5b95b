// Known folders and shortcuts through the Shell: SHGetKnownFolderPath and the Shell
// link object (IShellLinkW saved through IPersistFile).
#include <windows.h>
#include <objbase.h>
#include <shlobj.h>
#include <shobjidl.h>

#include <filesystem>
#include <memory>
#include <string_view>

#include <fmt/format.h>

#include "config/options.h"
#include "core/error.h"
#include "core/log.h"
#include "core/text.h"
#include "install/registration.h"
#include "system/file_operations.h"

namespace kaldren::patcher {
namespace {

constexpr wchar_t kShortcutFileName[] = L"Kaldren Morvale.lnk";
// The stored target is read into a buffer of this many characters.
constexpr int kTargetCapacity = 1040;

// COM for the length of one call. The installation creates shortcuts on the setup's
// job thread, where nobody initialised COM; the main thread already has its apartment
// (S_FALSE, balanced here too), and a thread in another mode (RPC_E_CHANGED_MODE) can
// still create the in-process link object, so that is no failure either.
class ComApartment {
 public:
  ComApartment() noexcept : result_(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE)) {}
  ComApartment(const ComApartment&) = delete;
  ComApartment& operator=(const ComApartment&) = delete;
  ~ComApartment() {
    if (result_ == S_OK || result_ == S_FALSE) CoUninitialize();
  }

 private:
  HRESULT result_;
};

// One COM interface pointer, released when its owner goes.
template <typename Interface>
class ComPointer {
 public:
  ComPointer() noexcept = default;
  ComPointer(const ComPointer&) = delete;
  ComPointer& operator=(const ComPointer&) = delete;
  ~ComPointer() {
    if (pointer_ != nullptr) pointer_->Release();
  }
  Interface* operator->() const noexcept { return pointer_; }
  Interface* get() const noexcept { return pointer_; }
  void** out() noexcept { return reinterpret_cast<void**>(&pointer_); }

 private:
  Interface* pointer_ = nullptr;
};

void check_step(HRESULT result, std::string_view step) {
  if (FAILED(result)) {
    throw PatchError(ErrorCategory::io, fmt::format("{} (HRESULT 0x{:08x})", step, static_cast<std::uint32_t>(result)));
  }
}

struct CoTaskMemory {
  void operator()(wchar_t* memory) const noexcept { CoTaskMemFree(memory); }
};

}  // namespace

std::wstring known_folder_path(const GUID& folder_id) {
  wchar_t* raw = nullptr;
  const HRESULT result = SHGetKnownFolderPath(folder_id, KF_FLAG_CREATE, nullptr, &raw);
  // Owned whatever the result: the Shell may hand out memory on failure too.
  const std::unique_ptr<wchar_t, CoTaskMemory> path(raw);
  if (FAILED(result) || path == nullptr) throw PatchError(ErrorCategory::io, "Could not locate a Windows folder");
  return std::wstring(path.get());
}

std::wstring start_menu_shortcut_path() {
  return (std::filesystem::path(known_folder_path(FOLDERID_Programs)) / kShortcutFileName).wstring();
}

std::wstring desktop_shortcut_path() {
  return (std::filesystem::path(known_folder_path(FOLDERID_Desktop)) / kShortcutFileName).wstring();
}

void create_shortcut(const std::wstring& shortcut, const std::wstring& target, const std::wstring& working_folder,
                     const std::wstring& description) {
  const ComApartment apartment;
  ComPointer<IShellLinkW> link;
  check_step(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW, link.out()),
             "Could not create a shortcut");
  check_step(link->SetPath(target.c_str()), "Could not set the shortcut target");
  check_step(link->SetWorkingDirectory(working_folder.c_str()), "Could not set the shortcut folder");
  check_step(link->SetDescription(description.c_str()), "Could not set the shortcut description");
  check_step(link->SetIconLocation(target.c_str(), 0), "Could not set the shortcut icon");
  ComPointer<IPersistFile> file;
  check_step(link->QueryInterface(IID_IPersistFile, file.out()), "Could not save the shortcut");
  // A missing Start-menu or desktop folder is made here; if that fails, so does the save.
  create_folders(system_file_system(), std::filesystem::path(shortcut).parent_path());
  check_step(file->Save(shortcut.c_str(), TRUE), "Could not save the shortcut");
  log(LogLevel::info, "Created shortcut {}", to_utf8_lenient(shortcut));
}

void remove_shortcut(const std::wstring& shortcut, const std::wstring& expected_target) {
  const DWORD attributes = GetFileAttributesW(shortcut.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) return;
  const ComApartment apartment;
  ComPointer<IShellLinkW> link;
  if (FAILED(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW, link.out()))) return;
  ComPointer<IPersistFile> file;
  if (FAILED(link->QueryInterface(IID_IPersistFile, file.out()))) return;
  if (FAILED(file->Load(shortcut.c_str(), STGM_READ))) return;
  std::wstring stored(kTargetCapacity, L'\0');
  if (FAILED(link->GetPath(stored.data(), kTargetCapacity, nullptr, SLGP_RAWPATH))) return;
  stored.resize(stored.find(L'\0') == std::wstring::npos ? stored.size() : stored.find(L'\0'));
  try {
    if (stored.empty() || !same_folder(stored, expected_target)) return;
  } catch (const PatchError&) {
    // A target the system cannot make absolute is no launcher of ours.
    return;
  }
  DeleteFileW(shortcut.c_str());
  log(LogLevel::info, "Removed shortcut {}", to_utf8_lenient(shortcut));
}

}  // namespace kaldren::patcher
