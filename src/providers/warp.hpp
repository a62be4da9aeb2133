#pragma once

#include <array>
#include <cstdint>
#include <stop_token>
#include <string>
#include <string_view>

#include "common/json_document.hpp"
#include "common/service_error.hpp"
#include "model/http.hpp"
#include "model/usage_data.hpp"
#include "providers/shared/service_context.hpp"

namespace dapplewick {
namespace warp {

// ---- Constants and origin keys ----

inline constexpr std::string_view kOriginKey = "warp";
inline constexpr std::array kOriginKeys{kOriginKey};
inline constexpr std::string_view kGraphQLPath = "/graphql/v2";
inline constexpr std::string_view kOperationName = "GetRequestLimitInfo";
// The client identity the server knows: the Warp app on macOS, whatever system this runs on.
inline constexpr std::string_view kOSName = "macOS";
inline constexpr std::string_view kRequestLimitQuery = "query GetRequestLimitInfo($requestContext: RequestContext!) {\n"
                                                       "  user(requestContext: $requestContext) {\n"
                                                       "    __typename\n"
                                                       "    ... on UserOutput {\n"
                                                       "      user {\n"
                                                       "        requestLimitInfo {\n"
                                                       "          isUnlimited\n"
                                                       "          nextRefreshTime\n"
                                                       "          requestLimit\n"
                                                       "          requestsUsedSinceLastRefresh\n"
                                                       "        }\n"
                                                       "      }\n"
                                                       "    }\n"
                                                       "  }\n"
                                                       "}";

// ---- The running system's version ----

// "major.minor.patch" of a version text: its first three dot-separated numbers, a missing one written 0
// ("6.1.0-18-amd64" gives "6.1.0", "15.1" gives "15.1.0").
std::string threePartVersion(std::string_view release);
// The kernel release from uname(2) on Linux, the product version on macOS, as three parts.
std::string runningOSVersion();

// ---- Requests ----

HTTPRequest requestLimitRequest(std::string_view origin, std::string_view apiKey, std::string_view osVersion);

// ---- Answers, read as untyped JSON ----

// True, false; a number other than 0; a text whose lower-case form is "true", "1" or "yes". Anything else false.
bool boolValue(const Json* value);
// An integer; a number with its fraction dropped; a text that is a whole base-10 integer with an optional sign.
// Anything else, and every value outside the signed 64-bit range, reads 0.
std::int64_t intValue(const Json* value);

// A 200 body: WarpError::invalidResponse when it is not a JSON object or lacks data.user.user.requestLimitInfo
// as objects, WarpError::invalidCredentials when it carries a non-empty "errors" list.
UsageData parseRequestLimitInfo(std::string_view body, Timestamp now);

}  // namespace warp

// ---- The service ----

// Reads the AI request allowance of a Warp account with its API key, presenting itself as the Warp client.
class WarpService {
 public:
  // `osVersion` is sent as the client's system version; tests fix it.
  explicit WarpService(const ServiceContext& context, std::string osVersion = warp::runningOSVersion())
      : context_(context), osVersion_(std::move(osVersion)) {}

  UsageData fetchUsage(std::string_view credential, std::stop_token stop = {});

 private:
  ServiceContext context_;
  std::string osVersion_;
};

// ---- Errors ----

enum class WarpErrorCode { httpError, invalidCredentials, invalidResponse };

class WarpError : public ServiceErrorOf<WarpError, WarpErrorCode> {
 public:
  using ServiceErrorOf::ServiceErrorOf;
  static constexpr ServiceErrorTexts kTexts{"Warp API error ", "Invalid Warp API key", "Unexpected response from Warp"};
};

}  // namespace dapplewick
