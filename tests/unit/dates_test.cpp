#include "common/dates.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "support/env_guard.hpp"

namespace dapplewick {
namespace {

using std::chrono::milliseconds;

Timestamp at(long long millis) { return Timestamp(milliseconds(millis)); }

TEST(RFC3339, BothModes) {
  struct Case {
    std::string text;
    std::optional<long long> required;
    std::optional<long long> forbidden;
  };
  const Case cases[] = {
      {"2026-12-06T17:03:15Z", std::nullopt, 1796576595000},
      {"2026-12-06T17:03:15.5Z", 1796576595500, std::nullopt},
      {"2026-12-06T17:03:15.123456789Z", 1796576595123, std::nullopt},
      {"2026-12-06T18:03:15+01:00", std::nullopt, 1796576595000},
      {"2026-12-06T16:03:15.000-01:00", 1796576595000, std::nullopt},
      {"2026-12-06t17:03:15Z", std::nullopt, std::nullopt},
      {"2026-12-06T17:03:15", std::nullopt, std::nullopt},
      {"2026-12-06 17:03:15Z", std::nullopt, std::nullopt},
      {"2026-02-30T00:00:00Z", std::nullopt, std::nullopt},
      {"2024-02-29T00:00:00Z", std::nullopt, 1709164800000},
      {"2026-12-06T24:00:00Z", std::nullopt, std::nullopt},
      {"2026-12-06T17:03:15.1234567890Z", std::nullopt, std::nullopt},
      {"2026-12-06T17:03:15.Z", std::nullopt, std::nullopt},
      {"2026-12-06T17:03:15+0100", std::nullopt, std::nullopt},
      {"1969-12-31T23:59:59Z", std::nullopt, std::nullopt},
      {"9999-12-31T23:59:59Z", std::nullopt, 253402300799000},
      {"2026-12-06T17:03:15Z ", std::nullopt, std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    const auto required = parseRFC3339(c.text, FractionMode::required);
    const auto forbidden = parseRFC3339(c.text, FractionMode::forbidden);
    EXPECT_EQ(required ? std::optional(required->time_since_epoch().count()) : std::nullopt, c.required);
    EXPECT_EQ(forbidden ? std::optional(forbidden->time_since_epoch().count()) : std::nullopt, c.forbidden);
    EXPECT_EQ(parseInternetDate(c.text).has_value(), c.required.has_value() || c.forbidden.has_value());
  }
}

TEST(Epoch, RangeAndNonFiniteRejected) {
  EXPECT_EQ(fromEpochSeconds(1796576595), at(1796576595000));
  EXPECT_EQ(fromEpochMilliseconds(1796576595123.9), at(1796576595123));
  EXPECT_EQ(fromEpochSeconds(std::nan("")), std::nullopt);
  EXPECT_EQ(fromEpochSeconds(std::numeric_limits<double>::infinity()), std::nullopt);
  EXPECT_EQ(fromEpochSeconds(1e300), std::nullopt);
  EXPECT_EQ(fromEpochSeconds(-1), std::nullopt);
  EXPECT_EQ(fromEpochMilliseconds(9.3e18), std::nullopt);
  EXPECT_EQ(fromEpochAuto(1796576595000, 10'000'000'000), at(1796576595000));
  EXPECT_EQ(fromEpochAuto(1796576595, 10'000'000'000), at(1796576595000));
  // At the threshold the value is still seconds (a date in 2286).
  EXPECT_EQ(fromEpochAuto(10'000'000'000, 10'000'000'000), at(10'000'000'000'000));
}

TEST(Format, UTCWithAndWithoutMillis) {
  EXPECT_EQ(formatRFC3339Millis(at(1796576595007)), "2026-12-06T17:03:15.007Z");
  EXPECT_EQ(formatRFC3339Seconds(at(1796576595007)), "2026-12-06T17:03:15Z");
  EXPECT_EQ(formatRFC3339Millis(at(0)), "1970-01-01T00:00:00.000Z");
  EXPECT_EQ(civilDateUTC(at(1796576595007)), (CivilDate{2026, 12, 6}));
}

TEST(LocalCalendar, FollowsProcessTimeZone) {
  testing::TimeZoneGuard zone("America/New_York");
  // 2026-12-01T03:00:00Z is still November 30 in New York.
  const Timestamp instant = *parseInternetDate("2026-12-01T03:00:00Z");
  EXPECT_EQ(formatRFC3339Seconds(startOfLocalMonth(instant)), "2026-11-01T04:00:00Z");
  EXPECT_EQ(formatRFC3339Seconds(startOfLocalDay(instant)), "2026-11-30T05:00:00Z");
  EXPECT_EQ(civilDateLocal(instant), (CivilDate{2026, 11, 30}));
  EXPECT_EQ(currentTimeZoneIdentifier(":Europe/Berlin"), "Europe/Berlin");
}

TEST(LocalCalendar, MidnightOfACivilDateRollsOverLikeACalendar) {
  testing::TimeZoneGuard zone("America/New_York");
  EXPECT_EQ(civilDateLocal(*parseInternetDate("2026-12-01T03:00:00Z")), (CivilDate{2026, 11, 30}));
  EXPECT_EQ(formatRFC3339Seconds(*localMidnight(2026, 3, 1)), "2026-03-01T05:00:00Z");
  EXPECT_EQ(formatRFC3339Seconds(*localMidnight(2026, 7, 1)), "2026-07-01T04:00:00Z");
  EXPECT_EQ(formatRFC3339Seconds(*localMidnight(2026, 13, 1)), "2027-01-01T05:00:00Z");
  EXPECT_EQ(formatRFC3339Seconds(*localMidnight(2026, 2, 30)), "2026-03-02T05:00:00Z");
  EXPECT_EQ(formatRFC3339Seconds(*localMidnight(2026, 3, 0)), "2026-02-28T05:00:00Z");
  EXPECT_EQ(localMidnight(1969, 12, 31), std::nullopt);
  EXPECT_EQ(localMidnight(10000, 1, 1), std::nullopt);
  EXPECT_EQ(localMidnight(2026, 2'000'000'000, 1), std::nullopt);
}

TEST(LocalCalendar, StartOfNextMonth) {
  struct Case {
    std::string zone;
    std::string now;
    std::string next;
  };
  const std::vector<Case> cases{
      {"UTC0", "2026-12-15T10:00:00Z", "2027-01-01T00:00:00Z"},
      {"UTC0", "2026-02-28T23:59:59Z", "2026-03-01T00:00:00Z"},
      {"UTC0", "2028-02-01T00:00:00Z", "2028-03-01T00:00:00Z"},
      {"XST-2", "2026-12-31T21:59:59Z", "2026-12-31T22:00:00Z"},
      {"YST5", "2027-01-01T03:00:00Z", "2027-01-01T05:00:00Z"},  // still 31 December at UTC-5
      // The month starts in summer time and ends in winter time.
      {"CET-1CEST,M3.5.0,M10.5.0/3", "2026-10-10T12:00:00Z", "2026-10-31T23:00:00Z"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.zone + " " + c.now);
    testing::TimeZoneGuard zone(c.zone);
    EXPECT_EQ(formatRFC3339Seconds(startOfNextLocalMonth(*parseInternetDate(c.now))), c.next);
  }
}

TEST(LocalCalendar, ZoneNameFallsBackWithoutTZ) {
  EXPECT_FALSE(currentTimeZoneIdentifier(std::nullopt).empty());
}

}  // namespace
}  // namespace dapplewick
