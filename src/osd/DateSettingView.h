// What the date-and-time setting screen shows: the values being edited and
// the selected item. Filled by the caller from the setting's own record.
#pragma once

struct DateSettingView {
    int nSel;      // selected item: 0 year, 1 month, 2 day, 3 hour, 4 minute, 5 second, 6 confirm
    int nYear;
    int nMonth;    // 1..12
    int nDay;      // 1..days of the month
    int nHour;     // 0..23
    int nMinute;   // 0..59
    int nSecond;   // 0..59
    char DayWeek[8];  // "(Sun)" .. "(Sat)", "( ? )" for an unknown weekday
};
