#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <string_view>

#include "protocol/encoding.h"

namespace kaldren::patcher {
namespace {

using namespace std::string_literals;

TEST(ToHex, WritesLowercaseHighNibbleFirst) {
  EXPECT_EQ(to_hex("\x00\x0f\xa0\xff\x5c"s), "000fa0ff5c");
  EXPECT_EQ(to_hex(std::string_view()), "");
}

TEST(ParseSha256Hex, AcceptsOnlySixtyFourLowercaseDigits) {
  const std::string valid = "0123456789abcdef" "0123456789abcdef" "0123456789abcdef" "0123456789abcdef";
  const auto digest = parse_sha256_hex(valid);
  ASSERT_TRUE(digest.has_value());
  EXPECT_EQ((*digest)[0], 0x01);
  EXPECT_EQ((*digest)[7], 0xef);
  EXPECT_EQ(to_hex(*digest), valid);

  auto with_char = [&](std::size_t at, char c) {
    std::string text = valid;
    text[at] = c;
    return text;
  };
  const std::string refused[] = {
      "",
      valid.substr(1),       // 63 characters
      valid + "0",           // 65 characters
      with_char(1, 'A'),     // upper case
      with_char(63, 'g'),
      with_char(63, ' '),
      with_char(1, 'x'),     // "0x..."
  };
  for (const std::string& text : refused) {
    SCOPED_TRACE(text);
    EXPECT_FALSE(parse_sha256_hex(text).has_value());
  }
}

TEST(DecodeBase64, DecodesTheCanonicalForms) {
  const struct {
    std::string_view text;
    std::string bytes;
  } cases[] = {
      {"", ""},
      {"QQ==", "A"},
      {"QUI=", "AB"},
      {"QUJD", "ABC"},
      {"QUJDRA==", "ABCD"},
      {"AP8+/w==", "\x00\xff\x3e\xff"s},
      {"+/+/", "\xfb\xff\xbf"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(decode_base64(c.text), std::optional<std::string>(c.bytes));
  }
}

TEST(DecodeBase64, RefusesEveryOtherForm) {
  const std::string_view refused[] = {
      "QQ=",        // length not a multiple of 4
      "QQ",         // unpadded
      "Q===",       // padding in the second place
      "====",       // padding in the first place
      "QR==",       // non-zero unused bits (two padding characters)
      "QUJ=",       // non-zero unused bits (one padding character)
      "QQ=A",       // a letter after padding
      "QQ==QUJD",   // padding before the last group
      "QU I",       // whitespace
      "QUJD\n",     // line break
      "QUJ-",       // URL-safe alphabet
      "QUJ_",
      "QUJ\xc3",
  };
  for (const std::string_view text : refused) {
    SCOPED_TRACE(text);
    EXPECT_FALSE(decode_base64(text).has_value());
  }
}

TEST(EncodeBase64, RoundTripsEveryLengthAndByte) {
  std::string bytes;
  for (int i = 0; i < 256; ++i) bytes.push_back(static_cast<char>(255 - i));
  for (std::size_t length = 0; length <= 6; ++length) {
    const std::string piece = bytes.substr(0, length);
    SCOPED_TRACE(length);
    EXPECT_EQ(decode_base64(encode_base64(piece)), std::optional<std::string>(piece));
  }
  EXPECT_EQ(decode_base64(encode_base64(bytes)), std::optional<std::string>(bytes));
  EXPECT_EQ(encode_base64("AB"), "QUI=");
}

}  // namespace
}  // namespace kaldren::patcher
