// What the fuzz targets share: a property check that stops the run with its reason
// (the input printed), and one input split between two readers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "support/escaped.h"

namespace kaldren::patcher::fuzz {

// A broken property is a finding: abort, so libFuzzer keeps the input that broke it.
[[noreturn]] inline void fail(const char* file, int line, const char* condition, std::string_view detail) {
  const std::string shown = test_support::escaped(detail, 512);
  std::fprintf(stderr, "%s:%d: property broken: %s\n  %s\n", file, line, condition, shown.c_str());
  std::abort();
}

// The pieces of `input` between `separator`s (an empty input is one empty piece).
inline std::vector<std::string_view> split(std::string_view input, char separator) {
  std::vector<std::string_view> pieces;
  std::size_t start = 0;
  for (;;) {
    const std::size_t end = input.find(separator, start);
    pieces.push_back(input.substr(start, end - start));
    if (end == std::string_view::npos) return pieces;
    start = end + 1;
  }
}

// Byte 0 chooses the reader: odd gives the rest to `odd`, even to `even`. Empty
// inputs go to neither. Returns libFuzzer's 0.
template <typename Odd, typename Even>
int either(const std::uint8_t* data, std::size_t size, Odd odd, Even even) {
  if (size == 0) return 0;
  const std::string_view rest(reinterpret_cast<const char*>(data) + 1, size - 1);
  if ((data[0] & 1) != 0) {
    odd(rest);
  } else {
    even(rest);
  }
  return 0;
}

}  // namespace kaldren::patcher::fuzz

#define FUZZ_CHECK(condition, detail) \
  ((condition) ? void() : ::kaldren::patcher::fuzz::fail(__FILE__, __LINE__, #condition, (detail)))
