#pragma once

#include <optional>
#include <stop_token>
#include <string>
#include <string_view>

#include "common/service_error.hpp"
#include "common/url.hpp"
#include "model/clock.hpp"
#include "model/environment.hpp"
#include "model/http.hpp"
#include "model/usage_data.hpp"
#include "providers/shared/service_context.hpp"

namespace dapplewick {

enum class LLMProxyErrorCode { apiError, parseFailed, missingCredentials, missingBaseURL, insecureEndpoint,
                               invalidResponse };

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

namespace llm_proxy {

inline constexpr std::string_view kBaseURLVariable = "LLM_PROXY_BASE_URL";
inline constexpr std::string_view kAPIKeyVariable = "LLM_PROXY_API_KEY";

// Where the proxy is and the key it takes. The key may be empty and the address absent; fetchUsage decides.
struct Endpoint {
  std::string apiKey;
  std::optional<URLParts> baseURL;
};

// Reads the credential forms "https://host[:port][/path]:KEY", an address alone, a bare key, or nothing, filling
// the gaps from LLM_PROXY_BASE_URL and LLM_PROXY_API_KEY. `text` has its kind prefix removed already.
Endpoint resolveEndpoint(std::string_view text, const Environment& environment);

// Loopback and private-network hosts, where plain http is tolerated.
bool isLoopbackOrPrivateHost(const URLParts& url);

// The statistics address under the base: ".../v1/quota-stats", reusing a trailing "v1".
std::string quotaStatsURL(const URLParts& base);

HTTPRequest quotaStatsRequest(const URLParts& base, std::string_view apiKey);

UsageData parseQuotaStats(std::string_view body, Timestamp now);

// 999 → "999", 1500 → "1.5K", 2500000 → "2.5M".
std::string formatTokenCount(long long count);

}  // namespace llm_proxy

// Quota statistics of a self-hosted LLM proxy: the most exhausted quota group and the proxy's totals.
class LLMProxyService {
 public:
  explicit LLMProxyService(const ServiceContext& context) : context_(context) {}
  UsageData fetchUsage(std::string_view credential, std::stop_token stop = {});

 private:
  ServiceContext context_;
};

}  // namespace dapplewick
