#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <optional>
#include <ostream>
#include <string>

#include "model/http.hpp"

namespace dapplewick {

inline void PrintTo(TransportError::Kind kind, std::ostream* out) {
  using Kind = TransportError::Kind;
  switch (kind) {
    case Kind::connection: *out << "connection"; return;
    case Kind::timeout: *out << "timeout"; return;
    case Kind::cancelled: *out << "cancelled"; return;
    case Kind::redirect: *out << "redirect"; return;
    case Kind::tooLarge: *out << "tooLarge"; return;
    case Kind::invalidRequest: *out << "invalidRequest"; return;
    case Kind::tls: *out << "tls"; return;
  }
  *out << "?";
}

// The TransportError that `call` throws, or nothing when it returns normally.
inline std::optional<TransportError> transportErrorOf(const std::function<void()>& call) {
  try {
    call();
  } catch (const TransportError& error) {
    return error;
  }
  return std::nullopt;
}

inline std::chrono::milliseconds millisecondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
}

inline HTTPRequest getRequest(std::string url) {
  HTTPRequest request;
  request.url = std::move(url);
  return request;
}

}  // namespace dapplewick
