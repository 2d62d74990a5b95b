// Strict forward-only JSON reader and compact writer for the system's documents:
// objects, arrays, strings and unsigned 64-bit integers. No tree is built.
#pragma once

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace kaldren::patcher {

// A reader failure; the message is one of the reader's fixed texts (or a
// saved-state reader's own), without prefix or position.
class JsonError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Reads a document it does not own (the caller keeps the bytes alive).
// Not used again after it has thrown. One thread at a time.
class JsonReader {
 public:
  explicit JsonReader(std::string_view document) noexcept;

  char peek();
  void expect(char c);
  void begin_object();
  void begin_array();
  // True with `key` set and the position after the colon; false once the object closed.
  bool next_member(std::string& key);
  // True when an element follows; false once the array closed.
  bool next_element();
  std::string read_string();
  std::uint64_t read_unsigned();
  // Skips one value; `depth` is the number of containers currently open.
  void skip_value(std::size_t depth);

  std::size_t position() const noexcept { return position_; }
  std::size_t length() const noexcept { return document_.size(); }
  std::size_t depth() const noexcept { return stack_.size(); }
  // True when only whitespace remains (documents check this after their top-level object).
  bool at_end_ignoring_whitespace() const noexcept;

 private:
  void skip_whitespace() noexcept;
  void skip_number();
  bool next_in_container(char close, const char* outside_message);

  std::string_view document_;
  std::size_t position_ = 0;
  std::vector<bool> stack_;
};

// Builds compact JSON text (no whitespace at all). One thread at a time.
class JsonWriter {
 public:
  void begin_object();
  void begin_array();
  void key(std::string_view name);
  void end_object();
  void end_array();
  void write_string(std::string_view bytes);
  void write_unsigned(std::uint64_t value);
  const std::string& text() const noexcept { return text_; }

 private:
  void separator();

  std::string text_;
  std::vector<bool> stack_;
  bool after_key_ = false;
};

}  // namespace kaldren::patcher
