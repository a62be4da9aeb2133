#pragma once

#include <array>
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
namespace t3chat {

// ---- Constants and origin keys ----

inline constexpr std::string_view kOriginKey = "t3chat";
inline constexpr std::array kOriginKeys{kOriginKey};
inline constexpr std::string_view kCustomerDataPath = "/api/trpc/getCustomerData";
// The batch input the site's own web client sends for a signed-in session.
inline constexpr std::string_view kBatchInput =
    R"({"0":{"json":{"sessionId":null},"meta":{"values":{"sessionId":["undefined"]}}}})";

// ---- Requests ----

HTTPRequest customerDataRequest(std::string_view origin, std::string_view cookieHeader);

// ---- Answers, read as untyped JSON lines ----

// The first object, depth first in document order, that holds "usageFourHourPercentage" or
// "usageMonthPercentage", or both "subscription" and "usageBand" (presence counts, null included).
const Json* findCustomerData(const Json& value);

// The customer-data object of a 200 body: T3ChatError::invalidResponse when the body is not UTF-8 or no line holds
// one. Lines that are not a JSON object or list are passed over.
UsageData readUsage(std::string_view body, Timestamp now);

// ---- Mapping ----

// The four-hour window as the main figure, the month beside it as "Overage" when both are known.
UsageData makeUsageData(const Json& customerData, Timestamp now);

}  // namespace t3chat

// ---- The service ----

// Reads the four-hour and monthly usage of a T3 Chat account through the site's own batched procedure call, with
// the browser session cookie.
class T3ChatService {
 public:
  explicit T3ChatService(const ServiceContext& context) : context_(context) {}

  UsageData fetchUsage(std::string_view credential, std::stop_token stop = {});

 private:
  ServiceContext context_;
};

// ---- Errors ----

enum class T3ChatErrorCode { httpError, invalidCredentials, invalidResponse };

class T3ChatError : public ServiceErrorOf<T3ChatError, T3ChatErrorCode> {
 public:
  using ServiceErrorOf::ServiceErrorOf;
  static constexpr ServiceErrorTexts kTexts{"T3 Chat API error ", "Invalid T3 Chat session cookie",
                                            "Unexpected response from T3 Chat"};
};

}  // namespace dapplewick
