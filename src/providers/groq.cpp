#include "providers/groq.hpp"

#include <cmath>
#include <optional>
#include <vector>

#include "common/json_read.hpp"
#include "common/numbers.hpp"
#include "common/task_group.hpp"
#include "common/text.hpp"
#include "model/credential_kind.hpp"
#include "providers/shared/request.hpp"
#include "providers/shared/response.hpp"
#include "providers/shared/user_agents.hpp"

namespace dapplewick {
namespace {

constexpr std::string_view kOriginKey = "groq";
constexpr std::string_view kQueryPath = "/v1/metrics/prometheus/api/v1/query";

// The query texts are letters, digits, underscores, colons and parentheses, all legal in a query as they are,
// so the URL carries them unencoded.
std::string metricURL(std::string_view origin, std::string_view query) {
  std::string url(origin);
  url += kQueryPath;
  url += "?query=";
  url += query;
  return url;
}

HTTPRequest metricRequest(std::string_view origin, const std::string& key, std::string_view query) {
  return jsonGet(metricURL(origin, query), {"Authorization", "Bearer " + key}, kDapplewickUserAgent);
}

// One element of a sample pair: a JSON number as it is, else a text. Every element must be one of the two, even
// though only the last is counted. A text that is not a decimal figure ("NaN", "+Inf", garbage) counts as nothing.
std::optional<double> sampleValue(const JsonRef& element) {
  if (auto number = numberValue(&element.json())) return number;
  return parseDecimal(element.as<std::string>());
}

}  // namespace

namespace groq {

double readMetricBody(std::string_view body) {
  const Json document = parseJson(body);
  const JsonRef root = JsonRef::root(document).as<JsonRef>();
  const auto status = root.required<std::string>("status");
  std::vector<double> counted;
  if (const auto data = root.optional<JsonRef>("data")) {
    for (const JsonRef& series : data->at("result").elements()) {
      const auto value = series.as<JsonRef>().get("value");
      if (!value) continue;
      std::optional<double> last;
      for (const JsonRef& element : value->elements()) last = sampleValue(element);
      if (last) counted.push_back(*last);
    }
  }
  // Decoded so that a malformed body fails as a whole; its text is never shown.
  (void)root.optional<std::string>("error");
  if (status != "success") throw GroqError::httpError(0);

  double sum = 0;
  for (const double value : counted) sum += value;
  // Finite samples can still overflow when added; such a total is no figure to show.
  if (!std::isfinite(sum)) throw GroqError::invalidResponse();
  return sum;
}

std::string formatRate(double perMinute) {
  if (perMinute >= 100) return formatFixed(perMinute, 0);
  if (perMinute >= 10) return formatFixed(perMinute, 1);
  return formatFixed(perMinute, 2);
}

}  // namespace groq

UsageData GroqService::fetchUsage(std::string_view credential, std::stop_token stop) {
  const std::string key = prepareCredential(credential);
  if (key.empty()) throw GroqError::invalidCredentials();

  TaskGroup group(stop);
  const auto query = [this, &key](std::string_view text) {
    return [this, &key, text](std::stop_token token) { return queryMetric(key, text, token); };
  };
  auto requests = group.spawn(query(groq::kRequestsQuery));
  auto tokensIn = group.spawn(query(groq::kTokensInQuery));
  auto tokensOut = group.spawn(query(groq::kTokensOutQuery));
  auto cacheHits = group.spawn(query(groq::kCacheHitsQuery));

  // Awaited in query order, so the lowest-numbered failure wins whatever finished first.
  const double requestsPerSecond = requests.await();
  const double tokensInPerSecond = tokensIn.await();
  const double tokensOutPerSecond = tokensOut.await();
  // The cache figure is a bonus: without it the note simply has no cache part.
  const std::optional<double> cachePerSecond = cacheHits.awaitOptional();

  const double requestsPerMinute = requestsPerSecond * 60;
  const double tokensPerMinute = (tokensInPerSecond + tokensOutPerSecond) * 60;
  if (!std::isfinite(requestsPerMinute) || !std::isfinite(tokensPerMinute)) throw GroqError::invalidResponse();

  std::vector<std::string> parts{groq::formatRate(requestsPerMinute) + " req/min",
                                 groq::formatRate(tokensPerMinute) + " tok/min"};
  if (cachePerSecond) {
    const double cachePerMinute = *cachePerSecond * 60;
    if (std::isfinite(cachePerMinute) && cachePerMinute > 0) {
      parts.push_back(groq::formatRate(cachePerMinute) + " cache/min");
    }
  }

  UsageData record = UsageData::blank(Provider::groq);
  record.used = 0;
  record.limit = 0;
  record.cost = 0;
  record.costSemantic = CostSemantic::none;
  record.resetAt = std::nullopt;
  record.resetPeriod = ResetPeriod::window;
  record.lastUpdated = context_.clock.now();
  record.error = std::nullopt;
  record.note = joinNotes(parts);
  record.isLoading = false;
  return record;
}

double GroqService::queryMetric(const std::string& key, std::string_view query, std::stop_token stop) const {
  const HTTPResponse response =
      context_.transport.data(metricRequest(context_.origins.get(kOriginKey), key, query), std::move(stop));
  requireOK<GroqError>(response);
  return groq::readMetricBody(response.body);
}

}  // namespace dapplewick
