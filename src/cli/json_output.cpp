#include "cli/json_output.hpp"

#include <cmath>

#include "common/dates.hpp"

namespace dapplewick {

namespace {

// Figures are finite by construction; should one slip through, null is valid JSON where NaN is not.
// A negative zero (what a service's subtraction or sign flip of nothing leaves) is the same figure as 0, and the text
// output shows it unsigned too.
Json number(double value) {
  if (!std::isfinite(value)) return nullptr;
  if (value == 0) return 0.0;
  return value;
}

Json instant(const std::optional<Timestamp>& value) {
  if (!value) return nullptr;
  return formatRFC3339Millis(*value);
}

Json text(const std::optional<std::string>& value) {
  if (!value) return nullptr;
  return *value;
}

}  // namespace

Json usageJson(const UsageData& record) {
  Json json = Json::object();
  json["id"] = rawValue(record.id);
  json["provider"] = rawValue(record.provider);
  json["used"] = number(record.used);
  json["limit"] = number(record.limit);
  json["cost"] = number(record.cost);
  json["costSemantic"] = caseName(record.costSemantic);
  json["resetAt"] = instant(record.resetAt);
  json["resetPeriod"] = caseName(record.resetPeriod);
  json["lastUpdated"] = instant(record.lastUpdated);
  json["error"] = text(record.error);
  json["note"] = text(record.note);
  json["isLoading"] = record.isLoading;
  json["auxiliaryUsage"] = usageArrayJson(record.auxiliaryUsage);
  json["percentage"] = record.percentage();
  return json;
}

Json usageArrayJson(const std::vector<UsageData>& records) {
  Json array = Json::array();
  for (const auto& record : records) array.push_back(usageJson(record));
  return array;
}

std::string formatUsageJson(const std::vector<UsageData>& records) {
  return usageArrayJson(records).dump(2, ' ', false, Json::error_handler_t::replace) + "\n";
}

}  // namespace dapplewick
