#include "providers/venice.hpp"

#include <algorithm>

#include "common/json_lenient.hpp"
#include "common/json_read.hpp"
#include "common/numbers.hpp"
#include "common/text.hpp"
#include "providers/shared/credential.hpp"
#include "providers/shared/request.hpp"
#include "providers/shared/response.hpp"
#include "providers/shared/user_agents.hpp"

namespace dapplewick::venice {
namespace {

// Booleans are no figures here, unlike in lenientNumber.
std::optional<double> lenientFigure(const Json* value) {
  return numberOrNumericText(value, NumberTextTrim::whitespace);
}

bool isPositive(std::optional<double> value) { return value && *value > 0; }

}  // namespace

// ---- Requests ----

HTTPRequest balanceRequest(std::string_view origin, std::string_view apiKey) {
  return jsonGet(std::string(origin) + std::string(kBalancePath), bearerHeader(apiKey), kDapplewickUserAgent);
}

// ---- Readers ----

BalanceSnapshot readBalance(std::string_view body) {
  const Json document = parseJson(body);
  const JsonRef root = JsonRef::root(document).as<JsonRef>();
  BalanceSnapshot snapshot;
  snapshot.canConsume = root.required<bool>("canConsume");
  snapshot.consumptionCurrency = root.optional<std::string>("consumptionCurrency");
  const Json& balances = root.required<JsonRef>("balances").json();
  snapshot.diemBalance = lenientFigure(member(&balances, "diem"));
  snapshot.usdBalance = lenientFigure(member(&balances, "usd"));
  snapshot.diemEpochAllocation = lenientFigure(member(&document, "diemEpochAllocation"));
  return snapshot;
}

// ---- Mapping ----

UsageData makeUsageData(const BalanceSnapshot& snapshot, Timestamp now) {
  UsageData data = UsageData::blank(Provider::venice);
  data.resetPeriod = ResetPeriod::monthly;
  data.lastUpdated = now;
  const auto exhausted = [&data](std::string note) {
    data.used = 100;
    data.limit = 100;
    data.note = std::move(note);
    return data;
  };
  const auto usdRemaining = [&] {
    data.note = "$" + formatFixed(*snapshot.usdBalance, 4) + " USD remaining";
    return data;
  };

  if (!snapshot.canConsume) return exhausted("Balance unavailable for API calls");
  const bool paysInUSD = snapshot.consumptionCurrency && equalsIgnoringASCIICase(*snapshot.consumptionCurrency, "USD");
  if (paysInUSD && isPositive(snapshot.usdBalance)) return usdRemaining();
  if (snapshot.diemBalance && isPositive(snapshot.diemEpochAllocation)) {
    const double allocation = *snapshot.diemEpochAllocation;
    const double spent = std::max(allocation - *snapshot.diemBalance, 0.0);
    data.used = std::min(spent / allocation * 100, 100.0);
    data.limit = 100;
    data.note =
        "DIEM " + formatFixed(*snapshot.diemBalance, 2) + " / " + formatFixed(allocation, 2) + " epoch allocation";
    return data;
  }
  if (isPositive(snapshot.diemBalance)) {
    data.note = "DIEM " + formatFixed(*snapshot.diemBalance, 2) + " remaining";
    return data;
  }
  if (isPositive(snapshot.usdBalance)) return usdRemaining();
  return exhausted("No Venice API balance available");
}

}  // namespace dapplewick::venice

namespace dapplewick {

// ---- The service ----

UsageData VeniceService::fetchUsage(std::string_view credential, std::stop_token stop) {
  const std::string apiKey = requireCredential<VeniceError>(credential);
  const auto request = venice::balanceRequest(context_.origins.get(venice::kOriginKey), apiKey);
  const std::string body = okBody<VeniceError>(context_.transport, request, std::move(stop));
  return venice::makeUsageData(venice::readBalance(body), context_.clock.now());
}

}  // namespace dapplewick
