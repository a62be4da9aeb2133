#pragma once

#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

namespace dapplewick {

// Base of every provider service's own error. what() is the error's description, shown on the provider's card.
class ServiceError : public std::runtime_error {
 public:
  explicit ServiceError(const std::string& description) : std::runtime_error(description) {}
  std::string description() const { return what(); }
};

// The texts of the three cases most services share: "<httpErrorPrefix><status>", a rejected credential and an
// answer that is not what the service expects.
struct ServiceErrorTexts {
  std::string_view httpErrorPrefix;
  std::string_view invalidCredentials;
  std::string_view invalidResponse;
};

// A service error that also carries which case of the service's enumeration it is, and the status code or other
// integer payload where the case has one. `Self` is the service's error class; when its enumeration has the cases
// httpError, invalidCredentials and invalidResponse, it declares `static constexpr ServiceErrorTexts kTexts` and
// gets their factories from here.
template <class Self, class Code>
class ServiceErrorOf : public ServiceError {
 public:
  ServiceErrorOf(Code code, const std::string& description, std::optional<long long> value = std::nullopt)
      : ServiceError(description), code_(code), value_(value) {}
  Code code() const { return code_; }
  // The integer payload (an HTTP status, a body code) of cases that carry one.
  std::optional<long long> value() const { return value_; }

  static Self httpError(long long status) {
    return Self(Code::httpError, std::string(Self::kTexts.httpErrorPrefix) + std::to_string(status), status);
  }
  static Self invalidCredentials() {
    return Self(Code::invalidCredentials, std::string(Self::kTexts.invalidCredentials));
  }
  static Self invalidResponse() { return Self(Code::invalidResponse, std::string(Self::kTexts.invalidResponse)); }

 private:
  Code code_;
  std::optional<long long> value_;
};

}  // namespace dapplewick
