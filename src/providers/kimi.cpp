#include "providers/kimi.hpp"

#include <algorithm>
#include <limits>
#include <utility>

#include "common/base64.hpp"
#include "common/dates.hpp"
#include "common/json_lenient.hpp"
#include "common/json_read.hpp"
#include "common/numbers.hpp"
#include "providers/shared/response.hpp"
#include "providers/shared/user_agents.hpp"

namespace dapplewick {
namespace kimi {
namespace {

constexpr std::string_view kConsolePath = "/code/console";

// Split at ".", empty pieces dropped and not counted, after the second piece the rest kept whole.
std::vector<std::string_view> tokenPieces(std::string_view token) {
  std::vector<std::string_view> pieces;
  std::size_t start = 0;
  for (std::size_t i = 0; i < token.size() && pieces.size() < 2; ++i) {
    if (token[i] != '.') continue;
    if (i > start) pieces.push_back(token.substr(start, i - start));
    start = i + 1;
  }
  if (start < token.size()) pieces.push_back(token.substr(start));
  return pieces;
}

std::optional<std::string> stringClaim(const Json& claims, std::string_view name) {
  const Json* value = member(&claims, name);
  if (value == nullptr || !value->is_string()) return std::nullopt;
  return value->get<std::string>();
}

}  // namespace

// ---- Request ----

std::optional<TokenClaims> decodeTokenClaims(std::string_view token) {
  const std::vector<std::string_view> pieces = tokenPieces(token);
  if (pieces.size() != 3) return std::nullopt;
  std::string payload(pieces[1]);
  std::replace(payload.begin(), payload.end(), '-', '+');
  std::replace(payload.begin(), payload.end(), '_', '/');
  payload.append((4 - payload.size() % 4) % 4, '=');
  const auto bytes = decodeBase64(payload);
  if (!bytes) return std::nullopt;
  const auto claims = parseJsonOrNothing(*bytes);
  if (!claims || !claims->is_object()) return std::nullopt;
  return TokenClaims{stringClaim(*claims, "device_id"), stringClaim(*claims, "ssid"), stringClaim(*claims, "sub")};
}

HTTPRequest usagesRequest(std::string_view origin, std::string_view token, const Environment& environment) {
  const std::optional<std::string> tz = environment.get("TZ");
  const std::string timeZone = currentTimeZoneIdentifier(tz ? std::optional<std::string_view>(*tz) : std::nullopt);
  HTTPRequest request;
  request.method = "POST";
  request.url = std::string(origin) + std::string(kUsagesPath);
  request.headers.add("Content-Type", "application/json");
  request.headers.add("Authorization", "Bearer " + std::string(token));
  request.headers.add("Cookie", "kimi-auth=" + std::string(token));
  request.headers.add("Origin", std::string(origin));
  request.headers.add("Referer", std::string(origin) + std::string(kConsolePath));
  request.headers.add("Accept", "*/*");
  request.headers.add("Accept-Language", "en-US,en;q=0.9");
  request.headers.add("User-Agent", std::string(kChrome143UserAgent));
  request.headers.add("connect-protocol-version", "1");
  request.headers.add("x-language", "en-US");
  request.headers.add("x-msh-platform", "web");
  request.headers.add("r-timezone", timeZone);
  // A token that is no readable JSON Web Token still goes out, only without the identity headers.
  if (const auto claims = decodeTokenClaims(token)) {
    if (claims->deviceID) request.headers.add("x-msh-device-id", *claims->deviceID);
    if (claims->sessionID) request.headers.add("x-msh-session-id", *claims->sessionID);
    if (claims->subject) request.headers.add("x-traffic-id", *claims->subject);
  }
  request.body = Json{{"scope", Json::array({kCodingScope})}}.dump();
  return request;
}

// ---- Reader ----

namespace {

UsageDetail decodeDetail(const JsonRef& value) {
  const JsonRef detail = value.as<JsonRef>();
  return {detail.required<std::string>("limit"), detail.optional<std::string>("used"),
          detail.optional<std::string>("remaining"), detail.optional<std::string>("resetTime")};
}

}  // namespace

std::vector<Usage> decodeUsages(std::string_view body) {
  const Json document = parseJson(body);
  const JsonRef root = JsonRef::root(document).as<JsonRef>();
  std::vector<Usage> usages;
  for (const JsonRef& element : root.at("usages").elements()) {
    const JsonRef entry = element.as<JsonRef>();
    Usage usage{entry.required<std::string>("scope"), decodeDetail(entry.at("detail")), {}};
    if (const auto limits = entry.get("limits")) {
      for (const JsonRef& limit : limits->elements()) {
        usage.limits.push_back(decodeDetail(limit.as<JsonRef>().at("detail")));
      }
    }
    usages.push_back(std::move(usage));
  }
  return usages;
}

Figures figuresOf(const UsageDetail& detail) {
  const auto whole = [](const std::optional<std::string>& text) -> std::optional<std::int64_t> {
    if (!text) return std::nullopt;
    return parseInteger(*text);
  };
  Figures figures;
  figures.limit = whole(detail.limit).value_or(0);
  if (const auto used = whole(detail.used)) {
    figures.used = *used;
  } else if (const auto remaining = whole(detail.remaining)) {
    // Figures near the ends of the 64-bit range saturate instead of wrapping.
    const auto difference = checkedSub(figures.limit, *remaining);
    const std::int64_t saturated = difference       ? *difference
                                   : *remaining < 0 ? std::numeric_limits<std::int64_t>::max()
                                                    : std::numeric_limits<std::int64_t>::min();
    figures.used = std::max<std::int64_t>(saturated, 0);
  }
  if (figures.limit >= 1) {
    figures.percentage = static_cast<double>(figures.used) / static_cast<double>(figures.limit) * 100;
  }
  return figures;
}

// ---- Mapping ----

namespace {

UsageData percentRecord(const UsageDetail& detail, ResetPeriod period, Timestamp now) {
  UsageData record = UsageData::blank(Provider::kimi);
  record.used = figuresOf(detail).percentage;
  record.limit = 100;
  record.costSemantic = CostSemantic::none;
  record.resetAt = detail.resetTime ? parseInternetDate(*detail.resetTime) : std::nullopt;
  record.resetPeriod = period;
  record.lastUpdated = now;
  return record;
}

}  // namespace

UsageData makeUsageData(const std::vector<Usage>& usages, Timestamp now) {
  const auto coding =
      std::find_if(usages.begin(), usages.end(), [](const Usage& usage) { return usage.scope == kCodingScope; });
  if (coding == usages.end()) throw KimiError::parseFailed("FEATURE_CODING scope not found");
  const Figures figures = figuresOf(coding->detail);
  UsageData record = percentRecord(coding->detail, ResetPeriod::weekly, now);
  record.note = "Kimi coding usage: " + std::to_string(figures.used) + "/" + std::to_string(figures.limit) +
                " requests this week.";
  if (!coding->limits.empty()) {
    record.auxiliaryUsage.push_back(percentRecord(coding->limits.front(), ResetPeriod::window, now));
  }
  return record;
}

}  // namespace kimi

// ---- Service ----

UsageData KimiService::fetchUsage(std::string_view credential, std::stop_token stop) {
  const HTTPRequest request =
      kimi::usagesRequest(context_.origins.get(kimi::kOriginKey), credential, context_.environment);
  const std::string body = okBody<KimiError>(context_.transport, request, std::move(stop));
  return kimi::makeUsageData(kimi::decodeUsages(body), context_.clock.now());
}

// ---- Errors ----

KimiError KimiError::parseFailed(const std::string& message) {
  return {KimiErrorCode::parseFailed, "Failed to parse Kimi response: ", message};
}

}  // namespace dapplewick
