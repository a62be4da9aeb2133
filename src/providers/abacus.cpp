#include "providers/abacus.hpp"

#include <cmath>

#include "common/dates.hpp"
#include "common/excerpt.hpp"
#include "common/json_lenient.hpp"
#include "common/numbers.hpp"
#include "common/task_group.hpp"
#include "common/text.hpp"
#include "providers/shared/response.hpp"
#include "providers/shared/user_agents.hpp"

namespace dapplewick::abacus {

// ---- Requests ----

namespace {

HTTPRequest webRequest(std::string method, std::string url, std::string_view cookie) {
  HTTPRequest request;
  request.method = std::move(method);
  request.url = std::move(url);
  // The web application wants the JSON content type on the GET as well.
  request.headers.add("Content-Type", "application/json");
  request.headers.add("Accept", "application/json");
  request.headers.add("Cookie", std::string(cookie));
  request.headers.add("User-Agent", std::string(kBrowserUserAgent));
  return request;
}

}  // namespace

HTTPRequest computePointsRequest(std::string_view origin, std::string_view cookie) {
  return webRequest("GET", std::string(origin) + std::string(kComputePointsPath), cookie);
}

HTTPRequest billingInfoRequest(std::string_view origin, std::string_view cookie) {
  HTTPRequest request = webRequest("POST", std::string(origin) + std::string(kBillingInfoPath), cookie);
  request.body = "{}";
  return request;
}

// ---- Answers ----

namespace {

std::string_view lastPathComponent(std::string_view url) {
  const auto slash = url.rfind('/');
  return slash == std::string_view::npos ? url : url.substr(slash + 1);
}

bool namesSessionProblem(std::string_view lowered) {
  for (const std::string_view word : {"expired", "session", "login", "unauthorized", "forbidden"}) {
    if (lowered.find(word) != std::string_view::npos) return true;
  }
  return false;
}

// A JSON number, or a boolean as 1 or 0; numeric strings do not count. (The parser already refuses numbers too
// large for a double.)
std::optional<double> pointsFigure(const Json* value) {
  if (value != nullptr && value->is_boolean()) return value->get<bool>() ? 1.0 : 0.0;
  return numberValue(value);
}

}  // namespace

Json readEnvelope(std::string_view body, std::string_view url) {
  const std::string endpoint(lastPathComponent(url));
  auto document = parseJsonOrNothing(body);
  if (!document || !document->is_object()) throw AbacusError::parseFailed("Invalid JSON from " + endpoint);

  const Json* success = member(&*document, "success");
  const Json* result = asObject(member(&*document, "result"));
  if (success != nullptr && success->is_boolean() && success->get<bool>() && result != nullptr) return *result;

  const Json* error = member(&*document, "error");
  const std::string lowered =
      toLowerASCII(error != nullptr && error->is_string() ? error->get_ref<const std::string&>() : "unknown");
  if (namesSessionProblem(lowered)) throw AbacusError::invalidCredentials();
  throw AbacusError::parseFailed(endpoint + ": " + errorExcerpt(lowered));
}

ComputePoints readComputePoints(const Json& result) {
  const auto total = pointsFigure(member(&result, "totalComputePoints"));
  const auto left = pointsFigure(member(&result, "computePointsLeft"));
  if (!total || !left) throw AbacusError::parseFailed("Missing credit fields in compute points response");
  return {*total, *left};
}

std::optional<Timestamp> readNextBillingDate(const Json& result) {
  const Json* nextBilling = member(&result, "nextBillingDate");
  if (nextBilling == nullptr || !nextBilling->is_string()) return std::nullopt;
  return parseInternetDate(nextBilling->get_ref<const std::string&>());
}

// ---- Mapping ----

std::string formatCredits(double value) {
  // NaN counts as below 1000.
  const int fractionDigits = value >= 1000 ? 0 : 1;
  if (auto text = formatDecimal(value, fractionDigits)) return *text;
  return formatFixed(value, 0);
}

UsageData makeUsageData(const ComputePoints& points, std::optional<Timestamp> nextBillingDate, Timestamp now) {
  // More points left than the total gives a negative figure; it is shown as it is.
  const double used = points.total - points.left;
  double percentage = 0;
  if (points.total > 0) {
    percentage = used / points.total * 100;
    if (std::isnan(percentage) || percentage < 0) percentage = 0;
    if (percentage >= 100) percentage = 100;
  }

  UsageData data = UsageData::blank(Provider::abacus);
  data.used = percentage;
  data.limit = 100;
  data.costSemantic = CostSemantic::none;
  data.resetAt = nextBillingDate;
  data.resetPeriod = ResetPeriod::monthly;
  data.lastUpdated = now;
  data.note = "Abacus AI compute points: " + formatCredits(used) + " / " + formatCredits(points.total);
  return data;
}

}  // namespace dapplewick::abacus

namespace dapplewick {

// ---- The service ----

UsageData AbacusService::fetchUsage(std::string_view cookie, std::stop_token stop) {
  // Trimmed like every other credential: a pasted header often ends in a line break, which no transport sends.
  const std::string trimmed(trimWhitespace(cookie));
  if (trimmed.empty()) throw AbacusError::invalidCredentials();

  const Timestamp now = context_.clock.now();
  const std::string origin = context_.origins.get(abacus::kOriginKey);

  TaskGroup group(stop);
  auto points = group.spawn(
      [&](std::stop_token token) { return fetchResult(abacus::computePointsRequest(origin, trimmed), token); });
  auto billing = group.spawn(
      [&](std::stop_token token) { return fetchResult(abacus::billingInfoRequest(origin, trimmed), token); });
  const Json pointsResult = points.await();
  // Billing only adds the reset date; whatever goes wrong there just leaves it out.
  const std::optional<Json> billingResult = billing.awaitOptional();
  const std::optional<Timestamp> nextBillingDate =
      billingResult ? abacus::readNextBillingDate(*billingResult) : std::nullopt;
  return abacus::makeUsageData(abacus::readComputePoints(pointsResult), nextBillingDate, now);
}

Json AbacusService::fetchResult(const HTTPRequest& request, std::stop_token stop) const {
  const std::string body = okBody<AbacusError>(context_.transport, request, std::move(stop));
  return abacus::readEnvelope(body, request.url);
}

// ---- Errors ----

AbacusError AbacusError::parseFailed(const std::string& message) {
  return AbacusError(AbacusErrorCode::parseFailed, "Failed to parse Abacus AI response: ", message);
}

}  // namespace dapplewick
