// Lanternix.exe: the process set-up every mode shares, then the mode itself. Whatever
// escapes a mode is fatal: logged, shown in a message box, exit code 1.
#include <windows.h>
#include <commctrl.h>
#include <objbase.h>
#include <shellapi.h>

#include <exception>
#include <string>
#include <vector>

#include "app/patcher_application.h"
#include "core/error.h"
#include "core/log.h"
#include "core/text.h"

namespace {

namespace patcher = kaldren::patcher;

// Before anything loads a library: no DLL from the folder the launcher was downloaded to.
void harden_process() {
  SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);
  SetDllDirectoryW(L"");
  HeapSetInformation(nullptr, HeapEnableTerminationOnCorruption, nullptr, 0);
  SetProcessDpiAwarenessContext(DPI_AWARENESS_CONTEXT_PER_MONITOR_AWARE_V2);
  INITCOMMONCONTROLSEX controls{sizeof(controls), ICC_STANDARD_CLASSES};
  InitCommonControlsEx(&controls);
}

// COM for the shell calls (shortcuts, folder picker, taskbar); undone only if done here.
class ComApartment {
 public:
  ComApartment() {
    const HRESULT result = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE);
    if (FAILED(result) && result != RPC_E_CHANGED_MODE) {
      throw patcher::PatchError(patcher::ErrorCategory::internal, "Could not initialize COM");
    }
    initialized_ = SUCCEEDED(result);
  }
  ~ComApartment() {
    if (initialized_) CoUninitialize();
  }
  ComApartment(const ComApartment&) = delete;
  ComApartment& operator=(const ComApartment&) = delete;

 private:
  bool initialized_ = false;
};

std::vector<std::wstring> command_line_arguments() {
  int count = 0;
  wchar_t** split = CommandLineToArgvW(GetCommandLineW(), &count);
  if (split == nullptr) {
    throw patcher::PatchError(patcher::ErrorCategory::configuration, "Could not read the command line");
  }
  std::vector<std::wstring> arguments(split + (count > 0 ? 1 : 0), split + count);  // without the program
  LocalFree(split);
  return arguments;
}

int fatal(const char* text) {
  patcher::log(patcher::LogLevel::error, "Fatal: {}", text);
  MessageBoxW(nullptr, patcher::to_utf16_lenient(text).c_str(), L"Lanternix", MB_OK | MB_ICONERROR);
  return 1;
}

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int show_command) {
  harden_process();
  try {
    ComApartment com;
    return patcher::run_launcher(instance, show_command, command_line_arguments());
  } catch (const std::exception& error) {
    return fatal(error.what());
  } catch (...) {
    return fatal("unknown error");
  }
}
