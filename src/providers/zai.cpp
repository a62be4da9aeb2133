#include "providers/zai.hpp"

#include <algorithm>
#include <string>

#include "common/dates.hpp"
#include "common/json_read.hpp"
#include "common/numbers.hpp"
#include "common/text.hpp"
#include "providers/shared/credential.hpp"
#include "providers/shared/request.hpp"
#include "providers/shared/response.hpp"
#include "providers/shared/user_agents.hpp"

namespace dapplewick::zai {
namespace {

constexpr std::string_view kTimeLimitType = "TIME_LIMIT";
constexpr std::string_view kTokensLimitType = "TOKENS_LIMIT";

// Window unit codes of the quota document.
constexpr std::int64_t kUnitDay = 1;
constexpr std::int64_t kUnitHour = 3;
constexpr std::int64_t kUnitMinute = 5;
constexpr std::int64_t kUnitWeek = 6;

constexpr std::int64_t kMinutesPerHour = 60;
constexpr std::int64_t kMinutesPerDay = 1440;
constexpr std::int64_t kMinutesPerWeek = 10080;

}  // namespace

// ---- Request ----

HTTPRequest quotaRequest(std::string_view origin, std::string_view apiKey) {
  // Lower case on purpose: the transport sends names exactly as given.
  return jsonGet(std::string(origin) + std::string(kQuotaPath), {"authorization", "Bearer " + std::string(apiKey)},
                 kDapplewickUserAgent);
}

// ---- Decoding ----

namespace {

LimitRaw decodeLimit(const JsonRef& element) {
  const JsonRef object = element.as<JsonRef>();
  LimitRaw raw;
  raw.type = object.required<std::string>("type");
  raw.unit = object.required<std::int64_t>("unit");
  raw.number = object.required<std::int64_t>("number");
  raw.usage = object.optional<std::int64_t>("usage");
  raw.currentValue = object.optional<std::int64_t>("currentValue");
  raw.remaining = object.optional<std::int64_t>("remaining");
  raw.percentage = object.required<std::int64_t>("percentage");
  raw.nextResetTime = object.optional<std::int64_t>("nextResetTime");
  return raw;
}

QuotaData decodeData(const JsonRef& ref) {
  const JsonRef object = ref.as<JsonRef>();
  QuotaData data;
  // The list stands or falls as a whole: one limit the server wrote oddly hides every window rather than failing
  // the fetch, and the plan name still shows.
  try {
    if (auto limits = object.get("limits")) {
      for (const JsonRef& element : limits->elements()) data.limits.push_back(decodeLimit(element));
    }
  } catch (const DecodingError&) {
    data.limits.clear();
  }
  // "plan" names the plan only when "planName" is absent or null; a name of the wrong type under either key is a
  // malformed document.
  data.planName = object.optional<std::string>("planName");
  auto plan = object.optional<std::string>("plan");
  if (!data.planName) data.planName = std::move(plan);
  return data;
}

}  // namespace

QuotaResponse decodeQuotaResponse(std::string_view body) {
  const Json document = parseJson(body);
  const JsonRef root = JsonRef::root(document);
  QuotaResponse response;
  response.code = root.required<std::int64_t>("code");
  response.msg = root.required<std::string>("msg");
  if (auto data = root.get("data")) response.data = decodeData(*data);
  response.success = root.required<bool>("success");
  return response;
}

// ---- Classification ----

namespace {

// The share of the window's allowance used, when the allowance and at least one of the consumed or left figures
// are known.
std::optional<double> usedShareOfAllowance(const LimitRaw& raw) {
  if (!raw.usage || *raw.usage < 1) return std::nullopt;
  const std::int64_t total = *raw.usage;
  std::int64_t used = 0;
  if (raw.remaining) {
    // The difference overflows only when "remaining" is so far below zero that the true figure lies beyond 64
    // bits, far above the total; it is taken as the whole allowance, which the clamp below would make of it anyway.
    used = checkedSub(total, *raw.remaining).value_or(total);
    if (raw.currentValue) used = std::max(used, *raw.currentValue);
  } else if (raw.currentValue) {
    used = *raw.currentValue;
  } else {
    return std::nullopt;
  }
  used = std::clamp<std::int64_t>(used, 0, total);
  const double percent = static_cast<double>(used) / static_cast<double>(total) * 100.0;
  return std::clamp(percent, 0.0, 100.0);
}

std::string windowLabel(std::int64_t number, std::string_view unitName) {
  std::string label = std::to_string(number);
  label += ' ';
  label += unitName;
  if (number != 1) label += 's';
  label += " window";
  return label;
}

}  // namespace

std::optional<LimitEntry> classifyWindow(const LimitRaw& raw) {
  LimitEntry entry;
  if (raw.type == kTokensLimitType) {
    entry.type = LimitType::tokensLimit;
  } else if (raw.type == kTimeLimitType) {
    entry.type = LimitType::timeLimit;
  } else {
    return std::nullopt;
  }
  entry.unit = raw.unit;
  entry.number = raw.number;
  entry.percentage = static_cast<double>(raw.percentage);
  entry.usedPercent = usedShareOfAllowance(raw).value_or(entry.percentage);
  if (raw.nextResetTime) entry.nextResetTime = fromEpochMilliseconds(static_cast<double>(*raw.nextResetTime));

  if (raw.number >= 1) {
    std::optional<std::int64_t> minutes;
    std::string_view unitName;
    switch (raw.unit) {
      // clang-format off
      case kUnitMinute: minutes = raw.number; unitName = "minute"; break;
      case kUnitHour: minutes = checkedMul(raw.number, kMinutesPerHour); unitName = "hour"; break;
      case kUnitDay: minutes = checkedMul(raw.number, kMinutesPerDay); unitName = "day"; break;
      case kUnitWeek: minutes = checkedMul(raw.number, kMinutesPerWeek); unitName = "week"; break;
      // clang-format on
      default: break;
    }
    // A length whose minutes do not fit 64 bits is no window the server can mean: the entry is kept for its
    // figures but treated like one of an unknown unit (no length, no label).
    if (minutes) {
      entry.windowMinutes = minutes;
      entry.windowLabel = windowLabel(raw.number, unitName);
    }
  }
  return entry;
}

void sortTokenLimits(std::vector<LimitEntry>& entries) {
  std::stable_sort(entries.begin(), entries.end(), [](const LimitEntry& a, const LimitEntry& b) {
    if (!a.windowMinutes) return false;
    if (!b.windowMinutes) return true;
    return *a.windowMinutes < *b.windowMinutes;
  });
}

Snapshot readQuotaAnswer(std::string_view body) {
  if (body.empty()) throw ZaiError::invalidResponse();
  const QuotaResponse response = decodeQuotaResponse(body);
  if (!response.success || response.code != 200) throw ZaiError::httpError(response.code);
  if (!response.data) throw ZaiError::invalidResponse();

  std::vector<LimitEntry> tokenLimits;
  std::optional<LimitEntry> timeLimit;
  for (const LimitRaw& raw : response.data->limits) {
    auto entry = classifyWindow(raw);
    if (!entry) continue;
    if (entry->type == LimitType::tokensLimit) {
      tokenLimits.push_back(std::move(*entry));
    } else {
      timeLimit = std::move(entry);  // the last one listed wins
    }
  }
  sortTokenLimits(tokenLimits);

  Snapshot snapshot;
  if (!tokenLimits.empty()) {
    snapshot.shortestTokenLimit = tokenLimits.front();
    snapshot.longerTokenLimits.assign(tokenLimits.begin() + 1, tokenLimits.end());
  }
  snapshot.timeLimit = std::move(timeLimit);
  snapshot.planName = response.data->planName;
  return snapshot;
}

// ---- Mapping ----

ResetPeriod resetPeriodForWindow(const std::optional<LimitEntry>& entry) {
  if (!entry) return ResetPeriod::monthly;
  if (!entry->windowMinutes || *entry->windowMinutes < kMinutesPerHour) return ResetPeriod::window;
  if (*entry->windowMinutes < kMinutesPerDay) return ResetPeriod::daily;
  if (*entry->windowMinutes < kMinutesPerWeek) return ResetPeriod::weekly;
  return ResetPeriod::monthly;
}

UsageData makeUsageData(const Snapshot& snapshot, Timestamp now) {
  const std::optional<LimitEntry>& main =
      snapshot.shortestTokenLimit ? snapshot.shortestTokenLimit : snapshot.timeLimit;

  UsageData data = UsageData::blank(Provider::zai);
  if (main) {
    data.used = main->usedPercent;
    data.limit = 100;
    data.resetAt = main->nextResetTime;
  }
  data.costSemantic = CostSemantic::none;
  data.resetPeriod = resetPeriodForWindow(main);
  data.lastUpdated = now;

  std::vector<std::string> parts;
  if (snapshot.planName) parts.push_back(*snapshot.planName);
  if (snapshot.timeLimit) {
    parts.push_back(snapshot.timeLimit->windowLabel.value_or("Monthly") + ": " +
                    formatFixed(snapshot.timeLimit->usedPercent, 0) + "% used");
  }
  data.note = joinNotes(parts);

  for (const LimitEntry& entry : snapshot.longerTokenLimits) {
    UsageData window = UsageData::blank(Provider::zai);
    window.used = entry.usedPercent;
    window.limit = 100;
    window.costSemantic = CostSemantic::none;
    window.resetAt = entry.nextResetTime;
    window.resetPeriod = resetPeriodForWindow(entry);
    window.lastUpdated = now;
    window.note = entry.windowLabel;
    data.auxiliaryUsage.push_back(std::move(window));
  }
  return data;
}

}  // namespace dapplewick::zai

namespace dapplewick {

// ---- The service ----

UsageData ZaiService::fetchUsage(std::string_view credential, std::stop_token stop) {
  const std::string apiKey = requireCredential<ZaiError>(credential);

  // A key of the mainland-China platform is rejected by the international host; only that rejection sends the
  // request on, so an outage or a malformed answer is reported as it is.
  zai::Snapshot snapshot;
  try {
    snapshot = fetchQuota(context_.origins.get(zai::kInternationalOriginKey), apiKey, stop);
  } catch (const ZaiError& error) {
    if (error.code() != ZaiErrorCode::invalidCredentials) throw;
    snapshot = fetchQuota(context_.origins.get(zai::kChinaOriginKey), apiKey, stop);
  }
  return zai::makeUsageData(snapshot, context_.clock.now());
}

zai::Snapshot ZaiService::fetchQuota(std::string_view origin, std::string_view apiKey, std::stop_token stop) {
  const std::string body = okBody<ZaiError>(context_.transport, zai::quotaRequest(origin, apiKey), std::move(stop));
  return zai::readQuotaAnswer(body);
}

}  // namespace dapplewick
