#include "providers/mimo.hpp"

#include <algorithm>
#include <cstdint>
#include <map>
#include <vector>

#include "common/dates.hpp"
#include "common/json_read.hpp"
#include "common/numbers.hpp"
#include "common/task_group.hpp"
#include "common/text.hpp"
#include "providers/shared/cookie.hpp"
#include "providers/shared/user_agents.hpp"

namespace dapplewick::mimo {
namespace {

constexpr std::string_view kRefererFragment = "/#/console/balance";
// The console's own time-zone header; it is fixed, whatever the machine's zone.
constexpr std::string_view kTimeZoneHeader = "UTC+01:00";

constexpr std::string_view kServiceTokenCookie = "api-platform_serviceToken";
constexpr std::string_view kUserIdCookie = "userId";
constexpr std::string_view kOptionalCookies[] = {"api-platform_ph", "api-platform_slh"};

bool isKnownCookie(std::string_view name) {
  return name == kServiceTokenCookie || name == kUserIdCookie ||
         std::find(std::begin(kOptionalCookies), std::end(kOptionalCookies), name) != std::end(kOptionalCookies);
}

}  // namespace

// ---- Credential and requests ----

std::optional<std::string> normalizeCookie(std::string_view credential) {
  const std::string_view text = trimWhitespace(credential);
  if (text.empty()) return std::nullopt;

  // Sorted by name, as the console's own requests carry them.
  std::map<std::string, std::string, std::less<>> kept;
  for (const auto& [name, value] : cookiePairs(text)) {
    if (isKnownCookie(name) && !value.empty()) kept[std::string(name)] = std::string(value);
  }
  if (!kept.contains(kServiceTokenCookie) || !kept.contains(kUserIdCookie)) return std::string(text);

  std::string joined;
  for (const auto& [name, value] : kept) {
    if (!joined.empty()) joined += "; ";
    joined.append(name).append("=").append(value);
  }
  return joined;
}

HTTPRequest consoleRequest(std::string_view origin, std::string_view path, std::string_view cookie) {
  HTTPRequest request;
  request.url = std::string(origin) + std::string(path);
  request.headers.add("Accept", "application/json, text/plain, */*");
  request.headers.add("Cookie", std::string(cookie));
  request.headers.add("Accept-Language", "en-US,en;q=0.9");
  request.headers.add("x-timeZone", std::string(kTimeZoneHeader));
  request.headers.add("Origin", std::string(origin));
  request.headers.add("Referer", std::string(origin) + std::string(kRefererFragment));
  request.headers.add("User-Agent", std::string(kChrome143UserAgent));
  return request;
}

// ---- Response readers and mapping ----

namespace {

struct Balance {
  double amount = 0;
  std::string currency;
};

// 403 and 401 mean the same in the envelope as in the status.
void requireSuccessCode(std::int64_t code) {
  if (code == 403) throw MiMoError::invalidCredentials();
  if (code == 401) throw MiMoError::loginRequired();
  if (code != 0) throw MiMoError::parseFailed("code " + std::to_string(code));
}

Balance readBalance(std::string_view body) {
  const Json document = parseJson(body);
  const JsonRef root = JsonRef::root(document).as<JsonRef>();
  const auto code = root.required<std::int64_t>("code");
  (void)root.optional<std::string>("message");
  const auto data = root.optional<JsonRef>("data");
  std::optional<std::string> balanceText;
  std::string currency;
  if (data) {
    balanceText = data->required<std::string>("balance");
    currency = data->required<std::string>("currency");
  }
  requireSuccessCode(code);
  if (!data) throw MiMoError::parseFailed("Missing balance payload");
  // The strict grammar: a blank in front, "NaN", "inf" or hex is no balance.
  const auto amount = parseDecimal(*balanceText);
  if (!amount) throw MiMoError::parseFailed("Invalid balance value");
  return {*amount, std::string(trimWhitespace(currency))};
}

// The "data" of a plan envelope whose code is 0; nothing when it fails or carries no data.
std::optional<JsonRef> successfulPayload(const JsonRef& root) {
  const auto code = root.required<std::int64_t>("code");
  (void)root.optional<std::string>("message");
  auto data = root.optional<JsonRef>("data");
  if (code != 0) return std::nullopt;
  return data;
}

struct PlanDetail {
  std::optional<std::string> planCode;
  std::optional<Timestamp> periodEnd;
};

std::optional<PlanDetail> readPlanDetail(std::string_view body) {
  try {
    const Json document = parseJson(body);
    const auto data = successfulPayload(JsonRef::root(document).as<JsonRef>());
    if (!data) return std::nullopt;
    PlanDetail detail{data->optional<std::string>("planCode"), std::nullopt};
    if (const auto end = data->optional<std::string>("currentPeriodEnd")) {
      detail.periodEnd = parseUTCDateTimeWithSpace(*end);
    }
    (void)data->required<bool>("expired");
    return detail;
  } catch (const DecodingError&) {
    return std::nullopt;
  }
}

// The used share of the month's plan, from the first item alone, when that item has an allowance.
std::optional<double> readPlanUsage(std::string_view body) {
  try {
    const Json document = parseJson(body);
    const auto data = successfulPayload(JsonRef::root(document).as<JsonRef>());
    if (!data) return std::nullopt;
    const auto monthUsage = data->optional<JsonRef>("monthUsage");
    if (!monthUsage) return std::nullopt;
    (void)monthUsage->required<double>("percent");
    struct Item {
      std::int64_t limit;
      double percent;
    };
    std::vector<Item> items;
    for (const JsonRef& element : monthUsage->at("items").elements()) {
      const JsonRef item = element.as<JsonRef>();
      (void)item.required<std::string>("name");
      (void)item.required<std::int64_t>("used");
      items.push_back({item.required<std::int64_t>("limit"), item.required<double>("percent")});
    }
    if (items.empty() || items.front().limit <= 0) return std::nullopt;
    // The item's percent is a fraction.
    return std::clamp(items.front().percent * 100, 0.0, 100.0);
  } catch (const DecodingError&) {
    return std::nullopt;
  }
}

}  // namespace

std::string formatBalance(std::string_view currency, double balance) {
  // Balances come through the strict grammar, so they are finite and always format.
  return formatDecimal(balance, 4, false).value_or(formatFixed(balance, 4)) + " " + std::string(currency);
}

UsageData buildUsage(std::string_view balanceBody, const std::optional<std::string>& detailBody,
                     const std::optional<std::string>& usageBody, Timestamp now) {
  const Balance balance = readBalance(balanceBody);
  const std::optional<PlanDetail> detail = detailBody ? readPlanDetail(*detailBody) : std::nullopt;
  const std::optional<double> planUsed = usageBody ? readPlanUsage(*usageBody) : std::nullopt;

  UsageData data = UsageData::blank(Provider::mimo);
  data.costSemantic = CostSemantic::balance;
  data.resetAt = detail ? detail->periodEnd : std::nullopt;
  data.resetPeriod = ResetPeriod::monthly;
  data.lastUpdated = now;
  const std::string balanceNote = "Balance: " + formatBalance(balance.currency, balance.amount);
  if (planUsed) {
    data.used = *planUsed;
    data.limit = 100;
    data.note = detail && detail->planCode
                    ? "Plan: " + capitalizeWords(*detail->planCode) + std::string(kNoteSeparator) + balanceNote
                    : balanceNote;
  } else {
    // Without a plan figure the plan's name is left out of the note.
    data.used = balance.amount;
    data.note = balanceNote;
  }
  return data;
}

}  // namespace dapplewick::mimo

namespace dapplewick {

// ---- Service ----

UsageData MiMoService::fetchUsage(std::string_view credential, std::stop_token stop) {
  const std::optional<std::string> cookie = mimo::normalizeCookie(credential);
  if (!cookie || cookie->empty()) throw MiMoError::invalidCredentials();

  TaskGroup group(stop);
  const auto read = [this, &cookie](std::string_view path) {
    return [this, &cookie, path](std::stop_token token) { return fetchData(path, *cookie, std::move(token)); };
  };
  auto balanceTask = group.spawn(read(mimo::kBalancePath));
  auto detailTask = group.spawn(read(mimo::kPlanDetailPath));
  auto usageTask = group.spawn(read(mimo::kPlanUsagePath));
  // A balance failure stops and joins the plan reads before it is thrown.
  const std::string balanceBody = balanceTask.await();
  // The plan reads only add to the record; any failure of theirs just leaves their part out.
  const std::optional<std::string> detailBody = detailTask.awaitOptional();
  const std::optional<std::string> usageBody = usageTask.awaitOptional();
  return mimo::buildUsage(balanceBody, detailBody, usageBody, context_.clock.now());
}

std::string MiMoService::fetchData(std::string_view path, const std::string& cookie, std::stop_token stop) const {
  const HTTPResponse response = context_.transport.data(
      mimo::consoleRequest(context_.origins.get(mimo::kOriginKey), path, cookie), std::move(stop));
  // The console tells a missing login (401) from an expired session (403).
  if (!response.isHTTP) throw MiMoError::invalidResponse();
  if (response.status == 403) throw MiMoError::invalidCredentials();
  if (response.status == 401) throw MiMoError::loginRequired();
  if (response.status != 200) throw MiMoError::httpError(response.status);
  return response.body;
}

// ---- Errors ----

MiMoError MiMoError::parseFailed(const std::string& message) {
  return MiMoError(MiMoErrorCode::parseFailed, "Failed to parse Xiaomi MiMo response: ", message);
}

MiMoError MiMoError::loginRequired() { return MiMoError(MiMoErrorCode::loginRequired, "Xiaomi MiMo login required"); }

}  // namespace dapplewick
