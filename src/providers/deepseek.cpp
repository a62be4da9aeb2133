#include "providers/deepseek.hpp"

#include <cmath>
#include <utility>
#include <vector>

#include "common/json_read.hpp"
#include "common/numbers.hpp"
#include "common/task_group.hpp"
#include "common/text.hpp"
#include "common/url.hpp"
#include "providers/shared/credential.hpp"
#include "providers/shared/request.hpp"
#include "providers/shared/response.hpp"
#include "providers/shared/user_agents.hpp"

namespace dapplewick {
namespace deepseek {
namespace {

// ---- Constants ----

constexpr std::string_view kBalancePath = "/user/balance";
constexpr std::string_view kCostPath = "/api/v0/usage/cost";
constexpr std::string_view kUnavailablePrefix = "Balance unavailable for API calls. ";

HTTPRequest bearerGet(std::string url, std::string_view key) {
  return jsonGet(std::move(url), bearerHeader(key), kDapplewickUserAgent);
}

}  // namespace

// ---- Requests ----

HTTPRequest balanceRequest(std::string_view apiOrigin, std::string_view key) {
  return bearerGet(std::string(apiOrigin) + std::string(kBalancePath), key);
}

HTTPRequest costRequest(std::string_view platformOrigin, std::string_view key, const CivilDate& date) {
  return bearerGet(withQuery(std::string(platformOrigin) + std::string(kCostPath),
                             {{"month", std::to_string(date.month)}, {"year", std::to_string(date.year)}}),
                   key);
}

// ---- Response readers ----

namespace {

struct BalanceInfo {
  std::string currency;
  std::string totalBalance;
  std::string grantedBalance;
  std::string toppedUpBalance;
};

bool hasPositiveTotal(const BalanceInfo& info) {
  const auto total = parseDecimal(info.totalBalance);
  return total && *total > 0;
}

// A funded USD entry first, then any funded entry, then any USD entry, then the first one.
const BalanceInfo& pickBalance(const std::vector<BalanceInfo>& infos) {
  const auto find = [&](auto&& qualifies) -> const BalanceInfo* {
    for (const auto& info : infos) {
      if (qualifies(info)) return &info;
    }
    return nullptr;
  };
  if (const auto* info = find([](const BalanceInfo& i) { return i.currency == "USD" && hasPositiveTotal(i); })) {
    return *info;
  }
  if (const auto* info = find(hasPositiveTotal)) return *info;
  if (const auto* info = find([](const BalanceInfo& i) { return i.currency == "USD"; })) return *info;
  return infos.front();
}

}  // namespace

Balance readBalance(std::string_view body) {
  const Json document = parseJson(body);
  const JsonRef root = JsonRef::root(document).as<JsonRef>();
  const bool isAvailable = root.required<bool>("is_available");
  std::vector<BalanceInfo> infos;
  for (const JsonRef& element : root.at("balance_infos").elements()) {
    const JsonRef entry = element.as<JsonRef>();
    infos.push_back({entry.required<std::string>("currency"), entry.required<std::string>("total_balance"),
                     entry.required<std::string>("granted_balance"), entry.required<std::string>("topped_up_balance")});
  }
  if (infos.empty()) return {false, "USD", 0, 0, 0};

  const BalanceInfo& picked = pickBalance(infos);
  const auto amount = [](const std::string& text) { return parseDecimal(text).value_or(0); };
  return {isAvailable, picked.currency, amount(picked.totalBalance), amount(picked.grantedBalance),
          amount(picked.toppedUpBalance)};
}

double readCost(std::string_view body) {
  const Json document = parseJson(body);
  const JsonRef root = JsonRef::root(document).as<JsonRef>();
  // Every item is decoded so that a malformed body fails as a whole, though only the first item counts.
  std::vector<std::vector<std::string>> itemAmounts;
  if (const auto data = root.optional<JsonRef>("data")) {
    if (const auto bizData = data->get("biz_data")) {
      for (const JsonRef& item : bizData->elements()) {
        std::vector<std::string> amounts;
        if (const auto total = item.as<JsonRef>().get("total")) {
          for (const JsonRef& entry : total->elements()) {
            const JsonRef fields = entry.as<JsonRef>();
            (void)fields.optional<std::string>("type");
            amounts.push_back(fields.optional<std::string>("amount").value_or(""));
          }
        }
        itemAmounts.push_back(std::move(amounts));
      }
    }
  }
  double sum = 0;
  if (!itemAmounts.empty()) {
    for (const auto& text : itemAmounts.front()) {
      if (const auto amount = parseDecimal(text)) sum += *amount;
    }
  }
  // Readable amounts can still overflow when added; such a total is no spend to record.
  if (!std::isfinite(sum)) throw DeepSeekError::invalidResponse();
  return sum;
}

// ---- Mapping ----

namespace {

std::string balanceNote(const Balance& balance) {
  const std::string symbol = balance.currency == "CNY" ? "\u00A5" : "$";
  const auto note = joinNotes({symbol + formatFixed(balance.totalBalance, 4) + " total balance",
                               "Paid: " + symbol + formatFixed(balance.toppedUpBalance, 4),
                               "Granted: " + symbol + formatFixed(balance.grantedBalance, 4)});
  if (balance.isAvailable) return *note;
  return std::string(kUnavailablePrefix) + *note;
}

}  // namespace

UsageData makeUsageData(const Balance& balance, std::optional<double> monthlyCost, Timestamp now) {
  UsageData record = UsageData::blank(Provider::deepSeek);
  // Without a readable cost the record claims no spend at all: a month-to-date cost of 0 would be filed in the
  // spend history as if it were true.
  record.cost = monthlyCost.value_or(0);
  record.costSemantic = monthlyCost ? CostSemantic::periodCumulative : CostSemantic::none;
  record.resetPeriod = ResetPeriod::monthly;
  record.lastUpdated = now;
  record.note = balanceNote(balance);
  return record;
}

}  // namespace deepseek

// ---- Service ----

UsageData DeepSeekService::fetchUsage(std::string_view credential, std::stop_token stop) {
  const std::string key = requireCredential<DeepSeekError>(credential);
  const Timestamp now = context_.clock.now();

  TaskGroup group(stop);
  auto balanceTask = group.spawn([this, &key](std::stop_token token) { return fetchBalance(key, token); });
  auto costTask = group.spawn([this, &key, now](std::stop_token token) { return fetchMonthlyCost(key, now, token); });
  // A balance failure stops and joins the cost request before it is thrown.
  const deepseek::Balance balance = balanceTask.await();
  // The cost is best effort.
  const std::optional<double> monthlyCost = costTask.awaitOptional();
  return deepseek::makeUsageData(balance, monthlyCost, now);
}

deepseek::Balance DeepSeekService::fetchBalance(const std::string& key, std::stop_token stop) const {
  const auto request = deepseek::balanceRequest(context_.origins.get(deepseek::kAPIOriginKey), key);
  const std::string body = okBody<DeepSeekError>(context_.transport, request, std::move(stop));
  return deepseek::readBalance(body);
}

double DeepSeekService::fetchMonthlyCost(const std::string& key, Timestamp now, std::stop_token stop) const {
  const auto request =
      deepseek::costRequest(context_.origins.get(deepseek::kPlatformOriginKey), key, civilDateLocal(now));
  const std::string body = okBody<DeepSeekError>(context_.transport, request, std::move(stop));
  return deepseek::readCost(body);
}

}  // namespace dapplewick
