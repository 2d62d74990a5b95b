#include <string>
#include <vector>

#include "app/update_console.h"

int wmain(int argc, wchar_t** argv) {
  return kaldren::patcher::update_console_main({argv + 1, argv + argc}, kaldren::patcher::system_file_system());
}
