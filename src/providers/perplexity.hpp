#pragma once

#include <array>
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
namespace perplexity {

// ---- Constants and origin keys ----

inline constexpr std::string_view kOriginKey = "perplexity";
inline constexpr std::array kOriginKeys{kOriginKey};
inline constexpr std::string_view kCreditsPath = "/rest/billing/credits";
inline constexpr std::string_view kUsagePagePath = "/account/usage";
inline constexpr std::string_view kSessionCookieName = "__Secure-next-auth.session-token";

// ---- Requests ----

// A token holding "=" or ";" is a whole Cookie header; a bare one is the session cookie's value.
std::string cookieHeader(std::string_view token);
HTTPRequest creditsRequest(std::string_view origin, std::string_view token);

// ---- Response records and readers ----

struct CreditGrant {
  std::string type;
  double amountCents = 0;
  std::optional<double> expiresAtTs;
};

// The billing answer; amounts in US cents, the renewal date in epoch seconds.
struct Credits {
  double balanceCents = 0;
  double renewalDateTs = 0;
  double currentPeriodPurchasedCents = 0;
  std::vector<CreditGrant> creditGrants;
  double totalUsageCents = 0;
};

// Decodes strictly: every key required (a grant's expiry excepted), a number sent as text fails. Throws
// DecodingError.
Credits readCredits(std::string_view body);

// ---- Mapping ----

// Usage against the recurring (plan) credits when there are any, else the period's spend in dollars. A sum of
// grants that is no finite figure throws PerplexityError::invalidResponse.
UsageData makeUsageData(const Credits& credits, Timestamp now);

}  // namespace perplexity

// ---- Service ----

// The credit balance, grants and period usage of the Perplexity web site's billing endpoint, with the browser
// session token.
class PerplexityService {
 public:
  explicit PerplexityService(const ServiceContext& context) : context_(context) {}

  UsageData fetchUsage(std::string_view credential, std::stop_token stop = {});

 private:
  ServiceContext context_;
};

// ---- Errors ----

enum class PerplexityErrorCode { httpError, invalidCredentials, invalidResponse };

class PerplexityError : public ServiceErrorOf<PerplexityError, PerplexityErrorCode> {
 public:
  using ServiceErrorOf::ServiceErrorOf;
  static constexpr ServiceErrorTexts kTexts{"Perplexity API error ", "Invalid Perplexity session token",
                                            "Unexpected response from Perplexity"};
};

}  // namespace dapplewick
