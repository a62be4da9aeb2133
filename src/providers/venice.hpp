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
namespace venice {

// ---- Constants and origin keys ----

inline constexpr std::string_view kOriginKey = "venice";
inline constexpr std::array kOriginKeys{kOriginKey};
inline constexpr std::string_view kBalancePath = "/api/v1/billing/balance";

// ---- Requests ----

HTTPRequest balanceRequest(std::string_view origin, std::string_view apiKey);

// ---- Response records and readers ----

// What the balance answer holds. The figures are read leniently: a JSON number, or a text trimmed and read whole by
// the strict decimal grammar; anything else is absent.
struct BalanceSnapshot {
  bool canConsume = false;
  std::optional<std::string> consumptionCurrency;
  std::optional<double> diemBalance;
  std::optional<double> usdBalance;
  std::optional<double> diemEpochAllocation;
  bool operator==(const BalanceSnapshot&) const = default;
};

// Reads a 200 balance body. "canConsume" (boolean) and "balances" (object) are required and "consumptionCurrency"
// must be text when present; otherwise DecodingError.
BalanceSnapshot readBalance(std::string_view body);

// ---- Mapping ----

// The used share of the DIEM epoch allocation where there is one; otherwise a balance explained in the note.
UsageData makeUsageData(const BalanceSnapshot& snapshot, Timestamp now);

}  // namespace venice

// ---- The service ----

// Reads the DIEM and US dollar balances of a Venice API key.
class VeniceService {
 public:
  explicit VeniceService(const ServiceContext& context) : context_(context) {}

  UsageData fetchUsage(std::string_view credential, std::stop_token stop = {});

 private:
  ServiceContext context_;
};

// ---- Errors ----

enum class VeniceErrorCode { httpError, invalidCredentials, invalidResponse };

class VeniceError : public ServiceErrorOf<VeniceError, VeniceErrorCode> {
 public:
  using ServiceErrorOf::ServiceErrorOf;
  static constexpr ServiceErrorTexts kTexts{"Venice API error ", "Invalid Venice API key",
                                            "Unexpected response from Venice"};
};

}  // namespace dapplewick
