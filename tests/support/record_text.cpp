#include "support/record_text.hpp"

#include "common/dates.hpp"
#include "common/numbers.hpp"

namespace dapplewick::testing {
namespace {

std::string figure(double value) { return formatDecimal(value, 6, false).value_or("?"); }

std::string instant(Timestamp value) {
  const bool wholeSecond = value.time_since_epoch() % std::chrono::seconds(1) == std::chrono::milliseconds(0);
  return wholeSecond ? formatRFC3339Seconds(value) : formatRFC3339Millis(value);
}

}  // namespace

std::string recordText(const UsageData& record, std::optional<Timestamp> now) {
  std::string text = figure(record.used) + "/" + figure(record.limit) + " " + std::string(caseName(record.resetPeriod));
  if (record.resetAt) text += " @" + instant(*record.resetAt);
  if (record.cost != 0 || record.costSemantic != CostSemantic::none) {
    text += " cost " + figure(record.cost) + " " + std::string(caseName(record.costSemantic));
  }
  if (record.note) text += " '" + *record.note + "'";
  if (record.error) text += " error '" + *record.error + "'";
  if (record.isLoading) text += " loading";
  if (now && record.lastUpdated != now) {
    text += record.lastUpdated ? " updated " + instant(*record.lastUpdated) : " not updated";
  }
  for (const UsageData& window : record.auxiliaryUsage) text += " + " + recordText(window, now);
  return text;
}

}  // namespace dapplewick::testing
