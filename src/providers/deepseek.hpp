#pragma once

#include <array>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>

#include "common/dates.hpp"
#include "common/service_error.hpp"
#include "model/http.hpp"
#include "model/usage_data.hpp"
#include "providers/shared/service_context.hpp"

namespace dapplewick {
namespace deepseek {

// ---- Constants ----

inline constexpr std::string_view kAPIOriginKey = "deepseek.api";
inline constexpr std::string_view kPlatformOriginKey = "deepseek.platform";
inline constexpr std::array kOriginKeys{kAPIOriginKey, kPlatformOriginKey};

// ---- Requests ----

HTTPRequest balanceRequest(std::string_view apiOrigin, std::string_view key);
// The spend of the calendar month that holds `date`.
HTTPRequest costRequest(std::string_view platformOrigin, std::string_view key, const CivilDate& date);

// ---- Response records and readers ----

// The account balance of a DeepSeek API key.
struct Balance {
  bool isAvailable = false;
  std::string currency;
  double totalBalance = 0;
  double grantedBalance = 0;
  double toppedUpBalance = 0;
  bool operator==(const Balance&) const = default;
};

// Reads a 200 balance body, picking one currency's entry; a body that does not decode throws DecodingError.
Balance readBalance(std::string_view body);

// Reads a 200 cost body: the sum of the readable amounts of the first item's totals. A body that does not decode
// throws DecodingError; a sum that is no finite figure throws DeepSeekError::invalidResponse().
double readCost(std::string_view body);

// ---- Mapping ----

// No quota: the record carries the month's cost, when it could be read, and explains the balance in its note
// ("¥110.5000 total balance · Paid: ¥100.5000 · Granted: ¥10.0000", with a warning in front when the balance
// cannot be used for API calls).
UsageData makeUsageData(const Balance& balance, std::optional<double> monthlyCost, Timestamp now);

}  // namespace deepseek

// ---- Service ----

// The balance (required) and the spend of the current local month (best effort) of a DeepSeek account, read
// concurrently.
class DeepSeekService {
 public:
  explicit DeepSeekService(const ServiceContext& context) : context_(context) {}

  UsageData fetchUsage(std::string_view credential, std::stop_token stop = {});

 private:
  deepseek::Balance fetchBalance(const std::string& key, std::stop_token stop) const;
  // Throws on every failure; the caller decides that a missing cost is no error.
  double fetchMonthlyCost(const std::string& key, Timestamp now, std::stop_token stop) const;

  ServiceContext context_;
};

// ---- Errors ----

enum class DeepSeekErrorCode { httpError, invalidCredentials, invalidResponse };

class DeepSeekError : public ServiceErrorOf<DeepSeekError, DeepSeekErrorCode> {
 public:
  using ServiceErrorOf::ServiceErrorOf;
  static constexpr ServiceErrorTexts kTexts{"DeepSeek API error ", "Invalid DeepSeek API key",
                                            "Unexpected response from DeepSeek"};
};

}  // namespace dapplewick
