// Stands in for the launcher's uninstaller copy: writes its command line and working
// folder, one per line in UTF-8, to the file LANTERNIX_TEST_RECORD names, and exits.
#include <windows.h>

#include <cstdio>
#include <string>

#include "core/text.h"

int wmain() {
  wchar_t record[MAX_PATH];
  if (GetEnvironmentVariableW(L"LANTERNIX_TEST_RECORD", record, MAX_PATH) == 0) return 2;
  std::wstring folder(MAX_PATH, L'\0');
  folder.resize(GetCurrentDirectoryW(MAX_PATH, folder.data()));
  // Written under another name first, so the test never reads half a record.
  const std::wstring partial = std::wstring(record) + L".partial";
  FILE* file = _wfopen(partial.c_str(), L"wb");
  if (file == nullptr) return 3;
  std::fprintf(file, "%s\n%s\n", kaldren::patcher::to_utf8_lenient(GetCommandLineW()).c_str(),
               kaldren::patcher::to_utf8_lenient(folder).c_str());
  std::fclose(file);
  return MoveFileW(partial.c_str(), record) ? 0 : 4;
}
