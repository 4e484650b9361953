// Calendar arithmetic in 64 bits: the board's 32-bit time_t ends in 2038,
// while GPS dates run to 2099 and the clock must still be set right.
#include <gtest/gtest.h>

#include <ctime>

#include "platform/Clock.h"

namespace {

std::tm Date(int year, int mon, int mday, int hour, int min, int sec) {
    std::tm t{};
    t.tm_year = year - 1900;
    t.tm_mon = mon - 1;
    t.tm_mday = mday;
    t.tm_hour = hour;
    t.tm_min = min;
    t.tm_sec = sec;
    return t;
}

TEST(UtcCalendar, SecondsAreCountedFrom1970PastTheEndOf32Bits) {
    EXPECT_EQ(diviv::UtcSeconds(Date(1970, 1, 1, 0, 0, 0)), 0);
    EXPECT_EQ(diviv::UtcSeconds(Date(2038, 1, 19, 3, 14, 7)), 2147483647);
    EXPECT_EQ(diviv::UtcSeconds(Date(2038, 1, 19, 3, 14, 8)), 2147483648);
    EXPECT_EQ(diviv::UtcSeconds(Date(2099, 12, 31, 20, 30, 0)), 4102432200);
    EXPECT_EQ(diviv::UtcSeconds(Date(1969, 12, 31, 23, 59, 59)), -1);
    // Fields out of range count on, as mktime's do.
    EXPECT_EQ(diviv::UtcSeconds(Date(2099, 12, 31, 29, 30, 0)), diviv::UtcSeconds(Date(2100, 1, 1, 5, 30, 0)));
}

TEST(UtcCalendar, NineHoursAfterTheLastEveningOf2099IsNewYear2100) {
    const std::tm t = diviv::UtcCalendar(diviv::UtcSeconds(Date(2099, 12, 31, 20, 30, 0)) + 9 * 3600);
    EXPECT_EQ(t.tm_year, 200);
    EXPECT_EQ(t.tm_mon, 0);
    EXPECT_EQ(t.tm_mday, 1);
    EXPECT_EQ(t.tm_hour, 5);
    EXPECT_EQ(t.tm_min, 30);
    EXPECT_EQ(t.tm_sec, 0);
    EXPECT_EQ(t.tm_wday, 5);  // a Friday
    EXPECT_EQ(t.tm_yday, 0);
}

TEST(UtcCalendar, RoundTripsEveryDayAcrossLeapYearsAndCenturies) {
    // 1900 and 2100 are no leap years, 2000 is.
    const std::tm leap = diviv::UtcCalendar(diviv::UtcSeconds(Date(2000, 2, 29, 12, 0, 0)));
    EXPECT_EQ(leap.tm_mon, 1);
    EXPECT_EQ(leap.tm_mday, 29);
    EXPECT_EQ(diviv::UtcCalendar(diviv::UtcSeconds(Date(2100, 2, 29, 0, 0, 0))).tm_mon, 2);
    for (int64_t s = diviv::UtcSeconds(Date(1960, 1, 1, 0, 0, 0)); s < diviv::UtcSeconds(Date(2110, 1, 1, 0, 0, 0));
         s += 86400 + 3661) {
        ASSERT_EQ(diviv::UtcSeconds(diviv::UtcCalendar(s)), s);
    }
    EXPECT_EQ(diviv::UtcCalendar(0).tm_wday, 4);  // 1970-01-01, a Thursday
    EXPECT_EQ(diviv::UtcCalendar(-1).tm_wday, 3);
}

}  // namespace
