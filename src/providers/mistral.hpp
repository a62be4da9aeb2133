#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "common/service_error.hpp"
#include "common/timestamp.hpp"
#include "model/http.hpp"
#include "model/usage_data.hpp"
#include "providers/shared/service_context.hpp"

namespace dapplewick {
namespace mistral {

// ---- Constants and origin keys ----

inline constexpr std::string_view kOriginKey = "mistral";
inline constexpr std::array kOriginKeys{kOriginKey};
inline constexpr std::string_view kUsagePath = "/api/billing/v2/usage";
inline constexpr std::string_view kRefererPath = "/organization/usage";

// ---- Request ----

// The value of the first "csrftoken" or "csrf_token" cookie (names compared in ASCII lower case), even an empty one.
std::optional<std::string> extractCSRFToken(std::string_view cookie);

// The billed usage of the UTC month that holds `now`, with the session cookie and, when the cookie carries one,
// the CSRF token.
HTTPRequest usageRequest(std::string_view origin, std::string_view cookie, Timestamp now);

// ---- The billing document, decoded strictly ----

struct UsageEntry {
  std::optional<std::string> billingMetric;
  std::optional<std::string> billingGroup;
  std::optional<std::int64_t> value;
  std::optional<std::int64_t> valuePaid;
};

struct ModelUsage {
  std::vector<UsageEntry> input;
  std::vector<UsageEntry> output;
  std::vector<UsageEntry> cached;
};

// Model name to its usage, in document order.
using ModelMap = std::vector<std::pair<std::string, ModelUsage>>;

struct Price {
  std::optional<std::string> billingMetric;
  std::optional<std::string> billingGroup;
  std::optional<std::string> price;  // one unit's price, a decimal number written as text
};

struct BillingResponse {
  // The eight model maps in the order they are summed: completion, ocr, connectors, audio, library pages,
  // library tokens, fine-tuning training, fine-tuning storage. An absent map stays empty.
  std::vector<ModelMap> modelMaps;
  std::optional<std::string> currency;
  std::optional<std::string> currencySymbol;
  std::vector<Price> prices;
};

// Every key is optional; a key of the wrong JSON type anywhere (a number as `price`, 12.5 as `value`) fails the
// whole body with DecodingError.
BillingResponse decodeBillingResponse(std::string_view body);

// ---- The month's cost ----

// "metric::group" to the unit price. Prices that are not plain decimal text (a blank in front, a currency sign,
// "NaN") are left out; a later entry replaces an earlier one of the same key.
std::map<std::string, double, std::less<>> buildPriceTable(const std::vector<Price>& prices);

// Every priced usage line summed: the paid quantity when given (even 0), else the quantity. Lines without a
// price count 0. A sum that is no finite figure throws MistralError::invalidResponse.
double computeMonthCost(const BillingResponse& response);

// ---- Mapping ----

UsageData makeUsageData(double total, const std::optional<std::string>& currencySymbol, Timestamp now);

}  // namespace mistral

// ---- Service ----

// The cost of the current month so far, from the administration console's billing interface, with the browser
// session cookie.
class MistralService {
 public:
  explicit MistralService(const ServiceContext& context) : context_(context) {}

  UsageData fetchUsage(std::string_view credential, std::stop_token stop = {});

 private:
  ServiceContext context_;
};

// ---- Errors ----

enum class MistralErrorCode { httpError, invalidCredentials, invalidResponse };

class MistralError : public ServiceErrorOf<MistralError, MistralErrorCode> {
 public:
  using ServiceErrorOf::ServiceErrorOf;
  static constexpr ServiceErrorTexts kTexts{"Mistral API error ", "Invalid Mistral session cookie",
                                            "Unexpected response from Mistral"};
};

}  // namespace dapplewick
