#pragma once

#include <optional>
#include <stdexcept>
#include <string>

namespace dapplewick {

// Base of every provider service's own error. what() is the error's description, shown on the provider's card.
class ServiceError : public std::runtime_error {
 public:
  explicit ServiceError(const std::string& description) : std::runtime_error(description) {}
  std::string description() const { return what(); }
};

// A service error that also carries which case of the service's enumeration it is, and the status code or
// other integer payload where the case has one.
template <class Code>
class ServiceErrorOf : public ServiceError {
 public:
  ServiceErrorOf(Code code, const std::string& description, std::optional<long long> value = std::nullopt)
      : ServiceError(description), code_(code), value_(value) {}
  Code code() const { return code_; }
  // The integer payload (an HTTP status, a body code) of cases that carry one.
  std::optional<long long> value() const { return value_; }

 private:
  Code code_;
  std::optional<long long> value_;
};

}  // namespace dapplewick
