#include "providers/minimax.hpp"

#include <algorithm>
#include <cmath>
#include <vector>

#include "common/dates.hpp"
#include "common/json_lenient.hpp"
#include "common/json_read.hpp"
#include "common/numbers.hpp"
#include "common/text.hpp"
#include "common/url.hpp"
#include "providers/shared/response.hpp"
#include "providers/shared/user_agents.hpp"

namespace dapplewick::minimax {
namespace {

constexpr std::string_view kPageAccept = "text/html,application/xhtml+xml,application/xml;q=0.9,*/*;q=0.8";

// Epoch numbers above these are milliseconds, or seconds; anything lower is no date.
constexpr double kEpochMillisecondsAbove = 1e12;
constexpr double kEpochSecondsAbove = 1e9;
// Remaining times above this are milliseconds.
constexpr std::int64_t kRemainsMillisecondsAbove = 1'000'000;

void addBrowserOrigin(HTTPRequest& request, std::string_view platformOrigin) {
  request.headers.add("Origin", std::string(platformOrigin));
  request.headers.add("Referer", std::string(platformOrigin) + std::string(kCodingPlanPagePath));
}

}  // namespace

// ---- Requests ----

HTTPRequest remainsRequest(std::string_view apiOrigin, std::string_view apiKey) {
  HTTPRequest request;
  request.url = std::string(apiOrigin) + std::string(kRemainsPath);
  request.headers.add("Authorization", "Bearer " + std::string(apiKey));
  request.headers.add("Accept", "application/json");
  request.headers.add("Content-Type", "application/json");
  request.headers.add("User-Agent", std::string(kBrowserUserAgent));
  return request;
}

HTTPRequest pageRequest(std::string_view platformOrigin, std::string_view cookie) {
  HTTPRequest request;
  request.url = withQuery(std::string(platformOrigin) + std::string(kCodingPlanPagePath), {{"cycle_type", "3"}});
  request.headers.add("Cookie", std::string(cookie));
  request.headers.add("Accept", std::string(kPageAccept));
  request.headers.add("User-Agent", std::string(kChrome143UserAgent));
  request.headers.add("Accept-Language", "en-US,en;q=0.9");
  addBrowserOrigin(request, platformOrigin);
  return request;
}

HTTPRequest webRemainsRequest(std::string_view platformOrigin, std::string_view cookie) {
  HTTPRequest request;
  request.url = std::string(platformOrigin) + std::string(kRemainsPath);
  request.headers.add("Cookie", std::string(cookie));
  request.headers.add("Accept", "application/json, text/plain, */*");
  request.headers.add("x-requested-with", "XMLHttpRequest");
  request.headers.add("User-Agent", std::string(kChrome143UserAgent));
  addBrowserOrigin(request, platformOrigin);
  return request;
}

// ---- Readers ----

namespace {

UsageData window(double used, std::optional<Timestamp> resetAt, ResetPeriod period, Timestamp now) {
  UsageData data = UsageData::blank(Provider::minimax);
  data.used = used;
  data.limit = 100;
  data.costSemantic = CostSemantic::none;
  data.resetAt = resetAt;
  data.resetPeriod = period;
  data.lastUpdated = now;
  return data;
}

// The used share of an allowance from what is left of it; nothing without an allowance or a remaining count.
std::optional<double> usedShare(std::optional<std::int64_t> total, std::optional<std::int64_t> remaining) {
  if (!total || *total < 1 || !remaining) return std::nullopt;
  // The difference overflows only when the remaining count lies so far below zero that the whole allowance is
  // used many times over.
  const std::int64_t used = std::max<std::int64_t>(checkedSub(*total, *remaining).value_or(*total), 0);
  return std::clamp(static_cast<double>(used) / static_cast<double>(*total) * 100, 0.0, 100.0);
}

bool isListOfObjects(const Json* value) {
  return value != nullptr && value->is_array() &&
         std::all_of(value->begin(), value->end(), [](const Json& element) { return element.is_object(); });
}

}  // namespace

std::optional<UsageData> usageFromServices(std::string_view body, Timestamp now) {
  struct Item {
    std::optional<std::int64_t> usage;
    std::optional<std::int64_t> limit;
    std::optional<double> percent;
  };
  std::vector<Item> items;
  try {
    const Json document = parseJson(body);
    const JsonRef data = JsonRef::root(document).as<JsonRef>().required<JsonRef>("data");
    for (const JsonRef& element : data.at("services").elements()) {
      const JsonRef item = element.as<JsonRef>();
      (void)item.optional<std::string>("service_type");
      items.push_back({item.optional<std::int64_t>("usage"), item.optional<std::int64_t>("limit"),
                       item.optional<double>("percent")});
    }
  } catch (const DecodingError&) {
    return std::nullopt;
  }
  for (const Item& item : items) {
    if (!item.limit || *item.limit <= 0) continue;
    // A percent is already on the 0–100 scale.
    const double used = item.percent
                            ? *item.percent
                            : static_cast<double>(item.usage.value_or(0)) / static_cast<double>(*item.limit) * 100;
    return window(std::clamp(used, 0.0, 100.0), std::nullopt, ResetPeriod::window, now);
  }
  return std::nullopt;
}

const Json* modelRemains(const Json& object) {
  if (const Json* list = member(&object, "model_remains"); isListOfObjects(list)) return list;
  if (const Json* list = member(asObject(member(&object, "data")), "model_remains"); isListOfObjects(list)) {
    return list;
  }
  return nullptr;
}

std::optional<std::int64_t> intValue(const Json* value) {
  if (value == nullptr) return std::nullopt;
  if (value->is_string()) {
    const std::string_view text = trimSpacesAndTabs(value->get_ref<const std::string&>());
    if (text.empty()) return std::nullopt;
    return parseInteger(text);
  }
  if (value->is_number_float()) {
    const double truncated = std::trunc(value->get<double>());
    // Outside 64 bits a number is no count at all, rather than a wrapped one.
    if (!(truncated >= -9223372036854775808.0 && truncated < 9223372036854775808.0)) return std::nullopt;
    return static_cast<std::int64_t>(truncated);
  }
  return integerValue(value);
}

std::optional<Timestamp> epochDate(const Json* value) {
  const auto n = intValue(value);
  if (!n) return std::nullopt;
  return fromEpochAuto(static_cast<double>(*n), kEpochMillisecondsAbove, kEpochSecondsAbove);
}

std::optional<Timestamp> resetDate(std::optional<Timestamp> end, std::optional<std::int64_t> remains, Timestamp now) {
  if (end && *end > now) return end;
  if (!remains || *remains < 1) return std::nullopt;
  const std::int64_t milliseconds = *remains > kRemainsMillisecondsAbove ? *remains : *remains * 1000;
  const auto at = checkedAdd(now.time_since_epoch().count(), milliseconds);
  // Beyond the year 9999 there is no reset to show.
  if (!at) return std::nullopt;
  return fromEpochMilliseconds(static_cast<double>(*at));
}

UsageData parseRemains(std::string_view body, Timestamp now) {
  if (auto services = usageFromServices(body, now)) return std::move(*services);
  const auto document = parseJsonOrNothing(body);
  if (!document || !document->is_object()) throw MiniMaxError::parseFailed("Invalid JSON");
  const Json* list = modelRemains(*document);
  if (list == nullptr || list->empty()) throw MiniMaxError::parseFailed("No model_remains in response");

  const Json& entry = list->front();
  const auto figure = [&entry](std::string_view key) { return intValue(member(&entry, key)); };
  const auto reset = [&](std::string_view endKey, std::string_view remainsKey) {
    return resetDate(epochDate(member(&entry, endKey)), figure(remainsKey), now);
  };
  UsageData data =
      window(usedShare(figure("current_interval_total_count"), figure("current_interval_usage_count")).value_or(0),
             reset("end_time", "remains_time"), ResetPeriod::window, now);
  if (const auto weekly = usedShare(figure("current_weekly_total_count"), figure("current_weekly_usage_count"))) {
    data.auxiliaryUsage.push_back(
        window(*weekly, reset("weekly_end_time", "weekly_remains_time"), ResetPeriod::weekly, now));
  }
  return data;
}

}  // namespace dapplewick::minimax

namespace dapplewick {

// ---- Service ----

UsageData MiniMaxService::fetchUsageWithAPIKey(std::string_view apiKey, std::stop_token stop) {
  // A key of the mainland-China platform is rejected by the international host; only that rejection sends the
  // request on, so an outage or a malformed answer is reported as it is.
  HTTPResponse response;
  try {
    response = send(minimax::remainsRequest(context_.origins.get(minimax::kInternationalOriginKey), apiKey), stop);
  } catch (const MiniMaxError& error) {
    if (error.code() != MiniMaxErrorCode::invalidCredentials) throw;
    response = send(minimax::remainsRequest(context_.origins.get(minimax::kChinaOriginKey), apiKey), stop);
  }
  return minimax::parseRemains(response.body, context_.clock.now());
}

UsageData MiniMaxService::fetchUsageWithCookie(std::string_view cookie, std::stop_token stop) {
  const std::string origin = context_.origins.get(minimax::kPlatformOriginKey);
  const HTTPResponse page = send(minimax::pageRequest(origin, cookie), stop);
  // A page answered as JSON is the remains payload itself; an HTML page is dropped unread (nothing is taken from
  // it) and the web application's remains request follows.
  if (toLowerASCII(page.headers.get("Content-Type").value_or("")).find("application/json") != std::string::npos) {
    return minimax::parseRemains(page.body, context_.clock.now());
  }
  const HTTPResponse remains = send(minimax::webRemainsRequest(origin, cookie), std::move(stop));
  return minimax::parseRemains(remains.body, context_.clock.now());
}

HTTPResponse MiniMaxService::send(const HTTPRequest& request, std::stop_token stop) const {
  HTTPResponse response = context_.transport.data(request, std::move(stop));
  requireOK<MiniMaxError>(response);
  return response;
}

// ---- Errors ----

MiniMaxError MiniMaxError::parseFailed(const std::string& message) {
  return MiniMaxError(MiniMaxErrorCode::parseFailed, "Failed to parse MiniMax response: ", message);
}

}  // namespace dapplewick
