#pragma once

#include <array>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>

#include "common/service_error.hpp"
#include "common/timestamp.hpp"
#include "model/http.hpp"
#include "model/usage_data.hpp"
#include "providers/shared/service_context.hpp"

namespace dapplewick {
namespace augment {

// ---- Constants and origin keys ----

inline constexpr std::string_view kOriginKey = "augment";
inline constexpr std::array kOriginKeys{kOriginKey};
inline constexpr std::string_view kCreditsPath = "/api/credits";
inline constexpr std::string_view kSubscriptionPath = "/api/subscription";

// ---- Requests ----

// A GET of the web application's own JSON endpoint `path` with the browser session cookie.
HTTPRequest webRequest(std::string_view origin, std::string_view path, std::string_view cookie);

// ---- Response records and readers ----

// The credits of the current billing cycle. Strictly decoded: a figure sent as text is a DecodingError.
struct Credits {
  std::optional<double> remaining;
  std::optional<double> consumed;
  std::optional<double> available;
  bool operator==(const Credits&) const = default;
};
Credits readCredits(std::string_view body);

struct Subscription {
  std::optional<std::string> planName;
  std::optional<std::string> billingPeriodEnd;
};
Subscription readSubscription(std::string_view body);

// ---- Mapping ----

// The consumed share of the cycle's credits, capped at 100 but not raised from below.
double usedPercentage(const Credits& credits);
// The plan name is the note, exactly as sent; the end of the billing period, without a fraction, the reset.
UsageData makeUsageData(const Credits& credits, const std::optional<Subscription>& subscription, Timestamp now);

}  // namespace augment

// ---- Service ----

// The credits (required) and then the subscription (best effort) of an Augment account, from the web application
// with the browser session cookie. Stateless.
class AugmentService {
 public:
  explicit AugmentService(const ServiceContext& context) : context_(context) {}

  UsageData fetchUsage(std::string_view credential, std::stop_token stop = {});

 private:
  std::string fetchBody(std::string_view path, const std::string& cookie, const std::stop_token& stop) const;

  ServiceContext context_;
};

// ---- Errors ----

enum class AugmentErrorCode {
  httpError,
  parseFailed,
  invalidCredentials,
  invalidResponse,
  notLoggedIn,
  sessionExpired
};

class AugmentError : public ServiceErrorOf<AugmentError, AugmentErrorCode> {
 public:
  using ServiceErrorOf::ServiceErrorOf;
  static constexpr ServiceErrorTexts kTexts{"Augment HTTP error ", "Invalid Augment credential",
                                            "Unexpected response from Augment"};
  static AugmentError parseFailed(const std::string& message);
  static AugmentError notLoggedIn();
  static AugmentError sessionExpired();
};

}  // namespace dapplewick
