// Checks a publication the way the Windows launcher reads it (CNG hashing and
// signatures, the Windows zstd build). Used by the test that feeds it what the
// native publishing tool wrote.
// usage: publication_check SITE CHANNEL KEY_HEX   (exit 0 sound, 1 problems, 2 usage)
#include <cstdio>
#include <exception>
#include <string>

#include "tools/site_check.h"

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fputs("usage: publication_check SITE CHANNEL KEY_HEX\n", stderr);
    return 2;
  }
  try {
    auto problems = kaldren::patcher::publish::check_site(argv[1], argv[2], argv[3], 4,
                                                          [](const std::string& line) { std::printf("%s\n", line.c_str()); });
    for (const auto& problem : problems) std::printf("problem: %s\n", problem.c_str());
    if (!problems.empty()) return 1;
    std::printf("publication is sound\n");
    return 0;
  } catch (const std::exception& e) {
    std::printf("error: %s\n", e.what());
    return 1;
  }
}
