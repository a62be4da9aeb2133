#pragma once

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

// ---- Errors ----

enum class ZaiErrorCode { httpError, invalidCredentials, invalidResponse };

class ZaiError : public ServiceErrorOf<ZaiError, ZaiErrorCode> {
 public:
  using ServiceErrorOf::ServiceErrorOf;
  // httpError carries the HTTP status, or the "code" of a 200 answer that reports a failure.
  static constexpr ServiceErrorTexts kTexts{"z.ai API error ", "Invalid z.ai API key",
                                            "Unexpected response from z.ai"};
};

// ---- The quota document, decoded strictly ----

// One limit of the plan as the server states it.
struct ZaiLimitRaw {
  std::string type;  // "TIME_LIMIT" or "TOKENS_LIMIT"; other texts are passed over
  std::int64_t unit = 0;    // 1 day, 3 hour, 5 minute, 6 week
  std::int64_t number = 0;  // window length in units
  std::optional<std::int64_t> usage;  // the window's whole allowance
  std::optional<std::int64_t> currentValue;
  std::optional<std::int64_t> remaining;
  std::int64_t percentage = 0;
  std::optional<std::int64_t> nextResetTime;  // milliseconds since 1970
  bool operator==(const ZaiLimitRaw&) const = default;
};

struct ZaiQuotaData {
  std::vector<ZaiLimitRaw> limits;
  std::optional<std::string> planName;
  bool operator==(const ZaiQuotaData&) const = default;
};

struct ZaiQuotaResponse {
  std::int64_t code = 0;
  std::string msg;
  std::optional<ZaiQuotaData> data;
  bool success = false;
};

// ---- Classified limits ----

enum class ZaiLimitTypeLocal { timeLimit, tokensLimit };

struct ZaiLimitEntry {
  ZaiLimitTypeLocal type = ZaiLimitTypeLocal::tokensLimit;
  std::int64_t unit = 0;
  std::int64_t number = 0;
  double percentage = 0;   // as the server stated it
  double usedPercent = 0;  // the figure shown
  std::optional<std::int64_t> windowMinutes;
  std::optional<std::string> windowLabel;
  std::optional<Timestamp> nextResetTime;
  bool operator==(const ZaiLimitEntry&) const = default;
};

struct ZaiSnapshot {
  std::optional<ZaiLimitEntry> shortestTokenLimit;
  std::vector<ZaiLimitEntry> longerTokenLimits;  // shortest window first
  std::optional<ZaiLimitEntry> timeLimit;
  std::optional<std::string> planName;
  bool operator==(const ZaiSnapshot&) const = default;
};

namespace zai {

// The quota request for one host (an origin without a path).
HTTPRequest quotaRequest(std::string_view apiKey, std::string_view host);

// Strict decoding of the whole body; throws DecodingError naming the key path. A `limits` list with any element
// that does not decode becomes empty instead of failing.
ZaiQuotaResponse decodeQuotaResponse(std::string_view body);

// The reading of a 200 answer: the snapshot, or ZaiError (empty body, failure code, no data) or DecodingError.
ZaiSnapshot readQuotaAnswer(std::string_view body);

}  // namespace zai

// ---- The service ----

// Reads the plan's quota limits from the international API host and, when that host rejects the key, from the
// mainland-China host.
class ZaiService {
 public:
  explicit ZaiService(const ServiceContext& context) : context_(context) {}

  UsageData fetchUsage(std::string_view credential, std::stop_token stop = {});

  // One quota request to `host` with every status and body check.
  ZaiSnapshot fetchQuota(std::string_view apiKey, std::string_view host, std::stop_token stop = {});

  // Nothing for a limit type this service does not know.
  static std::optional<ZaiLimitEntry> classifyWindow(const ZaiLimitRaw& raw);
  // Shortest window first; entries without a window last; equal keys keep their order.
  static void sortTokenLimits(std::vector<ZaiLimitEntry>& entries);
  static ResetPeriod resetPeriodForWindow(const std::optional<ZaiLimitEntry>& entry);
  static UsageData makeUsageData(const ZaiSnapshot& snapshot, Timestamp now);

 private:
  ServiceContext context_;
};

}  // namespace dapplewick
