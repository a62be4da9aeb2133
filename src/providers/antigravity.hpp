#pragma once

#include <array>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>
#include <vector>

#include "common/json_document.hpp"
#include "common/service_error.hpp"
#include "model/http.hpp"
#include "model/usage_data.hpp"
#include "providers/shared/service_context.hpp"

namespace dapplewick {
namespace antigravity {

// ---- Constants and origin keys ----

inline constexpr std::string_view kOriginKey = "antigravity";
inline constexpr std::array kOriginKeys{kOriginKey};
inline constexpr std::string_view kAvailableModelsPath = "/v1internal:fetchAvailableModels";
// Asked only when the first path is denied.
inline constexpr std::string_view kUserQuotaPath = "/v1internal:retrieveUserQuota";

// ---- Requests ----

// A POST of an empty JSON object with the Google OAuth bearer token.
HTTPRequest quotaRequest(std::string_view origin, std::string_view path, std::string_view token);

// ---- Response records and readers ----

// One model's quota.
struct Quota {
  std::string label;
  std::string modelId;
  std::optional<double> remainingFraction;  // 1 untouched, 0 exhausted
  std::optional<Timestamp> resetTime;
  bool operator==(const Quota&) const = default;
};

// The models of the first answer's "models" object, in document order; unusable members are skipped. A non-zero
// gRPC "code" without models is AntigravityError::apiError.
std::vector<Quota> readAvailableModels(const Json& answer);
// The buckets of the fallback answer, in order; those without a "modelId" are skipped.
std::vector<Quota> readUserQuota(const Json& answer);

// ---- Mapping ----

// The most constrained model (an absent fraction counts as 1, the earlier wins a tie) as a percentage, the labels
// of the first three models in the note. No models is a record with a note and no figures.
UsageData makeUsageData(const std::vector<Quota>& quotas, Timestamp now);

}  // namespace antigravity

// ---- Service ----

// The per-model quota of an Antigravity account, from Google's cloud-code service with a pasted OAuth bearer token
// (never refreshed). Stateless.
class AntigravityService {
 public:
  explicit AntigravityService(const ServiceContext& context) : context_(context) {}

  UsageData fetchUsage(std::string_view credential, std::stop_token stop = {});

 private:
  Json post(std::string_view path, const std::string& token, const std::stop_token& stop) const;

  ServiceContext context_;
};

// ---- Errors ----

enum class AntigravityErrorCode {
  httpError,
  parseFailed,
  apiError,
  invalidCredentials,
  permissionDenied,
  invalidResponse
};

class AntigravityError : public ServiceErrorOf<AntigravityError, AntigravityErrorCode> {
 public:
  using ServiceErrorOf::ServiceErrorOf;
  static constexpr ServiceErrorTexts kTexts{
      "Antigravity API error ", "Invalid Antigravity credential. Provide a valid Google OAuth Bearer token.",
      "Unexpected response from Antigravity API"};
  static AntigravityError parseFailed(const std::string& message);
  static AntigravityError apiError(const std::string& message);
  static AntigravityError permissionDenied();
};

}  // namespace dapplewick
