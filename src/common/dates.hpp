#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "common/timestamp.hpp"

namespace dapplewick {

// Internet date-times (RFC 3339): full date, upper-case "T", time of day, then "Z" or "±hh:mm". Real calendar
// ranges only (February 30 is no date). Seconds 00–59; a fraction has 1 to 9 digits.
enum class FractionMode {
  required,   // the seconds must carry a fraction
  forbidden,  // the seconds must not carry a fraction
  optional,   // either
};
std::optional<Timestamp> parseRFC3339(std::string_view text, FractionMode mode);

// The usual reading of a date text: with a fraction first, then without. Nothing is trimmed.
std::optional<Timestamp> parseInternetDate(std::string_view text);

// Epoch conversions: non-finite values and instants outside the years 1970–9999 give nothing.
std::optional<Timestamp> fromEpochSeconds(double seconds);
std::optional<Timestamp> fromEpochMilliseconds(double milliseconds);
// A value greater than `millisecondsAbove` is read as milliseconds, any other as seconds.
std::optional<Timestamp> fromEpochAuto(double value, double millisecondsAbove);
// The same, but a value not greater than `secondsAbove` is no date at all (too small to be a real instant).
std::optional<Timestamp> fromEpochAuto(double value, double millisecondsAbove, double secondsAbove);

// "2026-12-06T17:03:15.000Z": UTC with milliseconds, as the JSON output writes instants.
std::string formatRFC3339Millis(Timestamp instant);
// "2026-12-01T00:00:00Z": UTC without a fraction.
std::string formatRFC3339Seconds(Timestamp instant);

// Civil date in UTC.
struct CivilDate {
  int year = 1970;
  unsigned month = 1;  // 1–12
  unsigned day = 1;    // 1–31
  bool operator==(const CivilDate&) const = default;
};
CivilDate civilDateUTC(Timestamp instant);

// Local calendar work in the process time zone (TZ, or the system default).
// The local calendar date that holds `instant`.
CivilDate civilDateLocal(Timestamp instant);
// The start (00:00 local) of the month that holds `instant`.
Timestamp startOfLocalMonth(Timestamp instant);
// The start (00:00 local) of the month after the one that holds `instant`: the end of the current month.
Timestamp startOfNextLocalMonth(Timestamp instant);
// Local midnight at the start of the day that holds `instant`.
Timestamp startOfLocalDay(Timestamp instant);
// The start of the local day `year`-`month`-`day`. Out-of-range months and days roll over as a calendar does
// (month 13 is January of the next year, day 0 the last day of the month before); nothing when the result lies
// outside the years 1970–9999.
std::optional<Timestamp> localMidnight(int year, int month, int day);
// The IANA name of the current zone: from the TZ variable when given (a zone name, or a zone file's path, with or
// without a leading ":"; the name below the "zoneinfo" folder, links followed; an empty TZ is UTC), then
// /etc/timezone, then the /etc/localtime link, else "UTC". Names under "posix/" or "right/" lose that folder.
std::string currentTimeZoneIdentifier(std::optional<std::string_view> tzVariable);

// ---- Compact UTC texts, whatever TZ and the locale say ----

// "20150830T123600Z": the request time of signed cloud requests.
std::string formatCompactDateTimeUTC(Timestamp instant);
// "20150830": the date stamp of the same requests.
std::string formatCompactDateUTC(Timestamp instant);
// "2026-03-01".
std::string formatISODate(const CivilDate& date);
// "2026-03-01" read back: exactly those ASCII digits and dashes, nothing around them, a real calendar date
// (February 30 is no date, nothing rolls over).
std::optional<CivilDate> parseISODate(std::string_view text);

// ---- Local wall-clock date-times ----

// A date and time of day as a clock on the wall of the process time zone shows it.
struct LocalDateTime {
  int year = 1970;
  int month = 1;   // 1–12
  int day = 1;     // 1–31
  int hour = 0;    // 0–23
  int minute = 0;  // 0–59
  int second = 0;  // 0–59
};
// The instant that wall-clock time names in the process time zone. Real calendar ranges only (February 30 is no
// date, nothing rolls over); nothing when the result lies outside the years 1970–9999. A time that a clock change
// skips or repeats is resolved as mktime resolves it.
std::optional<Timestamp> fromLocalDateTime(const LocalDateTime& local);

// ---- Fixed-pattern UTC texts ----

// The fixed pattern "yyyy-MM-dd HH:mm:ss" read in UTC: exactly those digits and separators, real calendar ranges,
// no fraction and no offset.
std::optional<Timestamp> parseUTCDateTimeWithSpace(std::string_view text);

}  // namespace dapplewick
