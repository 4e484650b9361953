// The date-and-time setting screen's logic: the user walks through year,
// month, day, hour and minute, changes each with +1/-1, and confirms to set
// the system clock and the real-time clock.
//
// Drawing belongs to the on-screen display; this module calls the show and
// clear hooks installed with SetDateScreenHooks.
#pragma once

#include <functional>

#include "config/date_data.h"

// Items of DATE_DATA_t::nSel.
inline constexpr int DATE_SEL_YEAR = 0;
inline constexpr int DATE_SEL_MONTH = 1;
inline constexpr int DATE_SEL_DAY = 2;
inline constexpr int DATE_SEL_HOUR = 3;
inline constexpr int DATE_SEL_MINUTE = 4;
inline constexpr int DATE_SEL_SECOND = 5;  // never selected by the item cycle
inline constexpr int DATE_SEL_CONFIRM = 6;

// Drives the screen (returns 1):
// - while AppState is not STATE_CFG: takes the local time, shows the screen
//   and enters STATE_CFG;
// - done != 0: on the confirm item sets the clocks; always clears the screen;
// - key 0: next item (0, 1, 2, 3, 4, 6, 0 ...);
// - key +1 / -1: changes the selected item with its wrap rules;
// - any other key: reported and ignored.
int SetDayTimeMenu(int key, int done);

// Drawing hooks. Null restores the defaults, which only remember the last
// record shown and count the clears (see below).
using DateScreenShow = std::function<void(DATE_DATA_t*)>;
using DateScreenClear = std::function<void()>;
void SetDateScreenHooks(DateScreenShow show, DateScreenClear clear);

// What the default hooks saw: the last record shown, how often the screen was
// shown and cleared.
const DATE_DATA_t& LastShownDateScreen();
int DateScreenShowCount();
int DateScreenClearCount();
void ResetDateScreenRecord();

// The record being edited.
DATE_DATA_t* GetDateData();

// Days in `month` (1..12) of `year`, with February 29 in leap years.
int DaysInMonth(int year, int month);
// Weekday 0 (Sunday) .. 6 of a date (January and February count as months 13
// and 14 of the previous year).
int DayOfWeek(int year, int month, int day);
// Writes "(Sun)" .. "(Sat)", or "( ? )" for other numbers, into text[8].
void SetWeekdayText(int weekday, char* text);
