#include "providers/perplexity.hpp"

#include <algorithm>
#include <cmath>

#include "common/dates.hpp"
#include "common/json_read.hpp"
#include "common/numbers.hpp"
#include "common/url.hpp"
#include "providers/shared/credential.hpp"
#include "providers/shared/response.hpp"
#include "providers/shared/user_agents.hpp"

namespace dapplewick {
namespace perplexity {

// ---- Requests ----

std::string cookieHeader(std::string_view token) {
  if (token.find_first_of("=;") != std::string_view::npos) return std::string(token);
  return std::string(kSessionCookieName) + "=" + std::string(token);
}

HTTPRequest creditsRequest(std::string_view origin, std::string_view token) {
  HTTPRequest request;
  request.url =
      withQuery(std::string(origin) + std::string(kCreditsPath), {{"version", "2.18"}, {"source", "default"}});
  request.headers.add("Accept", "application/json");
  request.headers.add("Cookie", cookieHeader(token));
  request.headers.add("Origin", std::string(origin));
  request.headers.add("Referer", std::string(origin) + std::string(kUsagePagePath));
  request.headers.add("User-Agent", std::string(kChrome143UserAgent));
  return request;
}

// ---- Response readers ----

Credits readCredits(std::string_view body) {
  const Json document = parseJson(body);
  const JsonRef root = JsonRef::root(document).as<JsonRef>();
  Credits credits;
  credits.balanceCents = root.required<double>("balance_cents");
  credits.renewalDateTs = root.required<double>("renewal_date_ts");
  credits.currentPeriodPurchasedCents = root.required<double>("current_period_purchased_cents");
  for (const JsonRef& element : root.at("credit_grants").elements()) {
    const JsonRef grant = element.as<JsonRef>();
    credits.creditGrants.push_back({grant.required<std::string>("type"), grant.required<double>("amount_cents"),
                                    grant.optional<double>("expires_at_ts")});
  }
  credits.totalUsageCents = root.required<double>("total_usage_cents");
  return credits;
}

// ---- Mapping ----

UsageData makeUsageData(const Credits& credits, Timestamp now) {
  double recurring = 0;
  for (const CreditGrant& grant : credits.creditGrants) {
    if (grant.type == "recurring") recurring += grant.amountCents;
  }
  // Finite grants can still add up to more than a double holds.
  if (!std::isfinite(recurring)) throw PerplexityError::invalidResponse();

  UsageData record = UsageData::blank(Provider::perplexity);
  const double balance = credits.balanceCents / 100;
  if (recurring > 0) {
    record.used = std::min(recurring, credits.totalUsageCents);
    record.limit = recurring;
    record.note = "Balance: " + formatFixed(balance, 0) + " credits";
  } else {
    record.cost = credits.totalUsageCents / 100;
    record.costSemantic = CostSemantic::periodCumulative;
    record.note = "Balance: " + formatFixed(balance, 2) + " USD";
  }
  record.resetAt = fromEpochSeconds(credits.renewalDateTs);
  record.resetPeriod = ResetPeriod::monthly;
  record.lastUpdated = now;
  return record;
}

}  // namespace perplexity

// ---- Service ----

UsageData PerplexityService::fetchUsage(std::string_view credential, std::stop_token stop) {
  const std::string token = requireCredential<PerplexityError>(credential);
  const Timestamp now = context_.clock.now();
  const std::string origin = context_.origins.get(perplexity::kOriginKey);
  const std::string body =
      okBody<PerplexityError>(context_.transport, perplexity::creditsRequest(origin, token), std::move(stop));
  return perplexity::makeUsageData(perplexity::readCredits(body), now);
}

}  // namespace dapplewick
