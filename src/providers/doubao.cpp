#include "providers/doubao.hpp"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <set>
#include <utility>

#include <re2/re2.h>

#include "common/dates.hpp"
#include "common/excerpt.hpp"
#include "common/json_lenient.hpp"
#include "common/json_read.hpp"
#include "common/numbers.hpp"
#include "common/patterns.hpp"
#include "common/text.hpp"
#include "common/url.hpp"
#include "model/credential_kind.hpp"
#include "providers/shared/secrets.hpp"
#include "providers/shared/user_agents.hpp"

namespace dapplewick {
namespace doubao {
namespace {

// ---- Constants ----

constexpr std::string_view kAPIVersion = "2024-01-01";
constexpr std::chrono::milliseconds kPlanTimeout{15'000};
constexpr std::string_view kMainNote = "Doubao Coding/Agent Plan quota via Volcengine AK/SK.";
constexpr std::string_view kEmptyNote =
    "Doubao AK/SK credentials are valid but no active Coding/Agent Plan quota was found.";
constexpr std::string_view kStatusOnlyNote =
    "Doubao API key is active (status only). Provide AK/SK credentials for real Coding/Agent Plan usage.";
constexpr std::string_view kRateNoteStart = "Doubao request rate limit (diagnostic, not Coding/Agent Plan quota): ";
constexpr std::string_view kRateNoteEnd = " requests in this window.";

const std::set<std::string, std::less<>> kFiveHourLevels = {"session", "5-hour", "five_hour", "5h"};
const std::set<std::string, std::less<>> kWeeklyLevels = {"weekly", "week"};
const std::set<std::string, std::less<>> kMonthlyLevels = {"monthly", "month"};

double clampPercent(double percent) { return std::clamp(percent, 0.0, 100.0); }

std::optional<Timestamp> positiveEpochSeconds(std::optional<double> seconds) {
  return seconds && *seconds > 0 ? fromEpochSeconds(*seconds) : std::nullopt;
}

}  // namespace

// ---- Credentials ----

std::optional<VolcengineCredentials> parseCredential(std::string_view text) {
  const auto pieces = splitKeepingEmpty(trimWhitespace(text), ":");
  if (pieces.size() != 2 && pieces.size() != 3) return std::nullopt;
  VolcengineCredentials credentials{std::string(trimSpacesAndTabs(pieces[0])),
                                    std::string(trimSpacesAndTabs(pieces[1])), ""};
  if (credentials.accessKeyId.empty() || credentials.secretAccessKey.empty()) return std::nullopt;
  if (pieces.size() == 3) credentials.region = trimSpacesAndTabs(pieces[2]);
  if (credentials.region.empty()) credentials.region = kDefaultRegion;
  return credentials;
}

std::vector<std::string> secrets(std::string_view credential, const Environment& environment) {
  if (auto pair = parseCredential(stripKindPrefix(credential))) {
    return {std::move(pair->accessKeyId), std::move(pair->secretAccessKey)};
  }
  return storedKeySecrets(credential, environment);
}

// ---- Requests ----

HTTPRequest planRequest(std::string_view origin, std::string_view action, const VolcengineCredentials& credentials,
                        Timestamp now) {
  HTTPRequest request;
  request.method = "POST";
  request.url =
      withQuery(std::string(origin) + "/", {{"Action", std::string(action)}, {"Version", std::string(kAPIVersion)}});
  request.headers.add("Accept", "application/json");
  request.body = "";
  request.timeout = kPlanTimeout;
  signVolcengineRequest(request, credentials, now);
  return request;
}

HTTPRequest probeRequest(std::string_view origin, const Probe& probe) {
  Json message = Json::object();
  message["role"] = "user";
  message["content"] = "hi";
  Json body = Json::object();
  body["model"] = probe.model;
  body["max_tokens"] = 1;
  body["messages"] = Json::array({message});

  HTTPRequest request;
  request.method = "POST";
  request.url = std::string(origin) + std::string(kProbePath);
  request.headers.add("Content-Type", "application/json");
  request.headers.add("Accept", "application/json");
  request.headers.add("Authorization", "Bearer " + std::string(probe.apiKey));
  request.headers.add("User-Agent", std::string(kBrowserUserAgent));
  request.body = body.dump();
  return request;
}

// ---- Response readers ----

std::vector<Quota> readCodingPlanQuotas(std::string_view body) {
  const Json document = parseJson(body);
  const JsonRef result = JsonRef::root(document).as<JsonRef>().at("Result").as<JsonRef>();
  (void)result.optional<std::string>("Status");
  (void)result.optional<double>("UpdateTimestamp");
  std::vector<Quota> rows;
  if (const auto usage = result.get("QuotaUsage")) {
    for (const JsonRef& element : usage->elements()) {
      const JsonRef row = element.as<JsonRef>();
      rows.push_back({row.required<std::string>("Level"), clampPercent(row.required<double>("Percent")),
                      positiveEpochSeconds(row.optional<double>("ResetTimestamp"))});
    }
  }
  return rows;
}

std::vector<Quota> readAgentPlanQuotas(std::string_view body) {
  const Json document = parseJson(body);
  const JsonRef result = JsonRef::root(document).as<JsonRef>().at("Result").as<JsonRef>();
  std::vector<Quota> rows;
  const std::pair<std::string_view, std::string_view> windows[] = {
      {"AFPFiveHour", "agent_5h"}, {"AFPWeekly", "agent_weekly"}, {"AFPMonthly", "agent_monthly"}};
  for (const auto& [key, level] : windows) {
    const auto window = result.optional<JsonRef>(key);
    if (!window) continue;
    const double quota = window->required<double>("Quota");
    const double used = window->required<double>("Used");
    const auto resetTime = window->optional<double>("ResetTime");
    if (quota <= 0) continue;
    rows.push_back({std::string(level), clampPercent(used / quota * 100),
                    positiveEpochSeconds(resetTime ? std::optional(*resetTime / 1000) : std::nullopt)});
  }
  return rows;
}

std::string apiErrorMessage(int status, std::string_view body) {
  const auto document = parseJsonOrNothing(body);
  const auto text = [](const Json* value) {
    return value != nullptr && value->is_string() ? value->get<std::string>() : std::string();
  };
  std::string message;
  if (document && document->is_object()) {
    const Json* error = asObject(member(asObject(member(&*document, "ResponseMetadata")), "Error"));
    const std::string code = text(member(error, "Code"));
    const std::string detail = text(member(error, "Message"));
    if (!code.empty() || !detail.empty()) {
      message = code + ": " + detail;
    } else if (const auto nested = text(member(asObject(member(&*document, "error")), "message")); !nested.empty()) {
      message = nested;
    } else {
      message = text(member(&*document, "message"));
    }
  }
  if (!message.empty()) return errorExcerpt(message);
  return "HTTP " + std::to_string(status);
}

std::optional<Timestamp> parseResetText(std::string_view raw, Timestamp now) {
  const std::string_view text = trimWhitespace(raw);
  if (text.empty()) return std::nullopt;
  if (const auto date = parseInternetDate(text)) return date;

  // Durations as rate-limit headers write them: "1m30s", "6m0.5s", "20ms".
  static const RE2 duration(
      joinPattern({"(", unicode_class::kDigit, R"(*\.?)", unicode_class::kDigit, "+)(ms|[dhms])"}));
  re2::StringPiece input(text.data(), text.size());
  std::string figure;
  std::string unit;
  double millis = 0;
  while (RE2::FindAndConsume(&input, duration, &figure, &unit)) {
    const double scale = unit == "ms"  ? 1
                         : unit == "s" ? 1000
                         : unit == "m" ? 60'000
                         : unit == "h" ? 3'600'000
                                       : 86'400'000;
    const auto count = parseDecimal(figure);
    // Digits of another script are no duration; a sum too far ahead for a date is none either (below).
    if (!count) return std::nullopt;
    millis += *count * scale;
  }
  const auto nowMillis = static_cast<double>(now.time_since_epoch().count());
  // Whole milliseconds, as the clock counts: 1.001 s is 1001 ms, not the 1000.999... that doubles make of it.
  if (millis > 0) return fromEpochMilliseconds(nowMillis + std::round(millis));
  if (const auto number = parseDecimal(text)) return fromEpochMilliseconds(nowMillis + *number * 1000);
  return std::nullopt;
}

// ---- Mapping ----

namespace {

const Quota* firstQuota(const std::vector<Quota>& rows, const std::set<std::string, std::less<>>& levels) {
  const auto it = std::find_if(rows.begin(), rows.end(),
                               [&levels](const Quota& row) { return levels.contains(toLowerASCII(row.level)); });
  return it == rows.end() ? nullptr : &*it;
}

UsageData percentRecord(const Quota& row, ResetPeriod period, std::optional<std::string> note, Timestamp now) {
  UsageData record = UsageData::blank(Provider::doubao);
  record.used = row.percent;
  record.limit = 100;
  record.resetAt = row.resetAt;
  record.resetPeriod = period;
  record.lastUpdated = now;
  record.note = std::move(note);
  return record;
}

}  // namespace

UsageData makeUsageData(const std::vector<Quota>& rows, Timestamp now) {
  const Quota* fiveHour = firstQuota(rows, kFiveHourLevels);
  const Quota* weekly = firstQuota(rows, kWeeklyLevels);
  const Quota* monthly = firstQuota(rows, kMonthlyLevels);
  std::set<std::string, std::less<>> taken;
  for (const Quota* row : {fiveHour, weekly, monthly}) {
    if (row != nullptr) taken.insert(row->level);
  }

  std::vector<UsageData> auxiliary;
  if (weekly != nullptr) auxiliary.push_back(percentRecord(*weekly, ResetPeriod::weekly, std::nullopt, now));
  if (monthly != nullptr) auxiliary.push_back(percentRecord(*monthly, ResetPeriod::monthly, std::nullopt, now));
  for (const Quota& row : rows) {
    if (taken.contains(row.level)) continue;
    const ResetPeriod period = row.level.find("weekly") != std::string::npos    ? ResetPeriod::weekly
                               : row.level.find("monthly") != std::string::npos ? ResetPeriod::monthly
                                                                                : ResetPeriod::window;
    auxiliary.push_back(percentRecord(row, period, row.level, now));
  }

  const Quota* main = fiveHour ? fiveHour : weekly ? weekly : monthly ? monthly : &rows.front();
  // With no named window at all the record still says monthly, as the provider's plans are billed.
  const ResetPeriod period = fiveHour ? ResetPeriod::window : weekly ? ResetPeriod::weekly : ResetPeriod::monthly;
  UsageData record = percentRecord(*main, period, std::string(kMainNote), now);
  record.auxiliaryUsage = std::move(auxiliary);
  return record;
}

UsageData makeEmptyPlanUsageData(Timestamp now) {
  UsageData record = UsageData::blank(Provider::doubao);
  record.resetPeriod = ResetPeriod::window;
  record.lastUpdated = now;
  record.note = std::string(kEmptyNote);
  return record;
}

UsageData makeProbeUsageData(const HTTPHeaders& headers, Timestamp now) {
  const auto number = [&headers](std::string_view name) {
    const auto value = headers.get(name);
    return value ? parseInteger(*value) : std::nullopt;
  };
  const auto remaining = number("x-ratelimit-remaining-requests");
  const auto limit = number("x-ratelimit-limit-requests");
  const auto resetText = headers.get("x-ratelimit-reset-requests");

  UsageData record = UsageData::blank(Provider::doubao);
  record.resetAt = resetText ? parseResetText(*resetText, now) : std::nullopt;
  record.resetPeriod = ResetPeriod::window;
  record.lastUpdated = now;
  // A difference that does not fit 64 bits says nothing; the key still works.
  const auto usedRequests = remaining && limit && *limit >= 1 ? checkedSub(*limit, *remaining) : std::nullopt;
  if (!usedRequests) {
    record.note = std::string(kStatusOnlyNote);
    return record;
  }
  const double fraction = static_cast<double>(std::max(*usedRequests, 0LL)) / static_cast<double>(*limit);
  record.used = clampPercent(fraction * 100);
  record.limit = 100;
  record.note = std::string(kRateNoteStart) + std::to_string(*usedRequests) + "/" + std::to_string(*limit) +
                std::string(kRateNoteEnd);
  return record;
}

}  // namespace doubao

// ---- Service ----

namespace {

template <class Reader>
std::vector<doubao::Quota> decodeQuotas(Reader read, const std::string& body) {
  try {
    return read(body);
  } catch (const DecodingError& error) {
    throw DoubaoError::parseFailed(error.what());
  }
}

bool isAPIErrorWithStatus(const DoubaoError& error, std::initializer_list<long long> statuses) {
  return error.code() == DoubaoErrorCode::apiError && error.value() &&
         std::find(statuses.begin(), statuses.end(), *error.value()) != statuses.end();
}

}  // namespace

UsageData DoubaoService::fetchUsage(std::string_view credential, std::stop_token stop) {
  const std::string_view text = stripKindPrefix(credential);
  if (const auto credentials = doubao::parseCredential(text)) return fetchWithAccessKeys(*credentials, stop);
  return fetchWithAPIKey(text, std::move(stop));
}

UsageData DoubaoService::fetchWithAccessKeys(const VolcengineCredentials& credentials, std::stop_token stop) const {
  std::vector<doubao::Quota> rows =
      decodeQuotas(doubao::readCodingPlanQuotas, sendSignedRequest(doubao::kCodingPlanAction, credentials, stop));
  try {
    throwIfCancelled(stop);
    const auto agentRows =
        decodeQuotas(doubao::readAgentPlanQuotas, sendSignedRequest(doubao::kAgentPlanAction, credentials, stop));
    rows.insert(rows.end(), agentRows.begin(), agentRows.end());
  } catch (const DoubaoError& error) {
    // Accounts without an Agent Plan are refused with 403 or 404; any other failure of this second call only
    // costs its rows, unless there is nothing else to show.
    if (!isAPIErrorWithStatus(error, {403, 404}) && rows.empty()) throw;
  }
  const Timestamp now = context_.clock.now();
  return rows.empty() ? doubao::makeEmptyPlanUsageData(now) : doubao::makeUsageData(rows, now);
}

std::string DoubaoService::sendSignedRequest(std::string_view action, const VolcengineCredentials& credentials,
                                             std::stop_token stop) const {
  const auto request =
      doubao::planRequest(context_.origins.get(doubao::kOpenAPIOriginKey), action, credentials, context_.clock.now());
  const HTTPResponse response = context_.transport.data(request, std::move(stop));
  if (!response.isHTTP) throw DoubaoError::invalidResponse();
  // Every other status, 401 and 403 included, is reported with the gateway's own message.
  if (response.status != 200) {
    throw DoubaoError::apiError(response.status, doubao::apiErrorMessage(response.status, response.body));
  }
  return response.body;
}

UsageData DoubaoService::fetchWithAPIKey(std::string_view text, std::stop_token stop) const {
  const std::string key(trimWhitespace(text));
  if (key.empty()) throw DoubaoError::invalidCredentials();
  std::optional<DoubaoError> refused;
  for (const std::string_view model : doubao::kProbeModels) {
    throwIfCancelled(stop);
    const HTTPResponse response =
        context_.transport.data(doubao::probeRequest(context_.origins.get(doubao::kArkOriginKey), {key, model}), stop);
    if (!response.isHTTP) throw DoubaoError::invalidResponse();
    // Rate-limited is still a working key.
    if (response.status == 200 || response.status == 429) {
      return doubao::makeProbeUsageData(response.headers, context_.clock.now());
    }
    auto error = DoubaoError::apiError(response.status, doubao::apiErrorMessage(response.status, response.body));
    // A model the key may not use (403) or that does not exist (404) leaves the next one to try.
    if (!isAPIErrorWithStatus(error, {403, 404})) throw error;
    refused = std::move(error);
  }
  throw refused.value_or(DoubaoError::apiError(0, "All probe models failed"));
}

// ---- Errors ----

DoubaoError DoubaoError::apiError(long long code, const std::string& message) {
  return {DoubaoErrorCode::apiError, "Doubao API error (" + std::to_string(code) + "): ", message, {}, code};
}

DoubaoError DoubaoError::parseFailed(const std::string& message) {
  return {DoubaoErrorCode::parseFailed, "Failed to parse Doubao response: ", message};
}

}  // namespace dapplewick
