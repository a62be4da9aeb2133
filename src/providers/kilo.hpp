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
namespace kilo {

// ---- Constants and origin keys ----

inline constexpr std::string_view kOriginKey = "kilo";
inline constexpr std::array kOriginKeys{kOriginKey};
// One tRPC batch of three procedures, answered by position: 0 the credit blocks, 1 the Kilo Pass state, 2 the
// auto top-up method (asked for with the others, never read). The commas stay literal in the path.
inline constexpr std::string_view kBatchPath =
    "/api/trpc/user.getCreditBlocks,kiloPass.getState,user.getAutoTopUpPaymentMethod";
inline constexpr std::string_view kBatchInput = R"({"0":{"json":null},"1":{"json":null},"2":{"json":null}})";

// ---- Request ----

HTTPRequest batchRequest(std::string_view origin, std::string_view apiKey);

// ---- The batch answer, read leniently ----

// Dollars.
struct Credits {
  std::optional<double> used;
  std::optional<double> total;
  std::optional<double> remaining;
  bool operator==(const Credits&) const = default;
};

// Dollars of the current pass period, and when it renews.
struct PassState {
  std::optional<double> used;
  std::optional<double> total;
  std::optional<Timestamp> resetAt;
  bool operator==(const PassState&) const = default;
};

struct Batch {
  Credits credits;
  PassState pass;
  bool operator==(const Batch&) const = default;
};

// A 200 answer: an array of results by position, or an object keyed by positions. Procedures that failed inside
// the batch leave their figures absent; a body that is neither form throws KiloError::invalidResponse().
Batch readBatch(std::string_view body);

// A whole value without decimals ("15"), any other with two ("12.50").
std::string formatCredits(double value);

// ---- Mapping ----

UsageData makeUsageData(const Batch& batch, Timestamp now);

}  // namespace kilo

// ---- Service ----

// The credit balance and the Kilo Pass spend of a Kilo account, from one batched request.
class KiloService {
 public:
  explicit KiloService(const ServiceContext& context) : context_(context) {}

  UsageData fetchUsage(std::string_view credential, std::stop_token stop = {});

 private:
  ServiceContext context_;
};

// ---- Errors ----

enum class KiloErrorCode { httpError, invalidCredentials, invalidResponse };

class KiloError : public ServiceErrorOf<KiloError, KiloErrorCode> {
 public:
  using ServiceErrorOf::ServiceErrorOf;
  static constexpr ServiceErrorTexts kTexts{"Kilo API error ", "Invalid Kilo API key", "Unexpected response from Kilo"};
};

}  // namespace dapplewick
