#include "cli/text_output.hpp"

#include <charconv>
#include <cmath>

#include "common/dates.hpp"
#include "common/numbers.hpp"
#include "common/text.hpp"

namespace dapplewick {

std::string usageBar(const UsageData& record, int width) {
  const int filled = record.percentage() * width / 100;
  return "[" + std::string(static_cast<std::size_t>(filled), '#') +
         std::string(static_cast<std::size_t>(width - filled), '-') + "]";
}

std::string formatCountdown(Timestamp resetAt, Timestamp now) {
  using namespace std::chrono;
  if (resetAt <= now) return "reset due";
  const auto left = resetAt - now;
  const auto totalMinutes = duration_cast<minutes>(left).count();
  if (totalMinutes == 0) return "resets in under a minute";
  const auto days = totalMinutes / 60 / 24;
  const auto hours = totalMinutes / 60 % 24;
  const auto mins = totalMinutes % 60;
  if (days > 0) return "resets in " + std::to_string(days) + "d " + std::to_string(hours) + "h";
  if (hours > 0) return "resets in " + std::to_string(hours) + "h " + std::to_string(mins) + "m";
  return "resets in " + std::to_string(mins) + "m";
}

std::string formatFigure(double value) {
  if (!std::isfinite(value)) return "?";
  if (value == 0) return "0";  // -0 too
  if (value == std::trunc(value) && std::fabs(value) < 1e15) return formatFixed(value, 0);
  if (std::fabs(value) >= 0.01) {
    std::string text = formatFixed(value, 2);
    while (text.back() == '0') text.pop_back();
    if (text.back() == '.') text.pop_back();
    return text;
  }
  char buffer[64];
  const auto result = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::general, 3);
  return std::string(buffer, result.ptr);
}

std::string formatCost(const UsageData& record) {
  if (record.costSemantic == CostSemantic::none && record.cost == 0) return {};
  const std::string amount = std::isfinite(record.cost) ? formatFixed(record.cost, 2) : "?";
  switch (record.costSemantic) {
    case CostSemantic::none: return "cost " + amount;
    case CostSemantic::incremental: return "cost " + amount + " today";
    case CostSemantic::periodCumulative: return "cost " + amount + " this month";
    // Such a record's note carries the balance; its cost is no figure of it (0 beside a plan's usage).
    case CostSemantic::balance: return {};
    case CostSemantic::lifetime: return "cost " + amount + " in total";
  }
  return "cost " + amount;
}

namespace {

// The figures of one window on one line: bar, percentage, used / limit, period, countdown.
std::string figuresLine(const UsageData& record, Timestamp now) {
  std::vector<std::string> parts;
  if (record.limit > 0) {
    std::string percent = std::to_string(record.percentage()) + "%";
    percent.insert(0, percent.size() < 4 ? 4 - percent.size() : 0, ' ');
    parts.push_back(usageBar(record) + " " + percent);
    parts.push_back(formatFigure(record.used) + " / " + formatFigure(record.limit));
  } else if (record.used != 0) {
    // Without a limit the figure may be a balance, credits remaining or a spend as well as a consumption; only the
    // note says which, so the figure is named neutrally rather than "used".
    parts.push_back("amount " + formatFigure(record.used));
  }
  // A period means something only as a quota's or a countdown's: beside a balance or a lifetime spend it is untrue.
  if (record.limit > 0 || record.resetAt) parts.emplace_back(rawValue(record.resetPeriod));
  if (record.resetAt) {
    parts.push_back(formatCountdown(*record.resetAt, now) + " (" + formatRFC3339Seconds(*record.resetAt) + ")");
  }
  std::string line;
  for (const auto& part : parts) {
    if (!line.empty()) line += "  ";
    line += part;
  }
  return line;
}

void appendRecord(std::string& out, const UsageData& record, const std::string& indent, Timestamp now) {
  const std::size_t start = out.size();
  auto line = [&](const std::string& text) { out += indent + text + "\n"; };
  if (const auto figures = figuresLine(record, now); !figures.empty()) line(figures);
  if (const auto cost = formatCost(record); !cost.empty()) line(cost);
  if (record.note && !record.note->empty()) line("note: " + printableText(*record.note));
  if (record.error && !record.error->empty()) line("error: " + printableText(*record.error));
  if (out.size() == start) line("no figures reported");
  for (const auto& auxiliary : record.auxiliaryUsage) appendRecord(out, auxiliary, indent + "  ", now);
}

}  // namespace

std::string formatUsageText(const std::vector<UsageData>& records, Timestamp now) {
  std::string out;
  for (const auto& record : records) {
    if (!out.empty()) out += "\n";
    out += std::string(rawValue(record.provider)) + "\n";
    appendRecord(out, record, "  ", now);
  }
  return out;
}

}  // namespace dapplewick
