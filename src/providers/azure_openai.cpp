#include "providers/azure_openai.hpp"

#include <algorithm>
#include <utility>

#include "common/excerpt.hpp"
#include "common/json_read.hpp"
#include "common/text.hpp"
#include "model/credential_kind.hpp"
#include "providers/shared/secrets.hpp"
#include "providers/shared/user_agents.hpp"

namespace dapplewick {
namespace azure_openai {
namespace {

constexpr std::string_view kSeparator = "::";

bool isV1(std::string_view apiVersion) { return toLowerASCII(apiVersion) == kV1Version; }

}  // namespace

// ---- The credential ----

Deployment parseCredential(std::string_view stored) {
  const auto parts = splitKeepingEmpty(trimWhitespace(stripKindPrefix(stored)), kSeparator);
  if (parts.size() < 3) throw AzureOpenAIError::invalidCredentialFormat();
  const auto part = [&](std::size_t index) { return std::string(trimWhitespace(parts[index])); };
  Deployment deployment{{}, part(1), part(2), parts.size() == 3 ? std::string(kDefaultAPIVersion) : part(3)};
  const std::string endpoint = part(0);
  if (endpoint.empty()) throw AzureOpenAIError::missingEndpoint();
  if (deployment.name.empty()) throw AzureOpenAIError::missingDeploymentName();
  if (deployment.apiKey.empty()) throw AzureOpenAIError::missingAPIKey();
  auto url = parseURL(endpoint);
  if (!url || url->host.empty()) throw AzureOpenAIError::invalidEndpoint();
  if (!url->scheme || !equalsIgnoringASCIICase(*url->scheme, "https")) throw AzureOpenAIError::insecureEndpoint();
  deployment.endpoint = std::move(*url);
  return deployment;
}

std::vector<std::string> secrets(std::string_view stored, const Environment& environment) {
  try {
    return {parseCredential(stored).apiKey};
  } catch (const AzureOpenAIError&) {
    return storedKeySecrets(stored, environment);
  }
}

// ---- Requests ----

std::vector<std::string_view> missingSegments(std::string_view endpointPath,
                                              const std::vector<std::string_view>& required) {
  std::vector<std::string> segments;
  for (const auto segment : splitKeepingEmpty(endpointPath, "/")) {
    if (!segment.empty()) segments.push_back(toLowerASCII(segment));
  }
  std::size_t k = std::min(segments.size(), required.size());
  for (; k > 0; --k) {
    if (std::equal(required.begin(), required.begin() + static_cast<std::ptrdiff_t>(k),
                   segments.end() - static_cast<std::ptrdiff_t>(k))) {
      break;
    }
  }
  return {required.begin() + static_cast<std::ptrdiff_t>(k), required.end()};
}

std::string requestURL(const Deployment& deployment) {
  URLParts url = deployment.endpoint;
  const bool v1 = isV1(deployment.apiVersion);
  using Segments = std::vector<std::string_view>;
  Segments tail = missingSegments(url.path, v1 ? Segments{"openai", "v1"} : Segments{"openai"});
  if (!v1) tail.insert(tail.end(), {"deployments", deployment.name});
  tail.insert(tail.end(), {"chat", "completions"});
  for (const auto segment : tail) {
    // A deployment named "." or ".." would climb out of the route instead of naming a deployment.
    if (!appendPathSegment(url, segment)) throw AzureOpenAIError::invalidURL();
  }
  // The versioned route names its version alone; the v1 route keeps whatever query the endpoint carries.
  if (!v1) setQuery(url, {{"api-version", deployment.apiVersion}});
  return formatURL(url);
}

HTTPRequest probeRequest(const Deployment& deployment) {
  HTTPRequest request;
  request.method = "POST";
  request.url = requestURL(deployment);
  request.headers.add("api-key", deployment.apiKey);
  request.headers.add("Content-Type", "application/json");
  request.headers.add("Accept", "application/json");
  request.headers.add("User-Agent", std::string(kBrowserUserAgent));
  Json body{{"messages", Json::array({{{"role", "user"}, {"content", "ping"}}})}};
  if (isV1(deployment.apiVersion)) {
    body["model"] = deployment.name;
    body["max_completion_tokens"] = 1;
  } else {
    body["max_tokens"] = 1;
  }
  request.body = body.dump();
  return request;
}

// ---- Response reading and mapping ----

std::string reachableNote(std::string_view body, const Deployment& deployment) {
  std::string note = std::string(kReachableNote) + deployment.name;
  std::optional<std::string> model;
  try {
    const Json document = parseJson(body);
    model = JsonRef::root(document).as<JsonRef>().optional<std::string>("model");
  } catch (const DecodingError&) {
    // Any 2xx proves the deployment answers; a body that is no chat completion only loses the model's name.
  }
  if (model) note += " \u00B7 Model: " + *model;
  return note;
}

void judgeProbeResponse(const HTTPResponse& response) {
  if (!response.isHTTP) throw AzureOpenAIError::invalidResponse();
  if (response.status >= 200 && response.status <= 299) return;
  std::string message;
  if (isValidUTF8(response.body)) {
    message = errorExcerpt(response.body, kMaxMessageCodePoints);
    if (message.size() < response.body.size()) message += "\u2026";
  }
  if (response.status == 401 || response.status == 403) throw AzureOpenAIError::invalidAPIKey();
  throw AzureOpenAIError::apiError(response.status, message);
}

UsageData makeUsageData(std::string note, Timestamp now) {
  UsageData record = UsageData::blank(Provider::azureOpenAI);
  record.resetPeriod = ResetPeriod::monthly;
  record.lastUpdated = now;
  record.note = std::move(note);
  return record;
}

}  // namespace azure_openai

// ---- Service ----

UsageData AzureOpenAIService::fetchUsage(std::string_view credential, std::stop_token stop) {
  const azure_openai::Deployment deployment = azure_openai::parseCredential(credential);
  const HTTPRequest request = azure_openai::probeRequest(deployment);
  const HTTPResponse response = context_.transport.data(request, std::move(stop));
  azure_openai::judgeProbeResponse(response);
  return azure_openai::makeUsageData(azure_openai::reachableNote(response.body, deployment), context_.clock.now());
}

// ---- Errors ----

namespace {
using Code = AzureOpenAIErrorCode;
}  // namespace

AzureOpenAIError AzureOpenAIError::apiError(int status, const std::string& message) {
  return {Code::apiError,
          "Azure OpenAI API error HTTP " + std::to_string(status) + (message.empty() ? "" : ": "),
          message,
          {},
          status};
}
AzureOpenAIError AzureOpenAIError::invalidCredentialFormat() {
  return {Code::invalidCredentialFormat,
          "Azure OpenAI credential must be formatted as endpoint::deployment::apiKey[::apiVersion]"};
}
AzureOpenAIError AzureOpenAIError::missingAPIKey() { return {Code::missingAPIKey, "Azure OpenAI API key is missing"}; }
AzureOpenAIError AzureOpenAIError::missingEndpoint() {
  return {Code::missingEndpoint, "Azure OpenAI endpoint URL is missing"};
}
AzureOpenAIError AzureOpenAIError::missingDeploymentName() {
  return {Code::missingDeploymentName, "Azure OpenAI deployment name is missing"};
}
AzureOpenAIError AzureOpenAIError::invalidEndpoint() {
  return {Code::invalidEndpoint, "Azure OpenAI endpoint URL is invalid"};
}
AzureOpenAIError AzureOpenAIError::invalidAPIKey() {
  return {Code::invalidAPIKey, "Azure OpenAI API key is invalid or unauthorized"};
}
AzureOpenAIError AzureOpenAIError::insecureEndpoint() {
  return {Code::insecureEndpoint, "Azure OpenAI endpoint must use HTTPS"};
}
AzureOpenAIError AzureOpenAIError::invalidURL() {
  return {Code::invalidURL, "Could not construct Azure OpenAI request URL"};
}
AzureOpenAIError AzureOpenAIError::invalidResponse() {
  return {Code::invalidResponse, "Unexpected response from Azure OpenAI"};
}

}  // namespace dapplewick
