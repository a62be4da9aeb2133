#pragma once

#include <array>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>

#include "common/service_error.hpp"
#include "common/timestamp.hpp"
#include "model/http.hpp"
#include "model/usage_data.hpp"
#include "providers/shared/service_context.hpp"

namespace dapplewick {
namespace alibaba {

// ---- Constants and origin keys ----

// Each site has a console (pages, the token plan) and a gateway (the coding plan).
inline constexpr std::string_view kInternationalOriginKey = "alibaba.international";
inline constexpr std::string_view kInternationalGatewayOriginKey = "alibaba.internationalgateway";
inline constexpr std::string_view kChinaOriginKey = "alibaba.china";
inline constexpr std::string_view kChinaGatewayOriginKey = "alibaba.chinagateway";
inline constexpr std::array kOriginKeys{kInternationalOriginKey, kInternationalGatewayOriginKey, kChinaOriginKey,
                                        kChinaGatewayOriginKey};

// The international site is tried first; the China site once, when the first rejects the session.
enum class ConsoleSite { international, china };

struct SiteOrigins {
  std::string console;
  std::string gateway;
};

// ---- Requests ----

// The console pages keep their fragment, which the console's scripts read; the transport never sends it.
std::string codingPlanConsoleURL(std::string_view consoleOrigin, ConsoleSite site);
std::string tokenPlanConsoleURL(std::string_view consoleOrigin, ConsoleSite site);

// A GET of a console page, for the anti-forgery token its scripts carry.
HTTPRequest pageRequest(std::string pageURL, std::string_view cookie);
// The token a console page assigns in its scripts, by the first of five patterns that finds one.
std::optional<std::string> scrapeSecToken(std::string_view html);

// What every data request carries: the pasted Cookie header and the anti-forgery token, when one was found.
struct Session {
  std::string cookie;
  std::optional<std::string> secToken;
};

// The coding-plan instance query, a form posted to the site's gateway. `traceId` names the request for the
// console's tracing.
HTTPRequest codingPlanRequest(const SiteOrigins& origins, ConsoleSite site, const Session& session,
                              std::string_view traceId);
// The token-plan subscription summary, a form posted to the site's console.
HTTPRequest tokenPlanRequest(std::string_view consoleOrigin, ConsoleSite site, const Session& session);

// ---- Readers of a 200 answer ----

// The first window (5 hours, week, billing month) with a usable total, as a percentage with the counts in the
// note. A login signal in the answer is AlibabaError::loginRequired, anything unreadable parseFailed.
UsageData parseCodingPlanResponse(std::string_view body, Timestamp now);
// The used share of the monthly credits, or the remaining credits when the answer gives no total. An HTML page or
// an unsuccessful answer mentioning a login is loginRequired, another unsuccessful answer apiError with the
// console's message.
UsageData parseTokenPlanResponse(std::string_view body, Timestamp now);

}  // namespace alibaba

// ---- Service ----

// The coding plan (`alibaba`) and the token plan (`alibabatokenplan`) of an Alibaba Cloud model-service account,
// read through the web console with the browser session cookie. One instance serves both providers; nothing is
// kept between fetches.
class AlibabaService {
 public:
  explicit AlibabaService(const ServiceContext& context) : context_(context) {}

  UsageData fetchUsage(std::string_view credential, std::stop_token stop = {});
  UsageData fetchTokenPlanUsage(std::string_view credential, std::stop_token stop = {});

 private:
  enum class Plan { coding, token };
  UsageData fetchPlan(Plan plan, std::string_view credential, std::stop_token stop) const;
  UsageData attempt(Plan plan, const std::string& cookie, alibaba::ConsoleSite site, std::stop_token stop) const;
  // Never fails the fetch but for a stop: without the page's token, the cookie's own is sent, if any.
  std::optional<std::string> fetchSecToken(const std::string& cookie, const std::string& pageURL,
                                           const std::stop_token& stop) const;

  ServiceContext context_;
};

// ---- Errors ----

enum class AlibabaErrorCode { httpError, apiError, parseFailed, invalidCredentials, invalidResponse, loginRequired };

class AlibabaError : public ServiceErrorOf<AlibabaError, AlibabaErrorCode> {
 public:
  using ServiceErrorOf::ServiceErrorOf;
  static constexpr ServiceErrorTexts kTexts{"Alibaba HTTP error ", "Invalid Alibaba credential",
                                            "Unexpected response from Alibaba"};
  // `message` is the console's own text, cut to the usual length here.
  static AlibabaError apiError(std::string_view message);
  static AlibabaError parseFailed(const std::string& detail);
  static AlibabaError loginRequired();
};

}  // namespace dapplewick
