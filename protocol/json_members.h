// Reading one JSON object member by member, as every document parser does: members the
// reader does not take are skipped (later formats may add some), and the names it took
// are remembered, so it can tell whether every required member was there.
#pragma once

#include <array>
#include <cstddef>
#include <initializer_list>
#include <string>
#include <string_view>

#include "protocol/json.h"

namespace kaldren::patcher {

class JsonMembers {
 public:
  // Reads the opening brace; the reader must outlive this.
  explicit JsonMembers(JsonReader& reader);

  // Moves to the next member, skipping the value of the current one unless it was
  // taken; false once the object closed.
  bool next();
  // True when the current member is `name` (a literal); the caller then reads its value.
  bool take(std::string_view name);
  const std::string& key() const noexcept { return key_; }
  // True when a member of each name was taken.
  bool has_all(std::initializer_list<std::string_view> names) const;

 private:
  static constexpr std::size_t kMaxNames = 16;
  JsonReader& reader_;
  std::string key_;
  bool current_taken_ = true;
  std::array<std::string_view, kMaxNames> names_{};
  std::size_t name_count_ = 0;
};

}  // namespace kaldren::patcher
