// Loads winhttp, bcrypt and rstrtmgr by name, through the same search Windows uses for
// a program's ordinary imports (the program's own folder first): the control case of
// the DLL planting test, proving that a DLL planted beside a program is loaded here, so
// the launcher's test cannot pass only because the system ignores planted files.
#include <windows.h>

#include <initializer_list>

int wmain() {
  for (const wchar_t* name : {L"winhttp.dll", L"bcrypt.dll", L"rstrtmgr.dll"}) LoadLibraryW(name);
  return 0;
}
