// The clock setting screen: entry, item cycle, wrap and clamp rules, the
// weekday, and the two clock commands on confirm.
#include <chrono>
#include <ctime>

#include "ConfigFixture.h"
#include "config/daytime_menu.h"

namespace {

class DayTimeMenuTest : public ConfigTest {
protected:
    void SetUp() override {
        ConfigTest::SetUp();
        ResetDateScreenRecord();
        SetDateScreenHooks(nullptr, nullptr);
        dr_->AppState = STATE_IDLE;
    }
    // Enters the screen and puts a known date in the record.
    void EnterAt(int y, int mo, int d, int h, int mi) {
        Captured([] { SetDayTimeMenu(0, 0); });
        DATE_DATA_t* dd = GetDateData();
        dd->nYear = y;
        dd->nMonth = mo;
        dd->nDay = d;
        dd->nHour = h;
        dd->nMinute = mi;
    }
    void Select(int item) { GetDateData()->nSel = item; }
    static void Press(int key, int times = 1) {
        for (int i = 0; i < times; ++i) Captured([key] { SetDayTimeMenu(key, 0); });
    }
    static std::string DateText() {
        const DATE_DATA_t& d = LastShownDateScreen();
        char t[64];
        std::snprintf(t, sizeof t, "%04d-%02d-%02d %02d:%02d %s", d.nYear, d.nMonth, d.nDay, d.nHour, d.nMinute,
                      d.DayWeek);
        return t;
    }
};

TEST_F(DayTimeMenuTest, EntryTakesTheLocalTimeAndShowsTheScreen) {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    const std::string out = Captured([] { EXPECT_EQ(SetDayTimeMenu(0, 0), 1); });
    EXPECT_EQ(dr_->AppState.load(), STATE_CFG);
    EXPECT_EQ(DateScreenShowCount(), 1);
    const DATE_DATA_t& d = LastShownDateScreen();
    EXPECT_EQ(d.nSel, 0);
    EXPECT_EQ(d.nYear, local.tm_year + 1900);
    char expect[64];
    std::snprintf(expect, sizeof expect, "DiViv : %d/%d/%d %s ", d.nYear, d.nMonth, d.nDay, d.DayWeek);
    EXPECT_EQ(out.rfind(expect, 0), 0u) << out;
}

TEST_F(DayTimeMenuTest, ItemCycleSkipsSeconds) {
    EnterAt(2024, 5, 5, 5, 5);
    std::vector<int> seen;
    for (int i = 0; i < 7; ++i) {
        Press(0);
        seen.push_back(LastShownDateScreen().nSel);
    }
    EXPECT_EQ(seen, (std::vector<int>{1, 2, 3, 4, 6, 0, 1}));
}

TEST_F(DayTimeMenuTest, WrapAndClampRules) {
    EnterAt(2024, 3, 31, 23, 59);
    Select(DATE_SEL_MONTH);
    Press(-1);
    EXPECT_EQ(DateText(), "2024-02-29 23:59 (Thu)");  // leap year
    EnterAt(2023, 3, 31, 0, 0);
    Select(DATE_SEL_MONTH);
    Press(-1);
    EXPECT_EQ(DateText(), "2023-02-28 00:00 (Tue)");
    Press(-1, 2);
    EXPECT_EQ(DateText(), "2023-12-28 00:00 (Thu)");  // 1 wraps to 12
    Press(+1);
    EXPECT_EQ(LastShownDateScreen().nMonth, 1);

    EnterAt(2024, 2, 29, 23, 59);
    Select(DATE_SEL_YEAR);
    Press(+1);
    EXPECT_EQ(DateText(), "2025-02-28 23:59 (Fri)");  // clamped after a year change
    Select(DATE_SEL_DAY);
    Press(+1);
    EXPECT_EQ(LastShownDateScreen().nDay, 1);
    Press(-1);
    EXPECT_EQ(LastShownDateScreen().nDay, 28);
    Select(DATE_SEL_HOUR);
    Press(+1);
    EXPECT_EQ(LastShownDateScreen().nHour, 0);
    Select(DATE_SEL_MINUTE);
    Press(+1);
    EXPECT_EQ(LastShownDateScreen().nMinute, 0);
    Press(-1);
    EXPECT_EQ(LastShownDateScreen().nMinute, 59);

    EnterAt(1, 6, 1, 0, 0);
    Select(DATE_SEL_YEAR);
    Press(-1, 3);
    EXPECT_EQ(LastShownDateScreen().nYear, 0);  // never below 0
}

TEST_F(DayTimeMenuTest, WeekdayMatchesTheCalendar) {
    using namespace std::chrono;
    for (sys_days day = sys_days{year{1900} / January / 1}; day < sys_days{year{2101} / January / 1}; day += days{1}) {
        const year_month_day ymd{day};
        const int y = int(ymd.year());
        const int m = int(unsigned(ymd.month()));
        const int d = int(unsigned(ymd.day()));
        ASSERT_EQ(DayOfWeek(y, m, d), int(weekday{day}.c_encoding())) << y << "-" << m << "-" << d;
        ASSERT_EQ(DaysInMonth(y, m), int(unsigned(year_month_day_last{ymd.year() / ymd.month() / last}.day())));
    }
    char text[8];
    SetWeekdayText(7, text);
    EXPECT_STREQ(text, "( ? )");
}

TEST_F(DayTimeMenuTest, ConfirmRunsTheClockCommandsOnlyOnTheConfirmItem) {
    EnterAt(2024, 2, 14, 3, 5);
    Select(DATE_SEL_MINUTE);
    Captured([] { SetDayTimeMenu(0, 1); });
    EXPECT_EQ(Read("/sim/calls.log"), "");
    EXPECT_EQ(DateScreenClearCount(), 1);

    Select(DATE_SEL_CONFIRM);
    std::string out = Captured([] { SetDayTimeMenu(1, 0); });
    EXPECT_EQ(out, "DiViv : SEL id 6 in SetDayTimeMenu()\n");
    EXPECT_EQ(DateText(), "2024-02-14 03:05 (Wed)");
    out = Captured([] { SetDayTimeMenu(5, 0); });
    EXPECT_EQ(out, "DiViv : Error :: Illegal Setting for Day/Time\n");

    std::vector<int> drawn;
    SetDateScreenHooks([&](DATE_DATA_t* d) { drawn.push_back(d->nSel); }, [&] { drawn.push_back(-1); });
    Captured([] { SetDayTimeMenu(0, 1); });
    EXPECT_EQ(Read("/sim/calls.log"), "date 021403052024\nhwclock -w\n");
    EXPECT_EQ(drawn, std::vector<int>{-1});
    SetDateScreenHooks(nullptr, nullptr);
}

}  // namespace
