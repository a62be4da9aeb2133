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
namespace factory {

// ---- Constants and origins ----

inline constexpr std::string_view kAPIOriginKey = "factory.api";
// The web application: sent as Origin and Referer, and asked first who the user is.
inline constexpr std::string_view kAppOriginKey = "factory.app";
inline constexpr std::array kOriginKeys{kAPIOriginKey, kAppOriginKey};
inline constexpr std::string_view kBillingLimitsNote =
    "Factory token-rate-limits billing. Shows 5-hour rolling window usage.";

struct Hosts {
  std::string api;
  std::string app;
};

struct Credential {
  std::string_view text;
  bool isAPIKey = false;  // else a browser session's cookie header
};

// ---- Requests ----

HTTPRequest billingLimitsRequest(const Hosts& hosts, const Credential& credential);
// The who-am-I request to `attemptOrigin`, the web app's or the API's.
HTTPRequest authRequest(const Hosts& hosts, std::string_view attemptOrigin, const Credential& credential);
HTTPRequest usageRequest(const Hosts& hosts, const Credential& credential, const std::optional<std::string>& userId);

// ---- Response records and readers ----

struct BillingWindow {
  double usedPercent = 0;
  std::optional<double> windowEnd;  // seconds since 1970, or milliseconds above 1e12
  std::optional<double> secondsRemaining;
  bool operator==(const BillingWindow&) const = default;
};

struct BillingLimits {
  bool usesTokenRateLimitsBilling = false;
  // The standard pool's five-hour window; nothing when `limits` does not decode.
  std::optional<BillingWindow> fiveHour;
  bool operator==(const BillingLimits&) const = default;
};

// Field by field: a wrong type gives the field's default. Throws DecodingError only for a body that is no object.
BillingLimits readBillingLimits(std::string_view body);

struct AuthInfo {
  std::optional<std::string> userProfileId;
  std::optional<std::string> factoryTier;
  std::optional<std::string> planName;
  bool operator==(const AuthInfo&) const = default;
};

struct TokenBucket {
  std::optional<std::int64_t> userTokens;
  std::optional<std::int64_t> totalAllowance;
  std::optional<double> usedRatio;
  bool operator==(const TokenBucket&) const = default;
};

struct UsageInfo {
  std::optional<std::int64_t> endDate;  // milliseconds since 1970
  std::optional<TokenBucket> standard;
  bool operator==(const UsageInfo&) const = default;
};

// Strict: every field is decoded, the unused ones too, and a wrong type throws DecodingError.
AuthInfo readAuthInfo(std::string_view body);
UsageInfo readUsageInfo(std::string_view body);

// ---- Mapping ----

std::optional<Timestamp> billingWindowResetDate(const BillingWindow& window, Timestamp now);
double billingWindowPercent(const BillingWindow& window, Timestamp now);
UsageData mapBillingLimits(const BillingWindow& fiveHour, Timestamp now);
// The profile's id trimmed, or nothing when that leaves nothing.
std::optional<std::string> profileUserId(const AuthInfo& auth);
double usagePercent(const UsageInfo& usage);
std::optional<std::string> planNote(const AuthInfo& auth);
UsageData mapUsageInfo(const UsageInfo& usage, const AuthInfo& auth, Timestamp now);

}  // namespace factory

// ---- Service ----

// Factory (Droid) usage: the five-hour token window when the account is billed by token rate limits, else the
// billing period's token use with the tier and plan. Three requests, one after another.
class FactoryService {
 public:
  explicit FactoryService(const ServiceContext& context) : context_(context) {}

  UsageData fetchUsage(std::string_view credential, bool isAPIKey, std::stop_token stop = {});

 private:
  std::optional<factory::BillingLimits> fetchBillingLimits(const factory::Credential& credential,
                                                           std::stop_token stop) const;
  factory::AuthInfo fetchAuthInfo(const factory::Credential& credential, std::stop_token stop) const;
  factory::UsageInfo fetchUsageInfo(const factory::Credential& credential, const std::optional<std::string>& userId,
                                    std::stop_token stop) const;
  factory::Hosts hosts() const;

  ServiceContext context_;
};

// ---- Errors ----

enum class FactoryErrorCode { httpError, invalidCredentials, invalidResponse };

class FactoryError : public ServiceErrorOf<FactoryError, FactoryErrorCode> {
 public:
  using ServiceErrorOf::ServiceErrorOf;
  static constexpr ServiceErrorTexts kTexts{"Factory API error ", "Invalid Factory/Droid credential",
                                            "Unexpected response from Factory API"};
};

}  // namespace dapplewick
