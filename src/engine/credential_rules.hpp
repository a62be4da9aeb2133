#pragma once

#include <string>
#include <string_view>

#include "model/provider.hpp"

namespace dapplewick {

// How the engine hands a provider's stored credential to its service.
enum class CredentialRoute {
  unchanged,      // the stored string as it is; the service drops a prefix and trims itself
  prefixDropped,  // one leading "web:" or "api:" dropped, nothing trimmed
  withKindFlag,   // prefix dropped, plus a flag that tells an API key from a browser session (factory)
  twoPaths,       // a browser-session path and an API-key path, chosen by prefix or kind (minimax)
  notPassed,      // loaded, but the service takes no credential (jetBrains, kiro)
};

CredentialRoute credentialRouteFor(Provider provider);

// factory: "web:" gives a session, "api:" an API key; an unprefixed credential is judged by the kind test.
struct FlaggedCredential {
  std::string credential;
  bool isAPIKey = false;
  bool operator==(const FlaggedCredential&) const = default;
};
FlaggedCredential flaggedCredential(std::string_view stored, Provider provider);

// minimax: "web:" → the cookie path, "api:" → the API-key path, each without the prefix; otherwise the kind test
// picks the path and the string goes on unchanged. Nothing is trimmed.
enum class CredentialPath { cookie, apiKey };
struct RoutedCredential {
  CredentialPath path = CredentialPath::apiKey;
  std::string credential;
  bool operator==(const RoutedCredential&) const = default;
};
RoutedCredential routedCredential(std::string_view stored, Provider provider);

}  // namespace dapplewick
