#include "model/credential_kind.hpp"

#include "common/text.hpp"

namespace dapplewick {

std::string_view stripKindPrefix(std::string_view credential) {
  if (startsWith(credential, "web:") || startsWith(credential, "api:")) return credential.substr(4);
  return credential;
}

std::string prepareCredential(std::string_view credential) {
  return std::string(trimWhitespace(stripKindPrefix(credential)));
}

bool isAPIKeyCredential(std::string_view credential, Provider /*provider*/) {
  // Every provider this build reads shares one rule; the provider stays a parameter for those that differ.
  if (credential.find('=') != std::string_view::npos) return false;
  return !containsIgnoringASCIICase(credential, "cookie");
}

}  // namespace dapplewick
