// Messages, the folder picker, the "already installed" page and the uninstall
// confirmation. The install page lives in install_page.cpp.
#include "ui/setup_pages.h"

#include <shobjidl.h>
#include <winver.h>

#include <cstring>
#include <filesystem>

#include "build_constants.h"
#include "core/log.h"
#include "core/owned_handle.h"
#include "core/text.h"
#include "ui/resource_ids.h"
#include "ui/task_dialog.h"

namespace kaldren::patcher {
namespace {

template <typename Interface>
void release_interface(Interface* object) noexcept {
  object->Release();
}
template <typename Interface>
using ComOwner = OwnedHandle<ClosedBy<Interface*, release_interface<Interface>>>;

void free_task_memory(wchar_t* text) noexcept { CoTaskMemFree(text); }
using TaskMemoryText = OwnedHandle<ClosedBy<wchar_t*, free_task_memory>>;

using TaskDialogIndirectFunction = HRESULT(WINAPI*)(const TASKDIALOGCONFIG*, int*, int*, BOOL*);

PCWSTR task_dialog_icon(MessageIcon icon) noexcept {
  switch (icon) {
    case MessageIcon::error:
      return TD_ERROR_ICON;
    case MessageIcon::warning:
      return TD_WARNING_ICON;
    default:
      return TD_INFORMATION_ICON;
  }
}

bool is_folder(const std::wstring& path) {
  const DWORD attributes = GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

std::wstring nearest_existing_folder(std::wstring path) {
  while (!path.empty() && !is_folder(path)) {
    std::wstring parent = std::filesystem::path(path).parent_path().wstring();
    if (parent == path) break;
    path = std::move(parent);
  }
  return path;
}

}  // namespace

HRESULT run_task_dialog(const TASKDIALOGCONFIG& config, int* button, BOOL* verification_checked) {
  static const auto task_dialog_indirect = [] {
    const HMODULE controls = LoadLibraryW(L"comctl32.dll");
    return controls == nullptr ? nullptr
                               : reinterpret_cast<TaskDialogIndirectFunction>(
                                     reinterpret_cast<void*>(GetProcAddress(controls, "TaskDialogIndirect")));
  }();
  if (task_dialog_indirect == nullptr) return HRESULT_FROM_WIN32(ERROR_PROC_NOT_FOUND);
  int pressed = 0;
  const HRESULT result = task_dialog_indirect(&config, &pressed, nullptr, verification_checked);
  if (button != nullptr) *button = pressed;
  // Wine reports S_OK with the button -1 when the dialog window could not be created.
  if (SUCCEEDED(result) && pressed <= 0) return E_FAIL;
  return result;
}

TASKDIALOGCONFIG task_dialog_config(const wchar_t* title, PCWSTR icon, const wchar_t* instruction,
                                    const wchar_t* content, TASKDIALOG_FLAGS flags,
                                    TASKDIALOG_COMMON_BUTTON_FLAGS buttons) {
  TASKDIALOGCONFIG config{};
  config.cbSize = sizeof(config);
  config.dwFlags = flags;
  config.dwCommonButtons = buttons;
  config.pszWindowTitle = title;
  config.pszMainIcon = icon;
  config.pszMainInstruction = instruction;
  config.pszContent = content;
  return config;
}

std::wstring own_version_text(HINSTANCE module) {
  const HRSRC found = FindResourceW(module, MAKEINTRESOURCEW(VS_VERSION_INFO), RT_VERSION);
  const HGLOBAL loaded = found != nullptr ? LoadResource(module, found) : nullptr;
  const auto* bytes = loaded != nullptr ? static_cast<const unsigned char*>(LockResource(loaded)) : nullptr;
  // VS_VERSIONINFO starts with three WORDs and its key, padded to 32 bits; the fixed
  // part follows.
  constexpr std::size_t fixed_at = (3 * sizeof(WORD) + sizeof(L"VS_VERSION_INFO") + 3) & ~std::size_t{3};
  if (bytes != nullptr && SizeofResource(module, found) >= fixed_at + sizeof(VS_FIXEDFILEINFO)) {
    VS_FIXEDFILEINFO fixed;
    std::memcpy(&fixed, bytes + fixed_at, sizeof fixed);
    if (fixed.dwSignature == VS_FFI_SIGNATURE) {
      return std::to_wstring(HIWORD(fixed.dwFileVersionMS)) + L"." + std::to_wstring(LOWORD(fixed.dwFileVersionMS)) +
             L"." + std::to_wstring(HIWORD(fixed.dwFileVersionLS));
    }
  }
  return to_utf16_lenient(build::kLauncherVersion);
}

int show_message(HWND owner, MessageIcon icon, const std::wstring& instruction, const std::wstring& content,
                 TASKDIALOG_COMMON_BUTTON_FLAGS buttons) {
  TASKDIALOGCONFIG config = task_dialog_config(
      kGameDisplayName, task_dialog_icon(icon), instruction.c_str(), content.c_str(),
      TDF_SIZE_TO_CONTENT | TDF_POSITION_RELATIVE_TO_WINDOW | TDF_ALLOW_DIALOG_CANCELLATION, buttons);
  config.hwndParent = owner;
  int pressed = 0;
  const HRESULT shown = run_task_dialog(config, &pressed, nullptr);
  if (SUCCEEDED(shown)) return pressed;
  log(LogLevel::warn, "Could not show a task dialog (HRESULT {:#010x}); showing a message box",
      static_cast<unsigned long>(shown));
  const bool asks = (buttons & TDCBF_YES_BUTTON) != 0;
  const std::wstring text = instruction + L"\n\n" + content;
  return MessageBoxW(owner, text.c_str(), kGameDisplayName,
                     asks ? MB_YESNO | MB_ICONWARNING : MB_OK | MB_ICONINFORMATION);
}

std::optional<std::wstring> pick_folder(HWND owner, const std::wstring& start) {
  ComOwner<IFileOpenDialog> dialog;
  if (FAILED(CoCreateInstance(CLSID_FileOpenDialog, nullptr, CLSCTX_INPROC_SERVER, IID_PPV_ARGS(dialog.out())))) {
    log(LogLevel::warn, "Could not create the folder picker");
    return std::nullopt;
  }
  FILEOPENDIALOGOPTIONS options = 0;
  if (FAILED(dialog.get()->GetOptions(&options)) ||
      FAILED(dialog.get()->SetOptions(options | FOS_PICKFOLDERS | FOS_FORCEFILESYSTEM | FOS_PATHMUSTEXIST))) {
    return std::nullopt;
  }
  dialog.get()->SetTitle(L"Choose where to install the game");
  const std::wstring folder = nearest_existing_folder(start);
  ComOwner<IShellItem> start_item;
  if (!folder.empty() && SUCCEEDED(SHCreateItemFromParsingName(folder.c_str(), nullptr, IID_PPV_ARGS(start_item.out())))) {
    dialog.get()->SetFolder(start_item.get());
  }
  ComOwner<IShellItem> chosen;
  if (FAILED(dialog.get()->Show(owner)) || FAILED(dialog.get()->GetResult(chosen.out()))) return std::nullopt;
  TaskMemoryText path;
  if (FAILED(chosen.get()->GetDisplayName(SIGDN_FILESYSPATH, path.out())) || path.get() == nullptr) return std::nullopt;
  return std::wstring(path.get());
}

int show_installed_page(HINSTANCE instance, const std::wstring& folder) {
  const TASKDIALOG_BUTTON buttons[] = {{200, L"Start the game"}, {201, L"Check and repair the game files"}};
  const std::wstring instruction = std::wstring(kGameDisplayName) + L" is already installed";
  const std::wstring content = L"It is installed in:\n" + folder;
  TASKDIALOGCONFIG config = task_dialog_config(
      kSetupTitle, MAKEINTRESOURCEW(LANTERNIX_ICON), instruction.c_str(), content.c_str(),
      TDF_USE_COMMAND_LINKS | TDF_SIZE_TO_CONTENT | TDF_ALLOW_DIALOG_CANCELLATION, TDCBF_CANCEL_BUTTON);
  config.hInstance = instance;
  config.cButtons = static_cast<UINT>(std::size(buttons));
  config.pButtons = buttons;
  config.nDefaultButton = 200;
  int pressed = 0;
  const HRESULT shown = run_task_dialog(config, &pressed, nullptr);
  if (FAILED(shown)) {
    // Starting the game is what a player who ran setup again most likely wants.
    log(LogLevel::warn, "Could not show the installed page (HRESULT {:#010x})", static_cast<unsigned long>(shown));
    return 0;
  }
  return pressed == 200 ? 0 : pressed == 201 ? 1 : 2;
}

bool confirm_uninstall(const std::wstring& root) {
  return show_message(nullptr, MessageIcon::warning, std::wstring(L"Uninstall ") + kGameDisplayName + L"?",
                      L"This removes the game from:\n" + root +
                          L"\n\nScreenshots and other files you added there are kept.",
                      TDCBF_YES_BUTTON | TDCBF_NO_BUTTON) == IDYES;
}

}  // namespace kaldren::patcher
