#include "providers/stepfun.hpp"

#include <algorithm>
#include <cmath>

#include "common/dates.hpp"
#include "common/excerpt.hpp"
#include "common/json_lenient.hpp"
#include "common/json_read.hpp"
#include "common/numbers.hpp"
#include "common/text.hpp"
#include "providers/shared/response.hpp"
#include "providers/shared/secrets.hpp"
#include "providers/shared/user_agents.hpp"

namespace dapplewick {
namespace stepfun {

// ---- Requests ----

std::string normalizedToken(std::string_view credential) {
  const std::string_view trimmed = trimWhitespace(credential);
  return std::string(trimmed.substr(0, trimmed.find("...")));
}

std::vector<std::string> secrets(std::string_view credential, const Environment& environment) {
  std::vector<std::string> found = keySecrets(credential, environment);
  found.push_back(normalizedToken(credential));
  return found;
}

HTTPRequest rateLimitRequest(std::string_view origin, std::string_view token) {
  HTTPRequest request;
  request.method = "POST";
  request.url = std::string(origin) + std::string(kRateLimitPath);
  // The platform's gateway expects its own headers in lower case, as its web client sends them.
  request.headers.add("content-type", "application/json");
  request.headers.add("oasis-appid", std::string(kAppID));
  request.headers.add("oasis-platform", "web");
  request.headers.add("oasis-webid", std::string(kWebID));
  request.headers.add("User-Agent", std::string(kChrome147UserAgent));
  request.headers.add("Cookie", "Oasis-Token=" + std::string(token) + "; Oasis-Webid=" + std::string(kWebID));
  request.headers.add("Accept", "application/json");
  request.body = "{}";
  return request;
}

// ---- Response readers ----

namespace {

// An integer, or a text holding a signed decimal integer; anything else is missing.
std::optional<std::int64_t> lenientInteger(const Json* value) {
  if (value != nullptr && value->is_string()) {
    const auto number = parseInteger(value->get_ref<const std::string&>());
    return number ? std::optional<std::int64_t>(*number) : std::nullopt;
  }
  return integerValue(value);
}

CreditRateLimit readCreditRateLimit(const JsonRef& credit) {
  CreditRateLimit limit{credit.optional<double>("subscription_credit_left_rate"),
                        credit.optional<std::int64_t>("subscription_credit_reset_time"),
                        credit.optional<double>("topup_credit_left_rate"), std::nullopt};
  if (const auto buckets = credit.get("credit_buckets")) {
    limit.creditBuckets.emplace();
    for (const JsonRef& element : buckets->elements()) {
      const JsonRef bucket = element.as<JsonRef>();
      limit.creditBuckets->push_back(
          {bucket.optional<double>("credit_total"), bucket.optional<double>("credit_residual")});
    }
  }
  return limit;
}

}  // namespace

RateLimit readRateLimit(std::string_view body) {
  const Json document = parseJson(body);
  const JsonRef root = JsonRef::root(document).as<JsonRef>();
  RateLimit answer;
  answer.status = root.optional<std::int64_t>("status");
  (void)root.optional<std::int64_t>("code");
  answer.message = root.optional<std::string>("message");
  answer.desc = root.optional<std::string>("desc");
  answer.fiveHourUsageLeftRate = numberValue(member(&document, "five_hour_usage_left_rate"));
  answer.weeklyUsageLeftRate = numberValue(member(&document, "weekly_usage_left_rate"));
  answer.fiveHourUsageResetTime = lenientInteger(member(&document, "five_hour_usage_reset_time"));
  answer.weeklyUsageResetTime = lenientInteger(member(&document, "weekly_usage_reset_time"));
  answer.planFamily = root.optional<std::int64_t>("plan_family");
  if (const auto credit = root.get("plan_credit_rate_limit")) {
    answer.planCreditRateLimit = readCreditRateLimit(credit->as<JsonRef>());
  }
  return answer;
}

// ---- Mapping ----

namespace {

constexpr std::int64_t kCreditPlanFamily = 2;

double usedPercent(double leftRate) { return std::clamp((1 - leftRate) * 100, 0.0, 100.0); }

std::optional<Timestamp> resetDate(std::optional<std::int64_t> seconds) {
  return seconds ? fromEpochSeconds(static_cast<double>(*seconds)) : std::nullopt;
}

UsageData percentRecord(double leftRate, std::optional<Timestamp> resetAt, ResetPeriod period, Timestamp now) {
  UsageData record = UsageData::blank(Provider::stepFun);
  record.used = usedPercent(leftRate);
  record.limit = 100;
  record.resetAt = resetAt;
  record.resetPeriod = period;
  record.lastUpdated = now;
  return record;
}

}  // namespace

UsageData creditPlanUsage(const CreditRateLimit& credit, Timestamp now) {
  std::optional<double> left;
  if (credit.creditBuckets && !credit.creditBuckets->empty()) {
    double total = 0;
    double residual = 0;
    for (const CreditBucket& bucket : *credit.creditBuckets) {
      total += bucket.creditTotal.value_or(0);
      residual += bucket.creditResidual.value_or(0);
    }
    // Finite amounts can still add up to more than a double holds.
    if (!std::isfinite(total) || !std::isfinite(residual)) throw StepFunError::invalidResponse();
    if (total > 0) left = residual / total;
  }
  if (!left) left = credit.subscriptionCreditLeftRate ? credit.subscriptionCreditLeftRate : credit.topupCreditLeftRate;
  return percentRecord(left.value_or(1), resetDate(credit.subscriptionCreditResetTime), ResetPeriod::monthly, now);
}

UsageData makeUsageData(const RateLimit& answer, Timestamp now) {
  if (answer.planFamily == kCreditPlanFamily && answer.planCreditRateLimit) {
    return creditPlanUsage(*answer.planCreditRateLimit, now);
  }
  if (!answer.fiveHourUsageLeftRate || !answer.weeklyUsageLeftRate || !answer.fiveHourUsageResetTime ||
      !answer.weeklyUsageResetTime) {
    throw StepFunError::parseFailed("Missing usage rate or reset time fields");
  }
  UsageData weekly =
      percentRecord(*answer.weeklyUsageLeftRate, resetDate(answer.weeklyUsageResetTime), ResetPeriod::weekly, now);
  weekly.auxiliaryUsage.push_back(
      percentRecord(*answer.fiveHourUsageLeftRate, resetDate(answer.fiveHourUsageResetTime), ResetPeriod::window, now));
  return weekly;
}

}  // namespace stepfun

// ---- Service ----

UsageData StepFunService::fetchUsage(std::string_view credential, std::stop_token stop) {
  const std::string token = stepfun::normalizedToken(credential);
  if (token.empty()) throw StepFunError::invalidCredentials();
  const Timestamp now = context_.clock.now();
  const std::string origin = context_.origins.get(stepfun::kOriginKey);
  const std::string body =
      okBody<StepFunError>(context_.transport, stepfun::rateLimitRequest(origin, token), std::move(stop));
  const stepfun::RateLimit answer = stepfun::readRateLimit(body);
  if (answer.status != 1) {
    const std::string text = answer.message ? *answer.message : answer.desc.value_or("unknown error");
    throw StepFunError::apiError(errorExcerpt(text));
  }
  return stepfun::makeUsageData(answer, now);
}

// ---- Errors ----

StepFunError StepFunError::apiError(const std::string& message) {
  return {StepFunErrorCode::apiError, "StepFun API error: ", message};
}

StepFunError StepFunError::parseFailed(const std::string& message) {
  return {StepFunErrorCode::parseFailed, "Failed to parse StepFun response: ", message};
}

}  // namespace dapplewick
