#pragma once

#include <array>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>
#include <vector>

#include "common/service_error.hpp"
#include "model/http.hpp"
#include "model/usage_data.hpp"
#include "providers/shared/service_context.hpp"
#include "providers/shared/signing.hpp"

namespace dapplewick {
namespace doubao {

// ---- Constants and origin keys ----

// The Volcengine OpenAPI gateway (both plan calls) and the Ark chat endpoint of cn-beijing (the key probe).
inline constexpr std::string_view kOpenAPIOriginKey = "doubao.openapi";
inline constexpr std::string_view kArkOriginKey = "doubao.ark";
inline constexpr std::array kOriginKeys{kOpenAPIOriginKey, kArkOriginKey};
inline constexpr std::string_view kCodingPlanAction = "GetCodingPlanUsage";
inline constexpr std::string_view kAgentPlanAction = "GetAFPUsage";
inline constexpr std::string_view kProbePath = "/api/coding/v3/chat/completions";
inline constexpr std::string_view kDefaultRegion = "cn-beijing";
// Tried in order until one answers.
inline constexpr std::array<std::string_view, 2> kProbeModels = {"doubao-seed-2.0-code", "doubao-1.5-pro-32k"};

// ---- Credentials ----

// "ACCESS_KEY_ID:SECRET" or "ACCESS_KEY_ID:SECRET:REGION" (prefix already dropped); anything else is no pair and
// is taken for an Ark API key.
std::optional<VolcengineCredentials> parseCredential(std::string_view text);
// The access key id and secret of a pair, never the region; otherwise the Ark API key.
std::vector<std::string> secrets(std::string_view credential, const Environment& environment);

// ---- Requests ----

// A plan call: POST "/?Action=ACTION&Version=2024-01-01" with an empty body, signed at `now`.
HTTPRequest planRequest(std::string_view origin, std::string_view action, const VolcengineCredentials& credentials,
                        Timestamp now);
// A one-token chat completion with the Ark key, asking one model.
struct Probe {
  std::string_view apiKey;
  std::string_view model;
};
HTTPRequest probeRequest(std::string_view origin, const Probe& probe);

// ---- Response records and readers ----

// One window of a plan: the share used, 0 to 100.
struct Quota {
  std::string level;
  double percent = 0;
  std::optional<Timestamp> resetAt;
  bool operator==(const Quota&) const = default;
};

// Strict decoding: a missing "Result", a row without "Level" or "Percent", or a number sent as text throws
// DecodingError. Rows keep the answer's order.
std::vector<Quota> readCodingPlanQuotas(std::string_view body);
// The five-hour, weekly and monthly windows, in that order whatever the JSON order, as "agent_5h",
// "agent_weekly" and "agent_monthly"; a window without a positive quota gives no row.
std::vector<Quota> readAgentPlanQuotas(std::string_view body);

// The message of an error answer: Volcengine's "Code: Message", an "error.message", a "message", else
// "HTTP <status>", cut to 200 code points.
std::string apiErrorMessage(int status, std::string_view body);

// A rate-limit reset header: an internet date-time, a duration ("1m30s", "6m0.5s", "20ms"; d, h, m, s and ms, each
// figure may have a fraction), or seconds as a number.
std::optional<Timestamp> parseResetText(std::string_view text, Timestamp now);

// ---- Mapping ----

// The five-hour window (else weekly, monthly, the first row) as the record; weekly, monthly and every other row
// beneath. `rows` is not empty.
UsageData makeUsageData(const std::vector<Quota>& rows, Timestamp now);
// Valid keys but no plan.
UsageData makeEmptyPlanUsageData(Timestamp now);
// What the probe's rate-limit headers say; the status-only record without usable figures.
UsageData makeProbeUsageData(const HTTPHeaders& headers, Timestamp now);

}  // namespace doubao

// ---- Service ----

// Coding Plan and Agent Plan quotas with an access-key pair, or a liveness probe of an Ark API key.
class DoubaoService {
 public:
  explicit DoubaoService(const ServiceContext& context) : context_(context) {}

  UsageData fetchUsage(std::string_view credential, std::stop_token stop = {});

 private:
  UsageData fetchWithAccessKeys(const VolcengineCredentials& credentials, std::stop_token stop) const;
  std::string sendSignedRequest(std::string_view action, const VolcengineCredentials& credentials,
                                std::stop_token stop) const;
  UsageData fetchWithAPIKey(std::string_view text, std::stop_token stop) const;

  ServiceContext context_;
};

// ---- Errors ----

enum class DoubaoErrorCode { httpError, apiError, parseFailed, invalidCredentials, invalidResponse };

class DoubaoError : public ServiceErrorOf<DoubaoError, DoubaoErrorCode> {
 public:
  using ServiceErrorOf::ServiceErrorOf;
  static constexpr ServiceErrorTexts kTexts{"Doubao HTTP error ", "Invalid Doubao API key",
                                            "Unexpected response from Doubao"};
  static DoubaoError apiError(long long code, const std::string& message);
  static DoubaoError parseFailed(const std::string& message);
};

}  // namespace dapplewick
