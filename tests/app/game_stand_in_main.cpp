// Stands in for the game in the launcher's end-to-end tests: appends its command line
// and working folder, one per line in UTF-8, to the file LANTERNIX_TEST_GAME_RECORD
// names, and exits 0 (after LANTERNIX_TEST_GAME_STAY milliseconds when that is set, so
// that a test can find the game running).
#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <string>

#include "core/text.h"

int wmain() {
  namespace patcher = kaldren::patcher;
  wchar_t record[MAX_PATH];
  if (GetEnvironmentVariableW(L"LANTERNIX_TEST_GAME_RECORD", record, MAX_PATH) == 0) return 2;
  std::wstring folder(MAX_PATH, L'\0');
  folder.resize(GetCurrentDirectoryW(MAX_PATH, folder.data()));
  FILE* file = _wfopen(record, L"ab");
  if (file == nullptr) return 3;
  std::fprintf(file, "%s\n%s\n", patcher::to_utf8_lenient(GetCommandLineW()).c_str(),
               patcher::to_utf8_lenient(folder).c_str());
  std::fclose(file);
  wchar_t stay[16];
  if (GetEnvironmentVariableW(L"LANTERNIX_TEST_GAME_STAY", stay, 16) > 0) Sleep(std::wcstoul(stay, nullptr, 10));
  return 0;
}
