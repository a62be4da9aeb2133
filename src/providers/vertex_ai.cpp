#include "providers/vertex_ai.hpp"

#include <algorithm>
#include <set>

#include "common/dates.hpp"
#include "common/excerpt.hpp"
#include "common/json_fold.hpp"
#include "common/json_lenient.hpp"
#include "common/numbers.hpp"
#include "common/text.hpp"
#include "common/url.hpp"
#include "model/credential_kind.hpp"

namespace dapplewick {
namespace vertex_ai {
namespace {

// ---- Constants ----

constexpr std::string_view kNoProjectNote =
    "No GCP project configured. Prefix credential with 'PROJECT_ID:' or set GOOGLE_CLOUD_PROJECT env var.";
constexpr std::size_t kShownMetrics = 5;
constexpr std::chrono::seconds kSeriesWindow{86'400};

bool isAlphanumeric(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'); }

}  // namespace

// ---- The credential and the project ----

Credential parseCredential(std::string_view text) {
  std::string_view trimmed = trimWhitespace(text);
  if (startsWith(trimmed, "Bearer ")) trimmed.remove_prefix(7);
  std::vector<std::string_view> pieces;
  const auto colon = trimmed.find(':');
  for (const auto piece :
       {trimmed.substr(0, colon), colon == std::string_view::npos ? std::string_view() : trimmed.substr(colon + 1)}) {
    if (!piece.empty()) pieces.push_back(piece);
  }
  if (pieces.size() == 2 && (startsWith(pieces[1], "ya29.") || pieces[1].find('.') != std::string_view::npos)) {
    return {std::string(pieces[0]), std::string(pieces[1])};
  }
  return {std::nullopt, std::string(trimmed)};
}

std::vector<std::string> secrets(std::string_view credential, const Environment& /*environment*/) {
  return {parseCredential(stripKindPrefix(credential)).token};
}

std::optional<std::string> resolveProjectID(const Environment& environment) {
  for (const std::string_view name : {"GOOGLE_CLOUD_PROJECT", "GCLOUD_PROJECT", "GCP_PROJECT"}) {
    if (auto value = environment.get(name)) return value;
  }
  return std::nullopt;
}

bool isValidProjectID(std::string_view projectID) {
  // The identifier goes into the path unescaped: "/", "?", "#" or "%" would change what is asked, and a leading
  // "." could make a dot segment that climbs out of the project.
  if (projectID.empty() || !isAlphanumeric(projectID.front())) return false;
  return std::all_of(projectID.begin(), projectID.end(),
                     [](char c) { return isAlphanumeric(c) || c == '-' || c == '.' || c == ':'; });
}

// ---- Requests ----

HTTPRequest timeSeriesRequest(std::string_view origin, std::string_view token, const PageQuery& query) {
  if (!isValidProjectID(query.projectID)) throw VertexAIError::invalidProjectID();
  QueryItems items{{"filter", std::string(query.filter)},
                   {"interval.startTime", formatRFC3339Seconds(query.end - kSeriesWindow)},
                   {"interval.endTime", formatRFC3339Seconds(query.end)},
                   {"aggregation.alignmentPeriod", "3600s"},
                   {"aggregation.perSeriesAligner", "ALIGN_MAX"},
                   {"view", "FULL"}};
  if (query.pageToken) items.emplace_back("pageToken", *query.pageToken);

  HTTPRequest request;
  request.method = "GET";
  request.url = withQuery(std::string(origin) + "/v3/projects/" + std::string(query.projectID) + "/timeSeries", items);
  request.headers.add("Authorization", "Bearer " + std::string(token));
  request.timeout = kRequestTimeout;
  return request;
}

// ---- Response readers ----

namespace {

// The elements of `value` when it is a list made of objects only.
const Json* listOfObjects(const Json* value) {
  if (value == nullptr || !value->is_array()) return nullptr;
  for (const Json& element : *value) {
    if (!element.is_object()) return nullptr;
  }
  return value;
}

// A "labels" object of the series' `owner` member whose values are all texts; anything else counts as no labels.
const Json* textLabels(const Json& series, std::string_view owner) {
  const Json* labels = asObject(member(asObject(member(&series, owner)), "labels"));
  if (labels == nullptr) return nullptr;
  for (const Json& value : *labels) {
    if (!value.is_string()) return nullptr;
  }
  return labels;
}

std::optional<std::string> labelValue(const Json* labels, std::string_view name) {
  const Json* value = member(labels, name);
  if (value == nullptr) return std::nullopt;
  return value->get<std::string>();
}

std::optional<double> pointValue(const Json& point) {
  const Json* value = asObject(member(&point, "value"));
  if (value == nullptr) return std::nullopt;
  if (const auto number = numberValue(member(value, "doubleValue"))) return number;
  const Json* integer = member(value, "int64Value");
  if (integer == nullptr || !integer->is_string()) return std::nullopt;
  return parseDecimal(integer->get_ref<const std::string&>());
}

}  // namespace

std::optional<std::string> readTimeSeriesPage(std::string_view body, QuotaTable& quotas) {
  // Each series is folded as soon as the parser has read it and is then dropped, so a page near the body limit
  // costs one series of memory rather than a tree of the whole page. The page's own table joins `quotas` only
  // when "timeSeries" (the last one, should the key repeat) turns out to be a list of objects alone.
  QuotaTable page;
  bool seriesAreObjects = false;
  const ListFold fold{"timeSeries",
                      [&] {
                        page = QuotaTable();
                        seriesAreObjects = true;
                      },
                      [&](Json&& series) {
                        if (!series.is_object()) seriesAreObjects = false;
                        if (seriesAreObjects) page.add(series);
                      }};
  const auto json = parseJsonOrNothing(body, fold);
  if (!json || !json->is_object()) throw VertexAIError::invalidResponse();
  const Json* series = member(&*json, "timeSeries");
  if (series != nullptr && series->is_array() && seriesAreObjects) {
    for (const auto& [key, value] : page.entries()) quotas.raise(key, value);
  }
  const Json* next = member(&*json, "nextPageToken");
  if (next != nullptr && next->is_string() && !next->get_ref<const std::string&>().empty()) {
    return next->get<std::string>();
  }
  return std::nullopt;
}

std::string QuotaKey::label() const {
  std::string text = limitName.empty() ? quotaMetric : limitName;
  if (location != "global") text += " (" + location + ")";
  return text;
}

void QuotaTable::raise(const QuotaKey& key, double value) {
  const auto [it, inserted] = index_.try_emplace(key, entries_.size());
  if (inserted) entries_.emplace_back(key, 0.0);
  double& stored = entries_[it->second].second;
  stored = std::max(stored, value);
}

std::optional<double> QuotaTable::find(const QuotaKey& key) const {
  const auto it = index_.find(key);
  if (it == index_.end()) return std::nullopt;
  return entries_[it->second].second;
}

void QuotaTable::add(const Json& series) {
  const auto key = extractQuotaKey(series);
  const auto value = maxPointValue(series);
  if (key && value) raise(*key, *value);
}

std::optional<QuotaKey> extractQuotaKey(const Json& series) {
  const Json* metricLabels = textLabels(series, "metric");
  const Json* resourceLabels = textLabels(series, "resource");
  auto quotaMetric = labelValue(metricLabels, "quota_metric");
  if (!quotaMetric) quotaMetric = labelValue(resourceLabels, "quota_id");
  if (!quotaMetric || quotaMetric->empty()) return std::nullopt;
  return QuotaKey{*quotaMetric, labelValue(metricLabels, "limit_name").value_or(""),
                  labelValue(resourceLabels, "location").value_or("global")};
}

std::optional<double> maxPointValue(const Json& series) {
  const Json* points = listOfObjects(member(&series, "points"));
  if (points == nullptr) return std::nullopt;
  std::optional<double> highest;
  for (const Json& point : *points) {
    if (const auto value = pointValue(point)) highest = highest ? std::max(*highest, *value) : *value;
  }
  return highest;
}

std::vector<QuotaMetric> joinQuotas(const QuotaTable& usage, const QuotaTable& limits) {
  std::vector<QuotaMetric> metrics;
  for (const auto& [key, limit] : limits.entries()) {
    if (!(limit > 0)) continue;
    const auto used = usage.find(key);
    if (!used) continue;
    double percent = *used / limit * 100;
    if (!(percent >= 0)) percent = 0;
    percent = std::min(percent, 100.0);
    metrics.push_back({key, *used, limit, percent});
  }
  std::stable_sort(metrics.begin(), metrics.end(),
                   [](const QuotaMetric& a, const QuotaMetric& b) { return a.usedPercent > b.usedPercent; });
  return metrics;
}

// ---- Mapping ----

namespace {

UsageData quotaRecord(const QuotaMetric& metric, Timestamp now, std::string note) {
  UsageData usage = UsageData::blank(Provider::vertexAI);
  usage.used = metric.usedPercent;
  usage.limit = 100;
  usage.costSemantic = CostSemantic::none;
  usage.resetPeriod = ResetPeriod::daily;
  usage.lastUpdated = now;
  usage.note = std::move(note);
  return usage;
}

}  // namespace

UsageData makeUsageData(const std::vector<QuotaMetric>& metrics, std::string_view projectID, Timestamp now) {
  UsageData usage = quotaRecord(metrics.front(), now,
                                "Vertex AI quota via Cloud Monitoring (project: " + std::string(projectID) +
                                    ") \u2014 " + metrics.front().key.label());
  for (std::size_t i = 1; i < metrics.size() && i < kShownMetrics; ++i) {
    usage.auxiliaryUsage.push_back(quotaRecord(metrics[i], now, metrics[i].key.label()));
  }
  return usage;
}

UsageData noProjectUsageData() {
  UsageData usage = UsageData::blank(Provider::vertexAI);
  usage.costSemantic = CostSemantic::none;
  usage.resetPeriod = ResetPeriod::monthly;
  usage.note = std::string(kNoProjectNote);
  return usage;
}

}  // namespace vertex_ai

// ---- Service ----

namespace {

// Vertex AI tells a refused token from a missing permission, and its HTTP error carries the server's words.
void requireSeriesOK(const HTTPResponse& response) {
  if (!response.isHTTP) throw VertexAIError::invalidResponse();
  if (response.status == 401) throw VertexAIError::unauthorized();
  if (response.status == 403) throw VertexAIError::forbidden();
  if (response.status != 200) throw VertexAIError::httpError(response.status, response.body);
}

}  // namespace

UsageData VertexAIService::fetchUsage(std::string_view credential, std::stop_token stop) {
  const auto parsed = vertex_ai::parseCredential(stripKindPrefix(credential));
  if (parsed.token.empty()) throw VertexAIError::invalidCredentials();
  const auto projectID = parsed.projectID ? parsed.projectID : vertex_ai::resolveProjectID(context_.environment);
  if (!projectID) return vertex_ai::noProjectUsageData();
  const Timestamp now = context_.clock.now();
  const auto metrics = fetchQuotaMetrics(parsed.token, *projectID, stop);
  if (metrics.empty()) throw VertexAIError::noData();
  return vertex_ai::makeUsageData(metrics, *projectID, now);
}

std::vector<vertex_ai::QuotaMetric> VertexAIService::fetchQuotaMetrics(std::string_view token,
                                                                       std::string_view projectID,
                                                                       std::stop_token stop) {
  const auto usage = fetchQuotaTable(token, projectID, vertex_ai::kUsageFilter, stop);
  const auto limits = fetchQuotaTable(token, projectID, vertex_ai::kLimitFilter, stop);
  if (usage.empty() || limits.empty()) throw VertexAIError::noData();
  return vertex_ai::joinQuotas(usage, limits);
}

vertex_ai::QuotaTable VertexAIService::fetchQuotaTable(std::string_view token, std::string_view projectID,
                                                       std::string_view filter, std::stop_token stop) {
  const std::string origin = context_.origins.get(vertex_ai::kOriginKey);
  vertex_ai::PageQuery query{projectID, filter, context_.clock.now(), std::nullopt};
  vertex_ai::QuotaTable quotas;
  std::set<std::string> seenTokens;
  for (int page = 1;; ++page) {
    const HTTPResponse response = context_.transport.data(vertex_ai::timeSeriesRequest(origin, token, query), stop);
    requireSeriesOK(response);
    auto nextPageToken = vertex_ai::readTimeSeriesPage(response.body, quotas);
    if (!nextPageToken) return quotas;
    if (page == vertex_ai::kMaxPages) throw VertexAIError::tooManyPages();
    if (!seenTokens.insert(*nextPageToken).second) throw VertexAIError::repeatedPageToken();
    query.pageToken = std::move(nextPageToken);
  }
}

// ---- Errors ----

VertexAIError VertexAIError::httpError(int status, std::string_view body) {
  return {VertexAIErrorCode::httpError,
          std::string(kTexts.httpErrorPrefix) + std::to_string(status) + ": ",
          bodyExcerpt(body),
          {},
          status};
}

VertexAIError VertexAIError::unauthorized() {
  return {VertexAIErrorCode::unauthorized,
          "Vertex AI request unauthorized. Run `gcloud auth application-default login`."};
}

VertexAIError VertexAIError::forbidden() {
  return {VertexAIErrorCode::forbidden, "Vertex AI access forbidden. Check IAM permissions for Cloud Monitoring."};
}

VertexAIError VertexAIError::noData() {
  return {VertexAIErrorCode::noData, "No Vertex AI quota data found for the current project."};
}

VertexAIError VertexAIError::invalidURL() {
  return {VertexAIErrorCode::invalidURL, "Invalid Vertex AI Monitoring URL."};
}

VertexAIError VertexAIError::invalidProjectID() {
  return {VertexAIErrorCode::invalidProjectID,
          "Invalid Google Cloud project ID. Use letters, digits, \"-\", \".\" and \":\", starting with a letter or "
          "digit."};
}

VertexAIError VertexAIError::tooManyPages() {
  return {VertexAIErrorCode::tooManyPages, "Vertex AI Monitoring API returned more than " +
                                               std::to_string(vertex_ai::kMaxPages) + " pages of quota data."};
}

VertexAIError VertexAIError::repeatedPageToken() {
  return {VertexAIErrorCode::repeatedPageToken, "Vertex AI Monitoring API repeated a page token."};
}

}  // namespace dapplewick
