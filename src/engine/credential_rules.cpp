#include "engine/credential_rules.hpp"

#include "model/credential_kind.hpp"
#include "common/text.hpp"

namespace dapplewick {

CredentialRoute credentialRouteFor(Provider provider) {
  switch (provider) {
    case Provider::abacus:
    case Provider::kimi:
    case Provider::manus:
    case Provider::mimo:
    case Provider::stepFun:
      return CredentialRoute::prefixDropped;
    case Provider::factory:
      return CredentialRoute::withKindFlag;
    case Provider::minimax:
      return CredentialRoute::twoPaths;
    case Provider::jetBrains:
    case Provider::kiro:
      return CredentialRoute::notPassed;
    default:
      return CredentialRoute::unchanged;
  }
}

FlaggedCredential flaggedCredential(std::string_view stored, Provider provider) {
  if (startsWith(stored, "web:")) return {std::string(stored.substr(4)), false};
  if (startsWith(stored, "api:")) return {std::string(stored.substr(4)), true};
  return {std::string(stored), isAPIKeyCredential(stored, provider)};
}

RoutedCredential routedCredential(std::string_view stored, Provider provider) {
  if (startsWith(stored, "web:")) return {CredentialPath::cookie, std::string(stored.substr(4))};
  if (startsWith(stored, "api:")) return {CredentialPath::apiKey, std::string(stored.substr(4))};
  const auto path = isAPIKeyCredential(stored, provider) ? CredentialPath::apiKey : CredentialPath::cookie;
  return {path, std::string(stored)};
}

}  // namespace dapplewick
