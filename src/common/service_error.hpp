#pragma once

#include <cstddef>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

namespace dapplewick {

// Base of every provider service's own error. what() is the error's description, shown on the provider's card.
// The description is the program's own words, around at most one part that came from outside it (a server's text,
// a tool's output, a payload made from the credential such as an address): only that part can repeat a secret, so
// only that part is searched for one, and a short secret that happens to match a word of the case costs no word.
class ServiceError : public std::runtime_error {
 public:
  // Wholly the program's own words.
  explicit ServiceError(const std::string& description)
      : std::runtime_error(description),
        description_(description),
        outsideBegin_(description.size()),
        outsideEnd_(description.size()) {}
  // `outside` came from outside the program; `prefix` and `suffix` are its own words.
  ServiceError(std::string_view prefix, std::string_view outside, std::string_view suffix)
      : ServiceError(std::string(prefix).append(outside).append(suffix)) {
    outsideBegin_ = prefix.size();
    outsideEnd_ = prefix.size() + outside.size();
  }

  // The whole text: what() ends at a NUL byte that a server's text may hold, this does not.
  const std::string& description() const { return description_; }
  std::string_view prefix() const { return std::string_view(description_).substr(0, outsideBegin_); }
  std::string_view outside() const {
    return std::string_view(description_).substr(outsideBegin_, outsideEnd_ - outsideBegin_);
  }
  std::string_view suffix() const { return std::string_view(description_).substr(outsideEnd_); }

 private:
  std::string description_;
  std::size_t outsideBegin_;
  std::size_t outsideEnd_;
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
  ServiceErrorOf(Code code, std::string_view prefix, std::string_view outside, std::string_view suffix = {},
                 std::optional<long long> value = std::nullopt)
      : ServiceError(prefix, outside, suffix), code_(code), value_(value) {}
  Code code() const { return code_; }
  // The integer payload (an HTTP status, a body code) of cases that carry one.
  std::optional<long long> value() const { return value_; }

  static Self httpError(long long status) {
    // Some services report a code of their answer's body here, which is the server's.
    return Self(Code::httpError, Self::kTexts.httpErrorPrefix, std::to_string(status), {}, status);
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
