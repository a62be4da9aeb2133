#pragma once

#include <array>
#include <chrono>
#include <compare>
#include <cstddef>
#include <map>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "common/json_document.hpp"
#include "common/service_error.hpp"
#include "common/timestamp.hpp"
#include "model/environment.hpp"
#include "model/http.hpp"
#include "model/usage_data.hpp"
#include "providers/shared/service_context.hpp"

namespace dapplewick {
namespace vertex_ai {

// ---- Constants ----

inline constexpr std::string_view kOriginKey = "vertexai";
inline constexpr std::array kOriginKeys{kOriginKey};
inline constexpr std::chrono::milliseconds kRequestTimeout{15'000};
// Quota series are read in pages; a server that never stops handing out tokens must not keep a fetch alive.
inline constexpr int kMaxPages = 100;

// The project's Vertex AI quota series: the allocation in use, and the limits it is measured against.
inline constexpr std::string_view kUsageFilter =
    "metric.type=\"serviceruntime.googleapis.com/quota/allocation/usage\" AND resource.type=\"consumer_quota\" "
    "AND resource.label.service=\"aiplatform.googleapis.com\"";
inline constexpr std::string_view kLimitFilter =
    "metric.type=\"serviceruntime.googleapis.com/quota/limit\" AND resource.type=\"consumer_quota\" "
    "AND resource.label.service=\"aiplatform.googleapis.com\"";

// ---- The credential and the project ----

struct Credential {
  std::optional<std::string> projectID;
  std::string token;
  bool operator==(const Credential&) const = default;
};

// "PROJECT:TOKEN" (when the token looks like one), "Bearer TOKEN", or a token alone. `text` has its kind prefix
// removed already.
Credential parseCredential(std::string_view text);
// The token parseCredential finds, never the project.
std::vector<std::string> secrets(std::string_view credential, const Environment& environment);
// GOOGLE_CLOUD_PROJECT, then GCLOUD_PROJECT, then GCP_PROJECT: the first that is set, even if empty.
std::optional<std::string> resolveProjectID(const Environment& environment);
// Letters, digits, "-", "." and ":", starting with a letter or digit.
bool isValidProjectID(std::string_view projectID);

// ---- Requests ----

// One page of one quota series, over the day that ends at `end`.
struct PageQuery {
  std::string_view projectID;
  std::string_view filter;
  Timestamp end;
  std::optional<std::string> pageToken;
};

// Throws VertexAIError::invalidProjectID() for an identifier that is not of project form.
HTTPRequest timeSeriesRequest(std::string_view origin, std::string_view token, const PageQuery& query);

// ---- Response records and readers ----

struct QuotaKey {
  std::string quotaMetric;
  std::string limitName;  // may be empty
  std::string location;   // a region, or "global"
  auto operator<=>(const QuotaKey&) const = default;
  // The limit name (or the metric without one), with " (location)" unless the location is "global".
  std::string label() const;
};

// The highest value seen per key, never below 0, kept in the order the keys first appeared.
class QuotaTable {
 public:
  void raise(const QuotaKey& key, double value);
  // Raises the series' key by its highest point; a series without a key or a readable point adds nothing.
  void add(const Json& series);
  std::optional<double> find(const QuotaKey& key) const;
  const std::vector<std::pair<QuotaKey, double>>& entries() const { return entries_; }
  bool empty() const { return entries_.empty(); }

 private:
  std::vector<std::pair<QuotaKey, double>> entries_;
  std::map<QuotaKey, std::size_t> index_;
};

// One 200 answer of the time-series endpoint, read leniently: its series are added to `quotas` and the next
// page's token, if any, is returned. Pages are folded in as they arrive so that memory holds one page at a time,
// however many there are. Throws VertexAIError::invalidResponse() for a body that is no JSON object.
std::optional<std::string> readTimeSeriesPage(std::string_view body, QuotaTable& quotas);
std::optional<QuotaKey> extractQuotaKey(const Json& series);
std::optional<double> maxPointValue(const Json& series);

struct QuotaMetric {
  QuotaKey key;
  double used = 0;
  double limit = 0;
  double usedPercent = 0;  // 0 to 100
  bool operator==(const QuotaMetric&) const = default;
};

// Limits above 0 joined to their usage, the closest to the limit first (equal ones in the limit table's order).
std::vector<QuotaMetric> joinQuotas(const QuotaTable& usage, const QuotaTable& limits);

// ---- Mapping ----

// The first metric as the main record, the next four as auxiliary records. `metrics` is not empty.
UsageData makeUsageData(const std::vector<QuotaMetric>& metrics, std::string_view projectID, Timestamp now);
// The record shown when no project is configured: no error, only the explanation.
UsageData noProjectUsageData();

}  // namespace vertex_ai

// ---- Service ----

// How close a Google Cloud project is to its Vertex AI quotas, from the Cloud Monitoring quota series.
class VertexAIService {
 public:
  explicit VertexAIService(const ServiceContext& context) : context_(context) {}

  UsageData fetchUsage(std::string_view credential, std::stop_token stop = {});

 private:
  std::vector<vertex_ai::QuotaMetric> fetchQuotaMetrics(std::string_view token, std::string_view projectID,
                                                        std::stop_token stop);
  // Every page of one series, one request after another, folded into one table.
  vertex_ai::QuotaTable fetchQuotaTable(std::string_view token, std::string_view projectID, std::string_view filter,
                                        std::stop_token stop);

  ServiceContext context_;
};

// ---- Errors ----

enum class VertexAIErrorCode {
  httpError,
  invalidCredentials,
  unauthorized,
  forbidden,
  noData,
  invalidURL,
  invalidResponse,
  invalidProjectID,
  tooManyPages,
  repeatedPageToken,
};

class VertexAIError : public ServiceErrorOf<VertexAIError, VertexAIErrorCode> {
 public:
  using ServiceErrorOf::ServiceErrorOf;
  // The shared invalidCredentials and invalidResponse come from these texts. The shared httpError(status) is
  // hidden by the one below, which writes the same prefix and status and then the server's words.
  static constexpr ServiceErrorTexts kTexts{
      "Vertex AI HTTP ", "Invalid Vertex AI credential. Provide a Bearer token from `gcloud auth print-access-token`.",
      "Unexpected response from Vertex AI Monitoring API."};
  static VertexAIError httpError(int status, std::string_view body);
  static VertexAIError unauthorized();
  static VertexAIError forbidden();
  static VertexAIError noData();
  // Raised by no path: the project id, the one variable part of the path, is checked first (invalidProjectID).
  static VertexAIError invalidURL();
  static VertexAIError invalidProjectID();
  static VertexAIError tooManyPages();
  static VertexAIError repeatedPageToken();
};

}  // namespace dapplewick
