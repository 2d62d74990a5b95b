// Test helper: runs one file operation for a script that prepares the volume around it
// (a full RAM disk, for instance). Prints "ok" or "<category> <message>".
//   file_ops_probe write-atomic <path> <byte count>
#include <windows.h>
#include <shellapi.h>

#include <cstdio>
#include <string>

#include "core/error.h"
#include "core/text.h"
#include "system/file_operations.h"
#include "system/file_system.h"

namespace {

using namespace kaldren::patcher;

int write_atomic(const std::wstring& path, unsigned long long count) {
  try {
    write_file_atomic(system_file_system(), std::filesystem::path(path), std::string(count, 'n'));
    std::printf("ok\n");
    return 0;
  } catch (const PatchError& error) {
    std::printf("%s %s\n", category_name(error.category()), error.what());
    return 1;
  }
}

}  // namespace

int main() {
  int count = 0;
  wchar_t** arguments = CommandLineToArgvW(GetCommandLineW(), &count);
  if (arguments == nullptr) return 2;
  int result = 2;
  if (count == 4 && std::wstring(arguments[1]) == L"write-atomic") {
    result = write_atomic(arguments[2], std::stoull(arguments[3]));
  } else {
    std::fprintf(stderr, "usage: file_ops_probe write-atomic <path> <byte count>\n");
  }
  LocalFree(arguments);
  std::fflush(stdout);
  return result;
}
