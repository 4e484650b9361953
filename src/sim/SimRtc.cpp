#include "sim/SimRtc.h"

#include <fcntl.h>
#include <linux/rtc.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <mutex>

#include "platform/BoardPath.h"
#include "platform/Clock.h"
#include "sim/SimBoard.h"

namespace diviv::sim {

namespace {

// One process may set the clock while another thread reads it.
std::mutex g_rtc_mutex;

// The clock's distance from the wall clock in seconds (0: never set).
int64_t ReadOffset() {
    const std::string text = ReadTextFile(BoardPath(kRtcStateFile));
    const size_t eq = text.find("offset_s=");
    if (eq == std::string::npos) return 0;
    return std::strtoll(text.c_str() + eq + 9, nullptr, 10);
}

bool IsLeap(int year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

int DaysInMonth(int year, int month0) {
    static constexpr int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return kDays[month0] + (month0 == 1 && IsLeap(year) ? 1 : 0);
}

// The kernel's check of a time to set.
bool ValidTime(const rtc_time& t) {
    if (t.tm_year < 70 || t.tm_mon < 0 || t.tm_mon > 11) return false;
    if (t.tm_mday < 1 || t.tm_mday > DaysInMonth(t.tm_year + 1900, t.tm_mon)) return false;
    return t.tm_hour >= 0 && t.tm_hour < 24 && t.tm_min >= 0 && t.tm_min < 60 && t.tm_sec >= 0 && t.tm_sec < 60;
}

std::tm ToTm(const rtc_time& t) {
    std::tm tm{};
    tm.tm_sec = t.tm_sec;
    tm.tm_min = t.tm_min;
    tm.tm_hour = t.tm_hour;
    tm.tm_mday = t.tm_mday;
    tm.tm_mon = t.tm_mon;
    tm.tm_year = t.tm_year;
    return tm;
}

rtc_time FromTm(const std::tm& tm) {
    rtc_time t{};
    t.tm_sec = tm.tm_sec;
    t.tm_min = tm.tm_min;
    t.tm_hour = tm.tm_hour;
    t.tm_mday = tm.tm_mday;
    t.tm_mon = tm.tm_mon;
    t.tm_year = tm.tm_year;
    t.tm_wday = tm.tm_wday;
    t.tm_yday = tm.tm_yday;
    return t;
}

int SetClock(const rtc_time& t) {
    if (!ValidTime(t)) return -EINVAL;
    std::tm given = ToTm(t);
    // The clock holds a calendar time without a zone: counted as UTC.
    const int64_t seconds = UtcSeconds(given);
    const int64_t offset = seconds - static_cast<int64_t>(std::time(nullptr));
    std::lock_guard lock(g_rtc_mutex);
    if (!WriteTextFile(BoardPath(kRtcStateFile), "offset_s=" + std::to_string(offset) + "\n")) return -EIO;
    char line[64];
    std::snprintf(line, sizeof line, "%04d-%02d-%02d %02d:%02d:%02d\n", t.tm_year + 1900, t.tm_mon + 1, t.tm_mday,
                  t.tm_hour, t.tm_min, t.tm_sec);
    const int fd = ::open(BoardPath(kRtcSetLog).c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd >= 0) {
        (void)!::write(fd, line, std::char_traits<char>::length(line));
        ::close(fd);
    }
    return 0;
}

class SimRtc final : public DeviceModel {
public:
    using DeviceModel::DeviceModel;

private:
    int DoIoctl(unsigned long request, void* arg) override {
        if (const int rc = TakeFault(FaultOp::kIoctl, request); rc < 0) return rc;
        if (arg == nullptr) return -EFAULT;
        if (request == RTC_SET_TIME) {
            const int rc = SetClock(*static_cast<const rtc_time*>(arg));
            if (rc == 0) RefreshRtcProcFile();
            return rc;
        }
        if (request == RTC_RD_TIME) {
            *static_cast<rtc_time*>(arg) = FromTm(ReadSimRtc());
            return 0;
        }
        return -ENOTTY;
    }
    ssize_t DoRead(std::span<std::byte>) override { return TakeFault(FaultOp::kRead) < 0 ? -EIO : -EINVAL; }
    ssize_t DoWrite(std::span<const std::byte>) override { return -EINVAL; }
    int DoPoll(short, int) override { return 0; }
    MappedMemory DoMap(size_t, off_t, int* error) override {
        if (error) *error = -ENODEV;
        return {};
    }
};

}  // namespace

std::tm ReadSimRtc() {
    int64_t offset;
    {
        std::lock_guard lock(g_rtc_mutex);
        offset = ReadOffset();
    }
    return UtcCalendar(static_cast<int64_t>(std::time(nullptr)) + offset);
}

std::string RtcProcText(const std::tm& now) {
    char text[256];
    std::snprintf(text, sizeof text,
                  "rtc_time\t: %02d:%02d:%02d\n"
                  "rtc_date\t: %04d-%02d-%02d\n"
                  "alrm_time\t: **:**:**\n"
                  "alrm_date\t: ****-**-**\n"
                  "alarm_IRQ\t: no\n"
                  "alrm_pending\t: no\n"
                  "24hr\t\t: yes\n",
                  now.tm_hour, now.tm_min, now.tm_sec, now.tm_year + 1900, now.tm_mon + 1, now.tm_mday);
    return text;
}

void RefreshRtcProcFile() {
    const std::string text = RtcProcText(ReadSimRtc());
    // Replaced by rename, so a reader never sees it half written.
    const std::string path = BoardPath(kRtcProcFile);
    const std::string tmp = path + ".new." + std::to_string(::getpid());
    std::lock_guard lock(g_rtc_mutex);
    if (WriteTextFile(tmp, text) && std::rename(tmp.c_str(), path.c_str()) == 0) return;
    ::unlink(tmp.c_str());
}

std::unique_ptr<Device> MakeSimRtc(const std::string& board_path, int, int* error) {
    *error = 0;
    return std::make_unique<SimRtc>(board_path);
}

}  // namespace diviv::sim
