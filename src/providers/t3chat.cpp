#include "providers/t3chat.hpp"

#include <algorithm>

#include "common/dates.hpp"
#include "common/json_lenient.hpp"
#include "common/numbers.hpp"
#include "common/text.hpp"
#include "common/url.hpp"
#include "providers/shared/credential.hpp"
#include "providers/shared/response.hpp"
#include "providers/shared/user_agents.hpp"

namespace dapplewick::t3chat {
namespace {

constexpr std::string_view kRefererPath = "/settings/customization";
// Epoch figures above this are milliseconds, others seconds.
constexpr double kMillisecondsAbove = 10'000'000'000.0;

std::optional<Timestamp> epochDate(std::optional<double> value) {
  if (!value || *value <= 0) return std::nullopt;
  return fromEpochAuto(*value, kMillisecondsAbove);
}

// A JSON number, or a text that reads whole as a decimal number (no blanks around it).
std::optional<double> numberOrExactNumericText(const Json* value) {
  return numberOrNumericText(value, NumberTextTrim::none);
}

std::optional<double> firstNumber(const Json& object, std::string_view key, std::string_view fallbackKey) {
  if (auto value = numberOrExactNumericText(member(&object, key))) return value;
  return numberOrExactNumericText(member(&object, fallbackKey));
}

double clampPercent(double value) { return std::clamp(value, 0.0, 100.0); }

}  // namespace

// ---- Requests ----

HTTPRequest customerDataRequest(std::string_view origin, std::string_view cookieHeader) {
  HTTPRequest request;
  request.url = withQuery(std::string(origin) + std::string(kCustomerDataPath),
                          {{"batch", "1"}, {"input", std::string(kBatchInput)}});
  request.headers = {{"Accept", "*/*"},
                     {"trpc-accept", "application/jsonl"},
                     {"x-trpc-source", "web-client"},
                     {"x-trpc-batch", "true"},
                     {"Accept-Language", "en-US,en;q=0.9"},
                     {"User-Agent", std::string(kChrome143UserAgent)},
                     {"Referer", std::string(origin) + std::string(kRefererPath)},
                     {"Sec-Fetch-Site", "same-origin"},
                     {"Origin", std::string(origin)},
                     {"Cookie", std::string(cookieHeader)}};
  return request;
}

// ---- Readers ----

// Recursion is bounded: every value searched comes from parseJsonOrNothing, which refuses documents nested deeper
// than kMaxJsonDepth.
const Json* findCustomerData(const Json& value) {
  if (value.is_object()) {
    if (value.contains("usageFourHourPercentage") || value.contains("usageMonthPercentage") ||
        (value.contains("subscription") && value.contains("usageBand"))) {
      return &value;
    }
  }
  if (value.is_object() || value.is_array()) {
    for (const Json& child : value) {
      if (const Json* found = findCustomerData(child)) return found;
    }
  }
  return nullptr;
}

UsageData readUsage(std::string_view body, Timestamp now) {
  if (!isValidUTF8(body)) throw T3ChatError::invalidResponse();
  for (const std::string_view line : splitLines(body)) {
    const auto document = parseJsonOrNothing(line);
    if (!document || !(document->is_object() || document->is_array())) continue;
    if (const Json* customerData = findCustomerData(*document)) return makeUsageData(*customerData, now);
  }
  throw T3ChatError::invalidResponse();
}

// ---- Mapping ----

UsageData makeUsageData(const Json& customerData, Timestamp now) {
  const auto fourHour = numberOrExactNumericText(member(&customerData, "usageFourHourPercentage"));
  const auto month = firstNumber(customerData, "usageMonthPercentage", "usagePeriodPercentage");

  UsageData data = UsageData::blank(Provider::t3Chat);
  data.used = fourHour ? clampPercent(*fourHour) : clampPercent(month.value_or(0));
  data.limit = 100;
  // The window's reset even when the main figure is the month's; the month's own end goes with "Overage" only.
  data.resetAt = epochDate(firstNumber(customerData, "usageFourHourNextResetAt", "usageWindowNextResetAt"));
  data.resetPeriod = fourHour ? ResetPeriod::window : ResetPeriod::monthly;
  data.lastUpdated = now;
  if (const auto band = lenientText(member(&customerData, "usageBand"))) {
    data.note = "Usage band: " + *band;
  } else if (const auto tier = lenientText(member(&customerData, "subTier"))) {
    data.note = "Plan: " + *tier;
  }
  if (fourHour && month) {
    UsageData overage = UsageData::blank(Provider::t3Chat);
    overage.used = clampPercent(*month);
    overage.limit = 100;
    overage.resetAt =
        epochDate(numberOrExactNumericText(member(member(&customerData, "subscription"), "currentPeriodEnd")));
    overage.resetPeriod = ResetPeriod::monthly;
    overage.lastUpdated = now;
    overage.note = "Overage";
    data.auxiliaryUsage.push_back(std::move(overage));
  }
  return data;
}

}  // namespace dapplewick::t3chat

namespace dapplewick {

// ---- The service ----

UsageData T3ChatService::fetchUsage(std::string_view credential, std::stop_token stop) {
  const std::string cookieHeader = requireCredential<T3ChatError>(credential);
  const auto request = t3chat::customerDataRequest(context_.origins.get(t3chat::kOriginKey), cookieHeader);
  const std::string body = okBody<T3ChatError>(context_.transport, request, std::move(stop));
  return t3chat::readUsage(body, context_.clock.now());
}

}  // namespace dapplewick
