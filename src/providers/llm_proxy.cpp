#include "providers/llm_proxy.hpp"

#include <algorithm>
#include <array>
#include <vector>

#include "common/dates.hpp"
#include "common/excerpt.hpp"
#include "common/json_lenient.hpp"
#include "common/numbers.hpp"
#include "common/text.hpp"
#include "model/credential_kind.hpp"

namespace dapplewick {
namespace llm_proxy {
namespace {

bool isDigits(std::string_view text) {
  return !text.empty() && std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

std::string variable(const Environment& environment, std::string_view name) {
  return environment.get(name).value_or("");
}

// Strict dotted decimal: four parts of at most three digits, no leading zeros. Resolvers read "010" as octal
// and "127.1" as 127.0.0.1, so anything looser is not taken for a private address.
std::optional<std::array<int, 4>> parseIPv4(std::string_view host) {
  std::array<int, 4> octets{};
  for (std::size_t i = 0; i < octets.size(); ++i) {
    const auto dot = host.find('.');
    const auto part = host.substr(0, dot);
    if ((i < 3) == (dot == std::string_view::npos)) return std::nullopt;
    if (!isDigits(part) || part.size() > 3 || (part.size() > 1 && part.front() == '0')) return std::nullopt;
    octets[i] = std::stoi(std::string(part));
    if (octets[i] > 255) return std::nullopt;
    host = dot == std::string_view::npos ? std::string_view() : host.substr(dot + 1);
  }
  return octets;
}

}  // namespace

// ---- Where the proxy is ----

Endpoint resolveEndpoint(std::string_view credential, const Environment& environment) {
  const std::string_view text = trimWhitespace(credential);
  // A scheme is read in any letter case: "HTTP://h:4000:key" is an address and a key like its lower-case form.
  const auto hasScheme = [text](std::string_view scheme) {
    return equalsIgnoringASCIICase(text.substr(0, scheme.size()), scheme);
  };
  if (hasScheme("https://") || hasScheme("http://")) {
    const auto colon = text.rfind(':');
    const auto addressPart = text.substr(0, colon);
    const auto keyPart = text.substr(colon + 1);
    // Digits after the last ":" are a port, never a key; so are digits up to a "/", a port and the path after it
    // ("http://h:4000/team"). Anything else is a key, "/" and all ("http://h:4000:Zm9v/YmFy").
    const bool portAndPath = isDigits(keyPart.substr(0, keyPart.find('/')));
    if (!keyPart.empty() && !portAndPath) {
      if (auto address = parseURL(addressPart); address && address->scheme) {
        return {std::string(keyPart), std::move(address)};
      }
    }
    return {variable(environment, kAPIKeyVariable), parseURL(text)};
  }
  const std::string environmentKey = variable(environment, kAPIKeyVariable);
  if (text.find("://") != std::string_view::npos) return {environmentKey, parseURL(text)};
  std::optional<URLParts> environmentBase;
  if (const auto base = environment.get(kBaseURLVariable)) environmentBase = parseURL(*base);
  return {text.empty() ? environmentKey : std::string(text), std::move(environmentBase)};
}

std::vector<std::string> secrets(std::string_view credential, const Environment& environment) {
  return {resolveEndpoint(stripKindPrefix(credential), environment).apiKey};
}

bool isLoopbackOrPrivateHost(const URLParts& url) {
  const std::string host = toLowerASCII(url.host);
  if (host == "localhost" || host == "::1") return true;
  const auto ip = parseIPv4(host);
  if (!ip) return false;
  const int a = (*ip)[0];
  const int b = (*ip)[1];
  return a == 127 || a == 10 || (a == 172 && b >= 16 && b <= 31) || (a == 192 && b == 168);
}

// ---- Requests ----

std::string quotaStatsURL(const URLParts& base) {
  URLParts url = base;
  if (url.scheme) url.scheme = toLowerASCII(*url.scheme);
  std::string_view trimmed = url.path;
  while (!trimmed.empty() && trimmed.back() == '/') trimmed.remove_suffix(1);
  const auto lastSlash = trimmed.rfind('/');
  const bool endsInV1 = trimmed.substr(lastSlash == std::string_view::npos ? 0 : lastSlash + 1) == "v1";
  const auto append = [&url](std::string_view component) {
    if (url.path.empty() || url.path.back() != '/') url.path += '/';
    url.path += component;
  };
  if (!endsInV1) append("v1");
  append("quota-stats");
  return formatURL(url);
}

HTTPRequest quotaStatsRequest(const URLParts& base, std::string_view apiKey) {
  HTTPRequest request;
  request.method = "GET";
  request.url = quotaStatsURL(base);
  request.headers.add("Authorization", "Bearer " + std::string(apiKey));
  request.headers.add("Accept", "application/json");
  return request;
}

// ---- Response readers ----

QuotaStats readQuotaStats(std::string_view body) {
  const auto json = parseJsonOrNothing(body);
  if (!json || !json->is_object()) throw LLMProxyError::parseFailed("Invalid JSON response");
  const Json* providers = asObject(member(&*json, "providers"));
  const Json* summary = asObject(member(&*json, "summary"));

  QuotaStats stats;
  stats.providerCount = providers != nullptr ? providers->size() : 0;
  stats.totalRequests = integerValue(member(summary, "total_requests"));
  if (!stats.totalRequests && providers != nullptr) {
    // An overflowing sum is no total at all, so the note leaves it out rather than show a wrapped figure.
    stats.totalRequests = 0;
    for (const Json& provider : *providers) {
      const auto requests = integerValue(member(&provider, "total_requests"));
      if (requests) stats.totalRequests = checkedAdd(*stats.totalRequests, *requests);
      if (!stats.totalRequests) break;
    }
  } else if (!stats.totalRequests) {
    stats.totalRequests = 0;
  }
  stats.totalTokens = integerValue(member(summary, "total_tokens")).value_or(0);
  stats.approxCost = numberValue(member(summary, "approx_cost"));

  const auto readGroup = [&stats](const Json& group) {
    if (const auto percent = numberValue(member(&group, "remaining_percent"))) {
      stats.lowestRemainingPercent =
          stats.lowestRemainingPercent ? std::min(*stats.lowestRemainingPercent, *percent) : *percent;
    }
    const Json* resetTime = member(&group, "reset_time");
    if (resetTime != nullptr && resetTime->is_string()) {
      if (const auto reset = parseInternetDate(resetTime->get_ref<const std::string&>())) {
        stats.earliestReset = stats.earliestReset ? std::min(*stats.earliestReset, *reset) : *reset;
      }
    }
  };
  if (providers != nullptr) {
    for (const Json& provider : *providers) {
      const Json* groups = member(&provider, "quota_groups");
      if (groups == nullptr || !(groups->is_array() || groups->is_object())) continue;
      for (const Json& group : *groups) readGroup(group);
    }
  }
  return stats;
}

// ---- Mapping ----

UsageData makeUsageData(const QuotaStats& stats, Timestamp now) {
  std::vector<std::string> parts;
  parts.push_back(std::to_string(stats.providerCount) + " provider" + (stats.providerCount == 1 ? "" : "s"));
  if (stats.totalRequests) parts.push_back(std::to_string(*stats.totalRequests) + " requests");
  if (stats.totalTokens >= 1) parts.push_back(formatTokenCount(stats.totalTokens) + " tokens");
  if (stats.approxCost) parts.push_back("$" + formatFixed(*stats.approxCost, 4));

  UsageData usage = UsageData::blank(Provider::llmProxy);
  usage.used = stats.lowestRemainingPercent ? std::clamp(100 - *stats.lowestRemainingPercent, 0.0, 100.0) : 0;
  usage.limit = 100;
  usage.cost = stats.approxCost.value_or(0);
  usage.costSemantic = CostSemantic::none;
  usage.resetAt = stats.earliestReset;
  usage.resetPeriod = ResetPeriod::monthly;
  usage.lastUpdated = now;
  usage.note = joinNotes(parts);
  return usage;
}

std::string formatTokenCount(long long count) {
  if (count < 1000) return std::to_string(count);
  if (count < 1000000) return formatFixed(static_cast<double>(count) / 1000, 1) + "K";
  return formatFixed(static_cast<double>(count) / 1000000, 1) + "M";
}

}  // namespace llm_proxy

// ---- Service ----

UsageData LLMProxyService::fetchUsage(std::string_view credential, std::stop_token stop) {
  const Timestamp now = context_.clock.now();
  const auto endpoint = llm_proxy::resolveEndpoint(stripKindPrefix(credential), context_.environment);
  if (endpoint.apiKey.empty()) throw LLMProxyError::missingCredentials();
  // An address without a host cannot be asked; it is no more usable than none at all.
  if (!endpoint.baseURL || endpoint.baseURL->host.empty()) throw LLMProxyError::missingBaseURL();
  const std::string scheme = toLowerASCII(endpoint.baseURL->scheme.value_or(""));
  // Plain http only where the traffic stays on this machine or the private network; no other scheme at all.
  const bool secure = scheme == "https" || (scheme == "http" && llm_proxy::isLoopbackOrPrivateHost(*endpoint.baseURL));
  if (!secure) throw LLMProxyError::insecureEndpoint();

  const HTTPResponse response =
      context_.transport.data(llm_proxy::quotaStatsRequest(*endpoint.baseURL, endpoint.apiKey), std::move(stop));
  if (!response.isHTTP) throw LLMProxyError::invalidResponse();
  // Any 2xx is an answer, and a rejected key is reported in the proxy's own words like every other status.
  if (response.status < 200 || response.status > 299) {
    throw LLMProxyError::apiError("HTTP " + std::to_string(response.status) + ": " + bodyExcerpt(response.body));
  }
  return llm_proxy::makeUsageData(llm_proxy::readQuotaStats(response.body), now);
}

// ---- Errors ----

LLMProxyError LLMProxyError::apiError(const std::string& message) {
  return {LLMProxyErrorCode::apiError, "LLM Proxy API error: ", message};
}

LLMProxyError LLMProxyError::parseFailed(const std::string& message) {
  return {LLMProxyErrorCode::parseFailed, "LLM Proxy parse error: ", message};
}

LLMProxyError LLMProxyError::missingCredentials() {
  return {LLMProxyErrorCode::missingCredentials, "Missing LLM Proxy API key. Use format '" +
                                                     std::string(llm_proxy::kExampleAddress) +
                                                     ":apiKey' or set LLM_PROXY_API_KEY."};
}

LLMProxyError LLMProxyError::missingBaseURL() {
  return {LLMProxyErrorCode::missingBaseURL, "Missing LLM Proxy base URL. Use format '" +
                                                 std::string(llm_proxy::kExampleAddress) +
                                                 ":apiKey' or set LLM_PROXY_BASE_URL."};
}

LLMProxyError LLMProxyError::insecureEndpoint() {
  return {LLMProxyErrorCode::insecureEndpoint,
          "LLM Proxy endpoint must use HTTPS, unless it's a loopback or private-network host (localhost, 127.0.0.1, "
          "192.168.x.x, 10.x.x.x, 172.16\u201331.x.x)"};
}

LLMProxyError LLMProxyError::invalidResponse() {
  return {LLMProxyErrorCode::invalidResponse, "Unexpected response from LLM Proxy"};
}

}  // namespace dapplewick
