// The simulated real-time clock: a device model for "/dev/rtc" that answers
// RTC_SET_TIME and RTC_RD_TIME (linux/rtc.h) as the board's RTC driver does.
//
// - The clock keeps the time it was given and runs on from it: what is kept
//   is its distance from the board's wall clock, in the board root
//   (kRtcStateFile), so it survives the recorder's restarts. A clock never
//   set reads the wall clock as UTC.
// - A setting outside the calendar (month 12, 31 February, hour 24, a year
//   before 1970) is refused with -EINVAL, as the kernel's RTC layer does.
// - Every setting is appended to kRtcSetLog ("YYYY-MM-DD hh:mm:ss"), so tests
//   and boardsim can tell how often and to what the clock was set.
// - The driver's text "/proc/driver/rtc" is rewritten at each setting, and
//   again by the simulated board whenever the recorder reads it.
// - Faults: DeviceModel::InjectFault on any request.
#pragma once

#include <ctime>
#include <memory>
#include <string>

#include "sim/DeviceModel.h"

namespace diviv::sim {

inline constexpr const char* kRtcDevicePath = "/dev/rtc";
inline constexpr const char* kRtcProcFile = "/proc/driver/rtc";
inline constexpr const char* kRtcStateFile = "/sim/rtc";        // "offset_s=N": clock minus wall clock
inline constexpr const char* kRtcSetLog = "/sim/rtc_set.log";  // one line per setting

// The clock's time now, as the driver hands it out (tm_wday and tm_yday
// filled, tm_isdst 0).
std::tm ReadSimRtc();

// The driver's text for a clock reading: "rtc_time\t: hh:mm:ss",
// "rtc_date\t: YYYY-MM-DD", the (unset) alarm and "24hr\t\t: yes".
std::string RtcProcText(const std::tm& now);

// Rewrites "/proc/driver/rtc" in the board root from the clock's time now.
void RefreshRtcProcFile();

// Factory for the device registry.
std::unique_ptr<Device> MakeSimRtc(const std::string& board_path, int flags, int* error);

}  // namespace diviv::sim
