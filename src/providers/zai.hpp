#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>
#include <vector>

#include "common/service_error.hpp"
#include "model/http.hpp"
#include "model/usage_data.hpp"
#include "providers/shared/service_context.hpp"

namespace dapplewick {
namespace zai {

// ---- Constants and origin keys ----

inline constexpr std::string_view kInternationalOriginKey = "zai.international";
inline constexpr std::string_view kChinaOriginKey = "zai.china";
inline constexpr std::array kOriginKeys{kInternationalOriginKey, kChinaOriginKey};
inline constexpr std::string_view kQuotaPath = "/api/monitor/usage/quota/limit";

// ---- Request ----

// The quota request to one host (an origin without a path).
HTTPRequest quotaRequest(std::string_view origin, std::string_view apiKey);

// ---- The quota document, decoded strictly ----

// One limit of the plan as the server states it.
struct LimitRaw {
  std::string type;                   // "TIME_LIMIT" or "TOKENS_LIMIT"; other texts are passed over
  std::int64_t unit = 0;              // 1 day, 3 hour, 5 minute, 6 week
  std::int64_t number = 0;            // window length in units
  std::optional<std::int64_t> usage;  // the window's whole allowance
  std::optional<std::int64_t> currentValue;
  std::optional<std::int64_t> remaining;
  std::int64_t percentage = 0;
  std::optional<std::int64_t> nextResetTime;  // milliseconds since 1970
  bool operator==(const LimitRaw&) const = default;
};

struct QuotaData {
  std::vector<LimitRaw> limits;
  std::optional<std::string> planName;
  bool operator==(const QuotaData&) const = default;
};

struct QuotaResponse {
  std::int64_t code = 0;
  std::string msg;
  std::optional<QuotaData> data;
  bool success = false;
};

// Strict decoding of the whole body; throws DecodingError naming the key path. A `limits` list with any element
// that does not decode becomes empty instead of failing.
QuotaResponse decodeQuotaResponse(std::string_view body);

// ---- Classified limits ----

enum class LimitType { timeLimit, tokensLimit };

struct LimitEntry {
  LimitType type = LimitType::tokensLimit;
  std::int64_t unit = 0;
  std::int64_t number = 0;
  double percentage = 0;   // as the server stated it
  double usedPercent = 0;  // the figure shown
  std::optional<std::int64_t> windowMinutes;
  std::optional<std::string> windowLabel;
  std::optional<Timestamp> nextResetTime;
  bool operator==(const LimitEntry&) const = default;
};

struct Snapshot {
  std::optional<LimitEntry> shortestTokenLimit;
  std::vector<LimitEntry> longerTokenLimits;  // shortest window first
  std::optional<LimitEntry> timeLimit;
  std::optional<std::string> planName;
  bool operator==(const Snapshot&) const = default;
};

// Nothing for a limit type this service does not know.
std::optional<LimitEntry> classifyWindow(const LimitRaw& raw);
// Shortest window first; entries without a window last; equal keys keep their order.
void sortTokenLimits(std::vector<LimitEntry>& entries);

// The reading of a 200 answer: the snapshot, or ZaiError (empty body, failure code, no data) or DecodingError.
Snapshot readQuotaAnswer(std::string_view body);

// ---- Mapping ----

ResetPeriod resetPeriodForWindow(const std::optional<LimitEntry>& entry);
UsageData makeUsageData(const Snapshot& snapshot, Timestamp now);

}  // namespace zai

// ---- The service ----

// Reads the plan's quota limits from the international API host and, when that host rejects the key, from the
// mainland-China host.
class ZaiService {
 public:
  explicit ZaiService(const ServiceContext& context) : context_(context) {}

  UsageData fetchUsage(std::string_view credential, std::stop_token stop = {});

 private:
  // One quota request to `origin` with every status and body check.
  zai::Snapshot fetchQuota(std::string_view origin, std::string_view apiKey, std::stop_token stop);

  ServiceContext context_;
};

// ---- Errors ----

enum class ZaiErrorCode { httpError, invalidCredentials, invalidResponse };

class ZaiError : public ServiceErrorOf<ZaiError, ZaiErrorCode> {
 public:
  using ServiceErrorOf::ServiceErrorOf;
  // httpError carries the HTTP status, or the "code" of a 200 answer that reports a failure.
  static constexpr ServiceErrorTexts kTexts{"z.ai API error ", "Invalid z.ai API key", "Unexpected response from z.ai"};
};

}  // namespace dapplewick
