#include "providers/openrouter.hpp"

#include <algorithm>
#include <cmath>

#include "common/dates.hpp"
#include "common/json_read.hpp"
#include "common/numbers.hpp"
#include "common/text.hpp"
#include "providers/shared/credential.hpp"
#include "providers/shared/request.hpp"
#include "providers/shared/response.hpp"
#include "providers/shared/user_agents.hpp"

namespace dapplewick {
namespace openrouter {
namespace {

HTTPRequest bearerGet(std::string url, std::string_view key) {
  return jsonGet(std::move(url), bearerHeader(key), kDapplewickUserAgent);
}

}  // namespace

// ---- Requests ----

HTTPRequest creditsRequest(std::string_view origin, std::string_view key) {
  return bearerGet(std::string(origin) + std::string(kCreditsPath), key);
}

HTTPRequest keyRequest(std::string_view origin, std::string_view key) {
  HTTPRequest request = bearerGet(std::string(origin) + std::string(kKeyPath), key);
  request.timeout = kKeyTimeout;
  return request;
}

// ---- Response readers ----

Credits readCredits(std::string_view body) {
  const Json document = parseJson(body);
  const JsonRef data = JsonRef::root(document).as<JsonRef>().at("data").as<JsonRef>();
  return {data.required<double>("total_credits"), data.required<double>("total_usage")};
}

KeyInfo readKeyInfo(std::string_view body) {
  const Json document = parseJson(body);
  const JsonRef data = JsonRef::root(document).as<JsonRef>().at("data").as<JsonRef>();
  return {data.optional<double>("limit"), data.optional<double>("usage"), data.optional<double>("limit_remaining"),
          data.optional<std::string>("limit_reset")};
}

std::optional<Timestamp> readResetDate(std::string_view text) {
  const auto trimmed = trimWhitespace(text);
  if (trimmed.empty()) return std::nullopt;
  if (auto date = parseInternetDate(trimmed)) return date;
  if (const auto seconds = parseDecimal(trimmed)) return fromEpochSeconds(*seconds);
  return std::nullopt;
}

// ---- Mapping ----

namespace {

std::string dollars(double amount) { return "$" + formatFixed(amount, 4); }

// What the key has spent of its limit; nothing when that is no finite figure.
std::optional<double> keySpent(const KeyInfo& key, double limit) {
  const double spent =
      key.limitRemaining ? std::max(limit - *key.limitRemaining, 0.0) : std::min(key.usage.value_or(0), limit);
  if (!std::isfinite(spent)) return std::nullopt;
  return spent;
}

}  // namespace

UsageData makeUsageData(const Credits& credits, const std::optional<KeyInfo>& key, Timestamp now) {
  const double difference = credits.totalCredits - credits.totalUsage;
  // Two finite totals can still differ by more than a double holds.
  if (!std::isfinite(difference) && difference > 0) throw OpenRouterError::invalidResponse();
  const double balance = std::max(difference, 0.0);

  UsageData record = UsageData::blank(Provider::openRouter);
  record.cost = credits.totalUsage;
  record.costSemantic = CostSemantic::lifetime;
  record.resetPeriod = ResetPeriod::monthly;
  record.lastUpdated = now;
  const double limit = key && key->limit ? *key->limit : 0;
  const auto spent = limit > 0 ? keySpent(*key, limit) : std::nullopt;
  if (spent) {
    record.used = std::min(*spent / limit * 100, 100.0);
    record.limit = 100;
    record.resetAt = key->limitReset ? readResetDate(*key->limitReset) : std::nullopt;
    record.note = "Key quota: " + dollars(*spent) + " / " + dollars(limit) + " used" + std::string(kNoteSeparator) +
                  "Balance: " + dollars(balance);
  } else {
    record.used = credits.totalUsage;
    record.note = *joinNotes({"Balance: " + dollars(balance), "Lifetime spend: " + dollars(credits.totalUsage)});
  }
  return record;
}

}  // namespace openrouter

// ---- Service ----

UsageData OpenRouterService::fetchUsage(std::string_view credential, std::stop_token stop) {
  const std::string key = requireCredential<OpenRouterError>(credential);
  const Timestamp now = context_.clock.now();
  const std::string origin = context_.origins.get(openrouter::kOriginKey);
  const HTTPResponse response = context_.transport.data(openrouter::creditsRequest(origin, key), stop);
  requireOK<OpenRouterError>(response);
  const openrouter::Credits credits = openrouter::readCredits(response.body);
  // Only once the credits are known is the key asked about.
  const auto keyInfo = fetchKeyInfo(origin, key, stop);
  return openrouter::makeUsageData(credits, keyInfo, now);
}

std::optional<openrouter::KeyInfo> OpenRouterService::fetchKeyInfo(const std::string& origin, const std::string& key,
                                                                   std::stop_token stop) const {
  // Every failure of the key request only selects the balance record; a stop still ends the fetch.
  try {
    throwIfCancelled(stop);
    const HTTPResponse response = context_.transport.data(openrouter::keyRequest(origin, key), stop);
    if (judgeResponse(response) != ResponseVerdict::ok) return std::nullopt;
    return openrouter::readKeyInfo(response.body);
  } catch (const TransportError&) {
    if (stop.stop_requested()) throw;
  } catch (const DecodingError&) {
  }
  return std::nullopt;
}

}  // namespace dapplewick
