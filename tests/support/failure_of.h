// The PatchError a call ends with, for tests that check a failure's category and text.
#pragma once

#include <exception>
#include <string_view>

#include <gtest/gtest.h>

#include "core/error.h"

namespace kaldren::patcher::test {

// Runs `action` and returns the PatchError it throws; fails the test (and returns an
// internal "<none>" or "<other>" error) when it throws nothing or something else.
template <typename Action>
PatchError failure_of(Action&& action) {
  try {
    action();
  } catch (const PatchError& error) {
    return error;
  } catch (const std::exception& error) {
    ADD_FAILURE() << "not a PatchError: " << error.what();
    return PatchError(ErrorCategory::internal, "<other>");
  }
  ADD_FAILURE() << "no PatchError was thrown";
  return PatchError(ErrorCategory::internal, "<none>");
}

// Passes when `action` throws exactly the PatchError of `category` with `message`.
template <typename Action>
::testing::AssertionResult fails_with(Action&& action, ErrorCategory category, std::string_view message) {
  try {
    action();
    return ::testing::AssertionFailure() << "no error";
  } catch (const PatchError& error) {
    if (error.category() == category && error.what() == message) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << category_name(error.category()) << " error \"" << error.what() << "\"";
  }
}

}  // namespace kaldren::patcher::test
