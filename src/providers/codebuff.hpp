#pragma once

#include <array>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>

#include "common/service_error.hpp"
#include "model/http.hpp"
#include "model/usage_data.hpp"
#include "providers/shared/service_context.hpp"

namespace dapplewick {
namespace codebuff {

// ---- Constants and origin keys ----

inline constexpr std::string_view kOriginKey = "codebuff";
inline constexpr std::array kOriginKeys{kOriginKey};
inline constexpr std::string_view kUsagePath = "/api/v1/usage";
inline constexpr std::string_view kSubscriptionPath = "/api/user/subscription";

// ---- Requests ----

HTTPRequest usageRequest(std::string_view origin, std::string_view token);
HTTPRequest subscriptionRequest(std::string_view origin, std::string_view token);

// ---- Answers, read leniently ----

struct UsagePayload {
  std::optional<double> used;
  std::optional<double> total;
  std::optional<double> remaining;
  std::optional<Timestamp> nextQuotaReset;
  bool operator==(const UsagePayload&) const = default;
};

struct SubscriptionPayload {
  std::optional<std::string> tier;
  std::optional<std::string> status;  // read, not shown
  std::optional<Timestamp> billingPeriodEnd;
  std::optional<double> weeklyUsed;
  std::optional<double> weeklyLimit;
  std::optional<Timestamp> weeklyResetsAt;
  std::optional<std::string> email;  // read, not shown
  bool operator==(const SubscriptionPayload&) const = default;
};

// A 200 usage answer. Unknown or unreadable fields are simply absent, but a body that is not a JSON object (a
// sign-in page, an array) is no usage answer at all: CodebuffError::invalidResponse.
UsagePayload readUsagePayload(std::string_view body);
// A 200 subscription answer. Never fails: anything unreadable is absent.
SubscriptionPayload readSubscriptionPayload(std::string_view body);

// ---- Mapping ----

// The record: the credit window from the usage answer, the tier note, fallback reset date and weekly window from
// the subscription answer when there is one.
UsageData makeUsageData(const UsagePayload& usage, const std::optional<SubscriptionPayload>& subscription,
                        Timestamp now);

}  // namespace codebuff

// ---- The service ----

// Reads the credit allowance (required) and the subscription (optional) of a Codebuff account, both at once.
class CodebuffService {
 public:
  explicit CodebuffService(const ServiceContext& context) : context_(context) {}

  UsageData fetchUsage(std::string_view credential, std::stop_token stop = {});

 private:
  codebuff::UsagePayload fetchUsagePayload(std::string_view token, std::stop_token stop) const;
  codebuff::SubscriptionPayload fetchSubscription(std::string_view token, std::stop_token stop) const;

  ServiceContext context_;
};

// ---- Errors ----

enum class CodebuffErrorCode { httpError, invalidCredentials, invalidResponse };

class CodebuffError : public ServiceErrorOf<CodebuffError, CodebuffErrorCode> {
 public:
  using ServiceErrorOf::ServiceErrorOf;
  static constexpr ServiceErrorTexts kTexts{"Codebuff API error ", "Invalid Codebuff API token",
                                            "Unexpected response from Codebuff"};
};

}  // namespace dapplewick
