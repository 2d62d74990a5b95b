// What the fuzz targets share: a property check that stops the run with its reason,
// and a printable form of the input for that report.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

namespace kaldren::patcher::fuzz {

// Bytes outside printable ASCII as \xNN, so a report shows exactly what was read.
inline std::string escaped(std::string_view bytes) {
  static constexpr char hex[] = "0123456789ABCDEF";
  std::string out;
  for (const char c : bytes.substr(0, 512)) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte >= 0x20 && byte < 0x7F && c != '\\') {
      out += c;
    } else {
      out += "\\x";
      out += hex[byte >> 4];
      out += hex[byte & 0x0F];
    }
  }
  if (bytes.size() > 512) out += "...";
  return out;
}

// A broken property is a finding: abort, so libFuzzer keeps the input that broke it.
[[noreturn]] inline void fail(const char* file, int line, const char* condition, std::string_view detail) {
  std::fprintf(stderr, "%s:%d: property broken: %s\n  %s\n", file, line, condition, escaped(detail).c_str());
  std::abort();
}

}  // namespace kaldren::patcher::fuzz

#define FUZZ_CHECK(condition, detail) \
  ((condition) ? void() : ::kaldren::patcher::fuzz::fail(__FILE__, __LINE__, #condition, (detail)))
