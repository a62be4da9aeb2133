#pragma once

#include <optional>
#include <stop_token>
#include <string>
#include <string_view>
#include <vector>

#include "common/service_error.hpp"
#include "common/url.hpp"
#include "model/http.hpp"
#include "model/usage_data.hpp"
#include "providers/shared/service_context.hpp"

namespace dapplewick {
namespace azure_openai {

// ---- Constants ----

// No origin key: the resource's host is whatever the user's endpoint names.
inline constexpr std::string_view kDefaultAPIVersion = "2024-02-01";
inline constexpr std::string_view kV1Version = "v1";
inline constexpr std::string_view kReachableNote = "Deployment status: reachable \u00B7 ";
// Server text in an error keeps this many code points, more than the usual 200: Azure's messages run long.
inline constexpr std::size_t kMaxMessageCodePoints = 240;

// ---- The credential ----

// "endpoint::deployment::apiKey[::apiVersion]", checked in order; the first failure throws its AzureOpenAIError.
struct Deployment {
  URLParts endpoint;
  std::string name;
  std::string apiKey;
  std::string apiVersion;
};

Deployment parseCredential(std::string_view stored);
// The API key alone: the endpoint, the deployment and the API version are named in notes and errors, and stay
// readable there. The whole text (trimmed, prefix dropped) when it does not parse, though nothing is sent then.
std::vector<std::string> secrets(std::string_view stored, const Environment& environment);

// ---- Requests ----

// The path segments that the endpoint's path lacks of `required`: its longest suffix (compared in lower case)
// that is a prefix of the list is not repeated.
std::vector<std::string_view> missingSegments(std::string_view endpointPath,
                                              const std::vector<std::string_view>& required);
// The chat-completions URL of the route the version selects; throws AzureOpenAIError::invalidURL().
std::string requestURL(const Deployment& deployment);
// A one-token chat completion.
HTTPRequest probeRequest(const Deployment& deployment);

// ---- Response reading and mapping ----

// The note of a 2xx answer, whatever its body: the model is named when the body names one.
std::string reachableNote(std::string_view body, const Deployment& deployment);
// Any 2xx is reachable; other answers throw.
void judgeProbeResponse(const HTTPResponse& response);
UsageData makeUsageData(std::string note, Timestamp now);

}  // namespace azure_openai

// ---- Service ----

// Checks that one Azure OpenAI deployment answers with the user's key. Reads no usage figures.
class AzureOpenAIService {
 public:
  explicit AzureOpenAIService(const ServiceContext& context) : context_(context) {}

  UsageData fetchUsage(std::string_view credential, std::stop_token stop = {});

 private:
  ServiceContext context_;
};

// ---- Errors ----

enum class AzureOpenAIErrorCode {
  apiError,
  invalidCredentialFormat,
  missingAPIKey,
  missingEndpoint,
  missingDeploymentName,
  invalidEndpoint,
  invalidAPIKey,
  insecureEndpoint,
  invalidURL,
  invalidResponse,
};

class AzureOpenAIError : public ServiceErrorOf<AzureOpenAIError, AzureOpenAIErrorCode> {
 public:
  using ServiceErrorOf::ServiceErrorOf;
  // `message` is already cut.
  static AzureOpenAIError apiError(int status, const std::string& message);
  static AzureOpenAIError invalidCredentialFormat();
  static AzureOpenAIError missingAPIKey();
  static AzureOpenAIError missingEndpoint();
  static AzureOpenAIError missingDeploymentName();
  static AzureOpenAIError invalidEndpoint();
  static AzureOpenAIError invalidAPIKey();
  static AzureOpenAIError insecureEndpoint();
  static AzureOpenAIError invalidURL();
  static AzureOpenAIError invalidResponse();
  // Same case, and for apiError the same status and message.
  bool operator==(const AzureOpenAIError& other) const {
    return code() == other.code() && value() == other.value() && description() == other.description();
  }
};

}  // namespace dapplewick
