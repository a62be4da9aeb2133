#include "providers/bedrock.hpp"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <utility>
#include <vector>

#include "common/excerpt.hpp"
#include "common/json_lenient.hpp"
#include "common/numbers.hpp"
#include "common/text.hpp"
#include "model/credential_kind.hpp"
#include "providers/shared/secrets.hpp"

namespace dapplewick {
namespace bedrock {
namespace {

// ---- Constants ----

constexpr std::string_view kContentType = "application/x-amz-json-1.1";
constexpr std::string_view kTarget = "AWSInsightsIndexService.GetCostAndUsage";
constexpr std::chrono::milliseconds kTimeout{15'000};
constexpr std::string_view kMissingResults = "Missing ResultsByTime in Cost Explorer response";

bool isListOf(const Json* value, bool (Json::*kind)() const noexcept) {
  return value != nullptr && value->is_array() &&
         std::all_of(value->begin(), value->end(), [kind](const Json& element) { return (element.*kind)(); });
}

}  // namespace

// ---- Credentials ----

ResolvedCredentials resolveCredentials(std::string_view text, const Environment& environment) {
  const auto pieces = splitKeepingEmpty(trimWhitespace(text), ":");
  const auto fromPieces = [&pieces](std::size_t first, std::string region) {
    return ResolvedCredentials{{std::string(pieces[first]), std::string(pieces[first + 1]), std::nullopt},
                               std::move(region)};
  };
  switch (pieces.size()) {
    case 2: return fromPieces(0, std::string(kDefaultRegion));
    case 3: return fromPieces(1, std::string(pieces[0]));
    case 4: return fromPieces(2, std::string(pieces[1]));
    default: break;
  }
  const auto keyID = environment.get("AWS_ACCESS_KEY_ID");
  const auto secret = environment.get("AWS_SECRET_ACCESS_KEY");
  if (!keyID || keyID->empty() || !secret || secret->empty()) throw BedrockError::missingCredentials();
  // A variable that is set wins even when empty.
  std::string region = environment.get("AWS_DEFAULT_REGION")
                           .value_or(environment.get("AWS_REGION").value_or(std::string(kDefaultRegion)));
  return {{*keyID, *secret, environment.get("AWS_SESSION_TOKEN")}, std::move(region)};
}

std::vector<std::string> secrets(std::string_view credential, const Environment& environment) {
  try {
    AWSCredentials keys = resolveCredentials(stripKindPrefix(credential), environment).credentials;
    return {std::move(keys.accessKeyID), std::move(keys.secretAccessKey), keys.sessionToken.value_or("")};
  } catch (const BedrockError&) {
    return storedKeySecrets(credential, environment);
  }
}

// ---- Request ----

DateRange costExplorerDateRange(Timestamp now) {
  const CivilDate today = civilDateUTC(now);
  const auto tomorrow = std::chrono::floor<std::chrono::days>(now) + std::chrono::days(1);
  return {{today.year, today.month, 1}, civilDateUTC(tomorrow)};
}

HTTPRequest costRequest(std::string_view origin, const AWSCredentials& credentials, Timestamp now) {
  const DateRange range = costExplorerDateRange(now);
  Json body = Json::object();
  body["TimePeriod"] = Json::object();
  body["TimePeriod"]["Start"] = formatISODate(range.start);
  body["TimePeriod"]["End"] = formatISODate(range.end);
  body["Granularity"] = "MONTHLY";
  body["Metrics"] = Json::array({"UnblendedCost"});
  Json group = Json::object();
  group["Type"] = "DIMENSION";
  group["Key"] = "SERVICE";
  body["GroupBy"] = Json::array({group});

  HTTPRequest request;
  request.method = "POST";
  request.url = std::string(origin) + "/";
  request.headers.add("Content-Type", std::string(kContentType));
  request.headers.add("X-Amz-Target", std::string(kTarget));
  request.body = body.dump();
  request.timeout = kTimeout;
  signAWSRequest(request, credentials, {std::string(kSigningRegion), std::string(kSigningService)}, now);
  return request;
}

// ---- Response reader ----

double readBedrockCost(std::string_view body) {
  const auto document = parseJsonOrNothing(body);
  const Json* results = document ? member(&*document, "ResultsByTime") : nullptr;
  if (!isListOf(results, &Json::is_object)) throw BedrockError::parseFailed(std::string(kMissingResults));
  double total = 0;
  for (const Json& result : *results) {
    const Json* groups = member(&result, "Groups");
    if (!isListOf(groups, &Json::is_object)) continue;
    for (const Json& group : *groups) {
      const Json* keys = member(&group, "Keys");
      if (!isListOf(keys, &Json::is_string) || keys->empty()) continue;
      if (!containsIgnoringASCIICase(keys->front().get_ref<const std::string&>(), "bedrock")) continue;
      const Json* amount = member(asObject(member(asObject(member(&group, "Metrics")), "UnblendedCost")), "Amount");
      if (amount == nullptr || !amount->is_string()) continue;
      // The strict grammar: "NaN" and "inf" are no amounts.
      if (const auto value = parseDecimal(amount->get_ref<const std::string&>())) total += *value;
    }
  }
  // Readable amounts can still add up past the largest double; that is no spend to show.
  if (!std::isfinite(total)) throw BedrockError::invalidResponse();
  return total;
}

// ---- Mapping ----

Timestamp startOfNextMonth(Timestamp now) {
  const CivilDate today = civilDateUTC(now);
  const auto next =
      std::chrono::year_month{std::chrono::year(today.year), std::chrono::month(today.month)} + std::chrono::months(1);
  return std::chrono::sys_days(next / std::chrono::day(1));
}

UsageData makeUsageData(double total, std::string_view region, Timestamp now) {
  UsageData record = UsageData::blank(Provider::bedrock);
  record.used = total;
  record.cost = total;
  record.costSemantic = CostSemantic::periodCumulative;
  record.resetAt = startOfNextMonth(now);
  record.resetPeriod = ResetPeriod::monthly;
  record.lastUpdated = now;
  record.note = "AWS Bedrock monthly spend via Cost Explorer (region: " + std::string(region) + ")";
  return record;
}

}  // namespace bedrock

// ---- Service ----

UsageData BedrockService::fetchUsage(std::string_view credential, std::stop_token stop) {
  const auto resolved = bedrock::resolveCredentials(stripKindPrefix(credential), context_.environment);
  const Timestamp now = context_.clock.now();
  const HTTPResponse response = context_.transport.data(
      bedrock::costRequest(context_.origins.get(bedrock::kOriginKey), resolved.credentials, now), std::move(stop));
  if (!response.isHTTP) throw BedrockError::invalidResponse();
  if (response.status != 200) {
    throw BedrockError::apiError("HTTP " + std::to_string(response.status) + ": " + bodyExcerpt(response.body));
  }
  return bedrock::makeUsageData(bedrock::readBedrockCost(response.body), resolved.region, now);
}

// ---- Errors ----

BedrockError BedrockError::apiError(const std::string& message) {
  return {BedrockErrorCode::apiError, "AWS Cost Explorer error: ", message};
}

BedrockError BedrockError::parseFailed(const std::string& message) {
  return {BedrockErrorCode::parseFailed, "Failed to parse AWS Cost Explorer response: ", message};
}

BedrockError BedrockError::missingCredentials() {
  return {BedrockErrorCode::missingCredentials,
          "AWS credentials not configured. Provide 'region:accessKeyId:secretKey' or set AWS_ACCESS_KEY_ID / "
          "AWS_SECRET_ACCESS_KEY."};
}

BedrockError BedrockError::invalidResponse() {
  return {BedrockErrorCode::invalidResponse, "Unexpected response from AWS Cost Explorer"};
}

}  // namespace dapplewick
