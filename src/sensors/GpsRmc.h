// Reading NMEA 0183 sentences: fields by position, and the UTC time and
// date of an RMC sentence.
//
// RMC: $GPRMC,hhmmss.sss,status,lat,N/S,lon,E/W,speed,course,ddmmyy,...*hh
// Receivers leave fields empty (the course while the vehicle stands still,
// everything but time and date without a fix), so a field is found by its
// place between commas, never by skipping empty ones.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace diviv::gps {

// Field positions of an RMC sentence ("$GPRMC" is field 0).
inline constexpr size_t kRmcTimeField = 1;
inline constexpr size_t kRmcStatusField = 2;
inline constexpr size_t kRmcLatitudeField = 3;
inline constexpr size_t kRmcLongitudeField = 5;
inline constexpr size_t kRmcSpeedField = 7;
inline constexpr size_t kRmcCourseField = 8;
inline constexpr size_t kRmcDateField = 9;

// The fields of a sentence split at every comma; empty fields keep their
// place. The checksum ("*hh") and the line end are not part of the last
// field.
std::vector<std::string_view> SplitFields(std::string_view sentence);

// The satellite time of an RMC sentence as broken-down UTC.
struct RmcClock {
    int hour = 0, min = 0, sec = 0;
    int mday = 1;
    int mon = 0;   // 0..11
    int year = 0;  // years since 1900: "ddmmyy" gives 100 + yy (2000 + yy)
};

// The time field: exactly 10 characters, hhmmss.sss, in range. Fills the
// hour, minute and second; false when malformed.
bool ParseRmcTime(std::string_view field, RmcClock* out);
// The date field: exactly 6 characters, ddmmyy, in range. Fills the day,
// month and year; false when malformed.
bool ParseRmcDate(std::string_view field, RmcClock* out);

// The clock's time as seconds since 1970, read as UTC.
int64_t RmcClockToUtc(const RmcClock& c);

// Reads the time and date fields by position. On a missing or malformed
// field returns false with *bad_field = that field's text (empty when
// missing).
bool ReadRmcClock(std::string_view sentence, RmcClock* out, std::string* bad_field);

}  // namespace diviv::gps
