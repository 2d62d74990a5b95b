// Imports winhttp, bcrypt and rstrtmgr the ordinary way: the control case of the DLL
// planting test, proving that a DLL planted beside a program is loaded here (so the
// launcher's test cannot pass only because the system ignores planted files).
#include <windows.h>
#include <bcrypt.h>
#include <restartmanager.h>
#include <winhttp.h>

int wmain() {
  // One call into each, so that the linker keeps the imports.
  WinHttpCheckPlatform();
  BCryptCloseAlgorithmProvider(nullptr, 0);
  RmEndSession(0);
  return 0;
}
