#include "protocol/json_members.h"

#include <algorithm>

#include "core/error.h"

namespace kaldren::patcher {

JsonMembers::JsonMembers(JsonReader& reader) : reader_(reader) { reader_.begin_object(); }

bool JsonMembers::next() {
  if (!current_taken_) reader_.skip_value(reader_.depth());
  if (!reader_.next_member(key_)) return false;
  current_taken_ = false;
  return true;
}

bool JsonMembers::take(std::string_view name) {
  if (key_ != name) return false;
  current_taken_ = true;
  const auto end = names_.begin() + name_count_;
  if (std::find(names_.begin(), end, name) == end) {
    // The names are the parsers' own literals, a handful per object.
    if (name_count_ == kMaxNames) throw PatchError(ErrorCategory::internal, "Too many JSON member names");
    names_[name_count_++] = name;
  }
  return true;
}

bool JsonMembers::has_all(std::initializer_list<std::string_view> names) const {
  const auto end = names_.begin() + name_count_;
  return std::all_of(names.begin(), names.end(),
                     [&](std::string_view name) { return std::find(names_.begin(), end, name) != end; });
}

}  // namespace kaldren::patcher
