#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>
#include <vector>

#include "common/json_document.hpp"
#include "common/service_error.hpp"
#include "model/http.hpp"
#include "model/usage_data.hpp"
#include "providers/shared/service_context.hpp"

namespace dapplewick {
namespace minimax {

// ---- Constants and origin keys ----

inline constexpr std::string_view kInternationalOriginKey = "minimax.international";
inline constexpr std::string_view kChinaOriginKey = "minimax.china";
inline constexpr std::string_view kPlatformOriginKey = "minimax.platform";
inline constexpr std::array kOriginKeys{kInternationalOriginKey, kChinaOriginKey, kPlatformOriginKey};
inline constexpr std::string_view kRemainsPath = "/v1/api/openplatform/coding_plan/remains";
inline constexpr std::string_view kCodingPlanPagePath = "/user-center/payment/coding-plan";

// ---- Requests ----

// The remains request by API key to one API host. The key is sent exactly as given.
HTTPRequest remainsRequest(std::string_view apiOrigin, std::string_view apiKey);
// The coding-plan page of the platform web application, with the browser session cookie.
HTTPRequest pageRequest(std::string_view platformOrigin, std::string_view cookie);
// The web application's own remains request, with the same cookie.
HTTPRequest webRemainsRequest(std::string_view platformOrigin, std::string_view cookie);

// ---- Readers ----

// The services form ({"data":{"services":[...]}}, strictly typed): the first service with a positive limit, or
// nothing when the body is not in that form or no service qualifies.
std::optional<UsageData> usageFromServices(std::string_view body, Timestamp now);

// The "model_remains" list of objects at the top level or under "data"; nullptr when neither is such a list.
const Json* modelRemains(const Json& object);

// A JSON integer, a number truncated toward zero, or text (spaces and tabs trimmed) of a signed decimal integer;
// nothing outside 64 bits or for any other value.
std::optional<std::int64_t> intValue(const Json* value);
// An epoch integer: milliseconds above 1e12, seconds above 1e9, else nothing.
std::optional<Timestamp> epochDate(const Json* value);
// A future end, else now plus the remaining time (milliseconds above 1e6, else seconds); nothing beyond the year
// 9999.
std::optional<Timestamp> resetDate(std::optional<Timestamp> end, std::optional<std::int64_t> remains, Timestamp now);

// The record of a remains body: the services form first, then the first "model_remains" entry, whose
// "*_usage_count" figures are what is left of the allowance. MiniMaxError::parseFailed when neither reads.
UsageData parseRemains(std::string_view body, Timestamp now);

}  // namespace minimax

// ---- Service ----

// The coding-plan quota of a MiniMax account: by API key from the open-platform API (international host, then the
// mainland-China host for a rejected key), or by browser session from the platform web application.
class MiniMaxService {
 public:
  explicit MiniMaxService(const ServiceContext& context) : context_(context) {}

  // Both take the credential without its kind prefix and send it untrimmed.
  UsageData fetchUsageWithCookie(std::string_view cookie, std::stop_token stop = {});
  UsageData fetchUsageWithAPIKey(std::string_view apiKey, std::stop_token stop = {});

 private:
  // Sends the request; every status but 200 is a MiniMaxError.
  HTTPResponse send(const HTTPRequest& request, std::stop_token stop) const;

  ServiceContext context_;
};

// ---- Errors ----

enum class MiniMaxErrorCode { httpError, parseFailed, invalidCredentials, invalidResponse };

class MiniMaxError : public ServiceErrorOf<MiniMaxError, MiniMaxErrorCode> {
 public:
  using ServiceErrorOf::ServiceErrorOf;
  static constexpr ServiceErrorTexts kTexts{"MiniMax API error ", "Invalid MiniMax credential",
                                            "Unexpected response from MiniMax"};
  static MiniMaxError parseFailed(const std::string& message);
};

}  // namespace dapplewick
