#include "providers/codebuff.hpp"

#include <cmath>
#include <initializer_list>

#include "common/json_lenient.hpp"
#include "common/task_group.hpp"
#include "providers/shared/credential.hpp"
#include "providers/shared/request.hpp"
#include "providers/shared/response.hpp"
#include "providers/shared/user_agents.hpp"

namespace dapplewick::codebuff {
namespace {

constexpr std::string_view kFingerprintId = "dapple-wick";

// Epoch figures above this are milliseconds, others seconds.
constexpr double kMillisecondsAbove = 10'000'000'000.0;

}  // namespace

// ---- Requests ----

HTTPRequest usageRequest(std::string_view origin, std::string_view token) {
  HTTPRequest request;
  request.method = "POST";
  request.url = std::string(origin) + std::string(kUsagePath);
  request.headers.add("Authorization", "Bearer " + std::string(token));
  request.headers.add("Content-Type", "application/json");
  request.headers.add("Accept", "application/json");
  request.headers.add("User-Agent", std::string(kBrowserUserAgent));
  request.body = Json{{"fingerprintId", kFingerprintId}}.dump();
  return request;
}

HTTPRequest subscriptionRequest(std::string_view origin, std::string_view token) {
  return jsonGet(std::string(origin) + std::string(kSubscriptionPath), bearerHeader(token), kBrowserUserAgent);
}

// ---- Readers ----

namespace {

// The first source that reads; a present but unreadable value counts as absent.
template <class Reader>
auto firstReadable(std::initializer_list<const Json*> sources, Reader read) -> decltype(read(nullptr)) {
  for (const Json* source : sources) {
    if (auto value = read(source)) return value;
  }
  return std::nullopt;
}

std::optional<double> number(const Json* value) { return lenientNumber(value); }
std::optional<std::string> text(const Json* value) { return lenientText(value); }
std::optional<Timestamp> date(const Json* value) { return lenientDate(value, kMillisecondsAbove); }
std::optional<std::string> plainString(const Json* value) {
  if (value == nullptr || !value->is_string()) return std::nullopt;
  return value->get<std::string>();
}

}  // namespace

UsagePayload readUsagePayload(std::string_view body) {
  // A 200 answer that is not a JSON object (an HTML page, an array) carries no usage at all; reading it as 0 of 0
  // would report a failure as success.
  const auto document = parseJsonOrNothing(body);
  if (!document || !document->is_object()) throw CodebuffError::invalidResponse();
  const Json* top = &*document;

  UsagePayload payload;
  payload.used = firstReadable({member(top, "usage"), member(top, "used")}, number);
  payload.total = firstReadable({member(top, "quota"), member(top, "limit")}, number);
  payload.remaining = firstReadable({member(top, "remainingBalance"), member(top, "remaining")}, number);
  payload.nextQuotaReset = date(member(top, "next_quota_reset"));
  return payload;
}

SubscriptionPayload readSubscriptionPayload(std::string_view body) {
  SubscriptionPayload payload;
  const auto document = parseJsonOrNothing(body);
  if (!document || !document->is_object()) return payload;
  const Json* top = &*document;
  const Json* subscription = asObject(member(top, "subscription"));
  const Json* rateLimit = asObject(member(top, "rateLimit"));

  payload.tier = firstReadable({member(subscription, "displayName"), member(top, "displayName"),
                                member(subscription, "tier"), member(top, "tier")},
                               text);
  payload.status = plainString(member(subscription, "status"));
  payload.email = firstReadable({member(top, "email"), member(asObject(member(top, "user")), "email")}, plainString);
  payload.billingPeriodEnd =
      firstReadable({member(subscription, "billingPeriodEnd"), member(subscription, "currentPeriodEnd")}, date);
  payload.weeklyUsed = firstReadable({member(rateLimit, "weeklyUsed"), member(rateLimit, "used")}, number);
  payload.weeklyLimit = firstReadable({member(rateLimit, "weeklyLimit"), member(rateLimit, "limit")}, number);
  payload.weeklyResetsAt = date(member(rateLimit, "weeklyResetsAt"));
  return payload;
}

// ---- Mapping ----

namespace {

// Negative (and NaN) consumption reads as none.
double atLeastZero(double value) { return value > 0 ? value : 0; }

UsageData blankRecord(Timestamp now) {
  UsageData data = UsageData::blank(Provider::codebuff);
  data.costSemantic = CostSemantic::none;
  data.lastUpdated = now;
  return data;
}

}  // namespace

UsageData makeUsageData(const UsagePayload& usage, const std::optional<SubscriptionPayload>& subscription,
                        Timestamp now) {
  UsageData data = blankRecord(now);
  data.resetPeriod = ResetPeriod::monthly;

  // Servers have sent the quota, the balance and the consumption in every combination; the quota wins, then a
  // balance plus consumption, then the balance alone. Sums and differences of extreme figures that leave the
  // finite range are treated as unreadable, so no figure is ever infinite.
  bool settled = false;
  if (usage.total && *usage.total > 0) {
    data.limit = *usage.total;
    double used = 0;
    if (usage.used) {
      used = *usage.used;
    } else if (usage.remaining) {
      used = *usage.total - *usage.remaining;
      if (!std::isfinite(used)) used = 0;
    }
    data.used = atLeastZero(used);
    settled = true;
  } else if (usage.used && usage.remaining) {
    const double limit = *usage.remaining + *usage.used;
    if (limit > 0 && std::isfinite(limit)) {
      data.limit = limit;
      data.used = atLeastZero(*usage.used);
      settled = true;
    }
  }
  if (!settled) {
    data.used = 0;
    data.limit = (usage.remaining && *usage.remaining >= 0) ? *usage.remaining : 0;
  }

  data.resetAt = usage.nextQuotaReset;
  if (!data.resetAt && subscription) data.resetAt = subscription->billingPeriodEnd;
  if (subscription && subscription->tier) data.note = "Tier: " + *subscription->tier;

  if (subscription && subscription->weeklyLimit && *subscription->weeklyLimit > 0) {
    UsageData weekly = blankRecord(now);
    weekly.used = atLeastZero(subscription->weeklyUsed.value_or(0));
    weekly.limit = *subscription->weeklyLimit;
    weekly.resetAt = subscription->weeklyResetsAt;
    weekly.resetPeriod = ResetPeriod::weekly;
    data.auxiliaryUsage.push_back(std::move(weekly));
  }
  return data;
}

}  // namespace dapplewick::codebuff

namespace dapplewick {

// ---- The service ----

UsageData CodebuffService::fetchUsage(std::string_view credential, std::stop_token stop) {
  const std::string token = requireCredential<CodebuffError>(credential);
  const Timestamp now = context_.clock.now();

  // The usage answer is required; the subscription only adds the tier, a fallback reset date and the weekly
  // window, so its failure is dropped. A usage failure stops the subscription request and waits for it.
  TaskGroup group(stop);
  auto usage = group.spawn([this, &token](std::stop_token child) { return fetchUsagePayload(token, child); });
  auto subscription = group.spawn([this, &token](std::stop_token child) { return fetchSubscription(token, child); });
  const codebuff::UsagePayload usagePayload = usage.await();
  const std::optional<codebuff::SubscriptionPayload> subscriptionPayload = subscription.awaitOptional();
  return codebuff::makeUsageData(usagePayload, subscriptionPayload, now);
}

codebuff::UsagePayload CodebuffService::fetchUsagePayload(std::string_view token, std::stop_token stop) const {
  const HTTPRequest request = codebuff::usageRequest(context_.origins.get(codebuff::kOriginKey), token);
  const std::string body = okBody<CodebuffError>(context_.transport, request, std::move(stop));
  return codebuff::readUsagePayload(body);
}

codebuff::SubscriptionPayload CodebuffService::fetchSubscription(std::string_view token, std::stop_token stop) const {
  const HTTPRequest request = codebuff::subscriptionRequest(context_.origins.get(codebuff::kOriginKey), token);
  const std::string body = okBody<CodebuffError>(context_.transport, request, std::move(stop));
  return codebuff::readSubscriptionPayload(body);
}

}  // namespace dapplewick
