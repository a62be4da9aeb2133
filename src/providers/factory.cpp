#include "providers/factory.hpp"

#include <algorithm>
#include <chrono>
#include <utility>
#include <vector>

#include "common/dates.hpp"
#include "common/json_lenient.hpp"
#include "common/json_read.hpp"
#include "common/text.hpp"
#include "common/url.hpp"
#include "providers/shared/response.hpp"

namespace dapplewick {
namespace factory {
namespace {

constexpr std::string_view kBillingLimitsPath = "/api/billing/limits";
constexpr std::string_view kAuthPath = "/api/app/auth/me";
constexpr std::string_view kUsagePath = "/api/organization/subscription/usage";
// windowEnd figures above this are milliseconds.
constexpr double kMillisecondsAbove = 1e12;
// A usedRatio a hair above 1 is rounding on the provider's side, not an overrun.
constexpr double kMaxUsedRatio = 1.001;

HTTPRequest factoryGet(std::string url, const Hosts& hosts, const Credential& credential) {
  HTTPRequest request;
  request.url = std::move(url);
  request.headers.add("Accept", "application/json");
  request.headers.add("Content-Type", "application/json");
  request.headers.add("Origin", hosts.app);
  request.headers.add("Referer", hosts.app + "/");
  request.headers.add("x-factory-client", "web-app");
  const std::string bearer = "Bearer " + std::string(credential.text);
  if (credential.isAPIKey) {
    request.headers.add("Authorization", bearer);
  } else {
    request.headers.add("Cookie", std::string(credential.text));
    // A session text with a dot may be a bare token rather than a cookie header, so it goes out both ways.
    if (credential.text.find('.') != std::string_view::npos) request.headers.add("Authorization", bearer);
  }
  return request;
}

}  // namespace

// ---- Requests ----

HTTPRequest billingLimitsRequest(const Hosts& hosts, const Credential& credential) {
  return factoryGet(hosts.api + std::string(kBillingLimitsPath), hosts, credential);
}

HTTPRequest authRequest(const Hosts& hosts, std::string_view attemptOrigin, const Credential& credential) {
  return factoryGet(std::string(attemptOrigin) + std::string(kAuthPath), hosts, credential);
}

HTTPRequest usageRequest(const Hosts& hosts, const Credential& credential, const std::optional<std::string>& userId) {
  QueryItems query{{"useCache", "true"}};
  if (userId) query.emplace_back("userId", *userId);
  return factoryGet(withQuery(hosts.api + std::string(kUsagePath), query), hosts, credential);
}

// ---- Response readers ----

namespace {

BillingWindow readWindow(const JsonRef& window) {
  return {window.required<double>("usedPercent"), window.optional<double>("windowEnd"),
          window.optional<double>("secondsRemaining")};
}

TokenBucket readBucket(const JsonRef& bucket) {
  TokenBucket read{bucket.optional<std::int64_t>("userTokens"), bucket.optional<std::int64_t>("totalAllowance"),
                   bucket.optional<double>("usedRatio")};
  (void)bucket.optional<std::int64_t>("orgTotalTokensUsed");
  return read;
}

}  // namespace

BillingLimits readBillingLimits(std::string_view body) {
  const Json document = parseJson(body);
  if (!document.is_object()) throw DecodingError("expected an object at the top level");
  BillingLimits limits;
  if (const Json* flag = member(&document, "usesTokenRateLimitsBilling"); flag != nullptr && flag->is_boolean()) {
    limits.usesTokenRateLimitsBilling = flag->get<bool>();
  }
  if (const Json* value = member(&document, "limits"); value != nullptr) {
    try {
      const JsonRef pool = JsonRef(*value, "limits").as<JsonRef>().at("standard").as<JsonRef>();
      limits.fiveHour = readWindow(pool.at("fiveHour").as<JsonRef>());
    } catch (const DecodingError&) {
      // Limits that do not decode are no limits: the fetch falls back to the organisation's usage.
    }
  }
  return limits;
}

AuthInfo readAuthInfo(std::string_view body) {
  const Json document = parseJson(body);
  const JsonRef root = JsonRef::root(document).as<JsonRef>();
  AuthInfo auth;
  if (const auto organization = root.optional<JsonRef>("organization")) {
    (void)organization->optional<std::string>("id");
    (void)organization->optional<std::string>("name");
    if (const auto subscription = organization->optional<JsonRef>("subscription")) {
      auth.factoryTier = subscription->optional<std::string>("factoryTier");
      if (const auto orb = subscription->optional<JsonRef>("orbSubscription")) {
        (void)orb->optional<std::string>("status");
        if (const auto plan = orb->optional<JsonRef>("plan")) {
          auth.planName = plan->optional<std::string>("name");
          (void)plan->optional<std::string>("id");
        }
      }
    }
  }
  if (const auto profile = root.optional<JsonRef>("userProfile")) {
    auth.userProfileId = profile->optional<std::string>("id");
    (void)profile->optional<std::string>("email");
  }
  return auth;
}

UsageInfo readUsageInfo(std::string_view body) {
  const Json document = parseJson(body);
  const JsonRef root = JsonRef::root(document).as<JsonRef>();
  (void)root.optional<std::string>("userId");
  UsageInfo info;
  if (const auto usage = root.optional<JsonRef>("usage")) {
    (void)usage->optional<std::int64_t>("startDate");
    info.endDate = usage->optional<std::int64_t>("endDate");
    if (const auto standard = usage->optional<JsonRef>("standard")) info.standard = readBucket(*standard);
    if (const auto premium = usage->optional<JsonRef>("premium")) (void)readBucket(*premium);
  }
  return info;
}

// ---- Mapping ----

namespace {

double millisecondsSinceEpoch(Timestamp instant) { return static_cast<double>(instant.time_since_epoch().count()); }

UsageData blankRecord(Timestamp now) {
  UsageData record = UsageData::blank(Provider::factory);
  record.limit = 100;
  record.lastUpdated = now;
  return record;
}

}  // namespace

std::optional<Timestamp> billingWindowResetDate(const BillingWindow& window, Timestamp now) {
  // Checked conversions throughout: an instant outside the years 1970 to 9999 is no reset date.
  if (window.secondsRemaining && *window.secondsRemaining > 0) {
    return fromEpochMilliseconds(millisecondsSinceEpoch(now) + *window.secondsRemaining * 1000);
  }
  if (window.windowEnd) {
    const auto end = fromEpochAuto(*window.windowEnd, kMillisecondsAbove);
    if (end && *end > now) return end;
  }
  return std::nullopt;
}

double billingWindowPercent(const BillingWindow& window, Timestamp now) {
  const bool ended = !billingWindowResetDate(window, now) && window.windowEnd && !window.secondsRemaining;
  if (ended) return 0;
  return std::clamp(window.usedPercent, 0.0, 100.0);
}

UsageData mapBillingLimits(const BillingWindow& fiveHour, Timestamp now) {
  UsageData record = blankRecord(now);
  record.used = billingWindowPercent(fiveHour, now);
  record.resetAt = billingWindowResetDate(fiveHour, now);
  record.resetPeriod = ResetPeriod::window;
  record.note = std::string(kBillingLimitsNote);
  return record;
}

std::optional<std::string> profileUserId(const AuthInfo& auth) {
  if (!auth.userProfileId) return std::nullopt;
  const std::string_view id = trimWhitespace(*auth.userProfileId);
  if (id.empty()) return std::nullopt;
  return std::string(id);
}

double usagePercent(const UsageInfo& usage) {
  if (!usage.standard) return 0;
  const TokenBucket& bucket = *usage.standard;
  if (bucket.usedRatio && *bucket.usedRatio >= 0 && *bucket.usedRatio <= kMaxUsedRatio) {
    return std::clamp(*bucket.usedRatio * 100, 0.0, 100.0);
  }
  const auto allowance = static_cast<double>(bucket.totalAllowance.value_or(0));
  if (!(allowance > 0)) return 0;
  return std::min(static_cast<double>(bucket.userTokens.value_or(0)) / allowance * 100, 100.0);
}

std::optional<std::string> planNote(const AuthInfo& auth) {
  std::vector<std::string> parts;
  if (auth.factoryTier && !auth.factoryTier->empty()) parts.push_back("Factory " + capitalizeWords(*auth.factoryTier));
  if (auth.planName && !auth.planName->empty()) parts.push_back(*auth.planName);
  if (parts.empty()) return std::nullopt;
  std::string note = parts.front();
  if (parts.size() > 1) note += " - " + parts.back();
  return note;
}

UsageData mapUsageInfo(const UsageInfo& usage, const AuthInfo& auth, Timestamp now) {
  UsageData record = blankRecord(now);
  record.used = usagePercent(usage);
  // Always milliseconds, and kept even when it lies in the past.
  if (usage.endDate) record.resetAt = fromEpochMilliseconds(static_cast<double>(*usage.endDate));
  record.resetPeriod = ResetPeriod::monthly;
  record.note = planNote(auth);
  return record;
}

}  // namespace factory

// ---- Service ----

UsageData FactoryService::fetchUsage(std::string_view credential, bool isAPIKey, std::stop_token stop) {
  // Sent untrimmed, but a credential of nothing but blanks is no credential to send three times.
  if (trimWhitespace(credential).empty()) throw FactoryError::invalidCredentials();
  const factory::Credential given{credential, isAPIKey};
  const Timestamp now = context_.clock.now();

  const auto billing = fetchBillingLimits(given, stop);
  if (billing && billing->usesTokenRateLimitsBilling && billing->fiveHour) {
    return factory::mapBillingLimits(*billing->fiveHour, now);
  }
  const factory::AuthInfo auth = fetchAuthInfo(given, stop);
  const factory::UsageInfo usage = fetchUsageInfo(given, factory::profileUserId(auth), stop);
  return factory::mapUsageInfo(usage, auth, now);
}

std::optional<factory::BillingLimits> FactoryService::fetchBillingLimits(const factory::Credential& credential,
                                                                         std::stop_token stop) const {
  // Whatever goes wrong here (a rejected credential included) is silent: the auth step reports it. An answer too
  // dense to read is no lack of billing limits and ends the fetch.
  try {
    const HTTPResponse response = context_.transport.data(factory::billingLimitsRequest(hosts(), credential), stop);
    if (!response.isHTTP || response.status != 200) return std::nullopt;
    return factory::readBillingLimits(response.body);
  } catch (const JsonTooLargeError&) {
    throw;
  } catch (const std::exception&) {
    // A stop is no failure of billing limits: it ends the fetch.
    if (stop.stop_requested()) throw;
    return std::nullopt;
  }
}

factory::AuthInfo FactoryService::fetchAuthInfo(const factory::Credential& credential, std::stop_token stop) const {
  const factory::Hosts origins = hosts();
  const std::string attempts[] = {origins.app, origins.api};
  for (std::size_t i = 0;; ++i) {
    const bool last = i + 1 == std::size(attempts);
    try {
      const HTTPRequest request = factory::authRequest(origins, attempts[i], credential);
      const HTTPResponse response = context_.transport.data(request, stop);
      requireOK<FactoryError>(response);
      return factory::readAuthInfo(response.body);
    } catch (const FactoryError& error) {
      // A rejected credential is rejected on either host.
      if (last || error.code() == FactoryErrorCode::invalidCredentials) throw;
    } catch (const JsonTooLargeError&) {
      // The other host is asked only when this one failed, not when it answered too much.
      throw;
    } catch (const std::exception&) {
      if (last || stop.stop_requested()) throw;
    }
  }
}

factory::UsageInfo FactoryService::fetchUsageInfo(const factory::Credential& credential,
                                                  const std::optional<std::string>& userId,
                                                  std::stop_token stop) const {
  throwIfCancelled(stop);
  const HTTPResponse response = context_.transport.data(factory::usageRequest(hosts(), credential, userId), stop);
  requireOK<FactoryError>(response);
  return factory::readUsageInfo(response.body);
}

factory::Hosts FactoryService::hosts() const {
  return {context_.origins.get(factory::kAPIOriginKey), context_.origins.get(factory::kAppOriginKey)};
}

}  // namespace dapplewick
