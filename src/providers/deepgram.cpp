#include "providers/deepgram.hpp"

#include <chrono>
#include <cmath>
#include <exception>
#include <utility>

#include "common/dates.hpp"
#include "common/json_read.hpp"
#include "common/numbers.hpp"
#include "common/url.hpp"
#include "providers/shared/credential.hpp"
#include "providers/shared/request.hpp"
#include "providers/shared/response.hpp"
#include "providers/shared/user_agents.hpp"

namespace dapplewick {
namespace deepgram {
namespace {

// ---- Constants ----

constexpr std::string_view kProjectsPath = "/v1/projects";
constexpr std::string_view kUsageSuffix = "/usage/breakdown";

// Midnight UTC on the first of the month that holds `now`.
Timestamp usageStart(Timestamp now) {
  using namespace std::chrono;
  const year_month_day today{floor<days>(now)};
  return Timestamp(sys_days(today.year() / today.month() / 1));
}

HTTPRequest keyedGet(std::string url, std::string_view key) {
  return jsonGet(std::move(url), {"Authorization", "Token " + std::string(key)}, kBrowserUserAgent);
}

}  // namespace

// ---- Requests ----

HTTPRequest projectsRequest(std::string_view origin, std::string_view key) {
  return keyedGet(std::string(origin) + std::string(kProjectsPath), key);
}

std::optional<HTTPRequest> usageRequest(std::string_view origin, std::string_view key, std::string_view projectID,
                                        Timestamp now) {
  // Percent-encoding keeps a hostile identifier inside its segment ("a/b", "?x"), but "." and ".." survive it
  // and would be resolved as a path step, and an empty one would ask for a different endpoint.
  if (projectID.empty() || projectID == "." || projectID == "..") return std::nullopt;
  const std::string url =
      std::string(origin) + std::string(kProjectsPath) + "/" + percentEncode(projectID) + std::string(kUsageSuffix);
  return keyedGet(withQuery(url, {{"start", formatRFC3339Seconds(usageStart(now))}}), key);
}

// ---- Response readers ----

std::vector<Project> readProjects(std::string_view body) {
  const Json json = parseJson(body);
  const auto root = JsonRef::root(json);
  std::vector<Project> projects;
  for (const auto& element : root.at("projects").elements()) {
    const auto project = element.as<JsonRef>();
    projects.push_back({project.required<std::string>("project_id"), project.optional<std::string>("name")});
  }
  return projects;
}

ProjectUsage readUsage(std::string_view body) {
  const Json json = parseJson(body);
  const auto root = JsonRef::root(json);
  struct Entry {
    std::optional<double> hours;
    std::optional<double> totalHours;
    std::optional<std::int64_t> requests;
  };
  // Every entry is decoded before any is added, so that a malformed body fails as a whole.
  std::vector<Entry> entries;
  for (const auto& element : root.at("results").elements()) {
    const auto entry = element.as<JsonRef>();
    entries.push_back({entry.optional<double>("hours"), entry.optional<double>("total_hours"),
                       entry.optional<std::int64_t>("requests")});
  }
  ProjectUsage usage;
  for (const auto& entry : entries) {
    const auto requests = checkedAdd(usage.requests, entry.requests.value_or(0));
    if (!requests) throw DeepgramError::invalidResponse();
    usage.requests = *requests;
    // The billed figure when the API gives both.
    usage.hours += entry.totalHours ? *entry.totalHours : entry.hours.value_or(0);
  }
  if (!std::isfinite(usage.hours)) throw DeepgramError::invalidResponse();
  return usage;
}

// ---- Mapping ----

UsageData makeUsageData(const Aggregate& aggregate, Timestamp now) {
  UsageData hours = UsageData::blank(Provider::deepgram);
  hours.used = aggregate.totals.hours;
  hours.resetPeriod = ResetPeriod::monthly;
  hours.lastUpdated = now;
  hours.note = "Hours";

  UsageData record = UsageData::blank(Provider::deepgram);
  record.used = static_cast<double>(aggregate.totals.requests);
  record.resetAt = startOfNextLocalMonth(now);
  record.resetPeriod = ResetPeriod::monthly;
  record.lastUpdated = now;
  if (aggregate.singleName) {
    record.note = "Project: " + *aggregate.singleName;
  } else if (aggregate.projectCount >= 2) {
    record.note =
        std::to_string(aggregate.answered) + "/" + std::to_string(aggregate.projectCount) + " projects aggregated";
  }
  record.auxiliaryUsage.push_back(std::move(hours));
  return record;
}

}  // namespace deepgram

// ---- Service ----

UsageData DeepgramService::fetchUsage(std::string_view credential, std::stop_token stop) {
  const std::string key = requireCredential<DeepgramError>(credential);
  const Timestamp now = context_.clock.now();

  const auto projects = fetchProjects(key, stop);
  if (projects.empty()) throw DeepgramError::invalidCredentials();

  deepgram::Aggregate aggregate;
  aggregate.projectCount = projects.size();
  std::exception_ptr lastError;
  for (const auto& project : projects) {
    throwIfCancelled(stop);
    try {
      const auto usage = fetchProjectUsage(key, project.projectID, stop);
      const auto requests = checkedAdd(aggregate.totals.requests, usage.requests);
      const double hours = aggregate.totals.hours + usage.hours;
      // A project whose figures cannot be added is left out like one that did not answer.
      if (!requests || !std::isfinite(hours)) throw DeepgramError::invalidResponse();
      aggregate.totals = {*requests, hours};
      ++aggregate.answered;
      if (projects.size() == 1) aggregate.singleName = project.name;
    } catch (const JsonTooLargeError&) {
      // Too dense to read is no silence: it ends the fetch rather than leaving the project out.
      throw;
    } catch (...) {
      // A stopped fetch ends here rather than trying, and failing, every remaining project.
      if (stop.stop_requested()) throw;
      lastError = std::current_exception();
    }
  }
  if (aggregate.answered == 0) std::rethrow_exception(lastError);
  return deepgram::makeUsageData(aggregate, now);
}

std::vector<deepgram::Project> DeepgramService::fetchProjects(const std::string& key, std::stop_token stop) {
  const auto request = deepgram::projectsRequest(context_.origins.get(deepgram::kOriginKey), key);
  const auto response = context_.transport.data(request, std::move(stop));
  requireOK<DeepgramError>(response);
  return deepgram::readProjects(response.body);
}

deepgram::ProjectUsage DeepgramService::fetchProjectUsage(const std::string& key, const std::string& projectID,
                                                          std::stop_token stop) {
  const auto request =
      deepgram::usageRequest(context_.origins.get(deepgram::kOriginKey), key, projectID, context_.clock.now());
  if (!request) throw DeepgramError::invalidResponse();
  const auto response = context_.transport.data(*request, std::move(stop));
  requireOK<DeepgramError>(response);
  return deepgram::readUsage(response.body);
}

}  // namespace dapplewick
