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
namespace mimo {

// ---- Constants and origin keys ----

inline constexpr std::string_view kOriginKey = "mimo";
inline constexpr std::array kOriginKeys{kOriginKey};
inline constexpr std::string_view kBalancePath = "/api/v1/balance";
inline constexpr std::string_view kPlanDetailPath = "/api/v1/tokenPlan/detail";
inline constexpr std::string_view kPlanUsagePath = "/api/v1/tokenPlan/usage";

// ---- Credential and requests ----

// The console's cookies out of a pasted credential: with both required cookies present, only the known ones,
// sorted by name and joined by "; " (a later duplicate wins, an empty value counts as absent); otherwise the
// trimmed text as it is. Nothing for a blank credential.
std::optional<std::string> normalizeCookie(std::string_view credential);

// One console read; `path` is one of the three paths above.
HTTPRequest consoleRequest(std::string_view origin, std::string_view path, std::string_view cookie);

// ---- Response readers and mapping ----

// The balance body (required) and the plan bodies (each left out when its request failed) to the record. The
// balance must decode and succeed (DecodingError or MiMoError otherwise); a plan body that does not decode or
// reports a failure is passed over.
UsageData buildUsage(std::string_view balanceBody, const std::optional<std::string>& detailBody,
                     const std::optional<std::string>& usageBody, Timestamp now);

// "12.5 CNY": at most four fraction digits, no grouping, one space, the currency.
std::string formatBalance(std::string_view currency, double balance);

}  // namespace mimo

// ---- Service ----

// The token-plan usage (or, without a plan, the balance) of a Xiaomi MiMo console account, read with the browser
// session cookies. The balance and the two plan reads run concurrently; only the balance is required.
class MiMoService {
 public:
  explicit MiMoService(const ServiceContext& context) : context_(context) {}

  // `credential` is the stored string without its kind prefix.
  UsageData fetchUsage(std::string_view credential, std::stop_token stop = {});

 private:
  std::string fetchData(std::string_view path, const std::string& cookie, std::stop_token stop) const;

  ServiceContext context_;
};

// ---- Errors ----

enum class MiMoErrorCode { httpError, parseFailed, invalidCredentials, loginRequired, invalidResponse };

class MiMoError : public ServiceErrorOf<MiMoError, MiMoErrorCode> {
 public:
  using ServiceErrorOf::ServiceErrorOf;
  // invalidCredentials is the expired session (403); a missing login (401) is loginRequired.
  static constexpr ServiceErrorTexts kTexts{"Xiaomi MiMo API error ",
                                            "Xiaomi MiMo session expired \u2014 please log in again",
                                            "Unexpected response from Xiaomi MiMo"};
  static MiMoError parseFailed(const std::string& message);
  static MiMoError loginRequired();
};

}  // namespace dapplewick
