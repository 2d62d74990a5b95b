#include "core/error.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

namespace kaldren::patcher {
namespace {

TEST(ErrorCategory, NamesAreTheLogWords) {
  const struct {
    std::uint32_t value;
    const char* name;
  } cases[] = {
      {0, "network"},     {1, "server"},  {2, "security"},      {3, "disk_space"},
      {4, "file_in_use"}, {5, "io"},      {6, "configuration"}, {7, "cancelled"},
      {8, "internal"},    {9, "unknown"}, {1000, "unknown"},    {0xFFFFFFFF, "unknown"},
  };
  for (const auto& item : cases) {
    SCOPED_TRACE(item.value);
    EXPECT_STREQ(category_name(static_cast<ErrorCategory>(item.value)), item.name);
  }
}

TEST(ErrorCategory, Win32CodesMapToFileCategories) {
  const struct {
    std::uint32_t code;
    ErrorCategory category;
  } cases[] = {
      {32, ErrorCategory::file_in_use},    // sharing violation
      {33, ErrorCategory::file_in_use},    // lock violation
      {1224, ErrorCategory::file_in_use},  // user-mapped file
      {39, ErrorCategory::disk_space},     // handle disk full
      {112, ErrorCategory::disk_space},    // disk full
      {0, ErrorCategory::io},
      {2, ErrorCategory::io},
      {5, ErrorCategory::io},
      {31, ErrorCategory::io},
      {34, ErrorCategory::io},
      {111, ErrorCategory::io},
      {113, ErrorCategory::io},
      {1223, ErrorCategory::io},
      {0xFFFFFFFF, ErrorCategory::io},
  };
  for (const auto& item : cases) {
    SCOPED_TRACE(item.code);
    EXPECT_EQ(category_for_win32(item.code), item.category);
  }
}

TEST(PatchError, CopiesKeepCategoryAndMessage) {
  const PatchError original(ErrorCategory::security, "The signature does not verify");
  const PatchError copy = original;
  EXPECT_EQ(copy.category(), ErrorCategory::security);
  EXPECT_STREQ(copy.what(), "The signature does not verify");
  const std::runtime_error& base = copy;
  EXPECT_STREQ(base.what(), "The signature does not verify");
}

// A code with the customer bit set that no system message table holds.
constexpr std::uint32_t kCodeWithoutText = 0x20000001;

TEST(Win32ErrorText, CodeWithoutTextGivesContextAndCode) {
  EXPECT_EQ(win32_error_text("Could not open the file", kCodeWithoutText),
            "Could not open the file (Win32 error 536870913)");
}

TEST(Win32ErrorText, KnownCodeGivesTrimmedSystemText) {
  const std::string text = win32_error_text("Could not open C:\\Game\\a.pak", 2);
  const std::string prefix = "Could not open C:\\Game\\a.pak: ";
  const std::string suffix = " (Win32 error 2)";
  ASSERT_GT(text.size(), prefix.size() + suffix.size());
  EXPECT_EQ(text.substr(0, prefix.size()), prefix);
  EXPECT_EQ(text.substr(text.size() - suffix.size()), suffix);
  const std::string system_text =
      text.substr(prefix.size(), text.size() - prefix.size() - suffix.size());
  for (const char trimmed : {'.', ' ', '\r', '\n'}) {
    SCOPED_TRACE(static_cast<int>(trimmed));
    EXPECT_NE(system_text.back(), trimmed);
  }
}

TEST(ThrowWin32, ThrowsPatchErrorWithCategoryAndText) {
  const struct {
    ErrorCategory category;
    std::uint32_t code;
  } cases[] = {
      {ErrorCategory::io, 2},
      {ErrorCategory::file_in_use, 32},
      {ErrorCategory::internal, kCodeWithoutText},
  };
  for (const auto& item : cases) {
    SCOPED_TRACE(item.code);
    try {
      throw_win32(item.category, "Could not move the file", item.code);
      ADD_FAILURE() << "throw_win32 returned";
    } catch (const PatchError& error) {
      EXPECT_EQ(error.category(), item.category);
      EXPECT_EQ(error.what(), win32_error_text("Could not move the file", item.code));
    }
  }
}

}  // namespace
}  // namespace kaldren::patcher
