// Delay-loaded DLLs (winhttp, bcrypt, rstrtmgr) come from System32 and nowhere else,
// whether or not the process has restricted its DLL search yet: a file of that name
// beside the launcher (a Downloads folder, the temporary folder) is never loaded.
#include <windows.h>
#include <delayimp.h>

namespace {

FARPROC WINAPI load_from_system32(unsigned notification, PDelayLoadInfo info) {
  if (notification != dliNotePreLoadLibrary) return nullptr;
  return reinterpret_cast<FARPROC>(LoadLibraryExA(info->szDll, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32));
}

}  // namespace

extern "C" {
PfnDliHook __pfnDliNotifyHook2 = load_from_system32;
}
