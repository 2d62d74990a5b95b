// The saved state documents (state.json and index.json): the first byte chooses which
// parser reads the rest. Only the parsers' own errors may leave, and what parses
// serialises to a document that parses equal and serialises the same again.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "core/error.h"
#include "core/text.h"
#include "engine/launcher_state.h"
#include "fuzz_check.h"
#include "protocol/json.h"
#include "protocol/path_rule.h"

namespace kaldren::patcher {
namespace {

bool same_state(const LauncherState& a, const LauncherState& b) {
  return a.channel == b.channel && a.highest_sequences == b.highest_sequences && a.installed == b.installed &&
         a.pending == b.pending;
}

template <typename Parse>
bool parses(Parse&& parse, std::string_view document) {
  try {
    parse();
    return true;
  } catch (const JsonError&) {
  } catch (const PatchError& error) {
    // A version that does not parse is reported as the patch server's.
    FUZZ_CHECK(error.category() == ErrorCategory::server, document);
  }
  return false;
}

void fuzz_state(std::string_view document) {
  LauncherState state;
  if (!parses([&] { state = parse_state(document); }, document)) return;
  for (const auto* record : {&state.installed, &state.pending}) {
    if (*record) FUZZ_CHECK(is_safe_path((*record)->executable), document);
  }
  const std::string written = serialize_state(state);
  const LauncherState again = parse_state(written);
  FUZZ_CHECK(same_state(state, again), document);
  FUZZ_CHECK(serialize_state(again) == written, document);
}

void fuzz_index(std::string_view document) {
  FileIndex index;
  if (!parses([&] { index = parse_index(document); }, document)) return;
  for (const auto& [key, entry] : index) {
    FUZZ_CHECK(is_safe_path(entry.path), document);
    FUZZ_CHECK(key == fold_path_case(to_utf16(entry.path)), document);
  }
  const std::string written = serialize_index(index);
  const FileIndex again = parse_index(written);
  FUZZ_CHECK(again == index, document);
  FUZZ_CHECK(serialize_index(again) == written, document);
}

}  // namespace
}  // namespace kaldren::patcher

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  return kaldren::patcher::fuzz::either(data, size, kaldren::patcher::fuzz_index, kaldren::patcher::fuzz_state);
}
