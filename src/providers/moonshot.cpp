#include "providers/moonshot.hpp"

#include <cmath>
#include <cstdint>

#include "common/json_read.hpp"
#include "common/numbers.hpp"
#include "providers/shared/credential.hpp"
#include "providers/shared/request.hpp"
#include "providers/shared/response.hpp"
#include "providers/shared/user_agents.hpp"

namespace dapplewick::moonshot {

// ---- Request ----

HTTPRequest balanceRequest(std::string_view origin, std::string_view apiKey) {
  return jsonGet(std::string(origin) + std::string(kBalancePath), bearerHeader(apiKey), kDapplewickUserAgent);
}

// ---- Response ----

Balances readBalance(std::string_view body) {
  const Json document = parseJson(body);
  const JsonRef root = JsonRef::root(document).as<JsonRef>();
  const auto code = root.required<std::int64_t>("code");
  const JsonRef data = root.required<JsonRef>("data");
  Balances balances{data.required<double>("available_balance"), data.required<double>("voucher_balance"),
                    data.required<double>("cash_balance")};
  (void)root.required<std::string>("scode");
  const bool status = root.required<bool>("status");
  if (code != 0 || !status) throw MoonshotError::httpError(code);
  return balances;
}

// ---- Mapping ----

UsageData makeUsageData(const Balances& balances, Timestamp now) {
  UsageData data = UsageData::blank(Provider::moonshot);
  data.used = balances.available;
  data.costSemantic = CostSemantic::none;
  data.resetPeriod = ResetPeriod::monthly;
  data.lastUpdated = now;
  std::string note = "Balance: $" + formatFixed(balances.available, 4);
  if (balances.cash < 0) note += " \u00B7 $" + formatFixed(std::fabs(balances.cash), 4) + " in deficit";
  data.note = std::move(note);
  return data;
}

}  // namespace dapplewick::moonshot

namespace dapplewick {

// ---- Service ----

UsageData MoonshotService::fetchUsage(std::string_view credential, std::stop_token stop) {
  const std::string apiKey = requireCredential<MoonshotError>(credential);
  // A key of the China platform is rejected by the international host; only that rejection sends the request on,
  // so an outage or a malformed answer is reported as it is.
  moonshot::Balances balances;
  try {
    balances = fetchBalance(context_.origins.get(moonshot::kInternationalOriginKey), apiKey, stop);
  } catch (const MoonshotError& error) {
    if (error.code() != MoonshotErrorCode::invalidCredentials) throw;
    balances = fetchBalance(context_.origins.get(moonshot::kChinaOriginKey), apiKey, stop);
  }
  return moonshot::makeUsageData(balances, context_.clock.now());
}

moonshot::Balances MoonshotService::fetchBalance(std::string_view origin, std::string_view apiKey,
                                                 std::stop_token stop) const {
  const std::string body =
      okBody<MoonshotError>(context_.transport, moonshot::balanceRequest(origin, apiKey), std::move(stop));
  return moonshot::readBalance(body);
}

}  // namespace dapplewick
