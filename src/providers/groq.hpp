#pragma once

#include <array>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>

#include "common/service_error.hpp"
#include "model/http.hpp"
#include "model/usage_data.hpp"
#include "providers/shared/service_context.hpp"

namespace dapplewick {
namespace groq {

// ---- Constants and origin keys ----

inline constexpr std::string_view kOriginKey = "groq";
inline constexpr std::array kOriginKeys{kOriginKey};
inline constexpr std::string_view kQueryPath = "/v1/metrics/prometheus/api/v1/query";

// A query text of the metrics API, a type of its own so that it cannot change places with the key.
struct MetricQuery {
  std::string_view text;
};

inline constexpr MetricQuery kRequestsQuery{"sum(model_project_id_status_code:requests:rate5m)"};
inline constexpr MetricQuery kTokensInQuery{"sum(model_project_id:tokens_in:rate5m)"};
inline constexpr MetricQuery kTokensOutQuery{"sum(model_project_id:tokens_out:rate5m)"};
inline constexpr MetricQuery kCacheHitsQuery{"sum(model_project_id:prompt_cache_hits:rate5m)"};

// ---- Request ----

// One instant query (Prometheus query API) of one of the query texts above.
HTTPRequest metricRequest(std::string_view origin, std::string_view apiKey, MetricQuery query);

// ---- Answers ----

// Reads one 200 body: the sum of the last sample of every series, per second. Throws DecodingError when it does
// not decode, GroqError::httpError(0) when its status is not "success", GroqError::invalidResponse() when the sum
// is not a finite figure.
double readMetricBody(std::string_view body);

// The four sums, per second.
struct Rates {
  double requests = 0;
  double tokensIn = 0;
  double tokensOut = 0;
  std::optional<double> cacheHits;  // absent when its query failed
};

// ---- Mapping ----

// A per-minute figure as shown: "%.0f" from 100, "%.1f" from 10, "%.2f" below, chosen on the exact value.
std::string formatRate(double perMinute);

// The rates per minute in the note; used, limit and cost stay 0. GroqError::invalidResponse() when the request
// or token rate per minute is not a finite figure.
UsageData makeUsageData(const Rates& rates, Timestamp now);

}  // namespace groq

// ---- The service ----

// How busy a Groq account is right now, from four five-minute rate sums of the metrics API.
class GroqService {
 public:
  explicit GroqService(const ServiceContext& context) : context_(context) {}

  UsageData fetchUsage(std::string_view credential, std::stop_token stop = {});

 private:
  double queryMetric(std::string_view apiKey, groq::MetricQuery query, std::stop_token stop) const;

  ServiceContext context_;
};

// ---- Errors ----

enum class GroqErrorCode { httpError, invalidCredentials, invalidResponse };

class GroqError : public ServiceErrorOf<GroqError, GroqErrorCode> {
 public:
  using ServiceErrorOf::ServiceErrorOf;
  static constexpr ServiceErrorTexts kTexts{"Groq API error ", "Invalid Groq API key", "Unexpected response from Groq"};
};

}  // namespace dapplewick
