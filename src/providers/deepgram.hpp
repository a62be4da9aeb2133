#pragma once

#include <cstdint>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>
#include <vector>

#include "common/service_error.hpp"
#include "model/clock.hpp"
#include "model/http.hpp"
#include "model/usage_data.hpp"
#include "providers/shared/service_context.hpp"

namespace dapplewick {

// ---- Response records ----

struct DeepgramProject {
  std::string projectID;
  std::optional<std::string> name;
  bool operator==(const DeepgramProject&) const = default;
};

struct DeepgramProjectsResponse {
  std::vector<DeepgramProject> projects;
};

struct DeepgramUsageEntry {
  std::optional<double> hours;
  std::optional<double> totalHours;
  std::optional<std::int64_t> requests;
};

struct DeepgramUsageResponse {
  std::vector<DeepgramUsageEntry> results;
};

// One project's figures for the current month.
struct DeepgramProjectUsage {
  std::int64_t requests = 0;
  double hours = 0;
  bool operator==(const DeepgramProjectUsage&) const = default;
};

// ---- Errors ----

enum class DeepgramErrorCode { httpError, invalidCredentials, invalidResponse };

class DeepgramError : public ServiceErrorOf<DeepgramError, DeepgramErrorCode> {
 public:
  using ServiceErrorOf::ServiceErrorOf;
  static constexpr ServiceErrorTexts kTexts{"Deepgram API error ", "Invalid Deepgram API key",
                                            "Unexpected response from Deepgram"};
};

// ---- Service ----

// A Deepgram account's requests and hours in the current month, added up over every project the API key sees.
// The projects are asked one after another; a project that fails is left out and counted in the note.
class DeepgramService {
 public:
  explicit DeepgramService(const ServiceContext& context) : context_(context) {}

  UsageData fetchUsage(std::string_view credential, std::stop_token stop = {});

  // The projects the prepared key can see, in the order of the body.
  std::vector<DeepgramProject> fetchProjects(const std::string& key, std::stop_token stop = {});
  // One project's figures since the start of the current UTC month. Throws invalidResponse, before any request,
  // for an identifier that cannot stand as one path segment.
  DeepgramProjectUsage fetchProjectUsage(const std::string& key, const std::string& projectID,
                                         std::stop_token stop = {});

 private:
  ServiceContext context_;
};

namespace deepgram_detail {

// GET requests with the account's key; the body-less form the API expects.
HTTPRequest makeRequest(std::string url, const std::string& key);

std::string projectsURL(const std::string& origin);
// Nothing when `projectID` is empty, "." or "..": as a path segment those would address another resource.
std::optional<std::string> usageURL(const std::string& origin, std::string_view projectID, Timestamp now);

// Midnight UTC on the first of the month that holds `now`.
Timestamp usageStart(Timestamp now);

// Strict decoding; a failure is a DecodingError naming the key path.
DeepgramProjectsResponse decodeProjects(std::string_view body);
DeepgramUsageResponse decodeUsage(std::string_view body);

// Requests and hours over every entry; nothing when the requests overflow 64 bits or the hours are not finite.
std::optional<DeepgramProjectUsage> sumUsage(const DeepgramUsageResponse& response);

// "Project: NAME" for a single named project, "ANSWERED/COUNT projects aggregated" for two or more, else nothing.
std::optional<std::string> aggregateNote(std::size_t projectCount, std::size_t answered,
                                         const std::optional<std::string>& singleName);

UsageData makeRecord(const DeepgramProjectUsage& totals, std::optional<std::string> note, Timestamp now);

}  // namespace deepgram_detail

}  // namespace dapplewick
