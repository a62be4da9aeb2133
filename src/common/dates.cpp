#include "common/dates.hpp"

#include <array>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>

#include "common/text.hpp"

namespace dapplewick {
namespace {

using std::chrono::days;
using std::chrono::milliseconds;

// 1970-01-01 through 9999-12-31, in milliseconds.
constexpr long long kMinMillis = 0;
constexpr long long kMaxMillis = 253402300799999LL;

class Cursor {
 public:
  explicit Cursor(std::string_view text) : text_(text) {}
  bool digits(std::size_t count, int& out) {
    if (pos_ + count > text_.size()) return false;
    int value = 0;
    for (std::size_t i = 0; i < count; ++i) {
      const char c = text_[pos_ + i];
      if (c < '0' || c > '9') return false;
      value = value * 10 + (c - '0');
    }
    pos_ += count;
    out = value;
    return true;
  }
  bool literal(char c) {
    if (pos_ < text_.size() && text_[pos_] == c) {
      ++pos_;
      return true;
    }
    return false;
  }
  bool peek(char c) const { return pos_ < text_.size() && text_[pos_] == c; }
  bool atDigit() const { return pos_ < text_.size() && text_[pos_] >= '0' && text_[pos_] <= '9'; }
  bool done() const { return pos_ == text_.size(); }
  char next() { return text_[pos_++]; }

 private:
  std::string_view text_;
  std::size_t pos_ = 0;
};

std::optional<Timestamp> clampToRange(long long millis) {
  if (millis < kMinMillis || millis > kMaxMillis) return std::nullopt;
  return Timestamp(milliseconds(millis));
}

}  // namespace

std::optional<Timestamp> parseRFC3339(std::string_view text, FractionMode mode) {
  Cursor c(text);
  int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
  if (!c.digits(4, year) || !c.literal('-') || !c.digits(2, month) || !c.literal('-') || !c.digits(2, day)) {
    return std::nullopt;
  }
  if (!c.literal('T')) return std::nullopt;
  if (!c.digits(2, hour) || !c.literal(':') || !c.digits(2, minute) || !c.literal(':') || !c.digits(2, second)) {
    return std::nullopt;
  }
  long long fractionMillis = 0;
  bool hasFraction = false;
  if (c.literal('.')) {
    hasFraction = true;
    int count = 0;
    long long scale = 100;
    while (c.atDigit()) {
      const int digit = c.next() - '0';
      if (++count > 9) return std::nullopt;
      fractionMillis += digit * scale;
      scale /= 10;
    }
    if (count == 0) return std::nullopt;
  }
  if (mode == FractionMode::required && !hasFraction) return std::nullopt;
  if (mode == FractionMode::forbidden && hasFraction) return std::nullopt;
  int offsetMinutes = 0;
  if (!c.literal('Z')) {
    int sign = 0;
    if (c.literal('+')) {
      sign = 1;
    } else if (c.literal('-')) {
      sign = -1;
    } else {
      return std::nullopt;
    }
    int offHour = 0, offMinute = 0;
    if (!c.digits(2, offHour) || !c.literal(':') || !c.digits(2, offMinute)) return std::nullopt;
    if (offHour > 23 || offMinute > 59) return std::nullopt;
    offsetMinutes = sign * (offHour * 60 + offMinute);
  }
  if (!c.done()) return std::nullopt;
  if (hour > 23 || minute > 59 || second > 59) return std::nullopt;
  const std::chrono::year_month_day ymd{std::chrono::year(year), std::chrono::month(static_cast<unsigned>(month)),
                                        std::chrono::day(static_cast<unsigned>(day))};
  if (!ymd.ok()) return std::nullopt;
  const long long dayCount = std::chrono::sys_days(ymd).time_since_epoch().count();
  const long long seconds = dayCount * 86400LL + hour * 3600LL + minute * 60LL + second - offsetMinutes * 60LL;
  return clampToRange(seconds * 1000 + fractionMillis);
}

std::optional<Timestamp> parseInternetDate(std::string_view text) {
  if (auto withFraction = parseRFC3339(text, FractionMode::required)) return withFraction;
  return parseRFC3339(text, FractionMode::forbidden);
}

std::optional<Timestamp> fromEpochMilliseconds(double millis) {
  if (!std::isfinite(millis)) return std::nullopt;
  if (millis < static_cast<double>(kMinMillis) || millis > static_cast<double>(kMaxMillis)) return std::nullopt;
  return clampToRange(static_cast<long long>(std::floor(millis)));
}

std::optional<Timestamp> fromEpochSeconds(double seconds) {
  if (!std::isfinite(seconds)) return std::nullopt;
  return fromEpochMilliseconds(seconds * 1000.0);
}

std::optional<Timestamp> fromEpochAuto(double value, double millisecondsAbove) {
  if (!std::isfinite(value)) return std::nullopt;
  if (value > millisecondsAbove) return fromEpochMilliseconds(value);
  return fromEpochSeconds(value);
}

std::optional<Timestamp> fromEpochAuto(double value, double millisecondsAbove, double secondsAbove) {
  if (!(value > secondsAbove)) return std::nullopt;
  return fromEpochAuto(value, millisecondsAbove);
}

namespace {

std::string formatUTC(Timestamp instant, bool withMillis) {
  const auto dayPoint = std::chrono::floor<days>(instant);
  const std::chrono::year_month_day ymd{dayPoint};
  const auto timeOfDay = std::chrono::hh_mm_ss<milliseconds>(instant - dayPoint);
  std::array<char, 64> buffer{};
  if (withMillis) {
    std::snprintf(buffer.data(), buffer.size(), "%04d-%02u-%02uT%02d:%02d:%02d.%03dZ", static_cast<int>(ymd.year()),
                  static_cast<unsigned>(ymd.month()), static_cast<unsigned>(ymd.day()),
                  static_cast<int>(timeOfDay.hours().count()), static_cast<int>(timeOfDay.minutes().count()),
                  static_cast<int>(timeOfDay.seconds().count()), static_cast<int>(timeOfDay.subseconds().count()));
  } else {
    std::snprintf(buffer.data(), buffer.size(), "%04d-%02u-%02uT%02d:%02d:%02dZ", static_cast<int>(ymd.year()),
                  static_cast<unsigned>(ymd.month()), static_cast<unsigned>(ymd.day()),
                  static_cast<int>(timeOfDay.hours().count()), static_cast<int>(timeOfDay.minutes().count()),
                  static_cast<int>(timeOfDay.seconds().count()));
  }
  return std::string(buffer.data());
}

Timestamp fromLocal(std::tm local) {
  local.tm_isdst = -1;
  const std::time_t t = std::mktime(&local);
  return Timestamp(milliseconds(static_cast<long long>(t) * 1000));
}

std::tm toLocal(Timestamp instant) {
  const std::time_t t =
      static_cast<std::time_t>(std::chrono::floor<std::chrono::seconds>(instant).time_since_epoch().count());
  std::tm local{};
  localtime_r(&t, &local);
  return local;
}

}  // namespace

std::string formatRFC3339Millis(Timestamp instant) { return formatUTC(instant, true); }

std::string formatRFC3339Seconds(Timestamp instant) { return formatUTC(instant, false); }

CivilDate civilDateUTC(Timestamp instant) {
  const std::chrono::year_month_day ymd{std::chrono::floor<days>(instant)};
  return {static_cast<int>(ymd.year()), static_cast<unsigned>(ymd.month()), static_cast<unsigned>(ymd.day())};
}

CivilDate civilDateLocal(Timestamp instant) {
  const std::tm local = toLocal(instant);
  return {local.tm_year + 1900, static_cast<unsigned>(local.tm_mon + 1), static_cast<unsigned>(local.tm_mday)};
}

Timestamp startOfLocalMonth(Timestamp instant) {
  std::tm local = toLocal(instant);
  local.tm_mday = 1;
  local.tm_hour = local.tm_min = local.tm_sec = 0;
  return fromLocal(local);
}

Timestamp startOfNextLocalMonth(Timestamp instant) {
  std::tm local = toLocal(instant);
  // mktime carries month 12 over into January of the next year.
  local.tm_mon += 1;
  local.tm_mday = 1;
  local.tm_hour = local.tm_min = local.tm_sec = 0;
  return fromLocal(local);
}

Timestamp startOfLocalDay(Timestamp instant) {
  std::tm local = toLocal(instant);
  local.tm_hour = local.tm_min = local.tm_sec = 0;
  return fromLocal(local);
}

std::optional<Timestamp> localMidnight(int year, int month, int day) {
  // Far outside the range the result may have; keeps the tm fields (int) from overflowing below.
  if (year < 1000 || year > 20000 || month < -1200 || month > 1200 || day < -40000 || day > 40000) {
    return std::nullopt;
  }
  std::tm local{};
  local.tm_year = year - 1900;
  local.tm_mon = month - 1;
  local.tm_mday = day;
  // mktime's failure value, -1, lies before 1970 as well.
  return clampToRange(fromLocal(local).time_since_epoch().count());
}

namespace {

// The same zones are also kept under "posix/" and "right/" (the latter counting leap seconds); the name is the same.
std::string_view withoutRulesFolder(std::string_view name) {
  for (const std::string_view folder : {"posix/", "right/"}) {
    if (startsWith(name, folder)) return name.substr(folder.size());
  }
  return name;
}

// The zone name of a path below a "zoneinfo" folder.
std::optional<std::string> zoneNameInPath(const std::filesystem::path& path) {
  const std::string text = path.string();
  const auto marker = text.find("/zoneinfo/");
  if (marker == std::string::npos) return std::nullopt;
  const std::string_view name = withoutRulesFolder(std::string_view(text).substr(marker + 10));
  if (name.empty()) return std::nullopt;
  return std::string(name);
}

// The zone name of a zone file's path: a path outside the zoneinfo folder (as /etc/localtime is) is followed
// through its links, then through linked folders, until it lies inside.
std::optional<std::string> zoneNameOfFile(std::filesystem::path path) {
  constexpr int kMaxLinks = 40;  // the kernel's own bound on a chain of links
  path = path.lexically_normal();
  for (int link = 0; link <= kMaxLinks; ++link) {
    if (auto name = zoneNameInPath(path)) return name;
    std::error_code error;
    const std::filesystem::path target = std::filesystem::read_symlink(path, error);
    if (error) break;
    path = (path.parent_path() / target).lexically_normal();
  }
  std::error_code error;
  const std::filesystem::path real = std::filesystem::canonical(path, error);
  return error ? std::nullopt : zoneNameInPath(real);
}

}  // namespace

std::string currentTimeZoneIdentifier(std::optional<std::string_view> tz) {
  if (tz) {
    std::string_view name = trimWhitespace(*tz);
    if (startsWith(name, ":")) name.remove_prefix(1);
    // The C library reads an empty TZ as UTC, not as the system zone.
    if (name.empty()) return "UTC";
    // A name without a "/" in front is either a zone file's name or a rule such as "JST-9". A rule names no zone
    // file, so it has no IANA name to find; it is sent as given, since it is what the dates are computed in and
    // the system zone, which they are not, would be the wrong answer.
    if (name.front() != '/') return std::string(withoutRulesFolder(name));
    if (auto zone = zoneNameOfFile(name)) return *zone;
    // A zone file outside any zoneinfo folder carries no name of its own; the system zone's is the best guess left.
  }
  std::ifstream file("/etc/timezone");
  std::string line;
  if (file && std::getline(file, line)) {
    const auto name = trimWhitespace(line);
    if (!name.empty()) return std::string(name);
  }
  return zoneNameOfFile("/etc/localtime").value_or("UTC");
}

std::string formatCompactDateTimeUTC(Timestamp instant) {
  const std::string full = formatRFC3339Seconds(instant);
  // "yyyy-MM-ddTHH:mm:ssZ" without its separators.
  std::string compact;
  for (const char c : full) {
    if (c != '-' && c != ':') compact.push_back(c);
  }
  return compact;
}

std::string formatCompactDateUTC(Timestamp instant) { return formatCompactDateTimeUTC(instant).substr(0, 8); }

std::string formatISODate(const CivilDate& date) {
  std::array<char, 32> buffer{};
  std::snprintf(buffer.data(), buffer.size(), "%04d-%02u-%02u", date.year, date.month, date.day);
  return std::string(buffer.data());
}

std::optional<CivilDate> parseISODate(std::string_view text) {
  Cursor c(text);
  int year = 0, month = 0, day = 0;
  if (!c.digits(4, year) || !c.literal('-') || !c.digits(2, month) || !c.literal('-') || !c.digits(2, day) ||
      !c.done()) {
    return std::nullopt;
  }
  const CivilDate date{year, static_cast<unsigned>(month), static_cast<unsigned>(day)};
  const std::chrono::year_month_day ymd{std::chrono::year(date.year), std::chrono::month(date.month),
                                        std::chrono::day(date.day)};
  if (!ymd.ok()) return std::nullopt;
  return date;
}

// ---- Local wall-clock date-times ----

std::optional<Timestamp> fromLocalDateTime(const LocalDateTime& local) {
  if (local.year < 1970 || local.year > 9999 || local.month < 1 || local.month > 12 || local.day < 1 ||
      local.hour < 0 || local.hour > 23 || local.minute < 0 || local.minute > 59 || local.second < 0 ||
      local.second > 59) {
    return std::nullopt;
  }
  const std::chrono::year_month_day date{std::chrono::year(local.year),
                                         std::chrono::month(static_cast<unsigned>(local.month)),
                                         std::chrono::day(static_cast<unsigned>(local.day))};
  if (!date.ok()) return std::nullopt;
  std::tm fields{};
  fields.tm_year = local.year - 1900;
  fields.tm_mon = local.month - 1;
  fields.tm_mday = local.day;
  fields.tm_hour = local.hour;
  fields.tm_min = local.minute;
  fields.tm_sec = local.second;
  // mktime's failure value, -1, lies before 1970 as well.
  return clampToRange(fromLocal(fields).time_since_epoch().count());
}

std::optional<Timestamp> parseUTCDateTimeWithSpace(std::string_view text) {
  constexpr std::size_t kLength = 19;
  constexpr std::size_t kSeparator = 10;
  if (text.size() != kLength || text[kSeparator] != ' ') return std::nullopt;
  std::string internet(text);
  internet[kSeparator] = 'T';
  internet += 'Z';
  return parseRFC3339(internet, FractionMode::forbidden);
}

}  // namespace dapplewick
