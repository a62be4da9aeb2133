#pragma once

#include <cstddef>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>
#include <vector>

#include "common/service_error.hpp"
#include "common/url.hpp"
#include "model/clock.hpp"
#include "model/environment.hpp"
#include "model/http.hpp"
#include "model/usage_data.hpp"
#include "providers/shared/service_context.hpp"

namespace dapplewick {
namespace llm_proxy {

// ---- Constants ----

inline constexpr std::string_view kBaseURLVariable = "LLM_PROXY_BASE_URL";
inline constexpr std::string_view kAPIKeyVariable = "LLM_PROXY_API_KEY";
inline constexpr std::string_view kExampleAddress = "https://llm-proxy.example.com";

// ---- Where the proxy is ----

// The address and the key the proxy takes. The key may be empty and the address absent; fetchUsage decides.
struct Endpoint {
  std::string apiKey;
  std::optional<URLParts> baseURL;
};

// Reads the credential forms "https://host[:port][/path]:KEY", an address alone, a bare key, or nothing, filling
// the gaps from LLM_PROXY_BASE_URL and LLM_PROXY_API_KEY. `text` has its kind prefix removed already.
Endpoint resolveEndpoint(std::string_view text, const Environment& environment);
// The API key resolveEndpoint finds, from the credential or LLM_PROXY_API_KEY; never the address.
std::vector<std::string> secrets(std::string_view credential, const Environment& environment);

// Loopback and private-network hosts, where plain http is tolerated.
bool isLoopbackOrPrivateHost(const URLParts& url);

// ---- Requests ----

// The statistics address under the base: ".../v1/quota-stats", reusing a trailing "v1".
std::string quotaStatsURL(const URLParts& base);
HTTPRequest quotaStatsRequest(const URLParts& base, std::string_view apiKey);

// ---- Response records and readers ----

// What the statistics say, read leniently: a figure of the wrong type counts as absent.
struct QuotaStats {
  std::size_t providerCount = 0;
  std::optional<long long> totalRequests;  // nothing when the providers' sum overflows
  long long totalTokens = 0;
  std::optional<double> approxCost;
  std::optional<double> lowestRemainingPercent;  // over every quota group
  std::optional<Timestamp> earliestReset;
};

// Throws LLMProxyError::parseFailed for a body that is no JSON object.
QuotaStats readQuotaStats(std::string_view body);

// ---- Mapping ----

// The most exhausted quota group as the usage; providers, requests, tokens and cost in the note.
UsageData makeUsageData(const QuotaStats& stats, Timestamp now);

// 999 → "999", 1500 → "1.5K", 2500000 → "2.5M".
std::string formatTokenCount(long long count);

}  // namespace llm_proxy

// ---- Service ----

// Quota statistics of a self-hosted LLM proxy: the most exhausted quota group and the proxy's totals.
class LLMProxyService {
 public:
  explicit LLMProxyService(const ServiceContext& context) : context_(context) {}

  UsageData fetchUsage(std::string_view credential, std::stop_token stop = {});

 private:
  ServiceContext context_;
};

// ---- Errors ----

// Every status outside 2xx is one apiError carrying the proxy's words, so there is no httpError or
// invalidCredentials case and the shared triple of ServiceErrorOf does not apply: each text is written out.
enum class LLMProxyErrorCode {
  apiError,
  parseFailed,
  missingCredentials,
  missingBaseURL,
  insecureEndpoint,
  invalidResponse
};

class LLMProxyError : public ServiceErrorOf<LLMProxyError, LLMProxyErrorCode> {
 public:
  using ServiceErrorOf::ServiceErrorOf;
  static LLMProxyError apiError(const std::string& message);
  static LLMProxyError parseFailed(const std::string& message);
  static LLMProxyError missingCredentials();
  static LLMProxyError missingBaseURL();
  static LLMProxyError insecureEndpoint();
  static LLMProxyError invalidResponse();
};

}  // namespace dapplewick
