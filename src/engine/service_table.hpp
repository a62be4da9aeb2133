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
#include "model/environment.hpp"
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

// A stored credential as a line's route hands it on, worked out once per fetch, before it runs: the fetch and the
// line's secrets are given the same. withKindFlag and twoPaths: "web:" gives a browser session, "api:" an API key,
// each without the prefix; an unprefixed credential goes on unchanged and the kind test judges it. Nothing is
// trimmed.
struct RoutedCredential {
  std::string credential;  // the stored string, or without its prefix; empty for notPassed
  bool isAPIKey = false;   // withKindFlag and twoPaths: an API key (the API-key path) rather than a session
  bool operator==(const RoutedCredential&) const = default;
};
RoutedCredential routedCredential(CredentialRoute route, std::string_view stored, Provider provider);

// One fetch of a provider's usage from its routed credential. Throws what the service throws.
using UsageFetcher = std::function<UsageData(const RoutedCredential& credential, std::stop_token stop)>;

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

// What a credential shows a server, named by the service of each line: a function of the credential as the line's
// route passes it (the routed credential's text) and of the environment, for keys read there.
// It never throws (providers/shared/secrets.hpp has the usual ones, for a routed text and for a stored string).
using SecretsOf = std::vector<std::string> (*)(std::string_view credential, const Environment& environment);

// One line of the service table: the provider, its credential route, how its fetch is bound to the service, the
// secrets its credential shows a server (for withKindFlag and twoPaths, those of a session and those of an API
// key, as a two-path line names its two fetches), and the keys of the configured origins its service reads.
struct ServiceLine {
  Provider provider;
  CredentialRoute route;
  UsageFetcher (*bind)(ServiceInstances& services);
  SecretsOf secrets;
  SecretsOf apiKeySecrets;  // withKindFlag and twoPaths only
  std::span<const std::string_view> originKeys;
};

// Every provider this build reads, in catalogue order.
std::span<const ServiceLine> serviceTable();
const ServiceLine* serviceLineFor(Provider provider);

// The route of a provider's line; providers this build does not read are `unchanged`.
CredentialRoute credentialRouteFor(Provider provider);

// The secrets of `entry` for `routed`, each of which an error text or a note must never repeat: its service's
// function for the kind the route chose, given the routed text, without duplicates or empty texts.
std::vector<std::string> lineSecrets(const ServiceLine& entry, const RoutedCredential& routed,
                                     const Environment& environment);

// ---- Building a line ----

// A credential that only enables its provider shows a server nothing.
std::vector<std::string> noSecrets(std::string_view credential, const Environment& environment);

// The service class whose member function a line's fetch is.
template <class>
struct ServiceOfFetch;
template <class Service, class Result, class... Args>
struct ServiceOfFetch<Result (Service::*)(Args...)> {
  using type = Service;
};

// The `bind` of a line: its service's fetch, given what the route made of the stored credential.
template <CredentialRoute Route, auto Fetch, auto... APIKeyFetch>
UsageFetcher boundFetch(ServiceInstances& services) {
  using Service = typename ServiceOfFetch<decltype(Fetch)>::type;
  static_assert((Route == CredentialRoute::twoPaths) == (sizeof...(APIKeyFetch) == 1),
                "a twoPaths line names its cookie fetch and its API-key fetch, any other line one fetch");
  Service& service = services.get<Service>();
  return [&service](const RoutedCredential& routed, std::stop_token stop) -> UsageData {
    if constexpr (Route == CredentialRoute::unchanged || Route == CredentialRoute::prefixDropped) {
      return (service.*Fetch)(routed.credential, std::move(stop));
    } else if constexpr (Route == CredentialRoute::withKindFlag) {
      return (service.*Fetch)(routed.credential, routed.isAPIKey, std::move(stop));
    } else if constexpr (Route == CredentialRoute::twoPaths) {
      if (!routed.isAPIKey) return (service.*Fetch)(routed.credential, std::move(stop));
      return (service.*(APIKeyFetch, ...))(routed.credential, std::move(stop));
    } else {
      return (service.*Fetch)(std::move(stop));
    }
  };
}

// The line of `provider`, whose fetch is the member function `Fetch` of its service (for twoPaths: the cookie path,
// then the API-key path). The route decides what the fetch is given. A line that passes its credential must name
// the secrets it shows a server (shared/secrets.hpp, or a function of the service's own): a withKindFlag or twoPaths
// line those of a session, then those of an API key; a notPassed line has none.
// A line names its service's origin keys (`kOriginKeys` of its header); a service that reads no configured origin
// gives none.
// The formatter of this toolchain lays requires-clauses out badly.
// clang-format off
template <CredentialRoute Route, auto Fetch>
  requires(Route == CredentialRoute::unchanged || Route == CredentialRoute::prefixDropped)
constexpr ServiceLine line(Provider provider, SecretsOf secrets, std::span<const std::string_view> originKeys = {}) {
  return {provider, Route, &boundFetch<Route, Fetch>, secrets, nullptr, originKeys};
}
template <CredentialRoute Route, auto Fetch, auto... APIKeyFetch>
  requires(Route == CredentialRoute::withKindFlag || Route == CredentialRoute::twoPaths)
constexpr ServiceLine line(Provider provider, SecretsOf sessionSecrets, SecretsOf apiKeySecrets,
                           std::span<const std::string_view> originKeys = {}) {
  return {provider, Route, &boundFetch<Route, Fetch, APIKeyFetch...>, sessionSecrets, apiKeySecrets, originKeys};
}
template <CredentialRoute Route, auto Fetch>
  requires(Route == CredentialRoute::notPassed)
constexpr ServiceLine line(Provider provider) {
  return {provider, Route, &boundFetch<Route, Fetch>, &noSecrets, nullptr, {}};
}
// clang-format on

}  // namespace dapplewick
