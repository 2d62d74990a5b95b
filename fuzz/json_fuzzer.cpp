// The JSON reader on any bytes: a document read whole must also skip whole, to the
// same position; one holding only what the writer writes reads back equal once written.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "fuzz_check.h"
#include "protocol/json.h"

namespace kaldren::patcher {
namespace {

struct Value;
using Members = std::vector<std::pair<std::string, Value>>;
using Elements = std::vector<Value>;
// A value the writer cannot write (negative, fraction, literal) is kept as its text.
struct Other {
  std::string text;
  bool operator==(const Other&) const = default;
};
struct Value {
  std::variant<std::string, std::uint64_t, Other, std::unique_ptr<Members>, std::unique_ptr<Elements>> data;
};

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// A number the writer could have written: digits only, nothing of a fraction after them.
bool looks_unsigned(std::string_view document, std::size_t at) {
  std::size_t end = at;
  while (end < document.size() && is_digit(document[end])) ++end;
  if (end == at) return false;
  return end == document.size() || (document[end] != '.' && document[end] != 'e' && document[end] != 'E');
}

Value read_value(JsonReader& reader, std::string_view document) {
  const char c = reader.peek();
  if (c == '{') {
    auto members = std::make_unique<Members>();
    reader.begin_object();
    std::string key;
    while (reader.next_member(key)) {
      Value value = read_value(reader, document);
      members->emplace_back(key, std::move(value));
    }
    return {std::move(members)};
  }
  if (c == '[') {
    auto elements = std::make_unique<Elements>();
    reader.begin_array();
    while (reader.next_element()) elements->push_back(read_value(reader, document));
    return {std::move(elements)};
  }
  if (c == '"') return {reader.read_string()};
  if (looks_unsigned(document, reader.position())) return {reader.read_unsigned()};
  const std::size_t start = reader.position();
  reader.skip_value(reader.depth());
  return {Other{std::string(document.substr(start, reader.position() - start))}};
}

// False when the value holds something the writer has no call for.
bool write_value(JsonWriter& writer, const Value& value) {
  if (const auto* text = std::get_if<std::string>(&value.data)) {
    writer.write_string(*text);
  } else if (const auto* number = std::get_if<std::uint64_t>(&value.data)) {
    writer.write_unsigned(*number);
  } else if (const auto* members = std::get_if<std::unique_ptr<Members>>(&value.data)) {
    writer.begin_object();
    for (const auto& [key, member] : **members) {
      writer.key(key);
      if (!write_value(writer, member)) return false;
    }
    writer.end_object();
  } else if (const auto* elements = std::get_if<std::unique_ptr<Elements>>(&value.data)) {
    writer.begin_array();
    for (const Value& element : **elements) {
      if (!write_value(writer, element)) return false;
    }
    writer.end_array();
  } else {
    return false;
  }
  return true;
}

bool equal(const Value& a, const Value& b) {
  if (a.data.index() != b.data.index()) return false;
  if (const auto* members = std::get_if<std::unique_ptr<Members>>(&a.data)) {
    const Members& other = *std::get<std::unique_ptr<Members>>(b.data);
    if ((*members)->size() != other.size()) return false;
    for (std::size_t i = 0; i < other.size(); ++i) {
      if ((**members)[i].first != other[i].first || !equal((**members)[i].second, other[i].second)) return false;
    }
    return true;
  }
  if (const auto* elements = std::get_if<std::unique_ptr<Elements>>(&a.data)) {
    const Elements& other = *std::get<std::unique_ptr<Elements>>(b.data);
    if ((*elements)->size() != other.size()) return false;
    for (std::size_t i = 0; i < other.size(); ++i) {
      if (!equal((**elements)[i], other[i])) return false;
    }
    return true;
  }
  if (const auto* text = std::get_if<std::string>(&a.data)) return *text == std::get<std::string>(b.data);
  if (const auto* number = std::get_if<std::uint64_t>(&a.data)) return *number == std::get<std::uint64_t>(b.data);
  return std::get<Other>(a.data) == std::get<Other>(b.data);
}

// The value and the position after it, or nothing when the reader refused the document.
std::optional<std::pair<Value, std::size_t>> read_document(std::string_view document) {
  JsonReader reader(document);
  try {
    Value value = read_value(reader, document);
    FUZZ_CHECK(reader.depth() == 0, document);
    return std::pair{std::move(value), reader.position()};
  } catch (const JsonError&) {
    FUZZ_CHECK(reader.position() <= reader.length(), document);
    return std::nullopt;
  }
}

std::optional<std::size_t> skip_document(std::string_view document) {
  JsonReader reader(document);
  try {
    reader.skip_value(0);
    return reader.position();
  } catch (const JsonError&) {
    FUZZ_CHECK(reader.position() <= reader.length(), document);
    return std::nullopt;
  }
}

}  // namespace
}  // namespace kaldren::patcher

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace kaldren::patcher;
  const std::string_view document(reinterpret_cast<const char*>(data), size);
  const auto read = read_document(document);
  const auto skipped = skip_document(document);
  if (!read) return 0;
  // Parsers skip what they do not know: skipping must take whatever reading takes.
  FUZZ_CHECK(skipped.has_value(), document);
  FUZZ_CHECK(*skipped == read->second, document);

  JsonWriter writer;
  if (!write_value(writer, read->first)) return 0;
  const auto again = read_document(writer.text());
  FUZZ_CHECK(again.has_value(), writer.text());
  FUZZ_CHECK(again->second == writer.text().size(), writer.text());
  FUZZ_CHECK(equal(read->first, again->first), document);
  JsonWriter rewriter;
  write_value(rewriter, again->first);
  FUZZ_CHECK(rewriter.text() == writer.text(), writer.text());
  return 0;
}
