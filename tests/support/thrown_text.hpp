#pragma once

#include <string>

#include <gtest/gtest.h>

namespace dapplewick::testing {

// The description of the `Error` that `action` throws; a test failure (and an empty text) when it throws none.
// An exception of another type escapes, which fails the test as well.
template <class Error = std::exception, class Action>
std::string thrownText(Action&& action) {
  try {
    action();
  } catch (const Error& error) {
    return error.what();
  }
  ADD_FAILURE() << "nothing was thrown";
  return {};
}

}  // namespace dapplewick::testing
