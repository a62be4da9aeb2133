#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>
#include <vector>

#include "common/service_error.hpp"
#include "model/http.hpp"
#include "model/usage_data.hpp"
#include "providers/shared/service_context.hpp"

namespace dapplewick {
namespace windsurf {

// ---- Constants and origin keys ----

inline constexpr std::string_view kOriginKey = "windsurf";
inline constexpr std::array kOriginKeys{kOriginKey};
inline constexpr std::string_view kPlanStatusPath =
    "/_backend/exa.seat_management_pb.SeatManagementService/GetPlanStatus";

// ---- Credential ----

// The session tokens sent with the request. Only the session token is never empty; an empty one is not sent.
struct DevinAuth {
  std::string sessionToken;
  std::string auth1Token;
  std::string accountID;
  std::string primaryOrgID;
  bool operator==(const DevinAuth&) const = default;
};

// The tokens of a pasted JSON object, each from the first of its keys that holds a text not blank after trimming;
// nothing when the text is not a JSON object or names no session token.
std::optional<DevinAuth> parseDevinAuth(std::string_view trimmedCredential);
// Every token and id of a JSON credential, or the whole text when it is sent whole.
std::vector<std::string> secrets(std::string_view credential, const Environment& environment);

// ---- Requests ----

// The plan-status request message: field 1 the session token, field 2 the flag as a varint.
std::string encodePlanStatusRequest(std::string_view sessionToken, bool flag);
HTTPRequest planStatusRequest(std::string_view origin, const DevinAuth& auth);

// ---- The binary answer ----

// What the plan-status answer holds. A field seen twice keeps its last value.
struct PlanStatus {
  std::optional<std::uint64_t> remainingPercent;  // field 14
  std::optional<std::uint64_t> resetAt;           // field 17, seconds since 1970
  std::optional<std::uint64_t> fallbackResetAt;   // field 18, when 17 is absent
  std::optional<std::string> planName;            // plan info, field 2
  bool operator==(const PlanStatus&) const = default;
};

// Whether a 200 answer is a web page (a sign-in page, say) instead of the binary message: a "text/html" content type
// (ASCII case and parameters ignored), or a body whose very first byte is "<". That byte is no key the message can
// start with; blanks before it are not passed over, since "\n", "\t", "\r" and " " are keys ("\n" is field 1's).
bool isWebPage(const HTTPResponse& response);

// Reads a 200 body. Only an unreadable field 1 of the response, or a length or figure of 2^63 or more, is
// WindsurfError::invalidResponse; other damage ends a message or passes a field, keeping what was read.
PlanStatus readPlanStatus(std::string_view body);

// ---- Mapping ----

// The used share of the allowance when the remaining percentage is known, else 0 of 0 weekly.
UsageData makeUsageData(const PlanStatus& status, Timestamp now);

}  // namespace windsurf

// ---- The service ----

// Reads the plan allowance of a Windsurf account through the web backend's Connect interface, with the session
// tokens of the signed-in browser.
class WindsurfService {
 public:
  explicit WindsurfService(const ServiceContext& context) : context_(context) {}

  UsageData fetchUsage(std::string_view credential, std::stop_token stop = {});

 private:
  ServiceContext context_;
};

// ---- Errors ----

enum class WindsurfErrorCode { httpError, invalidCredentials, invalidResponse };

class WindsurfError : public ServiceErrorOf<WindsurfError, WindsurfErrorCode> {
 public:
  using ServiceErrorOf::ServiceErrorOf;
  static constexpr ServiceErrorTexts kTexts{"Windsurf API error ", "Invalid Windsurf session credential",
                                            "Unexpected response from Windsurf"};
};

}  // namespace dapplewick
