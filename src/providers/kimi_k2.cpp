#include "providers/kimi_k2.hpp"

#include <utility>

#include "common/dates.hpp"
#include "common/excerpt.hpp"
#include "common/json_lenient.hpp"
#include "common/numbers.hpp"
#include "common/text.hpp"
#include "model/credential_kind.hpp"
#include "providers/shared/request.hpp"
#include "providers/shared/user_agents.hpp"

namespace dapplewick {
namespace kimi_k2 {
namespace {

const std::vector<KeyPath> kConsumedPaths = {
    {"total_credits_consumed"}, {"totalCreditsConsumed"}, {"total_credits_used"},
    {"totalCreditsUsed"},       {"credits_consumed"},     {"creditsConsumed"},
    {"consumedCredits"},        {"usedCredits"},          {"total"},
    {"usage", "total"},         {"usage", "consumed"},
};
const std::vector<KeyPath> kRemainingPaths = {
    {"credits_remaining"},          {"creditsRemaining"},   {"remaining_credits"}, {"remainingCredits"},
    {"available_credits"},          {"availableCredits"},   {"credits_left"},      {"creditsLeft"},
    {"usage", "credits_remaining"}, {"usage", "remaining"},
};
const std::vector<KeyPath> kTimePaths = {{"updated_at"}, {"updatedAt"},   {"timestamp"},
                                         {"time"},       {"last_update"}, {"lastUpdated"}};

constexpr double kMillisecondsAbove = 1e12;
constexpr double kSecondsAbove = 1e9;

// Numeric text is read exactly as sent: a blank around it makes it unreadable.
std::optional<double> readNumber(const Json* value) { return numberOrNumericText(value, NumberTextTrim::none); }

}  // namespace

// ---- Request ----

HTTPRequest creditsRequest(std::string_view origin, std::string_view apiKey) {
  return jsonGet(std::string(origin) + std::string(kCreditsPath), bearerHeader(apiKey), kBrowserUserAgent);
}

// ---- Readers ----

std::vector<const Json*> candidateObjects(const Json& root) {
  std::vector<const Json*> candidates;
  const auto add = [&candidates](const Json* value) {
    if (asObject(value) != nullptr) candidates.push_back(value);
  };
  add(&root);
  for (const std::string_view outer : {"data", "result"}) {
    const Json* object = asObject(member(&root, outer));
    add(object);
    add(member(object, "usage"));
    add(member(object, "credits"));
  }
  add(member(&root, "usage"));
  add(member(&root, "credits"));
  return candidates;
}

const Json* valueAtPath(const KeyPath& path, const std::vector<const Json*>& candidates) {
  for (const Json* candidate : candidates) {
    const Json* value = candidate;
    for (const std::string_view key : path) {
      value = member(value, key);
      if (value == nullptr) break;
    }
    if (value != nullptr) return value;
  }
  return nullptr;
}

std::optional<double> firstNumber(const std::vector<KeyPath>& paths, const std::vector<const Json*>& candidates) {
  for (const KeyPath& path : paths) {
    if (const auto number = readNumber(valueAtPath(path, candidates))) return number;
  }
  return std::nullopt;
}

std::optional<Timestamp> firstDate(const std::vector<KeyPath>& paths, const std::vector<const Json*>& candidates) {
  for (const KeyPath& path : paths) {
    const Json* value = valueAtPath(path, candidates);
    if (value == nullptr) continue;
    if (const auto number = readNumber(value)) {
      if (auto date = fromEpochAuto(*number, kMillisecondsAbove, kSecondsAbove)) return date;
    }
    if (value->is_string()) {
      if (auto date = parseInternetDate(value->get_ref<const std::string&>())) return date;
    }
  }
  return std::nullopt;
}

Credits readCredits(std::string_view body, const HTTPHeaders& headers) {
  const auto document = parseJsonOrNothing(body);
  if (!document || !document->is_object()) throw KimiK2Error::parseFailed("Root JSON is not an object");
  const std::vector<const Json*> candidates = candidateObjects(*document);
  Credits credits;
  credits.consumed = firstNumber(kConsumedPaths, candidates).value_or(0);
  auto remaining = firstNumber(kRemainingPaths, candidates);
  if (!remaining) {
    if (const auto header = headers.get(kRemainingHeader)) remaining = parseDecimal(*header);
  }
  credits.remaining = remaining.value_or(0);
  credits.updatedAt = firstDate(kTimePaths, candidates);
  return credits;
}

// ---- Mapping ----

UsageData makeUsageData(const Credits& credits, Timestamp now) {
  UsageData record = UsageData::blank(Provider::kimiK2);
  record.used = credits.consumed;
  record.limit = 0;
  record.costSemantic = CostSemantic::none;
  record.resetPeriod = ResetPeriod::monthly;
  record.lastUpdated = credits.updatedAt.value_or(now);
  record.note = "~" + formatFixed(credits.remaining, 2) + " credits remaining";
  return record;
}

}  // namespace kimi_k2

// ---- Service ----

UsageData KimiK2Service::fetchUsage(std::string_view credential, std::stop_token stop) {
  const std::string apiKey = prepareCredential(credential);
  if (apiKey.empty()) throw KimiK2Error::missingCredentials();
  const HTTPRequest request = kimi_k2::creditsRequest(context_.origins.get(kimi_k2::kOriginKey), apiKey);
  const HTTPResponse response = context_.transport.data(request, std::move(stop));
  if (!response.isHTTP) throw KimiK2Error::invalidResponse();
  // A rejected key is reported like every other status, in the server's words; a body that is no text says nothing
  // but its status.
  if (response.status != 200) {
    if (!isValidUTF8(response.body)) throw KimiK2Error::apiError("HTTP " + std::to_string(response.status));
    throw KimiK2Error::apiError(bodyExcerpt(response.body));
  }
  return kimi_k2::makeUsageData(kimi_k2::readCredits(response.body, response.headers), context_.clock.now());
}

// ---- Errors ----

KimiK2Error KimiK2Error::apiError(const std::string& message) {
  return {KimiK2ErrorCode::apiError, "Kimi K2 API error: ", message};
}

KimiK2Error KimiK2Error::parseFailed(const std::string& message) {
  return {KimiK2ErrorCode::parseFailed, "Failed to parse Kimi K2 response: ", message};
}

KimiK2Error KimiK2Error::missingCredentials() {
  return {KimiK2ErrorCode::missingCredentials, "Missing Kimi K2 API key"};
}

KimiK2Error KimiK2Error::invalidResponse() {
  return {KimiK2ErrorCode::invalidResponse, "Unexpected response from Kimi K2"};
}

}  // namespace dapplewick
