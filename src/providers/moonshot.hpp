#pragma once

#include <array>
#include <stop_token>
#include <string>
#include <string_view>

#include "common/service_error.hpp"
#include "common/timestamp.hpp"
#include "model/http.hpp"
#include "model/usage_data.hpp"
#include "providers/shared/service_context.hpp"

namespace dapplewick {
namespace moonshot {

// ---- Constants and origin keys ----

inline constexpr std::string_view kInternationalOriginKey = "moonshot.international";
inline constexpr std::string_view kChinaOriginKey = "moonshot.china";
inline constexpr std::array kOriginKeys{kInternationalOriginKey, kChinaOriginKey};
inline constexpr std::string_view kBalancePath = "/v1/users/me/balance";

// ---- Request ----

HTTPRequest balanceRequest(std::string_view origin, std::string_view apiKey);

// ---- Response ----

struct Balances {
  double available = 0;
  double voucher = 0;
  double cash = 0;
  bool operator==(const Balances&) const = default;
};

// Reads a 200 answer: every envelope field is required (DecodingError otherwise), and a failure code or a false
// status is MoonshotError::httpError with the body's code.
Balances readBalance(std::string_view body);

// ---- Mapping ----

// No quota: the available balance as `used`, and a cash deficit beside it in the note.
UsageData makeUsageData(const Balances& balances, Timestamp now);

}  // namespace moonshot

// ---- Service ----

// The balance of a Moonshot API key, from the international host or, when that host rejects the key, from the
// China host.
class MoonshotService {
 public:
  explicit MoonshotService(const ServiceContext& context) : context_(context) {}

  UsageData fetchUsage(std::string_view credential, std::stop_token stop = {});

 private:
  moonshot::Balances fetchBalance(std::string_view origin, std::string_view apiKey, std::stop_token stop) const;

  ServiceContext context_;
};

// ---- Errors ----

enum class MoonshotErrorCode { httpError, invalidCredentials, invalidResponse };

class MoonshotError : public ServiceErrorOf<MoonshotError, MoonshotErrorCode> {
 public:
  using ServiceErrorOf::ServiceErrorOf;
  // httpError carries the HTTP status, or the "code" of a 200 answer that reports a failure.
  static constexpr ServiceErrorTexts kTexts{"Moonshot API error ", "Invalid Moonshot API key",
                                            "Unexpected response from Moonshot"};
};

}  // namespace dapplewick
