// Chunk lists: the first byte picks the index or the page reader. Parsing refuses with
// the server category only, validation with the security category only, and what was
// read writes back to a document that reads the same.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "core/error.h"
#include "fuzz_check.h"
#include "protocol/chunk_list.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace kaldren::patcher;
  if (size == 0) return 0;
  const bool page = data[0] & 1;
  const std::string_view document(reinterpret_cast<const char*>(data + 1), size - 1);
  try {
    if (page) {
      const ChunkPage read = parse_chunk_page(document);
      FUZZ_CHECK(parse_chunk_page(write_chunk_page(read)).chunks == read.chunks, document);
      std::uint64_t span = 0;
      for (const ObjectRef& chunk : read.chunks) span += chunk.size;
      try {
        validate_chunk_page(read, {{}, read.chunks.size(), span, page_fingerprint(read.chunks)},
                            default_chunk_params(), true, "a");
      } catch (const PatchError& error) {
        FUZZ_CHECK(error.category() == ErrorCategory::security, document);
      }
    } else {
      const ChunkIndex read = parse_chunk_index(document);
      if (!read.supported) return 0;
      const ChunkIndex again = parse_chunk_index(write_chunk_index(read));
      FUZZ_CHECK(again.params == read.params && again.size == read.size && again.seeds == read.seeds &&
                     again.pages.size() == read.pages.size(),
                 document);
      try {
        validate_chunk_index(read, "a", read.size);
      } catch (const PatchError& error) {
        FUZZ_CHECK(error.category() == ErrorCategory::security, document);
      }
    }
  } catch (const PatchError& error) {
    FUZZ_CHECK(error.category() == ErrorCategory::server, document);
  }
  return 0;
}
