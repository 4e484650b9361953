#include "sensors/GpsReceiveThread.h"

#include <fcntl.h>
#include <linux/rtc.h>
#include <sys/time.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "core/DR_common.h"
#include "platform/Board.h"
#include "platform/Clock.h"
#include "sensors/GpsReceiver.h"
#include "sensors/GpsRmc.h"

namespace {

// The RTC counts from UTC + 9 hours (the board's local time in Japan).
constexpr time_t kRtcZoneSeconds = 32400;
// Seconds after which the clock is set again from satellite time.
constexpr int kRtcRenewSeconds = 3600;
constexpr const char* kRtcDevice = "/dev/rtc";

// Process-wide, across receiver threads.
std::atomic<bool> g_rtc_set{false};
std::atomic<bool> g_full_reported{false};

int PutRmc(dr_common_t* dr, const char* rmcstr) {
    gps_buffer rec{};
    timeval tv{};
    if (gettimeofday(&tv, nullptr) != 0) {
        std::printf("GPS : Failed to gettimeofday\n");
        DR_SYSLOG(DR_ERR_SURVIVABLE, "Failure of counting the time.", 0);
    }
    rec.timestamp = {static_cast<int32_t>(tv.tv_sec), static_cast<int32_t>(tv.tv_usec)};
    // The sentence buffer holds at most 99 characters and its NUL.
    std::strncpy(rec.rmc_data, rmcstr, sizeof rec.rmc_data - 1);
    if (dr->REQ_GPS_CLOSE.load()) return 0;
    if (DR_GetRingBufferWriteAvailable(&dr->rmc_buf) > kGpsRecordSize - 1) {
        return DR_WriteRingBuffer(&dr->rmc_buf, &rec, kGpsRecordSize);
    }
    DR_SYSLOG(DR_ERR_SURVIVABLE, "Failure of writing to buffer.", 0);
    if (!g_full_reported.exchange(true)) std::printf("GPS : #### RMC Buffer is FULL !! ###\n");
    return 0;
}

// Prints the RTC driver's text.
void ShowRtcDriverText() {
    std::vector<char> text(1024);
    const int n = diviv::TheBoard().InputDevices().ReadDriverFile("/proc/driver/rtc", text.data(),
                                                                  static_cast<int>(text.size()) - 1);
    if (n > 0) std::fwrite(text.data(), 1, static_cast<size_t>(n), stdout);
}

}  // namespace

void GpsReceiveThread(dr_common_t* dr) {
    const std::unique_ptr<diviv::gps::GpsEnvironment> env = diviv::gps::MakeBoardGpsEnvironment();
    diviv::gps::GpsReceiver receiver(dr, *env);
    receiver.Run();
}

int put_rmc(const char* rmcstr) { return PutRmc(drc, rmcstr); }

void ChkRmc(dr_common_t* drc, const char* buf, int* rtccnt) {
    if (std::strncmp(buf, "$GPRMC", 6) != 0) return;
    // The status follows the 10-character time field hhmmss.sss.
    const char status = std::strlen(buf) > 18 ? buf[18] : '\0';
    if (status == 'A') {
        std::printf("[Recv(%d)cnt[%d]]:%s\n", static_cast<int>(std::strlen(buf)), *rtccnt, buf);
        if (!g_rtc_set.load() || *rtccnt > kRtcRenewSeconds) {
            std::printf("GPS : RTC rtccnt[%d]\n", *rtccnt);
            // A failure leaves the counter running: the next valid sentence tries again.
            if (GpsRTC(buf) == 0) {
                *rtccnt = 0;
                g_rtc_set = true;
            }
        }
        if (drc->GPSReceiveDataValid.exchange(1) == 0) std::printf("GPS : Receive data is valid !\n");
    } else if (status == 'V') {
        if (drc->GPSReceiveDataValid.exchange(0) == 1) std::printf("GPS : Receive data is invalid !\n");
    } else {
        std::printf("GPS : RMC Data format error[%s\n", buf);
    }
    if (drc->GPSWriteRmcData.load() && drc->EncodeStart.load()) PutRmc(drc, buf);
}

int GpsRTC(const char* srmc) {
    std::printf("GPS : GPS RTC start!![%s]\n", srmc);
    // Fields by position: an empty field (the course of a vehicle standing
    // still) keeps its place, so the date is always found where it is.
    const std::vector<std::string_view> f = diviv::gps::SplitFields(srmc);
    diviv::gps::RmcClock c;
    auto format_error = [&](size_t index) {
        const std::string field = index < f.size() ? std::string(f[index]) : std::string();
        std::printf("GPS : rmc format error[%s]\n", field.c_str());
        return -1;
    };
    if (f.size() <= diviv::gps::kRmcTimeField || !diviv::gps::ParseRmcTime(f[diviv::gps::kRmcTimeField], &c)) {
        return format_error(diviv::gps::kRmcTimeField);
    }
    const std::string time_field(f[diviv::gps::kRmcTimeField]);
    std::printf("GPS : rtc time [%s]\n", time_field.c_str());
    std::printf("GPS : rtc hour[%d] min[%d] sec[%d]\n", c.hour, c.min, c.sec);
    if (f.size() <= diviv::gps::kRmcDateField || !diviv::gps::ParseRmcDate(f[diviv::gps::kRmcDateField], &c)) {
        return format_error(diviv::gps::kRmcDateField);
    }
    std::printf("GPS : rtc year[%d] mon[%d] mday[%d]\n", c.year, c.mon, c.mday);

    // Calendar arithmetic in 64 bits: the board's time_t ends in 2038.
    const std::tm local = diviv::UtcCalendar(diviv::gps::RmcClockToUtc(c) + kRtcZoneSeconds);
    rtc_time rt{};
    rt.tm_sec = local.tm_sec;
    rt.tm_min = local.tm_min;
    rt.tm_hour = local.tm_hour;
    rt.tm_mday = local.tm_mday;
    rt.tm_mon = local.tm_mon;
    rt.tm_year = local.tm_year;
    rt.tm_wday = local.tm_wday;
    rt.tm_yday = local.tm_yday;
    rt.tm_isdst = local.tm_isdst;

    int error = 0;
    std::unique_ptr<diviv::Device> rtc = diviv::TheBoard().OpenDevice(kRtcDevice, O_RDONLY, &error);
    if (!rtc) {
        std::printf("GPS : RTC device open error\n");
        DR_SYSLOG(DR_ERR_SURVIVABLE, "Failure of opening the device.", 0);
        return -1;
    }
    if (rtc->Ioctl(RTC_SET_TIME, &rt) < 0) {
        std::printf("GPS : RTC device write error\n");
        DR_SYSLOG(DR_ERR_SURVIVABLE, "Failure of writing to buffer.", 0);
        return -1;
    }
    if (rtc->Close() < 0) {
        std::printf("GPS : RTC device close error\n");
        DR_SYSLOG(DR_ERR_SURVIVABLE, "Failure of closing the device.", 0);
        return -1;
    }
    std::printf("GPS : RTC update\n");
    ShowRtcDriverText();
    return 0;
}

void GpsForgetProcessState() {
    g_rtc_set = false;
    g_full_reported = false;
}
