#pragma once

#include <stop_token>
#include <string>
#include <string_view>

#include "common/service_error.hpp"
#include "model/usage_data.hpp"
#include "providers/shared/service_context.hpp"

namespace dapplewick {

// The account balance of a DeepSeek API key.
struct DeepSeekBalance {
  bool isAvailable = false;
  std::string currency;
  double totalBalance = 0;
  double grantedBalance = 0;
  double toppedUpBalance = 0;
  bool operator==(const DeepSeekBalance&) const = default;
};

// The balance (required) and the spend of the current local month (best effort) of a DeepSeek account, read
// concurrently. No quota: the record carries the month's cost and explains the balance in its note.
class DeepSeekService {
 public:
  explicit DeepSeekService(const ServiceContext& context) : context_(context) {}

  UsageData fetchUsage(std::string_view credential, std::stop_token stop = {});
  DeepSeekBalance fetchBalance(const std::string& key, std::stop_token stop) const;
  // The spend of the local calendar month that holds `now`. Throws on every failure; the caller decides that a
  // missing cost is no error.
  double fetchMonthlyCost(const std::string& key, Timestamp now, std::stop_token stop) const;

 private:
  ServiceContext context_;
};

enum class DeepSeekErrorCode { httpError, invalidCredentials, invalidResponse };

class DeepSeekError : public ServiceErrorOf<DeepSeekError, DeepSeekErrorCode> {
 public:
  using ServiceErrorOf::ServiceErrorOf;
  static constexpr ServiceErrorTexts kTexts{"DeepSeek API error ", "Invalid DeepSeek API key",
                                            "Unexpected response from DeepSeek"};
};

namespace deepseek {

// Reads a 200 balance body; a body that does not decode throws DecodingError.
DeepSeekBalance readBalanceBody(std::string_view body);

// Reads a 200 cost body: the sum of the readable amounts of the first item's totals. A body that does not decode
// throws DecodingError; a sum that is no finite figure throws DeepSeekError::invalidResponse().
double readCostBody(std::string_view body);

// "¥110.5000 total balance · Paid: ¥100.5000 · Granted: ¥10.0000", with a warning in front when the balance
// cannot be used for API calls.
std::string balanceNote(const DeepSeekBalance& balance);

}  // namespace deepseek
}  // namespace dapplewick
