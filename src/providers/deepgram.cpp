#include "providers/deepgram.hpp"

#include <chrono>
#include <cmath>
#include <exception>
#include <utility>

#include "common/dates.hpp"
#include "common/json_read.hpp"
#include "common/numbers.hpp"
#include "common/url.hpp"
#include "model/credential_kind.hpp"
#include "providers/shared/request.hpp"
#include "providers/shared/response.hpp"
#include "providers/shared/user_agents.hpp"

namespace dapplewick {

namespace {

constexpr std::string_view kOriginKey = "deepgram";
constexpr std::string_view kProjectsPath = "/v1/projects";
constexpr std::string_view kUsageSuffix = "/usage/breakdown";

}  // namespace

namespace deepgram_detail {

// ---- Requests ----

HTTPRequest makeRequest(std::string url, const std::string& key) {
  return jsonGet(std::move(url), {"Authorization", "Token " + key}, kBrowserUserAgent);
}

std::string projectsURL(const std::string& origin) { return origin + std::string(kProjectsPath); }

Timestamp usageStart(Timestamp now) {
  using namespace std::chrono;
  const year_month_day today{floor<days>(now)};
  return Timestamp(sys_days(today.year() / today.month() / 1));
}

std::optional<std::string> usageURL(const std::string& origin, std::string_view projectID, Timestamp now) {
  // Percent-encoding keeps a hostile identifier inside its segment ("a/b", "?x"), but "." and ".." survive it
  // and would be resolved as a path step, and an empty one would ask for a different endpoint.
  if (projectID.empty() || projectID == "." || projectID == "..") return std::nullopt;
  // The start value is digits, dashes, colons, "T" and "Z": nothing in it needs escaping in a query.
  return origin + std::string(kProjectsPath) + "/" + percentEncode(projectID) + std::string(kUsageSuffix) +
         "?start=" + formatRFC3339Seconds(usageStart(now));
}

// ---- Responses ----

DeepgramProjectsResponse decodeProjects(std::string_view body) {
  const Json json = parseJson(body);
  const auto root = JsonRef::root(json);
  DeepgramProjectsResponse response;
  for (const auto& element : root.at("projects").elements()) {
    const auto project = element.as<JsonRef>();
    response.projects.push_back(
        {project.required<std::string>("project_id"), project.optional<std::string>("name")});
  }
  return response;
}

DeepgramUsageResponse decodeUsage(std::string_view body) {
  const Json json = parseJson(body);
  const auto root = JsonRef::root(json);
  DeepgramUsageResponse response;
  for (const auto& element : root.at("results").elements()) {
    const auto entry = element.as<JsonRef>();
    response.results.push_back({entry.optional<double>("hours"), entry.optional<double>("total_hours"),
                                entry.optional<std::int64_t>("requests")});
  }
  return response;
}

std::optional<DeepgramProjectUsage> sumUsage(const DeepgramUsageResponse& response) {
  DeepgramProjectUsage usage;
  for (const auto& entry : response.results) {
    const auto requests = checkedAdd(usage.requests, entry.requests.value_or(0));
    if (!requests) return std::nullopt;
    usage.requests = *requests;
    // The billed figure when the API gives both.
    usage.hours += entry.totalHours ? *entry.totalHours : entry.hours.value_or(0);
  }
  if (!std::isfinite(usage.hours)) return std::nullopt;
  return usage;
}

// ---- Mapping ----

std::optional<std::string> aggregateNote(std::size_t projectCount, std::size_t answered,
                                         const std::optional<std::string>& singleName) {
  if (singleName) return "Project: " + *singleName;
  if (projectCount >= 2) {
    return std::to_string(answered) + "/" + std::to_string(projectCount) + " projects aggregated";
  }
  return std::nullopt;
}

UsageData makeRecord(const DeepgramProjectUsage& totals, std::optional<std::string> note, Timestamp now) {
  UsageData hours = UsageData::blank(Provider::deepgram);
  hours.used = totals.hours;
  hours.resetPeriod = ResetPeriod::monthly;
  hours.lastUpdated = now;
  hours.note = "Hours";

  UsageData record = UsageData::blank(Provider::deepgram);
  record.used = static_cast<double>(totals.requests);
  record.resetAt = startOfNextLocalMonth(now);
  record.resetPeriod = ResetPeriod::monthly;
  record.lastUpdated = now;
  record.note = std::move(note);
  record.auxiliaryUsage.push_back(std::move(hours));
  return record;
}

}  // namespace deepgram_detail

// ---- Errors ----

// ---- Service ----

std::vector<DeepgramProject> DeepgramService::fetchProjects(const std::string& key, std::stop_token stop) {
  const auto url = deepgram_detail::projectsURL(context_.origins.get(kOriginKey));
  const auto response = context_.transport.data(deepgram_detail::makeRequest(url, key), stop);
  requireOK<DeepgramError>(response);
  return deepgram_detail::decodeProjects(response.body).projects;
}

DeepgramProjectUsage DeepgramService::fetchProjectUsage(const std::string& key, const std::string& projectID,
                                                        std::stop_token stop) {
  const auto url = deepgram_detail::usageURL(context_.origins.get(kOriginKey), projectID, context_.clock.now());
  if (!url) throw DeepgramError::invalidResponse();
  const auto response = context_.transport.data(deepgram_detail::makeRequest(*url, key), stop);
  requireOK<DeepgramError>(response);
  const auto usage = deepgram_detail::sumUsage(deepgram_detail::decodeUsage(response.body));
  if (!usage) throw DeepgramError::invalidResponse();
  return *usage;
}

UsageData DeepgramService::fetchUsage(std::string_view credential, std::stop_token stop) {
  const auto key = prepareCredential(credential);
  if (key.empty()) throw DeepgramError::invalidCredentials();
  const Timestamp now = context_.clock.now();

  const auto projects = fetchProjects(key, stop);
  if (projects.empty()) throw DeepgramError::invalidCredentials();

  DeepgramProjectUsage totals;
  std::size_t answered = 0;
  std::exception_ptr lastError;
  std::optional<std::string> singleName;
  for (const auto& project : projects) {
    throwIfCancelled(stop);
    try {
      const auto usage = fetchProjectUsage(key, project.projectID, stop);
      const auto requests = checkedAdd(totals.requests, usage.requests);
      const double hours = totals.hours + usage.hours;
      // A project whose figures cannot be added is left out like one that did not answer.
      if (!requests || !std::isfinite(hours)) throw DeepgramError::invalidResponse();
      totals = {*requests, hours};
      ++answered;
      if (projects.size() == 1) singleName = project.name;
    } catch (...) {
      // A stopped fetch ends here rather than trying, and failing, every remaining project.
      if (stop.stop_requested()) throw;
      lastError = std::current_exception();
    }
  }
  if (answered == 0) std::rethrow_exception(lastError);

  return deepgram_detail::makeRecord(totals, deepgram_detail::aggregateNote(projects.size(), answered, singleName),
                                     now);
}

}  // namespace dapplewick
