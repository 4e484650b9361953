#include "config/daytime_menu.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include "core/DR_shared.h"
#include "platform/BoardPath.h"
#include "platform/RunProgram.h"

namespace {

DATE_DATA_t date_data{};

DATE_DATA_t last_shown{};
int show_count = 0;
int clear_count = 0;

void RememberShow(DATE_DATA_t* d) {
    last_shown = *d;
    ++show_count;
}
void RememberClear() { ++clear_count; }

DateScreenShow show_hook = RememberShow;
DateScreenClear clear_hook = RememberClear;

void Show() { show_hook(&date_data); }

// value + step, wrapping from `hi` to `lo` and from `lo` to `hi`.
int Wrap(int value, int step, int lo, int hi) {
    const int v = value + step;
    if (v > hi) return lo;
    if (v < lo) return hi;
    return v;
}

void ClampDay() {
    const int last = DaysInMonth(date_data.nYear, date_data.nMonth);
    if (date_data.nDay > last) date_data.nDay = last;
}

void UpdateWeekday() {
    SetWeekdayText(DayOfWeek(date_data.nYear, date_data.nMonth, date_data.nDay), date_data.DayWeek);
}

void Enter() {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    if (localtime_r(&now, &local) == nullptr) {
        std::perror("localtime");
        std::exit(1);
    }
    date_data.nYear = local.tm_year + 1900;
    date_data.nMonth = local.tm_mon + 1;
    date_data.nDay = local.tm_mday;
    date_data.nHour = local.tm_hour;
    date_data.nMinute = local.tm_min;
    date_data.nSecond = local.tm_sec;
    UpdateWeekday();
    date_data.nSel = DATE_SEL_YEAR;
    std::printf("DiViv : %d/%d/%d %s %d:%d:%d\n", date_data.nYear, date_data.nMonth, date_data.nDay,
                date_data.DayWeek, date_data.nHour, date_data.nMinute, date_data.nSecond);
    Show();
    drc->AppState = STATE_CFG;
}

// Sets the system clock (the seconds are not passed) and copies it into the
// real-time clock.
void SetClocks() {
    char when[32];
    std::snprintf(when, sizeof when, "%02d%02d%02d%02d%04d", date_data.nMonth, date_data.nDay, date_data.nHour,
                  date_data.nMinute, date_data.nYear);
    diviv::RunProgram({BoardPath("/bin/date"), when});
    diviv::RunProgram({BoardPath("/sbin/hwclock"), "-w"});
}

// Item cycle: year, month, day, hour, minute, confirm, year ... The seconds
// item is skipped: the clock command does not take seconds.
int NextItem(int sel) {
    if (sel < DATE_SEL_MINUTE) return sel + 1;
    return sel == DATE_SEL_CONFIRM ? DATE_SEL_YEAR : DATE_SEL_CONFIRM;
}

void Step(int key) {
    DATE_DATA_t& d = date_data;
    switch (d.nSel) {
    case DATE_SEL_YEAR:
        d.nYear += key;
        if (d.nYear < 0) d.nYear = 0;
        ClampDay();
        break;
    case DATE_SEL_MONTH:
        d.nMonth = Wrap(d.nMonth, key, 1, 12);
        ClampDay();
        break;
    case DATE_SEL_DAY: d.nDay = Wrap(d.nDay, key, 1, DaysInMonth(d.nYear, d.nMonth)); break;
    case DATE_SEL_HOUR: d.nHour = Wrap(d.nHour, key, 0, 23); break;
    case DATE_SEL_MINUTE: d.nMinute = Wrap(d.nMinute, key, 0, 59); break;
    case DATE_SEL_SECOND: d.nSecond = Wrap(d.nSecond, key, 0, 59); break;
    default: std::printf("DiViv : SEL id %d in SetDayTimeMenu()\n", d.nSel); break;
    }
    UpdateWeekday();
}

}  // namespace

int DaysInMonth(int year, int month) {
    static constexpr int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (month < 1 || month > 12) return 31;
    const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    return month == 2 && leap ? 29 : kDays[month - 1];
}

int DayOfWeek(int year, int month, int day) {
    int y = year;
    int m = month;
    if (m <= 2) {
        m += 12;
        --y;
    }
    return (y + y / 4 + y / 400 + day + (13 * m + 8) / 5 - y / 100) % 7;
}

void SetWeekdayText(int weekday, char* text) {
    static constexpr const char* kNames[7] = {"(Sun)", "(Mon)", "(Tue)", "(Wed)", "(Thu)", "(Fri)", "(Sat)"};
    const char* name = weekday >= 0 && weekday < 7 ? kNames[weekday] : "( ? )";
    std::snprintf(text, sizeof(DATE_DATA_t::DayWeek), "%s", name);
}

int SetDayTimeMenu(int key, int done) {
    if (drc->AppState.load() != STATE_CFG) {
        Enter();
        return 1;
    }
    if (done != 0) {
        if (date_data.nSel == DATE_SEL_CONFIRM) SetClocks();
        clear_hook();
        return 1;
    }
    if (key == 0) {
        date_data.nSel = NextItem(date_data.nSel);
    } else if (key == 1 || key == -1) {
        Step(key);
    } else {
        std::printf("DiViv : Error :: Illegal Setting for Day/Time\n");
    }
    Show();
    return 1;
}

void SetDateScreenHooks(DateScreenShow show, DateScreenClear clear) {
    show_hook = show ? std::move(show) : DateScreenShow(RememberShow);
    clear_hook = clear ? std::move(clear) : DateScreenClear(RememberClear);
}

const DATE_DATA_t& LastShownDateScreen() { return last_shown; }
int DateScreenShowCount() { return show_count; }
int DateScreenClearCount() { return clear_count; }
void ResetDateScreenRecord() {
    last_shown = DATE_DATA_t{};
    show_count = 0;
    clear_count = 0;
}

DATE_DATA_t* GetDateData() { return &date_data; }
