#include "providers/groq.hpp"

#include <cmath>
#include <vector>

#include "common/json_lenient.hpp"
#include "common/json_read.hpp"
#include "common/numbers.hpp"
#include "common/task_group.hpp"
#include "common/text.hpp"
#include "providers/shared/credential.hpp"
#include "providers/shared/request.hpp"
#include "providers/shared/response.hpp"
#include "providers/shared/user_agents.hpp"

namespace dapplewick::groq {

// ---- Request ----

HTTPRequest metricRequest(std::string_view origin, std::string_view apiKey, MetricQuery query) {
  // The query texts are letters, digits, underscores, colons and parentheses, all legal in a query as they are,
  // so the URL carries them unencoded.
  std::string url(origin);
  url += kQueryPath;
  url += "?query=";
  url += query.text;
  return jsonGet(std::move(url), bearerHeader(apiKey), kDapplewickUserAgent);
}

// ---- Answers ----

namespace {

// One element of a sample pair: a JSON number as it is, else a text. Every element must be one of the two, even
// though only the last is counted. A text that is not a decimal figure ("NaN", "+Inf", garbage) counts as nothing.
std::optional<double> sampleValue(const JsonRef& element) {
  if (auto number = numberValue(&element.json())) return number;
  return parseDecimal(element.as<std::string>());
}

}  // namespace

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

// ---- Mapping ----

std::string formatRate(double perMinute) {
  if (perMinute >= 100) return formatFixed(perMinute, 0);
  if (perMinute >= 10) return formatFixed(perMinute, 1);
  return formatFixed(perMinute, 2);
}

UsageData makeUsageData(const Rates& rates, Timestamp now) {
  const double requestsPerMinute = rates.requests * 60;
  const double tokensPerMinute = (rates.tokensIn + rates.tokensOut) * 60;
  if (!std::isfinite(requestsPerMinute) || !std::isfinite(tokensPerMinute)) throw GroqError::invalidResponse();

  std::vector<std::string> parts{formatRate(requestsPerMinute) + " req/min", formatRate(tokensPerMinute) + " tok/min"};
  if (rates.cacheHits) {
    const double cachePerMinute = *rates.cacheHits * 60;
    if (std::isfinite(cachePerMinute) && cachePerMinute > 0) parts.push_back(formatRate(cachePerMinute) + " cache/min");
  }

  UsageData record = UsageData::blank(Provider::groq);
  record.costSemantic = CostSemantic::none;
  record.resetPeriod = ResetPeriod::window;
  record.lastUpdated = now;
  record.note = joinNotes(parts);
  return record;
}

}  // namespace dapplewick::groq

namespace dapplewick {

// ---- The service ----

UsageData GroqService::fetchUsage(std::string_view credential, std::stop_token stop) {
  const std::string apiKey = requireCredential<GroqError>(credential);

  TaskGroup group(stop);
  const auto query = [this, &apiKey](groq::MetricQuery text) {
    return [this, &apiKey, text](std::stop_token token) { return queryMetric(apiKey, text, token); };
  };
  auto requests = group.spawn(query(groq::kRequestsQuery));
  auto tokensIn = group.spawn(query(groq::kTokensInQuery));
  auto tokensOut = group.spawn(query(groq::kTokensOutQuery));
  auto cacheHits = group.spawn(query(groq::kCacheHitsQuery));

  // Awaited in query order, so the lowest-numbered failure wins whatever finished first. The cache figure is a
  // bonus: without it the note simply has no cache part.
  groq::Rates rates;
  rates.requests = requests.await();
  rates.tokensIn = tokensIn.await();
  rates.tokensOut = tokensOut.await();
  rates.cacheHits = cacheHits.awaitOptional();
  return groq::makeUsageData(rates, context_.clock.now());
}

double GroqService::queryMetric(std::string_view apiKey, groq::MetricQuery query, std::stop_token stop) const {
  const HTTPRequest request = groq::metricRequest(context_.origins.get(groq::kOriginKey), apiKey, query);
  const std::string body = okBody<GroqError>(context_.transport, request, std::move(stop));
  return groq::readMetricBody(body);
}

}  // namespace dapplewick
