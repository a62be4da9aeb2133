#include "providers/synthetic.hpp"

#include <algorithm>
#include <cmath>

#include "common/dates.hpp"
#include "common/excerpt.hpp"
#include "common/json_lenient.hpp"
#include "common/numbers.hpp"
#include "common/text.hpp"
#include "providers/shared/credential.hpp"

namespace dapplewick {
namespace synthetic {
namespace {

using Keys = std::vector<std::string_view>;

// What makes an object a quota entry.
const std::vector<Keys> kEntryKeys = {{"limit", "messageLimit", "quota", "max", "total"},
                                      {"used", "usage", "consumed"},
                                      {"remaining", "left", "available"},
                                      {"percentUsed", "usedPercent", "percent"},
                                      {"percentRemaining", "remainingPercent"}};

// What the percentage is computed from: wider than the entry keys.
const Keys kUsedPercentKeys = {"percentUsed", "usedPercent", "usagePercent", "percent"};
const Keys kRemainingPercentKeys = {"percentRemaining", "remainingPercent"};
const Keys kLimitKeys = {"limit", "messageLimit", "quota", "max", "total", "capacity", "allowance"};
const Keys kUsedKeys = {"used", "usage", "consumed", "spent"};
const Keys kRemainingKeys = {"remaining", "left", "available", "balance"};

const Keys kResetKeys = {"resetAt",  "reset_at",  "resetsAt",   "resets_at", "renewAt",
                         "renew_at", "periodEnd", "period_end", "expiresAt", "expires_at"};
const Keys kPlanKeys = {"plan", "planName", "plan_name", "subscription", "tier"};
const Keys kContainerKeys = {"quotas", "quota", "limits", "usage", "data"};

constexpr double kMillisecondsAbove = 1e12;
constexpr double kSecondsAbove = 1e9;

bool isEntry(const Json& value) {
  if (!value.is_object()) return false;
  return std::any_of(kEntryKeys.begin(), kEntryKeys.end(), [&](const Keys& keys) {
    return std::any_of(keys.begin(), keys.end(), [&](std::string_view key) { return member(&value, key) != nullptr; });
  });
}

// A fraction up to 1 is a share; anything above is already a percentage.
double asPercent(double value) { return value <= 1 ? value * 100 : value; }

std::optional<std::string> planName(const Json& root) {
  for (const auto key : kPlanKeys) {
    if (auto plan = lenientText(member(&root, key))) return plan;
  }
  return std::nullopt;
}

// The root's own entry when the root has the key at all, else the data object's.
const Json* namedEntry(const Json& root, const Json* data, std::string_view key) {
  return normalizeEntry(member(&root, key) != nullptr ? member(&root, key) : member(data, key));
}

}  // namespace

// ---- Requests ----

HTTPRequest quotasRequest(std::string_view origin, std::string_view key) {
  HTTPRequest request;
  request.method = "GET";
  request.url = std::string(origin) + std::string(kQuotasPath);
  request.headers.add("Authorization", "Bearer " + std::string(key));
  request.headers.add("Accept", "application/json");
  return request;
}

// ---- Answer readers ----

const Json* normalizeEntry(const Json* value) { return value != nullptr && isEntry(*value) ? value : nullptr; }

std::vector<const Json*> collectEntries(const Json* value) {
  std::vector<const Json*> entries;
  if (value != nullptr && value->is_array()) {
    for (const Json& element : *value) {
      if (isEntry(element)) entries.push_back(&element);
    }
  } else if (normalizeEntry(value) != nullptr) {
    entries.push_back(value);
  }
  return entries;
}

std::optional<double> firstNumber(const Json& object, const std::vector<std::string_view>& keys) {
  for (const auto key : keys) {
    const Json* value = member(&object, key);
    if (value == nullptr) continue;
    // "NaN" or "inf" in a text is no number: the next key is tried.
    if (const auto number = numberOrNumericText(value, NumberTextTrim::none)) return number;
  }
  return std::nullopt;
}

std::optional<double> usedPercent(const Json& entry) {
  std::optional<double> percent;
  if (const auto usedShare = firstNumber(entry, kUsedPercentKeys)) {
    percent = asPercent(*usedShare);
  } else if (const auto remainingShare = firstNumber(entry, kRemainingPercentKeys)) {
    percent = 100 - asPercent(*remainingShare);
  } else {
    const auto limit = firstNumber(entry, kLimitKeys);
    const auto used = firstNumber(entry, kUsedKeys);
    const auto remaining = firstNumber(entry, kRemainingKeys);
    if (limit && *limit > 0 && used) {
      percent = *used / *limit * 100;
    } else if (limit && *limit > 0 && remaining) {
      percent = (*limit - *remaining) / *limit * 100;
    } else if (!limit && used && remaining && *used + *remaining > 0) {
      percent = *used / (*used + *remaining) * 100;
    }
    // Only figures are capped; a percentage the API states is passed on as it is.
    if (percent && std::isfinite(*percent)) percent = std::min(*percent, 100.0);
  }
  // Finite figures can still divide or scale beyond what a double holds.
  if (percent && !std::isfinite(*percent)) return std::nullopt;
  return percent;
}

std::optional<Timestamp> readDate(const Json& value) {
  std::optional<double> number = numberValue(&value);
  if (value.is_string()) {
    const std::string& text = value.get_ref<const std::string&>();
    number = parseDecimal(text);
    if (!number) return parseInternetDate(text);
  }
  if (!number) return std::nullopt;
  return fromEpochAuto(*number, kMillisecondsAbove, kSecondsAbove);
}

// ---- Mapping ----

UsageData readQuotaResponse(std::string_view body, Timestamp now) {
  auto document = parseJsonOrNothing(body);
  if (!document || !(document->is_object() || document->is_array())) throw SyntheticError::parseFailed("Invalid JSON");
  // A top-level list of entries reads as the general container.
  const Json root = document->is_array() ? Json{{"quotas", std::move(*document)}} : std::move(*document);
  const Json* data = asObject(member(&root, "data"));

  const Json* entry = namedEntry(root, data, "rollingFiveHourLimit");
  ResetPeriod period = ResetPeriod::window;
  if (entry == nullptr) {
    entry = namedEntry(root, data, "weeklyTokenLimit");
    period = ResetPeriod::weekly;
  }
  if (entry == nullptr) {
    const auto container = std::find_if(kContainerKeys.begin(), kContainerKeys.end(),
                                        [&](std::string_view key) { return member(&root, key) != nullptr; });
    const auto entries = collectEntries(container == kContainerKeys.end() ? nullptr : member(&root, *container));
    if (entries.empty()) throw SyntheticError::parseFailed("No quota data found in response");
    entry = entries.front();
    period = ResetPeriod::monthly;
  }

  UsageData record = UsageData::blank(Provider::synthetic);
  record.used = usedPercent(*entry).value_or(0);
  record.limit = 100;
  for (const auto key : kResetKeys) {
    const Json* value = member(entry, key);
    record.resetAt = value != nullptr ? readDate(*value) : std::nullopt;
    if (record.resetAt) break;
  }
  record.resetPeriod = period;
  record.lastUpdated = now;
  if (const auto plan = planName(root)) record.note = "Plan: " + *plan;
  return record;
}

}  // namespace synthetic

// ---- Service ----

UsageData SyntheticService::fetchUsage(std::string_view credential, std::stop_token stop) {
  const std::string key = requireCredential<SyntheticError>(credential);
  const Timestamp now = context_.clock.now();
  const HTTPResponse response = context_.transport.data(
      synthetic::quotasRequest(context_.origins.get(synthetic::kOriginKey), key), std::move(stop));
  if (!response.isHTTP) throw SyntheticError::invalidResponse();
  if (response.status == 401 || response.status == 403) throw SyntheticError::invalidCredentials();
  if (response.status != 200) {
    throw SyntheticError::apiError("HTTP " + std::to_string(response.status) + ": " + bodyExcerpt(response.body));
  }
  return synthetic::readQuotaResponse(response.body, now);
}

// ---- Errors ----

SyntheticError SyntheticError::apiError(const std::string& message) {
  return {SyntheticErrorCode::apiError, "Synthetic API error: ", message};
}

SyntheticError SyntheticError::parseFailed(const std::string& message) {
  return {SyntheticErrorCode::parseFailed, "Failed to parse Synthetic response: ", message};
}

SyntheticError SyntheticError::invalidCredentials() {
  return {SyntheticErrorCode::invalidCredentials, "Invalid Synthetic API credentials"};
}

SyntheticError SyntheticError::invalidResponse() {
  return {SyntheticErrorCode::invalidResponse, "Unexpected response from Synthetic API"};
}

}  // namespace dapplewick
