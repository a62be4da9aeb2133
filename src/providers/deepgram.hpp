#pragma once

#include <array>
#include <cstddef>
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
namespace deepgram {

// ---- Constants ----

inline constexpr std::string_view kOriginKey = "deepgram";
inline constexpr std::array kOriginKeys{kOriginKey};

// ---- Requests ----

// GET requests with the account's key; the body-less form the API expects.
HTTPRequest projectsRequest(std::string_view origin, std::string_view key);
// One project's breakdown since midnight UTC on the first of the month that holds `now`. Nothing when
// `projectID` is empty, "." or "..": as a path segment those would address another resource.
std::optional<HTTPRequest> usageRequest(std::string_view origin, std::string_view key, std::string_view projectID,
                                        Timestamp now);

// ---- Response records and readers ----

struct Project {
  std::string projectID;
  std::optional<std::string> name;
  bool operator==(const Project&) const = default;
};

// One project's figures for the current month.
struct ProjectUsage {
  std::int64_t requests = 0;
  double hours = 0;
  bool operator==(const ProjectUsage&) const = default;
};

// The projects the key can see, in the order of the body. Strict: a failure is a DecodingError naming the key path.
std::vector<Project> readProjects(std::string_view body);
// Requests and hours over every entry of a breakdown, decoded strictly. Throws DeepgramError::invalidResponse()
// when the requests overflow 64 bits or the hours are not finite.
ProjectUsage readUsage(std::string_view body);

// ---- Mapping ----

// The month's figures added up over the projects that answered.
struct Aggregate {
  ProjectUsage totals;
  std::size_t projectCount = 0;
  std::size_t answered = 0;
  std::optional<std::string> singleName;  // the name of the only project, when the account has one
};

// Requests as the main record, hours as its auxiliary one; the note is "Project: NAME" for a single named
// project, "ANSWERED/COUNT projects aggregated" for two or more.
UsageData makeUsageData(const Aggregate& aggregate, Timestamp now);

}  // namespace deepgram

// ---- Service ----

// A Deepgram account's requests and hours in the current month, added up over every project the API key sees.
// The projects are asked one after another; a project that fails is left out and counted in the note.
class DeepgramService {
 public:
  explicit DeepgramService(const ServiceContext& context) : context_(context) {}

  UsageData fetchUsage(std::string_view credential, std::stop_token stop = {});

 private:
  std::vector<deepgram::Project> fetchProjects(const std::string& key, std::stop_token stop);
  // Throws invalidResponse, before any request, for an identifier that cannot stand as one path segment.
  deepgram::ProjectUsage fetchProjectUsage(const std::string& key, const std::string& projectID, std::stop_token stop);

  ServiceContext context_;
};

// ---- Errors ----

enum class DeepgramErrorCode { httpError, invalidCredentials, invalidResponse };

class DeepgramError : public ServiceErrorOf<DeepgramError, DeepgramErrorCode> {
 public:
  using ServiceErrorOf::ServiceErrorOf;
  static constexpr ServiceErrorTexts kTexts{"Deepgram API error ", "Invalid Deepgram API key",
                                            "Unexpected response from Deepgram"};
};

}  // namespace dapplewick
