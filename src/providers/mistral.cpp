#include "providers/mistral.hpp"

#include <algorithm>
#include <cmath>

#include "common/dates.hpp"
#include "common/json_read.hpp"
#include "common/numbers.hpp"
#include "common/text.hpp"
#include "common/url.hpp"
#include "providers/shared/cookie.hpp"
#include "providers/shared/credential.hpp"
#include "providers/shared/response.hpp"
#include "providers/shared/user_agents.hpp"

namespace dapplewick::mistral {

// ---- Request ----

std::optional<std::string> extractCSRFToken(std::string_view cookie) {
  for (const CookiePair& pair : cookiePairs(cookie, trimWhitespace)) {
    const std::string name = toLowerASCII(pair.name);
    if (name == "csrftoken" || name == "csrf_token") return std::string(pair.value);
  }
  return std::nullopt;
}

HTTPRequest usageRequest(std::string_view origin, std::string_view cookie, Timestamp now) {
  // The billing month is the UTC one, whatever the local calendar says.
  const CivilDate month = civilDateUTC(now);
  HTTPRequest request;
  request.url = withQuery(std::string(origin) + std::string(kUsagePath),
                          {{"month", std::to_string(month.month)}, {"year", std::to_string(month.year)}});
  request.headers.add("Accept", "*/*");
  request.headers.add("Cookie", std::string(cookie));
  request.headers.add("Referer", std::string(origin) + std::string(kRefererPath));
  request.headers.add("Origin", std::string(origin));
  request.headers.add("User-Agent", std::string(kBrowserUserAgent));
  if (auto token = extractCSRFToken(cookie)) request.headers.add("X-CSRFTOKEN", std::move(*token));
  return request;
}

// ---- Decoding ----

namespace {

std::vector<UsageEntry> decodeEntries(const std::optional<JsonRef>& list) {
  std::vector<UsageEntry> entries;
  if (!list) return entries;
  for (const JsonRef& element : list->elements()) {
    const JsonRef entry = element.as<JsonRef>();
    entries.push_back({entry.optional<std::string>("billing_metric"), entry.optional<std::string>("billing_group"),
                       entry.optional<std::int64_t>("value"), entry.optional<std::int64_t>("value_paid")});
  }
  return entries;
}

// A JSON object of model name to usage (absent: empty).
ModelMap decodeModelMap(const std::optional<JsonRef>& map) {
  ModelMap models;
  if (!map) return models;
  (void)map->as<JsonRef>();
  std::size_t index = 0;
  for (const auto& [name, value] : map->json().items()) {
    // Named by position: a model name is server text, which an error description must not carry.
    const JsonRef usage = JsonRef(value, map->path() + "[" + std::to_string(index++) + "]").as<JsonRef>();
    models.emplace_back(name, ModelUsage{decodeEntries(usage.get("input")), decodeEntries(usage.get("output")),
                                         decodeEntries(usage.get("cached"))});
  }
  return models;
}

// The "models" map of a category object such as "completion".
ModelMap decodeCategory(const std::optional<JsonRef>& category) {
  if (!category) return {};
  return decodeModelMap(category->as<JsonRef>().get("models"));
}

}  // namespace

BillingResponse decodeBillingResponse(std::string_view body) {
  const Json document = parseJson(body);
  const JsonRef root = JsonRef::root(document).as<JsonRef>();
  BillingResponse response;
  const auto libraries = root.optional<JsonRef>("libraries_api");
  const auto fineTuning = root.optional<JsonRef>("fine_tuning");
  response.modelMaps = {
      decodeCategory(root.get("completion")),
      decodeCategory(root.get("ocr")),
      decodeCategory(root.get("connectors")),
      decodeCategory(root.get("audio")),
      decodeCategory(libraries ? libraries->get("pages") : std::nullopt),
      decodeCategory(libraries ? libraries->get("tokens") : std::nullopt),
      decodeModelMap(fineTuning ? fineTuning->get("training") : std::nullopt),
      decodeModelMap(fineTuning ? fineTuning->get("storage") : std::nullopt),
  };
  response.currency = root.optional<std::string>("currency");
  response.currencySymbol = root.optional<std::string>("currency_symbol");
  if (const auto prices = root.get("prices")) {
    for (const JsonRef& element : prices->elements()) {
      const JsonRef price = element.as<JsonRef>();
      response.prices.push_back({price.optional<std::string>("billing_metric"),
                                 price.optional<std::string>("billing_group"), price.optional<std::string>("price")});
    }
  }
  return response;
}

// ---- The month's cost ----

namespace {

std::string priceKey(const std::string& metric, const std::string& group) { return metric + "::" + group; }

}  // namespace

std::map<std::string, double, std::less<>> buildPriceTable(const std::vector<Price>& prices) {
  std::map<std::string, double, std::less<>> table;
  for (const Price& entry : prices) {
    if (!entry.billingMetric || !entry.billingGroup || !entry.price) continue;
    // The strict grammar: "NaN", "inf" or hex would make every sum meaningless.
    const auto price = parseDecimal(*entry.price);
    if (!price) continue;
    table[priceKey(*entry.billingMetric, *entry.billingGroup)] = *price;
  }
  return table;
}

double computeMonthCost(const BillingResponse& response) {
  const auto table = buildPriceTable(response.prices);
  double total = 0;
  for (const ModelMap& models : response.modelMaps) {
    for (const auto& [name, usage] : models) {
      double subtotal = 0;
      for (const auto* list : {&usage.input, &usage.output, &usage.cached}) {
        for (const UsageEntry& entry : *list) {
          if (!entry.billingMetric || !entry.billingGroup) continue;
          const std::int64_t quantity = entry.valuePaid ? *entry.valuePaid : entry.value.value_or(0);
          const auto price = table.find(priceKey(*entry.billingMetric, *entry.billingGroup));
          const double unitPrice = price == table.end() ? 0.0 : price->second;
          subtotal += unitPrice * static_cast<double>(quantity);
        }
      }
      total += subtotal;
    }
  }
  // Finite prices times large quantities can still overflow; such a total is no cost to show or record.
  if (!std::isfinite(total)) throw MistralError::invalidResponse();
  return total;
}

// ---- Mapping ----

UsageData makeUsageData(double total, const std::optional<std::string>& currencySymbol, Timestamp now) {
  UsageData data = UsageData::blank(Provider::mistral);
  data.cost = total;
  data.costSemantic = CostSemantic::periodCumulative;
  data.resetAt = startOfNextLocalMonth(now);
  data.resetPeriod = ResetPeriod::monthly;
  data.lastUpdated = now;
  // A negative total stays in the cost as the answer gives it; the note never shows a negative spend.
  data.note = currencySymbol.value_or("\u20AC") + formatFixed(total > 0 ? total : 0.0, 4) + " this month";
  return data;
}

}  // namespace dapplewick::mistral

namespace dapplewick {

// ---- Service ----

UsageData MistralService::fetchUsage(std::string_view credential, std::stop_token stop) {
  const std::string cookie = requireCredential<MistralError>(credential);
  const Timestamp now = context_.clock.now();
  const HTTPResponse response = context_.transport.data(
      mistral::usageRequest(context_.origins.get(mistral::kOriginKey), cookie, now), std::move(stop));
  requireOK<MistralError>(response);
  const mistral::BillingResponse billing = mistral::decodeBillingResponse(response.body);
  return mistral::makeUsageData(mistral::computeMonthCost(billing), billing.currencySymbol, now);
}

}  // namespace dapplewick
