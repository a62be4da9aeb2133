#include "model/credential_kind.hpp"

#include "providers/text.hpp"

namespace dapplewick {

bool isAPIKeyCredential(std::string_view credential, Provider /*provider*/) {
  // Every provider this build reads shares one rule; the provider stays a parameter for those that differ.
  if (credential.find('=') != std::string_view::npos) return false;
  return !containsIgnoringASCIICase(credential, "cookie");
}

}  // namespace dapplewick
