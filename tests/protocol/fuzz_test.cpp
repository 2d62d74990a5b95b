// Deterministic random and mutated input for the JSON reader and the path
// rule: only their own error types may escape, with their fixed messages.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <random>
#include <set>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "core/error.h"
#include "protocol/json.h"
#include "protocol/path_rule.h"
#include "support/escaped.h"

namespace kaldren::patcher {
namespace {

using Random = std::mt19937_64;

constexpr std::uint64_t seed = 0x4C616E7465726E78u;
constexpr int max_reported_failures = 5;

std::size_t below(Random& random, std::size_t bound) {
  return std::uniform_int_distribution<std::size_t>(0, bound - 1)(random);
}

bool chance(Random& random, int percent) { return below(random, 100) < static_cast<std::size_t>(percent); }

using test_support::escaped;

const std::set<std::string, std::less<>>& reader_messages() {
  static const std::set<std::string, std::less<>> messages = {
      "Unexpected end of JSON input",
      "Unexpected JSON token",
      "JSON nesting limit exceeded",
      "JSON member outside of an object",
      "JSON element outside of an array",
      "Unterminated JSON string",
      "Control character in JSON string",
      "Truncated JSON escape",
      "Unsupported JSON escape",
      "Truncated JSON Unicode escape",
      "Invalid hexadecimal JSON escape",
      "Missing low surrogate in JSON string",
      "Invalid low surrogate in JSON string",
      "Unexpected low surrogate in JSON string",
      "Expected unsigned JSON integer",
      "JSON integer has a leading zero",
      "JSON integer overflow",
      "Expected an integer, not a fraction",
      "Invalid JSON number",
      "Unsupported JSON value",
  };
  return messages;
}

// A manifest-like document with every kind of value and escape the reader knows.
std::string realistic_document() {
  JsonWriter writer;
  writer.begin_object();
  writer.key("format");
  writer.write_unsigned(2);
  writer.key("release");
  writer.write_string("1.4.12");
  writer.key("files");
  writer.begin_array();
  const char* const names[] = {"bin/64/Kaldren.exe", ("data/donn\xC3\xA9" "es.pak"), "maps/\"quoted\"\\name",
                               "tab\there\nline", "\x01\x1F control"};
  std::uint64_t size = 1;
  for (const char* name : names) {
    writer.begin_object();
    writer.key("path");
    writer.write_string(name);
    writer.key("size");
    writer.write_unsigned(size);
    size = size * 1000 + 7;
    writer.key("sha256");
    writer.write_string("9f86d081884c7d659a2feaa0c55ad015a3bf4f1b2b0b822cd15d6c15b0f00a08");
    writer.key("chunks");
    writer.begin_array();
    writer.write_unsigned(0);
    writer.write_unsigned(UINT64_MAX);
    writer.begin_array();
    writer.end_array();
    writer.end_array();
    writer.end_object();
  }
  writer.end_array();
  writer.key("empty");
  writer.begin_object();
  writer.end_object();
  writer.end_object();
  return writer.text();
}

std::vector<std::string> json_seeds() {
  return {
      realistic_document(),
      R"({ "a" : [ 1 , 2 , { "b" : "c\u00e9\uD83D\uDE00\/\b\f\n\r\t" } ] , "n" : 18446744073709551615 })",
      R"({"skip":[true,false,null,-0.5e+10,1E-3,0,"x"],"o":{"p":{"q":[[[]]]}}})",
      "\t{\r\n\"k\"\n:\n\"v\"\r\n}\n",
      std::string(60, '[') + "1" + std::string(60, ']'),
      std::string(30, '[') + std::string(30, '{') + std::string(30, '}') + std::string(30, ']'),
      R"(["\u0000","\uDBFF\uDFFF","\u007F",0,10,")" "\x7F\xFF\"]",
  };
}

// Bytes that steer the reader into its rarer paths when inserted.
const std::string_view tokens[] = {
    "{", "}", "[", "]", "\"", ":", ",", "\\", "\\u", "\\uD83D", "\\uDC00", "\\uD83D\\u",
    "0", "9", "-", ".", "e", "true", "nul", "\x01", "\xFF", " ", "\t", "18446744073709551616"};

std::string mutate(Random& random, std::string text, const std::vector<std::string>& seeds) {
  const std::size_t steps = 1 + below(random, 4);
  for (std::size_t step = 0; step < steps; ++step) {
    const std::size_t at = text.empty() ? 0 : below(random, text.size() + 1);
    switch (below(random, 7)) {
      case 0:  // flip one bit
        if (at < text.size()) text[at] = static_cast<char>(text[at] ^ (1u << below(random, 8)));
        break;
      case 1:  // replace a byte
        if (at < text.size()) text[at] = static_cast<char>(below(random, 256));
        break;
      case 2:  // insert a random byte
        text.insert(at, 1, static_cast<char>(below(random, 256)));
        break;
      case 3: {  // insert a token
        const auto& token = tokens[below(random, std::size(tokens))];
        text.insert(at, token);
        break;
      }
      case 4:  // delete a run
        text.erase(std::min(at, text.size()), 1 + below(random, 8));
        break;
      case 5:  // truncate
        text.resize(std::min(at, text.size()));
        break;
      default: {  // splice in a piece of another seed
        const std::string& other = seeds[below(random, seeds.size())];
        const std::size_t from = below(random, other.size());
        text.insert(at, other, from, 1 + below(random, 40));
        break;
      }
    }
  }
  return text;
}

std::string random_bytes(Random& random) {
  std::string text(below(random, 64), '\0');
  const bool json_alphabet = chance(random, 70);
  static constexpr std::string_view alphabet = "{}[]\":,\\u0123456789abcdefABCDEF-+.eEtrufalsn \t\r\n";
  for (char& c : text) {
    c = json_alphabet ? alphabet[below(random, alphabet.size())] : static_cast<char>(below(random, 256));
  }
  return text;
}

// Drives the reader through a document the way the document parsers do, but
// with randomly chosen (sometimes wrong) operations.
class Walker {
 public:
  Walker(JsonReader& reader, Random& random, std::size_t budget)
      : reader_(reader), random_(random), budget_(budget) {}

  void walk_value() {
    spend();
    if (chance(random_, 15)) {
      reader_.skip_value(reader_.depth());
      return;
    }
    switch (reader_.peek()) {
      case '{': walk_object(); break;
      case '[': walk_array(); break;
      case '"': reader_.read_string(); break;
      default:
        if (chance(random_, 50)) {
          reader_.read_unsigned();
        } else {
          reader_.skip_value(reader_.depth());
        }
    }
  }

  void walk_object() {
    reader_.begin_object();
    std::string key;
    // Occasionally asks for elements of an object: the stack does not know the kind.
    const bool as_array = chance(random_, 3);
    while (as_array ? reader_.next_element() : reader_.next_member(key)) {
      spend();
      if (as_array) {
        reader_.read_string();
        reader_.expect(':');
      }
      walk_value();
    }
  }

  void walk_array() {
    reader_.begin_array();
    std::string key;
    const bool as_object = chance(random_, 3);
    while (as_object ? reader_.next_member(key) : reader_.next_element()) walk_value();
  }

  // Each step consumes input, so a walk longer than the budget means a loop that never ends.
  void spend() {
    if (budget_-- == 0) throw std::logic_error("the walk does not advance");
  }

 private:
  JsonReader& reader_;
  Random& random_;
  std::size_t budget_;
};

// Called in a catch block: reports the exception being handled, which no rule of the
// code under test throws, for `input`. Returns false.
bool report_unexpected(std::string_view input) {
  try {
    throw;
  } catch (const std::exception& e) {
    ADD_FAILURE() << "unexpected exception \"" << e.what() << "\" for " << escaped(input);
  } catch (...) {
    ADD_FAILURE() << "unexpected non-standard exception for " << escaped(input);
  }
  return false;
}

// Runs one document; returns false (after reporting) when anything unexpected escaped.
// Records each reader message seen in `seen`.
bool survives_walk(const std::string& text, Random& random, std::set<std::string, std::less<>>& seen) {
  JsonReader reader(text);
  try {
    Walker walker(reader, random, 4 * text.size() + 16);
    if (chance(random, 5)) {
      std::string key;
      if (chance(random, 50)) {
        reader.next_member(key);
      } else {
        reader.next_element();
      }
    }
    walker.walk_value();
    reader.at_end_ignoring_whitespace();
  } catch (const JsonError& e) {
    if (reader_messages().count(e.what()) == 0) {
      ADD_FAILURE() << "unknown JsonError \"" << e.what() << "\" for " << escaped(text);
      return false;
    }
    seen.insert(e.what());
  } catch (const PatchError&) {
  } catch (...) {
    return report_unexpected(text);
  }
  if (reader.position() > reader.length()) {
    ADD_FAILURE() << "position " << reader.position() << " beyond length " << reader.length() << " for "
                  << escaped(text);
    return false;
  }
  return true;
}

TEST(ProtocolFuzzTest, ReaderThrowsOnlyItsOwnErrors) {
  Random random(seed);
  const std::vector<std::string> seeds = json_seeds();
  std::set<std::string, std::less<>> seen;
  int failures = 0;
  for (const auto& text : seeds) {
    if (!survives_walk(text, random, seen)) ++failures;
  }
  for (int i = 0; i < 20000 && failures < max_reported_failures; ++i) {
    const std::string text =
        chance(random, 20) ? random_bytes(random) : mutate(random, seeds[below(random, seeds.size())], seeds);
    if (!survives_walk(text, random, seen)) ++failures;
  }
  // The run means little unless it reached every failure the reader has.
  for (const auto& message : reader_messages()) {
    EXPECT_EQ(seen.count(message), 1u) << "never raised: " << message;
  }
}

// Whatever the bytes, a written string reads back as the same bytes.
TEST(ProtocolFuzzTest, WrittenStringsReadBack) {
  Random random(seed + 1);
  for (int i = 0; i < 2000; ++i) {
    std::string bytes(below(random, 40), '\0');
    for (char& c : bytes) c = static_cast<char>(below(random, 256));
    const std::uint64_t number = random() >> below(random, 64);
    JsonWriter writer;
    writer.begin_array();
    writer.write_string(bytes);
    writer.write_unsigned(number);
    writer.end_array();
    JsonReader reader(writer.text());
    reader.begin_array();
    ASSERT_TRUE(reader.next_element());
    ASSERT_EQ(reader.read_string(), bytes) << escaped(writer.text());
    ASSERT_TRUE(reader.next_element());
    ASSERT_EQ(reader.read_unsigned(), number);
    ASSERT_FALSE(reader.next_element());
    ASSERT_TRUE(reader.at_end_ignoring_whitespace());
  }
}

std::string random_path(Random& random) {
  static const std::string_view pieces[] = {
      "a", "bin", "Kaldren.exe", "/", "/", ".", "..", "~", "~1", "1", "con", "COM", "lpt", "AUX", "nul",
      "\xC2\xB9", "\xC2\xB3", "\xC3\xA9", "\xC3", "\xFF", " ", ":", "\\", "*", "\x7F", "\x01",
      "Lanternix", "lanternix.exe", ".txt", "\xF0\x9F\x98\x80"};
  std::string path;
  const std::size_t count = below(random, 12);
  for (std::size_t i = 0; i < count; ++i) path += pieces[below(random, std::size(pieces))];
  if (chance(random, 3)) path += std::string(below(random, 600), 'x');
  return path;
}

static_assert(noexcept(is_safe_path(std::string_view())), "the path rule is a pure predicate");

// Runs one path; returns false (after reporting) when the three operations disagree or misbehave.
bool path_operations_agree(const std::string& path) {
  namespace fs = std::filesystem;
  static const fs::path root = "root";
  const bool safe = is_safe_path(path);
  // what() ends at the first zero byte of the message.
  const std::string expected_message =
      std::string(("The patch names an unsafe file path: \"" + path.substr(0, 128) + "\"").c_str());
  for (const bool resolve : {false, true}) {
    try {
      if (resolve) {
        const fs::path resolved = resolve_path(root, path);
        const bool foreign_separator =
            fs::path::preferred_separator != '/' && resolved.native().find('/') != fs::path::string_type::npos;
        if (resolved.native().rfind(root.native(), 0) != 0 || foreign_separator) {
          ADD_FAILURE() << "resolved outside the root or with '/' for " << escaped(path);
          return false;
        }
      } else {
        require_safe_path(path);
      }
      if (!safe) {
        ADD_FAILURE() << "unsafe path accepted for " << escaped(path);
        return false;
      }
    } catch (const PatchError& e) {
      if (safe || e.category() != ErrorCategory::security || e.what() != expected_message) {
        ADD_FAILURE() << "PatchError \"" << escaped(e.what()) << "\" for " << escaped(path);
        return false;
      }
    } catch (...) {
      return report_unexpected(path);
    }
  }
  return true;
}

TEST(ProtocolFuzzTest, PathOperationsAgree) {
  Random random(seed + 2);
  const std::vector<std::string> seeds = {
      "bin/64/Kaldren.exe", "data/donn\xC3\xA9" "es/a~b.pak", "com0/lpt/console.txt", ".hidden/x",
      std::string(255, 'a') + "/" + std::string(254, 'b') + "/c"};
  int failures = 0;
  int safe_count = 0;
  for (int i = 0; i < 5000 && failures < max_reported_failures; ++i) {
    const std::string path =
        chance(random, 50) ? random_path(random) : mutate(random, seeds[below(random, seeds.size())], seeds);
    if (!path_operations_agree(path)) ++failures;
    if (is_safe_path(path)) ++safe_count;
  }
  // Both answers must be well represented for the run to mean anything.
  EXPECT_GT(safe_count, 500);
  EXPECT_LT(safe_count, 4500);
}

}  // namespace
}  // namespace kaldren::patcher
