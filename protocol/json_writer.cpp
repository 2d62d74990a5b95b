#include "protocol/json.h"

#include <charconv>

namespace kaldren::patcher {

// Commas go only between siblings, and a key's value follows its colon directly.
void JsonWriter::separator() {
  if (after_key_) {
    after_key_ = false;
    return;
  }
  if (!stack_.empty()) {
    if (stack_.back()) text_ += ',';
    stack_.back() = true;
  }
}

void JsonWriter::begin_object() {
  separator();
  text_ += '{';
  stack_.push_back(false);
}

void JsonWriter::begin_array() {
  separator();
  text_ += '[';
  stack_.push_back(false);
}

void JsonWriter::key(std::string_view name) {
  write_string(name);
  text_ += ':';
  after_key_ = true;
}

void JsonWriter::end_object() {
  text_ += '}';
  if (!stack_.empty()) stack_.pop_back();
}

void JsonWriter::end_array() {
  text_ += ']';
  if (!stack_.empty()) stack_.pop_back();
}

void JsonWriter::write_string(std::string_view bytes) {
  static constexpr char hex_digits[] = "0123456789abcdef";
  separator();
  text_.reserve(text_.size() + bytes.size() + 2);
  text_ += '"';
  for (const char c : bytes) {
    switch (c) {
      case '\t': text_ += "\\t"; break;
      case '\n': text_ += "\\n"; break;
      case '\r': text_ += "\\r"; break;
      case '"': text_ += "\\\""; break;
      case '\\': text_ += "\\\\"; break;
      default: {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20) {
          text_ += "\\u00";
          text_ += hex_digits[byte >> 4];
          text_ += hex_digits[byte & 0x0F];
        } else {
          text_ += c;
        }
      }
    }
  }
  text_ += '"';
}

void JsonWriter::write_unsigned(std::uint64_t value) {
  separator();
  char digits[20];
  const auto result = std::to_chars(digits, digits + sizeof digits, value);
  text_.append(digits, result.ptr);
}

}  // namespace kaldren::patcher
