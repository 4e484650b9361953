#include "core/DR_common.h"

#include <sys/select.h>
#include <sys/time.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "platform/BoardPath.h"
#include "platform/Clock.h"
#include "platform/PowerPort.h"
#include "platform/RunProgram.h"

namespace {

constexpr const char* kLogProgram = "/usr/local/sbin/log_record";
constexpr size_t kMaxMessage = 256;
constexpr size_t kMaxCommand = 528;  // the board cut its shell command here

}  // namespace

std::string DR_SysLogArgument(uint32_t ErrCode, const char* Msg, const char* FileName,
                              const char* FunctionName, int LineNumber) {
    char message[kMaxMessage + 1];
    std::snprintf(message, sizeof message, "%s", Msg ? Msg : "");
    char text[2048];
    std::snprintf(text, sizeof text, "0x%08x,%s,%s,%s,L%d", ErrCode, message,
                  FileName ? FileName : "", FunctionName ? FunctionName : "", LineNumber);
    // The board built `<program> "<text>"` and cut it after 528 characters,
    // closing the quote; the argument is what lay between the quotes.
    const size_t prefix = std::strlen(kLogProgram) + 2;  // program, blank, quote
    std::string arg(text);
    if (prefix + arg.size() + 1 >= kMaxCommand) arg.resize(kMaxCommand - prefix);
    return arg;
}

void EndProcess(int status) {
    std::fflush(nullptr);
    std::_Exit(status);
}

int DR_SysLog(uint32_t ErrCode, const char* Msg, const char* FileName, const char* FunctionName,
              int LineNumber, int reboot) {
    const std::string arg = DR_SysLogArgument(ErrCode, Msg, FileName, FunctionName, LineNumber);
    // Run directly, not through a shell: quotes, "$(...)" and backticks in a
    // message stay text.
    const int status = diviv::RunProgram({BoardPath(kLogProgram), arg});
    if (reboot != 1) return status;
    if (getWDTtime() == 0) return status;
    if (!diviv::WritePowerCommand("2\n")) std::printf("DR_SysLog : Can not open /proc/driver/power\n");
    EndProcess(1);
}

int getWDTtime() {
    const char* v = std::getenv("WDT_ENABLE");
    if (v == nullptr) return 0;
    const int t = std::atoi(v);
    return (t >= 11 && t <= 127) ? t : 0;
}

int dr_usleep(uint32_t usec) {
    const int64_t end = diviv::MonotonicUs() + usec;
    int64_t left = usec;
    while (true) {
        timeval tv{static_cast<time_t>(left / 1000000), static_cast<suseconds_t>(left % 1000000)};
        const int rc = select(0, nullptr, nullptr, nullptr, &tv);
        if (rc >= 0) {
            // Some kernels return early without EINTR; finish the time left.
            left = end - diviv::MonotonicUs();
            if (left <= 0) return 0;
            continue;
        }
        if (errno != EINTR) return rc;
        left = end - diviv::MonotonicUs();
        if (left <= 0) return 0;
    }
}

int dr_taskwait(uint32_t usec) {
    if (usec == 0) return 0;
    return dr_usleep(usec);
}

long GetElapsedTime(int reset) {
    static std::mutex mark_mutex;
    static timeval mark{};
    timeval now{};
    if (gettimeofday(&now, nullptr) != 0) {
        std::printf("failed to gettimeofday\n");
        return -1;
    }
    std::lock_guard<std::mutex> lock(mark_mutex);
    if (reset != 0) {
        mark = now;
        return 0;
    }
    return static_cast<long>(now.tv_sec - mark.tv_sec - (now.tv_usec < mark.tv_usec ? 1 : 0));
}
