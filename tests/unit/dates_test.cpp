#include "common/dates.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <limits>
#include <string>

#include "support/e2e_harness.hpp"
#include "support/env_guard.hpp"

namespace dapplewick {
namespace {

Timestamp at(long long millis) { return Timestamp(std::chrono::milliseconds(millis)); }

std::optional<long long> millisecondsOf(std::optional<Timestamp> instant) {
  return instant ? std::optional(instant->time_since_epoch().count()) : std::nullopt;
}

// A text with a fraction is read by the required mode only, one without by the forbidden mode only.
TEST(RFC3339, BothModes) {
  struct Case {
    std::string text;
    std::optional<long long> want;
  };
  // clang-format off
  const Case cases[] = {
      {"2026-12-06T17:03:15Z", 1796576595000}, {"2026-12-06T17:03:15.5Z", 1796576595500},
      {"2026-12-06T17:03:15.123456789Z", 1796576595123}, {"2026-12-06T17:03:15.1234567890Z", {}},
      {"2026-12-06T18:03:15+01:00", 1796576595000}, {"2026-12-06T16:03:15.000-01:00", 1796576595000},
      {"2026-12-06t17:03:15Z", {}}, {"2026-12-06 17:03:15Z", {}}, {"2026-12-06T17:03:15", {}},
      {"2026-12-06T17:03:15.Z", {}}, {"2026-12-06T17:03:15+0100", {}}, {"2026-12-06T17:03:15Z ", {}},
      {"2024-02-29T00:00:00Z", 1709164800000}, {"2026-02-30T00:00:00Z", {}}, {"2026-12-06T24:00:00Z", {}},
      {"1969-12-31T23:59:59Z", {}}, {"9999-12-31T23:59:59Z", 253402300799000},
  };
  // clang-format on
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    const bool fraction = c.text.find('.') != std::string::npos;
    EXPECT_EQ(millisecondsOf(parseRFC3339(c.text, FractionMode::required)), fraction ? c.want : std::nullopt);
    EXPECT_EQ(millisecondsOf(parseRFC3339(c.text, FractionMode::forbidden)), fraction ? std::nullopt : c.want);
    EXPECT_EQ(millisecondsOf(parseInternetDate(c.text)), c.want);
  }
}

TEST(Epoch, RangeNonFiniteAndUTCFormats) {
  EXPECT_EQ(fromEpochSeconds(1796576595), at(1796576595000));
  EXPECT_EQ(fromEpochMilliseconds(1796576595123.9), at(1796576595123));
  EXPECT_EQ(fromEpochSeconds(std::nan("")), std::nullopt);
  EXPECT_EQ(fromEpochSeconds(1e300), std::nullopt);
  EXPECT_EQ(fromEpochSeconds(-1), std::nullopt);
  EXPECT_EQ(fromEpochMilliseconds(9.3e18), std::nullopt);
  EXPECT_EQ(fromEpochAuto(1796576595000, 10'000'000'000), at(1796576595000));
  EXPECT_EQ(fromEpochAuto(1796576595, 10'000'000'000), at(1796576595000));
  // At the threshold the value is still seconds (a date in 2286).
  EXPECT_EQ(fromEpochAuto(10'000'000'000, 10'000'000'000), at(10'000'000'000'000));
  // With a floor, a value at or below it (or NaN) is no date at all.
  EXPECT_EQ(fromEpochAuto(1e9, 1e12, 1e9), std::nullopt);
  EXPECT_EQ(fromEpochAuto(std::nan(""), 1e12, 1e9), std::nullopt);
  EXPECT_EQ(fromEpochAuto(1e9 + 1, 1e12, 1e9), at(1'000'000'001'000));
  EXPECT_EQ(formatRFC3339Millis(at(1796576595007)), "2026-12-06T17:03:15.007Z");
  EXPECT_EQ(formatRFC3339Seconds(at(1796576595007)), "2026-12-06T17:03:15Z");
  EXPECT_EQ(formatRFC3339Millis(at(0)), "1970-01-01T00:00:00.000Z");
  EXPECT_EQ(civilDateUTC(at(1796576595007)), (CivilDate{2026, 12, 6}));
  // A date text names a real day in exact digits; nothing rolls over.
  EXPECT_EQ(parseISODate("2024-02-29"), (CivilDate{2024, 2, 29}));
  for (const char* text : {"2026-02-30", "2025-3-01"}) EXPECT_EQ(parseISODate(text), std::nullopt) << text;
}

TEST(LocalCalendar, MonthBoundsInZonesWestAndEastOfUTC) {
  struct Case {
    std::string zone, now, start, next;
  };
  const Case cases[] = {
      {"XST-2", "2026-12-31T21:59:59Z", "2026-11-30T22:00:00Z", "2026-12-31T22:00:00Z"},
      {"XST-2", "2026-12-31T22:00:00Z", "2026-12-31T22:00:00Z", "2027-01-31T22:00:00Z"},
      {"YST5", "2027-01-01T03:00:00Z", "2026-12-01T05:00:00Z", "2027-01-01T05:00:00Z"},  // still 31 December
      // The month starts in summer time and ends in winter time.
      {"CET-1CEST,M3.5.0,M10.5.0/3", "2026-10-10T12:00:00Z", "2026-09-30T22:00:00Z", "2026-10-31T23:00:00Z"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.zone + " " + c.now);
    testing::TimeZoneGuard zone(c.zone);
    const Timestamp now = *parseInternetDate(c.now);
    EXPECT_EQ(formatRFC3339Seconds(startOfLocalMonth(now)), c.start);
    EXPECT_EQ(formatRFC3339Seconds(startOfNextLocalMonth(now)), c.next);
  }
}

TEST(LocalCalendar, DaysAndMidnightsRollOverLikeACalendar) {
  testing::TimeZoneGuard zone("America/New_York");
  const Timestamp instant = *parseInternetDate("2026-12-01T03:00:00Z");  // still November 30 in New York
  EXPECT_EQ(civilDateLocal(instant), (CivilDate{2026, 11, 30}));
  EXPECT_EQ(formatRFC3339Seconds(startOfLocalDay(instant)), "2026-11-30T05:00:00Z");
  EXPECT_EQ(formatRFC3339Seconds(*localMidnight(2026, 3, 1)), "2026-03-01T05:00:00Z");
  EXPECT_EQ(formatRFC3339Seconds(*localMidnight(2026, 7, 1)), "2026-07-01T04:00:00Z");
  EXPECT_EQ(formatRFC3339Seconds(*localMidnight(2026, 13, 1)), "2027-01-01T05:00:00Z");
  EXPECT_EQ(formatRFC3339Seconds(*localMidnight(2026, 2, 30)), "2026-03-02T05:00:00Z");
  EXPECT_EQ(formatRFC3339Seconds(*localMidnight(2026, 3, 0)), "2026-02-28T05:00:00Z");
  EXPECT_EQ(localMidnight(1969, 12, 31), std::nullopt);
  EXPECT_EQ(localMidnight(10000, 1, 1), std::nullopt);
  EXPECT_EQ(localMidnight(2026, 2'000'000'000, 1), std::nullopt);
}

// Every form TZ takes gives the name of the zone the dates are computed in; a path is followed through links made
// here, never through the machine's own files.
TEST(Dates, TimeZoneNameFromEveryFormOfTZ) {
  namespace fs = std::filesystem;
  const testing::TempDir dir;
  const std::string root = dir.path().string();
  fs::create_directories(dir.path() / "etc");
  fs::create_directories(dir.path() / "share/zoneinfo/Asia");
  dir.write("share/zoneinfo/Asia/Tokyo", "");
  fs::create_symlink("../share/zoneinfo/posix/Asia/Tokyo", dir.path() / "etc/localtime");
  fs::create_symlink(root + "/etc/localtime", dir.path() / "etc/chain");
  fs::create_directory_symlink(root + "/share/zoneinfo", dir.path() / "etc/zones");
  // A relative first link to a file outside zoneinfo/, itself a link: read from the link's folder, not from here.
  fs::create_symlink("../share/tokyo", dir.path() / "etc/relative");
  fs::create_symlink("zoneinfo/Asia/Tokyo", dir.path() / "share/tokyo");
  const std::vector<std::pair<std::string, std::string>> cases = {
      {":Europe/Berlin", "Europe/Berlin"},
      {"right/Europe/Berlin", "Europe/Berlin"},
      {"JST-9", "JST-9"},
      {"", "UTC"},
      {":", "UTC"},
      {"/usr/share/zoneinfo/Asia/Tokyo", "Asia/Tokyo"},
      {":/usr/share/zoneinfo/posix/Asia/Tokyo", "Asia/Tokyo"},
      {root + "/etc/localtime", "Asia/Tokyo"},
      {":" + root + "/etc/chain", "Asia/Tokyo"},
      {root + "/etc/zones/Asia/Tokyo", "Asia/Tokyo"},
      {root + "/etc/relative", "Asia/Tokyo"}};
  for (const auto& [tz, want] : cases) EXPECT_EQ(currentTimeZoneIdentifier(tz), want) << tz;
}

TEST(Dates, LocalWallClockTimes) {
  testing::TimeZoneGuard zone("America/New_York");
  const auto at = [](LocalDateTime local) {
    const auto instant = fromLocalDateTime(local);
    return instant ? formatRFC3339Seconds(*instant) : "-";
  };
  EXPECT_EQ(at({2026, 1, 15, 9, 30, 5}), "2026-01-15T14:30:05Z");
  EXPECT_EQ(at({2026, 7, 15, 9, 30, 0}), "2026-07-15T13:30:00Z");
  EXPECT_EQ(at({2026, 2, 29, 0, 0, 0}), "-");
  EXPECT_EQ(at({2026, 1, 1, 24, 0, 0}), "-");
  EXPECT_EQ(at({2026, 13, 1, 0, 0, 0}), "-");
  EXPECT_EQ(at({1969, 12, 31, 23, 0, 0}), "-");
  EXPECT_EQ(at({9999, 12, 31, 23, 0, 0}), "-");  // already the year 10000 in UTC
}

}  // namespace
}  // namespace dapplewick
