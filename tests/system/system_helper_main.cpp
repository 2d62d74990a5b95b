// Test helper process: holds a file open without sharing, or owns a named mutex, and
// creates a marker file once it does, so a test knows when the hold begins; or runs
// one file operation for a script that prepares the volume around it (a full RAM disk).
//   system_helper hold <file> <milliseconds> <marker>   (exits after the time)
//   system_helper mutex <name> <marker>                 (sleeps until killed, at most 60 s)
//   system_helper write-atomic <path> <byte count>      (prints "ok" or "<category> <message>")
//   system_helper replace <source> <target>             (the same)
//   system_helper long-paths                            (exits with 11 when long paths are on, else 10)
// system_helper_long_paths is the same program with a manifest that declares it long-path aware.
#include <windows.h>

#include <cstdio>
#include <string>

#include "core/error.h"
#include "system/file_operations.h"

namespace {

using namespace kaldren::patcher;

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

// Runs one file operation; prints "ok" or the failure's category and message.
template <typename Operation>
int report(Operation&& operation) {
  try {
    operation();
    std::printf("ok\n");
    return 0;
  } catch (const PatchError& error) {
    std::printf("%s %s\n", category_name(error.category()), error.what());
    return 1;
  }
}

}  // namespace

int wmain(int count, wchar_t** arguments) {
  const std::wstring mode = count > 1 ? arguments[1] : L"";
  int result = 2;
  if (mode == L"hold" && count == 5) {
    result = hold_file(arguments[2], static_cast<DWORD>(std::stoul(arguments[3])), arguments[4]);
  } else if (mode == L"mutex" && count == 4) {
    result = own_mutex(arguments[2], arguments[3]);
  } else if (mode == L"write-atomic" && count == 4) {
    result = report([&] { write_file_atomic(system_file_system(), arguments[2], std::string(std::stoull(arguments[3]), 'n')); });
  } else if (mode == L"long-paths" && count == 2) {
    result = system_file_system().long_paths_enabled() ? 11 : 10;
  } else if (mode == L"replace" && count == 4) {
    result = report([&] { replace_file(system_file_system(), arguments[2], arguments[3]); });
  }
  std::fflush(stdout);
  return result;
}
