#include "providers/manus.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <utility>

#include "common/dates.hpp"
#include "common/json_lenient.hpp"
#include "common/json_read.hpp"
#include "common/numbers.hpp"
#include "common/text.hpp"
#include "providers/shared/cookie.hpp"
#include "providers/shared/response.hpp"

namespace dapplewick {
namespace manus {
namespace {

constexpr std::string_view kSessionCookie = "session_id";
constexpr std::string_view kUserAgent =
    "Mozilla/5.0 (Macintosh; Intel Mac OS X 10_15_7) AppleWebKit/537.36 (KHTML, like Gecko) Chrome/135.0.0.0 "
    "Safari/537.36";
// Members that may wrap the credits, in the order they are preferred.
constexpr std::array<std::string_view, 4> kEnvelopeKeys = {"data", "result", "response", "availableCredits"};
constexpr std::array<std::string_view, 8> kCreditKeys = {"totalCredits",      "freeCredits",    "periodicCredits",
                                                         "addonCredits",      "refreshCredits", "maxRefreshCredits",
                                                         "proMonthlyCredits", "eventCredits"};

}  // namespace

// ---- The credential ----

std::string extractSessionToken(std::string_view credential) {
  const std::string_view text = trimWhitespace(credential);
  if (text.find_first_of("=;") == std::string_view::npos) return std::string(text);
  for (const CookiePair& pair : cookiePairs(text)) {
    if (equalsIgnoringASCIICase(pair.name, kSessionCookie)) return std::string(pair.value);
  }
  return std::string(text);
}

// ---- Request ----

HTTPRequest creditsRequest(std::string_view origin, std::string_view token) {
  HTTPRequest request;
  request.method = "POST";
  request.url = std::string(origin) + std::string(kCreditsPath);
  request.headers.add("Accept", "application/json");
  request.headers.add("Content-Type", "application/json");
  request.headers.add("Authorization", "Bearer " + std::string(token));
  request.headers.add("Origin", std::string(kWebOrigin));
  request.headers.add("Referer", std::string(kWebOrigin) + "/");
  request.headers.add("Connect-Protocol-Version", "1");
  request.headers.add("User-Agent", std::string(kUserAgent));
  request.body = "{}";
  return request;
}

// ---- Reader ----

namespace {

// Never fails: a number, or numeric text with blanks around it; anything else is 0.
double creditFigure(const JsonRef& record, std::string_view key) {
  return numberOrNumericText(member(&record.json(), key), NumberTextTrim::spacesAndTabs).value_or(0);
}

// An internet date-time without a fraction, or a number of seconds since 1970 (servers send Unix time). Anything
// else is no date, never an error.
std::optional<Timestamp> refreshTime(const Json* value) {
  if (value == nullptr) return std::nullopt;
  if (value->is_string()) return parseRFC3339(value->get_ref<const std::string&>(), FractionMode::forbidden);
  if (const auto seconds = numberValue(value)) return fromEpochSeconds(*seconds);
  return std::nullopt;
}

Credits decodeRecord(const JsonRef& value) {
  const JsonRef record = value.as<JsonRef>();
  Credits credits;
  credits.totalCredits = creditFigure(record, "totalCredits");
  credits.freeCredits = creditFigure(record, "freeCredits");
  credits.periodicCredits = creditFigure(record, "periodicCredits");
  credits.addonCredits = creditFigure(record, "addonCredits");
  credits.refreshCredits = creditFigure(record, "refreshCredits");
  credits.maxRefreshCredits = creditFigure(record, "maxRefreshCredits");
  credits.proMonthlyCredits = creditFigure(record, "proMonthlyCredits");
  credits.eventCredits = creditFigure(record, "eventCredits");
  credits.nextRefreshTime = refreshTime(member(&record.json(), "nextRefreshTime"));
  credits.refreshInterval = record.optional<std::string>("refreshInterval");
  return credits;
}

// Every present member must decode, or the body is no envelope at all.
std::optional<Credits> decodeEnvelope(const JsonRef& root) {
  if (!root.json().is_object()) return std::nullopt;
  std::optional<Credits> first;
  try {
    for (const std::string_view key : kEnvelopeKeys) {
      if (const auto wrapped = root.get(key)) {
        Credits credits = decodeRecord(*wrapped);
        if (!first) first = std::move(credits);
      }
    }
  } catch (const DecodingError&) {
    return std::nullopt;
  }
  return first;
}

}  // namespace

Credits decodeCredits(std::string_view body) {
  const Json document = parseJson(body);
  const JsonRef root = JsonRef::root(document);
  if (auto wrapped = decodeEnvelope(root)) return *wrapped;
  Credits credits = decodeRecord(root);
  const bool namesACredit = std::any_of(kCreditKeys.begin(), kCreditKeys.end(),
                                        [&document](std::string_view key) { return document.contains(key); });
  if (!namesACredit) throw ManusError::parseFailed("response missing expected credits fields");
  return credits;
}

std::string formatCredits(double value) {
  const double whole = std::round(value);
  return formatDecimal(whole, 0, false).value_or(formatFixed(whole, 0));
}

// ---- Mapping ----

namespace {

// The used share of an allowance, in per cent, 0 to 100 (a NaN reads 0).
double usedPercent(double allowance, double left) {
  const double used = std::max(allowance - left, 0.0) / allowance * 100;
  return used > 0 ? std::min(used, 100.0) : 0;
}

UsageData blankRecord(Timestamp now) {
  UsageData record = UsageData::blank(Provider::manus);
  record.costSemantic = CostSemantic::none;
  record.lastUpdated = now;
  return record;
}

}  // namespace

UsageData makeUsageData(const Credits& credits, Timestamp now) {
  UsageData record = blankRecord(now);
  record.resetPeriod = ResetPeriod::monthly;
  if (credits.proMonthlyCredits <= 0) {
    record.used = credits.totalCredits;
    record.resetAt = credits.nextRefreshTime;
    record.note = "Manus credits: " + formatCredits(credits.totalCredits) + " available.";
    return record;
  }
  record.used = usedPercent(credits.proMonthlyCredits, credits.periodicCredits);
  record.limit = 100;
  record.note = "Manus credits: " + formatCredits(credits.totalCredits) + " total available.";
  if (credits.maxRefreshCredits > 0) {
    UsageData refresh = blankRecord(now);
    refresh.used = usedPercent(credits.maxRefreshCredits, credits.refreshCredits);
    refresh.limit = 100;
    refresh.resetAt = credits.nextRefreshTime;
    refresh.resetPeriod = ResetPeriod::window;
    record.auxiliaryUsage.push_back(std::move(refresh));
  }
  return record;
}

}  // namespace manus

// ---- Service ----

UsageData ManusService::fetchUsage(std::string_view credential, std::stop_token stop) {
  const std::string token = manus::extractSessionToken(credential);
  if (trimWhitespace(token).empty()) throw ManusError::invalidCredentials();
  const HTTPRequest request = manus::creditsRequest(context_.origins.get(manus::kOriginKey), token);
  const std::string body = okBody<ManusError>(context_.transport, request, std::move(stop));
  return manus::makeUsageData(manus::decodeCredits(body), context_.clock.now());
}

// ---- Errors ----

ManusError ManusError::parseFailed(const std::string& message) {
  return {ManusErrorCode::parseFailed, "Failed to parse Manus response: ", message};
}

}  // namespace dapplewick
