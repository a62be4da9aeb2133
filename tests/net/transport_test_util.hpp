#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <string>

#include "model/http.hpp"

namespace dapplewick {

// The text of the TransportError that `call` throws, once its kind is checked; a test failure when none is thrown.
inline std::string failureText(const std::function<void()>& call, TransportError::Kind kind) {
  try {
    call();
  } catch (const TransportError& error) {
    EXPECT_EQ(static_cast<int>(error.kind()), static_cast<int>(kind)) << error.what();
    return error.what();
  }
  ADD_FAILURE() << "the call succeeded";
  return "";
}

inline HTTPRequest makeRequest(std::string method, std::string url, HTTPHeaders headers = {},
                               std::optional<std::string> body = std::nullopt) {
  return {std::move(method), std::move(url), std::move(headers), std::move(body)};
}

inline HTTPRequest getRequest(std::string url) { return makeRequest("GET", std::move(url)); }

}  // namespace dapplewick
