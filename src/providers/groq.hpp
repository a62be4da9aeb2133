#pragma once

#include <stop_token>
#include <string>
#include <string_view>

#include "common/service_error.hpp"
#include "model/usage_data.hpp"
#include "providers/shared/service_context.hpp"

namespace dapplewick {

// How busy a Groq account is right now, from four five-minute rate sums of the metrics (Prometheus instant query)
// API, shown per minute in the note. Used, limit and cost stay 0.
class GroqService {
 public:
  explicit GroqService(const ServiceContext& context) : context_(context) {}

  UsageData fetchUsage(std::string_view credential, std::stop_token stop = {});
  // One instant query: the sum of the last sample of every series, per second.
  double queryMetric(const std::string& key, std::string_view query, std::stop_token stop) const;

 private:
  ServiceContext context_;
};

enum class GroqErrorCode { httpError, invalidCredentials, invalidResponse };

class GroqError : public ServiceErrorOf<GroqError, GroqErrorCode> {
 public:
  using ServiceErrorOf::ServiceErrorOf;
  static constexpr ServiceErrorTexts kTexts{"Groq API error ", "Invalid Groq API key",
                                            "Unexpected response from Groq"};
};

namespace groq {

inline constexpr std::string_view kRequestsQuery = "sum(model_project_id_status_code:requests:rate5m)";
inline constexpr std::string_view kTokensInQuery = "sum(model_project_id:tokens_in:rate5m)";
inline constexpr std::string_view kTokensOutQuery = "sum(model_project_id:tokens_out:rate5m)";
inline constexpr std::string_view kCacheHitsQuery = "sum(model_project_id:prompt_cache_hits:rate5m)";

// Reads one 200 body: throws DecodingError when it does not decode, GroqError::httpError(0) when its status is
// not "success", GroqError::invalidResponse() when the sum is not a finite figure.
double readMetricBody(std::string_view body);

// A per-minute figure as shown: "%.0f" from 100, "%.1f" from 10, "%.2f" below, chosen on the exact value.
std::string formatRate(double perMinute);

}  // namespace groq
}  // namespace dapplewick
