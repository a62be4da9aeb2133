#pragma once

#include <string>
#include <string_view>

#include "model/credential_kind.hpp"

namespace dapplewick {

// The usual start of a fetch: the stored credential with its kind prefix dropped and white space trimmed, or the
// service's invalidCredentials() error, before any request is sent, when nothing is left.
template <class Error>
std::string requireCredential(std::string_view stored) {
  std::string credential = prepareCredential(stored);
  if (credential.empty()) throw Error::invalidCredentials();
  return credential;
}

}  // namespace dapplewick
