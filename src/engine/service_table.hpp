#pragma once

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <stop_token>
#include <string>
#include <string_view>
#include <typeindex>
#include <vector>

#include "model/credential_kind.hpp"
#include "model/provider.hpp"
#include "model/usage_data.hpp"
#include "providers/shared/service_context.hpp"

namespace dapplewick {

// How the engine hands a provider's stored credential to its service.
enum class CredentialRoute {
  unchanged,      // the stored string as it is; the service drops a prefix and trims itself
  prefixDropped,  // one leading "web:" or "api:" dropped, nothing trimmed
  withKindFlag,   // prefix dropped, plus a flag that tells an API key from a browser session
  twoPaths,       // a browser-session path and an API-key path, chosen by prefix or kind
  notPassed,      // loaded, but the service takes no credential
};

// withKindFlag: "web:" gives a session, "api:" an API key; an unprefixed credential is judged by the kind test.
struct FlaggedCredential {
  std::string credential;
  bool isAPIKey = false;
  bool operator==(const FlaggedCredential&) const = default;
};
FlaggedCredential flaggedCredential(std::string_view stored, Provider provider);

// twoPaths: "web:" → the cookie path, "api:" → the API-key path, each without the prefix; otherwise the kind test
// picks the path and the string goes on unchanged. Nothing is trimmed.
enum class CredentialPath { cookie, apiKey };
struct RoutedCredential {
  CredentialPath path = CredentialPath::apiKey;
  std::string credential;
  bool operator==(const RoutedCredential&) const = default;
};
RoutedCredential routedCredential(std::string_view stored, Provider provider);

// One fetch of a provider's usage from its stored credential string. Throws what the service throws.
using UsageFetcher = std::function<UsageData(const std::string& stored, std::stop_token stop)>;

// The services of one engine, each built once from the context; providers that share a service share its instance.
class ServiceInstances {
 public:
  explicit ServiceInstances(const ServiceContext& context) : context_(context) {}

  template <class Service>
  Service& get() {
    auto& slot = instances_[std::type_index(typeid(Service))];
    if (!slot) slot = std::make_shared<Service>(context_);
    return *std::static_pointer_cast<Service>(slot);
  }

 private:
  ServiceContext context_;
  std::map<std::type_index, std::shared_ptr<void>> instances_;
};

// Secrets a service holds besides those the engine finds in every stored credential (see credentialSecrets), for
// a service whose credential hides them in a form of its own.
using SecretDeclaration = std::vector<std::string> (*)(std::string_view stored);

// One line of the service table: the provider, its credential route, how its fetch is bound to the service, and
// any further secrets it declares.
struct ServiceLine {
  Provider provider;
  CredentialRoute route;
  UsageFetcher (*bind)(ServiceInstances& services, Provider provider);
  SecretDeclaration moreSecrets = nullptr;
};

// Every provider this build reads, in catalogue order.
std::span<const ServiceLine> serviceTable();
const ServiceLine* serviceLineFor(Provider provider);

// The route of a provider's line; providers this build does not read are `unchanged`.
CredentialRoute credentialRouteFor(Provider provider);

// What a stored credential may show a server, each of which an error text or a note must never repeat: the whole
// string, trimmed and without its kind prefix; each piece between "::" and after a ":" (a composite credential
// such as "PROJECT:TOKEN", an address before a key); each cookie value of a cookie header; each word after a
// blank ("Bearer TOKEN"); each string of a JSON object. Pieces shorter than kMinRedactedSecretBytes, http(s)
// addresses, and pieces that hold a smaller piece (whose redaction covers them) are left out.
std::vector<std::string> credentialSecrets(std::string_view stored);
// The secrets of `provider`'s line for `stored`: credentialSecrets and those the line declares.
std::vector<std::string> declaredSecrets(Provider provider, std::string_view stored);

// ---- Building a line ----

namespace service_table_detail {

template <class>
struct MemberOf;
template <class Service, class Result, class... Args>
struct MemberOf<Result (Service::*)(Args...)> {
  using type = Service;
};

}  // namespace service_table_detail

// The line of `provider`, whose fetch is the member function `Fetch` of its service (for twoPaths: the cookie path,
// then the API-key path). The route decides what the fetch is given. `moreSecrets` is for a service whose
// credential holds secrets that credentialSecrets cannot find.
template <CredentialRoute Route, auto Fetch, auto... APIKeyFetch>
constexpr ServiceLine line(Provider provider, SecretDeclaration moreSecrets = nullptr) {
  using Service = typename service_table_detail::MemberOf<decltype(Fetch)>::type;
  static_assert((Route == CredentialRoute::twoPaths) == (sizeof...(APIKeyFetch) == 1),
                "a twoPaths line names its cookie fetch and its API-key fetch, any other line one fetch");
  return {provider, Route, [](ServiceInstances& services, Provider forProvider) -> UsageFetcher {
            Service& service = services.get<Service>();
            return [&service, forProvider](const std::string& stored, std::stop_token stop) -> UsageData {
              static_cast<void>(forProvider);  // read by the two routes that apply the kind test
              if constexpr (Route == CredentialRoute::unchanged) {
                return (service.*Fetch)(stored, std::move(stop));
              } else if constexpr (Route == CredentialRoute::prefixDropped) {
                return (service.*Fetch)(stripKindPrefix(stored), std::move(stop));
              } else if constexpr (Route == CredentialRoute::withKindFlag) {
                const FlaggedCredential flagged = flaggedCredential(stored, forProvider);
                return (service.*Fetch)(flagged.credential, flagged.isAPIKey, std::move(stop));
              } else if constexpr (Route == CredentialRoute::twoPaths) {
                const RoutedCredential routed = routedCredential(stored, forProvider);
                if (routed.path == CredentialPath::cookie) return (service.*Fetch)(routed.credential, std::move(stop));
                return (service.*(APIKeyFetch, ...))(routed.credential, std::move(stop));
              } else {
                return (service.*Fetch)(std::move(stop));
              }
            };
          },
          moreSecrets};
}

}  // namespace dapplewick
