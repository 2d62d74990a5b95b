// Test helper process: holds a file open without sharing, or owns a named mutex,
// and creates a marker file once it does, so a test knows when the hold begins.
//   file_holder hold <file> <milliseconds> <marker>   (exits after the time)
//   file_holder mutex <name> <marker>                 (sleeps until killed, at most 60 s)
#include <windows.h>
#include <shellapi.h>

#include <string>

namespace {

bool create_marker(const wchar_t* marker) {
  HANDLE file = CreateFileW(marker, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  CloseHandle(file);
  return true;
}

int hold_file(const wchar_t* path, DWORD milliseconds, const wchar_t* marker) {
  HANDLE file = CreateFileW(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return 3;
  if (!create_marker(marker)) return 5;
  Sleep(milliseconds);
  CloseHandle(file);
  return 0;
}

int own_mutex(const wchar_t* name, const wchar_t* marker) {
  HANDLE mutex = CreateMutexW(nullptr, FALSE, name);
  if (mutex == nullptr) return 3;
  if (WaitForSingleObject(mutex, 0) != WAIT_OBJECT_0) return 4;
  if (!create_marker(marker)) return 5;
  Sleep(60000);  // The test kills this process; the bound keeps a crashed test from leaking it.
  return 0;
}

}  // namespace

int main() {
  int count = 0;
  wchar_t** arguments = CommandLineToArgvW(GetCommandLineW(), &count);
  if (arguments == nullptr) return 2;
  int result = 2;
  const std::wstring mode = count > 1 ? arguments[1] : L"";
  if (mode == L"hold" && count == 5) {
    result = hold_file(arguments[2], static_cast<DWORD>(std::stoul(arguments[3])), arguments[4]);
  } else if (mode == L"mutex" && count == 4) {
    result = own_mutex(arguments[2], arguments[3]);
  }
  LocalFree(arguments);
  return result;
}
