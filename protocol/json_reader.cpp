#include "protocol/json.h"

#include <limits>

namespace kaldren::patcher {
namespace {

// Deeper documents are refused so that hostile input cannot exhaust the stack
// of the recursive skip or the memory of the container stack.
constexpr std::size_t max_depth = 64;

bool is_whitespace(char c) noexcept {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

bool is_digit(char c) noexcept { return c >= '0' && c <= '9'; }

int hex_value(char c) noexcept {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The caller guarantees that four bytes are available at `at`.
std::uint32_t read_hex4(std::string_view document, std::size_t at) {
  std::uint32_t value = 0;
  for (std::size_t i = 0; i < 4; ++i) {
    const int digit = hex_value(document[at + i]);
    if (digit < 0) throw JsonError("Invalid hexadecimal JSON escape");
    value = value * 16 + static_cast<std::uint32_t>(digit);
  }
  return value;
}

void append_utf8(std::string& out, std::uint32_t code_point) {
  if (code_point < 0x80) {
    out += static_cast<char>(code_point);
  } else if (code_point < 0x800) {
    out += static_cast<char>(0xC0 | (code_point >> 6));
    out += static_cast<char>(0x80 | (code_point & 0x3F));
  } else if (code_point < 0x10000) {
    out += static_cast<char>(0xE0 | (code_point >> 12));
    out += static_cast<char>(0x80 | ((code_point >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (code_point & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (code_point >> 18));
    out += static_cast<char>(0x80 | ((code_point >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((code_point >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (code_point & 0x3F));
  }
}

}  // namespace

JsonReader::JsonReader(std::string_view document) noexcept : document_(document) {}

void JsonReader::skip_whitespace() noexcept {
  while (position_ < document_.size() && is_whitespace(document_[position_])) ++position_;
}

bool JsonReader::at_end_ignoring_whitespace() const noexcept {
  for (std::size_t i = position_; i < document_.size(); ++i) {
    if (!is_whitespace(document_[i])) return false;
  }
  return true;
}

char JsonReader::peek() {
  skip_whitespace();
  if (position_ >= document_.size()) throw JsonError("Unexpected end of JSON input");
  return document_[position_];
}

void JsonReader::expect(char c) {
  if (peek() != c) throw JsonError("Unexpected JSON token");
  ++position_;
}

void JsonReader::begin_object() {
  if (stack_.size() >= max_depth) throw JsonError("JSON nesting limit exceeded");
  expect('{');
  stack_.push_back(false);
}

void JsonReader::begin_array() {
  if (stack_.size() >= max_depth) throw JsonError("JSON nesting limit exceeded");
  expect('[');
  stack_.push_back(false);
}

bool JsonReader::next_in_container(char close, const char* outside_message) {
  if (stack_.empty()) throw JsonError(outside_message);
  skip_whitespace();
  if (position_ < document_.size() && document_[position_] == close) {
    ++position_;
    stack_.pop_back();
    return false;
  }
  if (stack_.back()) {
    expect(',');
  } else {
    stack_.back() = true;
  }
  return true;
}

bool JsonReader::next_member(std::string& key) {
  if (!next_in_container('}', "JSON member outside of an object")) return false;
  key = read_string();
  expect(':');
  return true;
}

bool JsonReader::next_element() {
  return next_in_container(']', "JSON element outside of an array");
}

std::string JsonReader::read_string() {
  expect('"');
  std::string out;
  const std::size_t size = document_.size();
  for (;;) {
    if (position_ >= size) throw JsonError("Unterminated JSON string");
    const char c = document_[position_++];
    if (c == '"') return out;
    if (static_cast<unsigned char>(c) < 0x20) throw JsonError("Control character in JSON string");
    if (c != '\\') {
      out += c;
      continue;
    }
    if (position_ >= size) throw JsonError("Truncated JSON escape");
    const char escape = document_[position_++];
    switch (escape) {
      case '"':
      case '/':
      case '\\':
        out += escape;
        continue;
      case 'b': out += '\b'; continue;
      case 'f': out += '\f'; continue;
      case 'n': out += '\n'; continue;
      case 'r': out += '\r'; continue;
      case 't': out += '\t'; continue;
      case 'u': break;
      default: throw JsonError("Unsupported JSON escape");
    }
    if (size - position_ < 4) throw JsonError("Truncated JSON Unicode escape");
    std::uint32_t code_point = read_hex4(document_, position_);
    position_ += 4;
    if (code_point >= 0xD800 && code_point <= 0xDBFF) {
      if (size - position_ < 6 || document_[position_] != '\\' || document_[position_ + 1] != 'u') {
        throw JsonError("Missing low surrogate in JSON string");
      }
      const std::uint32_t low = read_hex4(document_, position_ + 2);
      if (low < 0xDC00 || low > 0xDFFF) throw JsonError("Invalid low surrogate in JSON string");
      position_ += 6;
      code_point = 0x10000 + (code_point - 0xD800) * 0x400 + (low - 0xDC00);
    } else if (code_point >= 0xDC00 && code_point <= 0xDFFF) {
      throw JsonError("Unexpected low surrogate in JSON string");
    }
    append_utf8(out, code_point);
  }
}

std::uint64_t JsonReader::read_unsigned() {
  skip_whitespace();
  const std::size_t size = document_.size();
  if (position_ >= size || !is_digit(document_[position_])) {
    throw JsonError("Expected unsigned JSON integer");
  }
  if (document_[position_] == '0' && position_ + 1 < size && is_digit(document_[position_ + 1])) {
    throw JsonError("JSON integer has a leading zero");
  }
  constexpr std::uint64_t max = std::numeric_limits<std::uint64_t>::max();
  std::uint64_t value = 0;
  while (position_ < size && is_digit(document_[position_])) {
    const auto digit = static_cast<std::uint64_t>(document_[position_] - '0');
    if (value > (max - digit) / 10) throw JsonError("JSON integer overflow");
    value = value * 10 + digit;
    ++position_;
  }
  if (position_ < size) {
    const char next = document_[position_];
    if (next == '.' || next == 'e' || next == 'E') throw JsonError("Expected an integer, not a fraction");
  }
  return value;
}

void JsonReader::skip_number() {
  const std::size_t size = document_.size();
  auto skip_digits = [&] {
    const std::size_t start = position_;
    while (position_ < size && is_digit(document_[position_])) ++position_;
    if (position_ == start) throw JsonError("Invalid JSON number");
  };
  if (position_ < size && document_[position_] == '-') ++position_;
  skip_digits();
  if (position_ < size && document_[position_] == '.') {
    ++position_;
    skip_digits();
  }
  if (position_ < size && (document_[position_] == 'e' || document_[position_] == 'E')) {
    ++position_;
    if (position_ < size && (document_[position_] == '+' || document_[position_] == '-')) ++position_;
    skip_digits();
  }
}

void JsonReader::skip_value(std::size_t depth) {
  if (depth > max_depth) throw JsonError("JSON nesting limit exceeded");
  const char c = peek();
  if (c == '"') {
    read_string();
    return;
  }
  if (c == '-' || is_digit(c)) {
    skip_number();
    return;
  }
  if (c == '{' || c == '[') {
    // Objects and arrays differ only in the key before each member's value.
    const bool object = c == '{';
    const char close = object ? '}' : ']';
    ++position_;
    skip_whitespace();
    if (position_ < document_.size() && document_[position_] == close) {
      ++position_;
      return;
    }
    for (;;) {
      if (object) {
        read_string();
        expect(':');
      }
      skip_value(depth + 1);
      skip_whitespace();
      if (position_ < document_.size() && document_[position_] == ',') {
        ++position_;
        continue;
      }
      expect(close);
      return;
    }
  }
  const std::string_view rest = document_.substr(position_);
  for (const std::string_view literal : {"true", "false", "null"}) {
    if (rest.substr(0, literal.size()) == literal) {
      position_ += literal.size();
      return;
    }
  }
  throw JsonError("Unsupported JSON value");
}

}  // namespace kaldren::patcher
