#include "support/usage_data_print.hpp"

#include "common/dates.hpp"

namespace dapplewick {
namespace {

void printDate(const std::optional<Timestamp>& date, std::ostream& out) {
  if (date) {
    out << formatRFC3339Millis(*date);
  } else {
    out << "none";
  }
}

void printText(const std::optional<std::string>& text, std::ostream& out) {
  if (text) {
    out << '"' << *text << '"';
  } else {
    out << "none";
  }
}

}  // namespace

void PrintTo(const UsageData& data, std::ostream* out) {
  *out << "{id " << rawValue(data.id) << ", provider " << rawValue(data.provider) << ", used " << data.used
       << ", limit " << data.limit << ", cost " << data.cost << ", costSemantic " << caseName(data.costSemantic)
       << ", resetAt ";
  printDate(data.resetAt, *out);
  *out << ", resetPeriod " << caseName(data.resetPeriod) << ", lastUpdated ";
  printDate(data.lastUpdated, *out);
  *out << ", error ";
  printText(data.error, *out);
  *out << ", note ";
  printText(data.note, *out);
  *out << ", isLoading " << data.isLoading << ", auxiliaryUsage [";
  for (std::size_t i = 0; i < data.auxiliaryUsage.size(); ++i) {
    if (i > 0) *out << ", ";
    PrintTo(data.auxiliaryUsage[i], out);
  }
  *out << "]}";
}

}  // namespace dapplewick
