#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "protocol/json.h"

namespace kaldren::patcher {
namespace {

using namespace std::string_view_literals;

TEST(JsonWriterTest, StringEscapes) {
  struct Case {
    std::string_view input;
    std::string_view expected;
  };
  const Case cases[] = {
      {"", "\"\""},
      {"\x01/\xC3\xA9", "\"\\u0001/\xC3\xA9\""},
      {"\t\n\r\"\\", "\"\\t\\n\\r\\\"\\\\\""},
      {"\b\f\x1F", "\"\\u0008\\u000c\\u001f\""},
      {"a\0b"sv, "\"a\\u0000b\""},
      {"\x1A\x10", "\"\\u001a\\u0010\""},
      {"\x7F \xFF\x80", "\"\x7F \xFF\x80\""},
      {"\xF0\x9F\x98\x80", "\"\xF0\x9F\x98\x80\""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << "'" << c.input << "'");
    JsonWriter writer;
    writer.write_string(c.input);
    EXPECT_EQ(writer.text(), c.expected);
  }
}

TEST(JsonWriterTest, UnsignedNumbers) {
  const std::pair<std::uint64_t, std::string_view> cases[] = {
      {0, "0"}, {7, "7"}, {10, "10"}, {UINT64_MAX, "18446744073709551615"}};
  for (const auto& [value, expected] : cases) {
    JsonWriter writer;
    writer.write_unsigned(value);
    EXPECT_EQ(writer.text(), expected);
  }
}

TEST(JsonWriterTest, CompactObjectWithArray) {
  JsonWriter writer;
  writer.begin_object();
  writer.key("a");
  writer.write_unsigned(1);
  writer.key("b");
  writer.begin_array();
  writer.write_string("x");
  writer.write_string("y");
  writer.end_array();
  writer.end_object();
  EXPECT_EQ(writer.text(), R"({"a":1,"b":["x","y"]})");
  EXPECT_EQ(writer.text().size(), 21u);
}

TEST(JsonWriterTest, CommasOnlyBetweenSiblings) {
  struct Case {
    const char* name;
    void (*build)(JsonWriter&);
    std::string_view expected;
  };
  const Case cases[] = {
      {"empty object", [](JsonWriter& w) { w.begin_object(); w.end_object(); }, "{}"},
      {"empty array", [](JsonWriter& w) { w.begin_array(); w.end_array(); }, "[]"},
      {"top-level values are not separated",
       [](JsonWriter& w) {
         w.write_unsigned(1);
         w.write_string("a");
       },
       "1\"a\""},
      {"containers as elements",
       [](JsonWriter& w) {
         w.begin_array();
         w.begin_array();
         w.end_array();
         w.begin_array();
         w.write_unsigned(1);
         w.end_array();
         w.begin_object();
         w.end_object();
         w.write_unsigned(2);
         w.end_array();
       },
       "[[],[1],{},2]"},
      {"containers as member values",
       [](JsonWriter& w) {
         w.begin_object();
         w.key("a");
         w.begin_object();
         w.key("b");
         w.begin_array();
         w.end_array();
         w.end_object();
         w.key("c");
         w.write_string("");
         w.key("d");
         w.begin_array();
         w.write_unsigned(0);
         w.end_array();
         w.end_object();
       },
       R"({"a":{"b":[]},"c":"","d":[0]})"},
      {"escaped key",
       [](JsonWriter& w) {
         w.begin_object();
         w.key("k\"\n");
         w.write_unsigned(5);
         w.end_object();
       },
       R"({"k\"\n":5})"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    JsonWriter writer;
    c.build(writer);
    EXPECT_EQ(writer.text(), c.expected);
  }
}

// Every byte value survives writing and reading back, as do the number limits.
TEST(JsonWriterTest, RoundTripThroughReader) {
  std::vector<std::string> strings = {"", "plain", "\"quoted\" \\ / slash", "\xC3\xA9t\xC3\xA9",
                                      "\xF0\x9F\x98\x80", "\xFF\xFE kept as they are", std::string("a\0b", 3)};
  std::string all_bytes;
  for (int byte = 0; byte < 256; ++byte) all_bytes += static_cast<char>(byte);
  strings.push_back(all_bytes);
  const std::uint64_t numbers[] = {0, 1, 9, 10, 4294967296u, UINT64_MAX - 1, UINT64_MAX};

  JsonWriter writer;
  writer.begin_object();
  writer.key("strings");
  writer.begin_array();
  for (const auto& s : strings) writer.write_string(s);
  writer.end_array();
  writer.key("numbers");
  writer.begin_array();
  for (const auto n : numbers) writer.write_unsigned(n);
  writer.end_array();
  writer.key(all_bytes);
  writer.begin_object();
  writer.end_object();
  writer.end_object();

  JsonReader reader(writer.text());
  reader.begin_object();
  std::string key;
  ASSERT_TRUE(reader.next_member(key));
  EXPECT_EQ(key, "strings");
  reader.begin_array();
  for (const auto& s : strings) {
    ASSERT_TRUE(reader.next_element());
    EXPECT_EQ(reader.read_string(), s);
  }
  EXPECT_FALSE(reader.next_element());
  ASSERT_TRUE(reader.next_member(key));
  EXPECT_EQ(key, "numbers");
  reader.begin_array();
  for (const auto n : numbers) {
    ASSERT_TRUE(reader.next_element());
    EXPECT_EQ(reader.read_unsigned(), n);
  }
  EXPECT_FALSE(reader.next_element());
  ASSERT_TRUE(reader.next_member(key));
  EXPECT_EQ(key, all_bytes);
  reader.begin_object();
  EXPECT_FALSE(reader.next_member(key));
  EXPECT_FALSE(reader.next_member(key));
  EXPECT_EQ(reader.position(), writer.text().size());
}

}  // namespace
}  // namespace kaldren::patcher
