#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>
#include <vector>

#include "common/service_error.hpp"
#include "model/http.hpp"
#include "model/usage_data.hpp"
#include "providers/shared/service_context.hpp"

namespace dapplewick {
namespace stepfun {

// ---- Constants and origin keys ----

inline constexpr std::string_view kOriginKey = "stepfun";
inline constexpr std::array kOriginKeys{kOriginKey};
inline constexpr std::string_view kRateLimitPath = "/api/step.openapi.devcenter.Dashboard/QueryStepPlanRateLimit";
// The platform's web client identifies itself with these; the session is only accepted alongside them.
inline constexpr std::string_view kWebID = "5e07b3d91a4c8f26e0b7d35a9c14f8e2b6d0a73c";
inline constexpr std::string_view kAppID = "10300";

// ---- Requests ----

// The credential trimmed, then cut before the first "..." (what a copied, shortened token display leaves).
std::string normalizedToken(std::string_view credential);
// The token sent, and the whole text it was cut from, which holds more of the same secret.
std::vector<std::string> secrets(std::string_view credential, const Environment& environment);
HTTPRequest rateLimitRequest(std::string_view origin, std::string_view token);

// ---- Response records and readers ----

struct CreditBucket {
  std::optional<double> creditTotal;
  std::optional<double> creditResidual;
};

struct CreditRateLimit {
  std::optional<double> subscriptionCreditLeftRate;
  std::optional<std::int64_t> subscriptionCreditResetTime;
  std::optional<double> topupCreditLeftRate;
  std::optional<std::vector<CreditBucket>> creditBuckets;
};

// The whole answer. Rates are fractions left (1: nothing used), reset times epoch seconds.
struct RateLimit {
  std::optional<std::int64_t> status;
  std::optional<std::string> message;
  std::optional<std::string> desc;
  // Lenient: a value of another kind is missing, not a decoding failure.
  std::optional<double> fiveHourUsageLeftRate;
  std::optional<double> weeklyUsageLeftRate;
  std::optional<std::int64_t> fiveHourUsageResetTime;
  std::optional<std::int64_t> weeklyUsageResetTime;
  std::optional<std::int64_t> planFamily;
  std::optional<CreditRateLimit> planCreditRateLimit;
};

// Strict fields of the wrong type throw DecodingError; the rates and the two window reset times are lenient
// (a reset time may be an integer written as text).
RateLimit readRateLimit(std::string_view body);

// ---- Mapping ----

// A credit plan as one monthly record. A sum of bucket amounts that is no finite figure throws
// StepFunError::invalidResponse.
UsageData creditPlanUsage(const CreditRateLimit& credit, Timestamp now);
// The credit plan's record, or the weekly record carrying the five-hour one as its only auxiliary record, of an
// answer the platform marked as successful. Missing window fields throw StepFunError::parseFailed.
UsageData makeUsageData(const RateLimit& answer, Timestamp now);

}  // namespace stepfun

// ---- Service ----

// The plan rate limits of the StepFun developer platform, with the platform's web-session token.
class StepFunService {
 public:
  explicit StepFunService(const ServiceContext& context) : context_(context) {}

  // `credential` has lost its kind prefix in the engine and is trimmed here.
  UsageData fetchUsage(std::string_view credential, std::stop_token stop = {});

 private:
  ServiceContext context_;
};

// ---- Errors ----

enum class StepFunErrorCode { httpError, apiError, parseFailed, invalidCredentials, invalidResponse };

class StepFunError : public ServiceErrorOf<StepFunError, StepFunErrorCode> {
 public:
  using ServiceErrorOf::ServiceErrorOf;
  static constexpr ServiceErrorTexts kTexts{"StepFun API error ", "Invalid StepFun credential",
                                            "Unexpected response from StepFun"};
  static StepFunError apiError(const std::string& message);
  static StepFunError parseFailed(const std::string& message);
};

}  // namespace dapplewick
