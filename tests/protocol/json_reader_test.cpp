#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <string_view>

#include "protocol/json.h"

namespace kaldren::patcher {
namespace {

using namespace std::string_view_literals;

// The operations a failure case drives on a fresh reader.
void read_object_of_strings(JsonReader& reader) {
  reader.begin_object();
  std::string key;
  while (reader.next_member(key)) reader.read_string();
}
void read_array_of_unsigned(JsonReader& reader) {
  reader.begin_array();
  while (reader.next_element()) reader.read_unsigned();
}
void peek(JsonReader& reader) { reader.peek(); }
void expect_colon(JsonReader& reader) { reader.expect(':'); }
void begin_object(JsonReader& reader) { reader.begin_object(); }
void begin_array(JsonReader& reader) { reader.begin_array(); }
void next_member(JsonReader& reader) {
  std::string key;
  reader.next_member(key);
}
void next_element(JsonReader& reader) { reader.next_element(); }
void read_string(JsonReader& reader) { reader.read_string(); }
void read_unsigned(JsonReader& reader) { reader.read_unsigned(); }
void skip(JsonReader& reader) { reader.skip_value(0); }

struct FailureCase {
  std::string_view input;
  void (*operation)(JsonReader&);
  const char* operation_name;
  const char* message;
};

#define OP(name) name, #name

const FailureCase failure_cases[] = {
    {"", OP(peek), "Unexpected end of JSON input"},
    {" \t\r\n", OP(peek), "Unexpected end of JSON input"},
    {"", OP(begin_object), "Unexpected end of JSON input"},
    {"", OP(skip), "Unexpected end of JSON input"},
    {"{\"a\":", OP(read_object_of_strings), "Unexpected end of JSON input"},
    {"{\"a\":\"x\",", OP(read_object_of_strings), "Unexpected end of JSON input"},
    {"[1,", OP(skip), "Unexpected end of JSON input"},
    {"{", OP(read_object_of_strings), "Unexpected end of JSON input"},

    {";", OP(expect_colon), "Unexpected JSON token"},
    {"[]", OP(begin_object), "Unexpected JSON token"},
    {"{}", OP(begin_array), "Unexpected JSON token"},
    {"\xEF\xBB\xBF{}", OP(begin_object), "Unexpected JSON token"},  // a byte-order mark is not whitespace
    {"12", OP(read_string), "Unexpected JSON token"},
    {"{\"a\":\"x\",}", OP(read_object_of_strings), "Unexpected JSON token"},
    {"{\"a\" \"x\"}", OP(read_object_of_strings), "Unexpected JSON token"},
    {"{\"a\":\"x\" \"b\":\"y\"}", OP(read_object_of_strings), "Unexpected JSON token"},
    {"{a:\"x\"}", OP(read_object_of_strings), "Unexpected JSON token"},
    {"[1 2]", OP(read_array_of_unsigned), "Unexpected JSON token"},
    {"{\"a\" 1}", OP(skip), "Unexpected JSON token"},
    {"{1:2}", OP(skip), "Unexpected JSON token"},
    {"[1 2]", OP(skip), "Unexpected JSON token"},
    {"{\"a\":1 \"b\":2}", OP(skip), "Unexpected JSON token"},

    {"{}", OP(next_member), "JSON member outside of an object"},
    {"[]", OP(next_element), "JSON element outside of an array"},

    {"\"abc", OP(read_string), "Unterminated JSON string"},
    {"\"", OP(read_string), "Unterminated JSON string"},
    {"\"\\u0041", OP(read_string), "Unterminated JSON string"},

    {"\"a\tb\"", OP(read_string), "Control character in JSON string"},
    {"\"a\nb\"", OP(read_string), "Control character in JSON string"},
    {"\"\x1F\"", OP(read_string), "Control character in JSON string"},
    {"\"\0\""sv, OP(read_string), "Control character in JSON string"},

    {"\"abc\\", OP(read_string), "Truncated JSON escape"},

    {"\"\\x\"", OP(read_string), "Unsupported JSON escape"},
    {"\"\\U0041\"", OP(read_string), "Unsupported JSON escape"},
    {"\"\\'\"", OP(read_string), "Unsupported JSON escape"},
    {"\"\\0\"", OP(read_string), "Unsupported JSON escape"},

    {"\"\\u12\"", OP(read_string), "Truncated JSON Unicode escape"},
    {"\"\\u", OP(read_string), "Truncated JSON Unicode escape"},

    {"\"\\u12G4\"", OP(read_string), "Invalid hexadecimal JSON escape"},
    {"\"\\u-123\"", OP(read_string), "Invalid hexadecimal JSON escape"},
    {"\"\\uD83D\\uDE0G\"", OP(read_string), "Invalid hexadecimal JSON escape"},

    {"\"\\uD83D\"", OP(read_string), "Missing low surrogate in JSON string"},
    {"\"\\uD83Dx\\uDE00\"", OP(read_string), "Missing low surrogate in JSON string"},
    {"\"\\uD83D\\nDE00\"", OP(read_string), "Missing low surrogate in JSON string"},
    {"\"\\uDBFF\\uDC0", OP(read_string), "Missing low surrogate in JSON string"},  // fewer than six bytes left

    {"\"\\uD83D\\u0041\"", OP(read_string), "Invalid low surrogate in JSON string"},
    {"\"\\uD83D\\uD83D\"", OP(read_string), "Invalid low surrogate in JSON string"},
    {"\"\\uD800\\uE000\"", OP(read_string), "Invalid low surrogate in JSON string"},

    {"\"\\uDC00\"", OP(read_string), "Unexpected low surrogate in JSON string"},
    {"\"\\udfff\\uDC00\"", OP(read_string), "Unexpected low surrogate in JSON string"},

    {"", OP(read_unsigned), "Expected unsigned JSON integer"},
    {"  ", OP(read_unsigned), "Expected unsigned JSON integer"},
    {"-1", OP(read_unsigned), "Expected unsigned JSON integer"},
    {"+1", OP(read_unsigned), "Expected unsigned JSON integer"},
    {"\"1\"", OP(read_unsigned), "Expected unsigned JSON integer"},
    {"[1,]", OP(read_array_of_unsigned), "Expected unsigned JSON integer"},

    {"007", OP(read_unsigned), "JSON integer has a leading zero"},
    {"00", OP(read_unsigned), "JSON integer has a leading zero"},

    {"18446744073709551616", OP(read_unsigned), "JSON integer overflow"},
    {"18446744073709551620", OP(read_unsigned), "JSON integer overflow"},
    {"99999999999999999999", OP(read_unsigned), "JSON integer overflow"},
    {"184467440737095516150", OP(read_unsigned), "JSON integer overflow"},

    {"1.0", OP(read_unsigned), "Expected an integer, not a fraction"},
    {"1e3", OP(read_unsigned), "Expected an integer, not a fraction"},
    {"0E1", OP(read_unsigned), "Expected an integer, not a fraction"},
    {"5.", OP(read_unsigned), "Expected an integer, not a fraction"},

    {"-", OP(skip), "Invalid JSON number"},
    {"-x", OP(skip), "Invalid JSON number"},
    {"-.5", OP(skip), "Invalid JSON number"},
    {"1.", OP(skip), "Invalid JSON number"},
    {"1.e5", OP(skip), "Invalid JSON number"},
    {"1e", OP(skip), "Invalid JSON number"},
    {"1E+", OP(skip), "Invalid JSON number"},
    {"[1e-]", OP(skip), "Invalid JSON number"},

    {"tru", OP(skip), "Unsupported JSON value"},
    {"True", OP(skip), "Unsupported JSON value"},
    {"nul", OP(skip), "Unsupported JSON value"},
    {"x", OP(skip), "Unsupported JSON value"},
    {"}", OP(skip), "Unsupported JSON value"},
    {"+1", OP(skip), "Unsupported JSON value"},
    {"[1,]", OP(skip), "Unsupported JSON value"},
};

#undef OP

TEST(JsonReaderTest, EveryFailureThrowsItsMessage) {
  for (const auto& c : failure_cases) {
    SCOPED_TRACE(testing::Message() << c.operation_name << " on '" << c.input << "'");
    JsonReader reader(c.input);
    try {
      c.operation(reader);
      ADD_FAILURE() << "no exception";
    } catch (const JsonError& e) {
      EXPECT_STREQ(e.what(), c.message);
    }
  }
}

TEST(JsonReaderTest, EmptyObjectClosesAtOnce) {
  JsonReader reader(" { \n} ");
  reader.begin_object();
  EXPECT_EQ(reader.depth(), 1u);
  std::string key = "untouched";
  EXPECT_FALSE(reader.next_member(key));
  EXPECT_EQ(key, "untouched");
  EXPECT_EQ(reader.depth(), 0u);
  EXPECT_EQ(reader.position(), 5u);
  EXPECT_TRUE(reader.at_end_ignoring_whitespace());
}

TEST(JsonReaderTest, WalksNestedDocumentSkippingUnknownMembers) {
  const std::string_view text =
      "{ \"name\" : \"game\", \"unknown\": {\"x\": [true, false, null, -1.5e+3, \"s\"]},\n"
      "  \"files\": [ {\"size\": 12}, {\"size\": 0} ], \"empty\": [] }  \r\n";
  JsonReader reader(text);
  reader.begin_object();
  std::string key;
  std::string name;
  std::uint64_t total = 0;
  int files = 0;
  int empties = 0;
  while (reader.next_member(key)) {
    if (key == "name") {
      name = reader.read_string();
    } else if (key == "files") {
      reader.begin_array();
      while (reader.next_element()) {
        reader.begin_object();
        EXPECT_EQ(reader.depth(), 3u);
        while (reader.next_member(key)) total += reader.read_unsigned();
        ++files;
      }
    } else if (key == "empty") {
      reader.begin_array();
      while (reader.next_element()) ++empties;
    } else {
      reader.skip_value(reader.depth());
    }
  }
  EXPECT_EQ(name, "game");
  EXPECT_EQ(files, 2);
  EXPECT_EQ(total, 12u);
  EXPECT_EQ(empties, 0);
  EXPECT_EQ(reader.depth(), 0u);
  EXPECT_EQ(reader.length(), text.size());
  EXPECT_TRUE(reader.at_end_ignoring_whitespace());
}

TEST(JsonReaderTest, TrailingDataIsLeftForTheDocumentParser) {
  struct Case {
    std::string_view input;
    bool at_end;
  };
  const Case cases[] = {
      {"{}", true},
      {"{} \t\r\n", true},
      {"{} x", false},
      {"{}{}", false},
      {"{}\xEF\xBB\xBF", false},
      {"{}\f", false},
      {"{}\0"sv, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << "'" << c.input << "'");
    JsonReader reader(c.input);
    reader.begin_object();
    std::string key;
    EXPECT_FALSE(reader.next_member(key));
    EXPECT_EQ(reader.position(), 2u);
    EXPECT_EQ(reader.at_end_ignoring_whitespace(), c.at_end);
  }
}

std::string nested(std::size_t depth, std::string_view inner) {
  return std::string(depth, '[') + std::string(inner) + std::string(depth, ']');
}

TEST(JsonReaderTest, SixtyFourContainersMayBeOpen) {
  const std::string text = nested(65, "");
  JsonReader reader(text);
  for (int i = 0; i < 64; ++i) reader.begin_array();
  EXPECT_EQ(reader.depth(), 64u);
  EXPECT_EQ(reader.peek(), '[');
  try {
    reader.begin_array();
    FAIL() << "65th container opened";
  } catch (const JsonError& e) {
    EXPECT_STREQ(e.what(), "JSON nesting limit exceeded");
  }
  const std::string braces(65, '{');
  try {
    JsonReader objects(braces);
    for (int i = 0; i < 64; ++i) objects.begin_object();
    objects.begin_object();
    FAIL() << "65th object opened";
  } catch (const JsonError& e) {
    EXPECT_STREQ(e.what(), "JSON nesting limit exceeded");
  }
}

TEST(JsonReaderTest, SkippingStopsAtDepthSixtyFive) {
  struct Case {
    std::size_t open;  // containers opened with begin_array before skipping
    std::string value;
    bool ok;
  };
  const Case cases[] = {
      {64, "[]", true},
      {64, "{}", true},
      {64, "7", true},
      {64, "[ ]", true},
      {64, "[1]", false},
      {64, "{\"a\":1}", false},
      {64, "[[]]", false},
      {63, "[[]]", true},
      {63, "[[1]]", false},
      {0, nested(65, ""), true},  // the innermost empty array is reached at depth 64
      {0, nested(66, ""), false},
      {0, nested(64, "1"), true},
      {0, nested(65, "1"), false},
      {0, nested(64, "{}"), true},
      {0, nested(64, "{\"k\":\"v\"}"), false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.open << " open, skipping " << c.value);
    const std::string text = std::string(c.open, '[') + c.value;
    JsonReader reader(text);
    for (std::size_t i = 0; i < c.open; ++i) reader.begin_array();
    if (c.ok) {
      EXPECT_NO_THROW(reader.skip_value(reader.depth()));
      EXPECT_EQ(reader.position(), text.size());
      EXPECT_EQ(reader.depth(), c.open);
    } else {
      try {
        reader.skip_value(reader.depth());
        ADD_FAILURE() << "no exception";
      } catch (const JsonError& e) {
        EXPECT_STREQ(e.what(), "JSON nesting limit exceeded");
      }
    }
  }
  JsonReader reader("1");
  EXPECT_THROW(reader.skip_value(65), JsonError);
}

TEST(JsonReaderTest, ReadUnsignedTable) {
  struct Case {
    std::string_view input;
    std::uint64_t value;
    std::size_t position;
  };
  const Case cases[] = {
      {"0", 0, 1},
      {"18446744073709551615", UINT64_MAX, 20},
      {"18446744073709551609", 18446744073709551609u, 20},
      {"12}", 12, 2},
      {"0]", 0, 1},
      {" \t\r\n42,", 42, 6},
      {"7-", 7, 1},
      {"10x", 10, 2},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << "'" << c.input << "'");
    JsonReader reader(c.input);
    EXPECT_EQ(reader.read_unsigned(), c.value);
    EXPECT_EQ(reader.position(), c.position);
  }
}

TEST(JsonReaderTest, ReadStringDecodesEscapes) {
  struct Case {
    std::string_view input;
    std::string_view expected;
  };
  const Case cases[] = {
      {"\"\"", ""},
      {" \"plain\"", "plain"},
      {"\"\\\"\\\\\\/\\b\\f\\n\\r\\t\"", "\"\\/\b\f\n\r\t"},
      {"\"\\u0041\\u00e9\\u20AC\"", "A\xC3\xA9\xE2\x82\xAC"},
      {"\"\\u007F\\u0080\\u07FF\\u0800\\uFFFF\"", "\x7F\xC2\x80\xDF\xBF\xE0\xA0\x80\xEF\xBF\xBF"},
      {"\"\\uD83D\\uDE00\"", "\xF0\x9F\x98\x80"},
      {"\"\\ud800\\udc00\"", "\xF0\x90\x80\x80"},
      {"\"\\uDBFF\\uDFFF\"", "\xF4\x8F\xBF\xBF"},
      {"\"a\\u0000b\"", "a\0b"sv},
      {"\"\x7F\"", "\x7F"},
      {"\"\xC3\xA9 \xFF\x80\"", "\xC3\xA9 \xFF\x80"},  // high bytes are copied unchecked
      {"\" \"", " "},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.input);
    JsonReader reader(c.input);
    EXPECT_EQ(reader.read_string(), c.expected);
    EXPECT_EQ(reader.position(), c.input.size());
  }
}

TEST(JsonReaderTest, SkipValueTable) {
  struct Case {
    std::string_view input;
    std::size_t position;  // where the skip must stop
  };
  const Case cases[] = {
      {"truex", 4},
      {"false,", 5},
      {"null]", 4},
      {"01", 2},
      {"-0.5e+10,", 8},
      {"1E5}", 3},
      {"2e-0", 4},
      {"12-3", 2},
      {"1.5.6", 3},
      {" \"a\\\"b\" x", 7},
      {"[ ]x", 3},
      {"{ }x", 3},
      {"{\"a\":[1,{\"b\":null}],\"c\":\"x\"} ", 28},
      {"[ \"x\" , [ ] , { \"k\" : -1 } ]", 28},
      {"{\"\\uD83D\\uDE00\":true}", 21},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << "'" << c.input << "'");
    JsonReader reader(c.input);
    reader.skip_value(0);
    EXPECT_EQ(reader.position(), c.position);
    EXPECT_EQ(reader.depth(), 0u);
  }
}

TEST(JsonReaderTest, SkipLeavesContainerStackAlone) {
  JsonReader reader("[{\"a\":[1,2]},3]");
  reader.begin_array();
  ASSERT_TRUE(reader.next_element());
  reader.skip_value(reader.depth());
  EXPECT_EQ(reader.depth(), 1u);
  ASSERT_TRUE(reader.next_element());
  EXPECT_EQ(reader.read_unsigned(), 3u);
  EXPECT_FALSE(reader.next_element());
  EXPECT_EQ(reader.depth(), 0u);
}

}  // namespace
}  // namespace kaldren::patcher
