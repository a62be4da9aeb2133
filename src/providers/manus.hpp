#pragma once

#include <array>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>

#include "common/service_error.hpp"
#include "model/http.hpp"
#include "model/usage_data.hpp"
#include "providers/shared/service_context.hpp"

namespace dapplewick {
namespace manus {

// ---- Constants and origin keys ----

inline constexpr std::string_view kOriginKey = "manus";
inline constexpr std::array kOriginKeys{kOriginKey};
inline constexpr std::string_view kCreditsPath = "/user.v1.UserService/GetAvailableCredits";
// Requests name the web site as their origin, whatever host serves the API itself.
inline constexpr std::string_view kWebOrigin = "https://manus.im";

// ---- The credential ----

// The "session_id" cookie of a pasted Cookie header (its name in any letter case, its value whole even when it holds
// "="), else the whole trimmed text, which is then a bare token.
std::string extractSessionToken(std::string_view credential);

// ---- Request ----

HTTPRequest creditsRequest(std::string_view origin, std::string_view token);

// ---- The credits answer ----

// Credit figures are read leniently and are 0 when absent or unreadable.
struct Credits {
  double totalCredits = 0;
  double freeCredits = 0;
  double periodicCredits = 0;
  double addonCredits = 0;
  double refreshCredits = 0;
  double maxRefreshCredits = 0;
  double proMonthlyCredits = 0;
  double eventCredits = 0;
  std::optional<Timestamp> nextRefreshTime;
  std::optional<std::string> refreshInterval;
  bool operator==(const Credits&) const = default;
};

// The first of the members "data", "result", "response" and "availableCredits" that is present, else the body itself
// when it names at least one credit figure. Throws DecodingError for a body that decodes in neither way, and
// ManusError::parseFailed for a body that names no credit figure.
Credits decodeCredits(std::string_view body);

// The figure rounded to a whole number, halves away from zero, without grouping ("1235").
std::string formatCredits(double value);

// ---- Mapping ----

// With a monthly allowance, the used share of it and of the refresh credits; without, the credits available.
UsageData makeUsageData(const Credits& credits, Timestamp now);

}  // namespace manus

// ---- Service ----

// The credit balances of a Manus account. The credential arrives with its kind prefix dropped.
class ManusService {
 public:
  explicit ManusService(const ServiceContext& context) : context_(context) {}

  UsageData fetchUsage(std::string_view credential, std::stop_token stop = {});

 private:
  ServiceContext context_;
};

// ---- Errors ----

enum class ManusErrorCode { httpError, parseFailed, invalidCredentials, invalidResponse };

class ManusError : public ServiceErrorOf<ManusError, ManusErrorCode> {
 public:
  using ServiceErrorOf::ServiceErrorOf;
  static constexpr ServiceErrorTexts kTexts{"Manus API error ", "Invalid Manus credential",
                                            "Unexpected response from Manus"};
  static ManusError parseFailed(const std::string& message);
};

}  // namespace dapplewick
