#include "providers/augment.hpp"

#include <algorithm>
#include <cmath>

#include "common/dates.hpp"
#include "common/json_read.hpp"
#include "providers/shared/credential.hpp"
#include "providers/shared/user_agents.hpp"

namespace dapplewick {
namespace augment {

// ---- Requests ----

HTTPRequest webRequest(std::string_view origin, std::string_view path, std::string_view cookie) {
  HTTPRequest request;
  request.url = std::string(origin) + std::string(path);
  request.headers.add("Accept", "application/json");
  request.headers.add("Cookie", std::string(cookie));
  request.headers.add("User-Agent", std::string(kBrowserUserAgent));
  return request;
}

// ---- Readers ----

Credits readCredits(std::string_view body) {
  const Json document = parseJson(body);
  const JsonRef root = JsonRef::root(document).as<JsonRef>();
  Credits credits{root.optional<double>("usageUnitsRemaining"),
                  root.optional<double>("usageUnitsConsumedThisBillingCycle"),
                  root.optional<double>("usageUnitsAvailable")};
  (void)root.optional<std::string>("usageBalanceStatus");  // decoded for its type only
  return credits;
}

Subscription readSubscription(std::string_view body) {
  const Json document = parseJson(body);
  const JsonRef root = JsonRef::root(document).as<JsonRef>();
  Subscription subscription{root.optional<std::string>("planName"), root.optional<std::string>("billingPeriodEnd")};
  (void)root.optional<std::string>("email");
  (void)root.optional<std::string>("organization");
  return subscription;
}

// ---- Mapping ----

double usedPercentage(const Credits& credits) {
  const auto& [remaining, consumed, available] = credits;
  double used = 0;
  if (consumed && available && *available > 0) {
    used = *consumed / *available * 100;
  } else if (consumed && remaining && *remaining + *consumed > 0) {
    used = *consumed / (*remaining + *consumed) * 100;
  } else if (!consumed && remaining && available && *available > 0) {
    used = (*available - *remaining) / *available * 100;
  }
  // A huge figure over a tiny positive total is no share at all.
  if (!std::isfinite(used)) return 0;
  return std::min(used, 100.0);
}

UsageData makeUsageData(const Credits& credits, const std::optional<Subscription>& subscription, Timestamp now) {
  UsageData record = UsageData::blank(Provider::augment);
  record.used = usedPercentage(credits);
  record.limit = 100;
  record.costSemantic = CostSemantic::none;
  record.resetPeriod = ResetPeriod::monthly;
  record.lastUpdated = now;
  if (subscription) {
    if (subscription->billingPeriodEnd) {
      record.resetAt = parseRFC3339(*subscription->billingPeriodEnd, FractionMode::forbidden);
    }
    record.note = subscription->planName;
  }
  return record;
}

}  // namespace augment

// ---- Service ----

UsageData AugmentService::fetchUsage(std::string_view credential, std::stop_token stop) {
  const std::string cookie = requireCredential<AugmentError>(credential);
  const Timestamp now = context_.clock.now();
  augment::Credits credits;
  {
    const std::string body = fetchBody(augment::kCreditsPath, cookie, stop);
    try {
      credits = augment::readCredits(body);
    } catch (const DecodingError& error) {
      throw AugmentError::parseFailed(std::string("Credits: ") + error.what());
    }
  }
  // The subscription only adds the plan name and the reset; whatever goes wrong there just leaves them out, but for
  // an answer too dense to read, which is no missing plan.
  std::optional<augment::Subscription> subscription;
  try {
    subscription = augment::readSubscription(fetchBody(augment::kSubscriptionPath, cookie, stop));
  } catch (const JsonTooLargeError&) {
    throw;
  } catch (const std::exception&) {
    subscription.reset();
  }
  return augment::makeUsageData(credits, subscription, now);
}

std::string AugmentService::fetchBody(std::string_view path, const std::string& cookie,
                                      const std::stop_token& stop) const {
  throwIfCancelled(stop);
  const HTTPResponse response =
      context_.transport.data(augment::webRequest(context_.origins.get(augment::kOriginKey), path, cookie), stop);
  if (!response.isHTTP) throw AugmentError::invalidResponse();
  // Only a 401 asks to sign in again; a 403 reads as never having signed in.
  if (response.status == 401) throw AugmentError::sessionExpired();
  if (response.status == 403) throw AugmentError::notLoggedIn();
  if (response.status != 200) throw AugmentError::httpError(response.status);
  return response.body;
}

// ---- Errors ----

AugmentError AugmentError::parseFailed(const std::string& message) {
  return AugmentError(AugmentErrorCode::parseFailed, "Failed to parse Augment response: ", message);
}

AugmentError AugmentError::notLoggedIn() {
  return AugmentError(AugmentErrorCode::notLoggedIn, "Not logged in to Augment");
}

AugmentError AugmentError::sessionExpired() {
  return AugmentError(AugmentErrorCode::sessionExpired, "Augment session expired \u2014 please sign in again");
}

}  // namespace dapplewick
