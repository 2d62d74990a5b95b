// zstd frames made by tests/support/make-zstd-fixtures.sh with the zstd command line,
// compiled into the test from tests/support/fixtures/zstd.
#pragma once

#include <string>
#include <string_view>

namespace kaldren::patcher::test {

// lines_content() at level 3, with a content checksum.
extern const std::string_view zstd_lines_frame;
// "a second frame\n" at level 3, with a content checksum.
extern const std::string_view zstd_short_frame;
// A frame whose header asks for a 256 MiB window, then one raw byte "x".
extern const std::string_view zstd_window_2_28_frame;

// "line 00001 of the object store fixture\n" up to line 10000 (390000 bytes).
std::string lines_content();

}  // namespace kaldren::patcher::test
