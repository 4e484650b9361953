#include "sensors/GpsReceiver.h"

#include <sys/syscall.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include "core/DR_common.h"
#include "platform/Board.h"
#include "sensors/GpsReceiveThread.h"

namespace diviv::gps {

namespace {

constexpr uint32_t kSecondUs = 1000000;
constexpr int kModuleOnSeconds = 5;        // power control held high at power-up
constexpr int kRecoveryOnSeconds = 30;     // power control held high in a recovery
constexpr int kFirstSentenceMs = 2000;     // for the first "$" after the configuration
constexpr int kSilenceSeconds = 10;        // without a complete sentence: no module
constexpr int kWakeupFailuresLogged = 10;  // the failure that is logged (once)
constexpr uint32_t kEmptyReadUs = 100000;  // outside a sentence, after anything but "$"
constexpr uint32_t kFirstCharPollUs = 10000;
constexpr int kHibernateChecks = 10;          // with main power
constexpr int kHibernateChecksOnBattery = 5;  // without; also where the retry comes

// The configuration: navigation initialisation (no position or time given,
// 12 channels, cold start), then every sentence off; RMC once per second
// follows after a second.
constexpr const char* kNavigationInit = "$PSRF101,0,0,0,0,0,0,12,4*10";
constexpr const char* kSentencesOff[] = {
    "$PSRF103,00,00,00,01*24",  // GGA
    "$PSRF103,01,00,00,01*25",  // GLL
    "$PSRF103,02,00,00,01*26",  // GSA
    "$PSRF103,03,00,00,01*27",  // GSV
    "$PSRF103,04,00,00,01*20",  // RMC
    "$PSRF103,05,00,00,01*21",  // VTG
    "$PSRF103,08,00,00,01*2C",  // ZDA
};
constexpr const char* kRmcEverySecond = "$PSRF103,04,00,01,01*21";

void LogGpsFatal() { DR_SYSLOG(DR_ERR_FATAL, "Fatal error is found in GPS.", 0); }

class BoardEnvironment final : public GpsEnvironment {
public:
    void Sleep(uint32_t usec) override { dr_usleep(usec); }

    bool NowMs(int64_t* ms) override {
        timespec ts{};
        if (clock_gettime(CLOCK_MONOTONIC, &ts) != 0) return false;
        *ms = static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
        return true;
    }

    int WriteLine(std::string_view name, std::string_view attribute, std::string_view text) override {
        return TheBoard().Leds().WriteAttribute(name, attribute, text);
    }

    // Bit 19 of the input word; a word that cannot be read leaves the
    // reading as it was.
    int ReadWakeup() override {
        char buf[16] = {};
        if (TheBoard().InputDevices().ReadDriverFile("/proc/driver/input", buf, 9) == 9) {
            wakeup_ = static_cast<int>((std::strtoul(buf, nullptr, 16) >> 19) & 1);
        }
        return wakeup_;
    }

    std::unique_ptr<SerialLine> OpenPort(std::string_view board_path, speed_t speed, PortFailure* failure) override {
        return OpenSerialLine(board_path, speed, failure);
    }

private:
    int wakeup_ = 0;
};

}  // namespace

std::unique_ptr<GpsEnvironment> MakeBoardGpsEnvironment() { return std::make_unique<BoardEnvironment>(); }

void GpsReceiver::SetPCNT(int onoff) {
    env_.WriteLine("GPS_P_CNT", "brightness", std::to_string(onoff));
    env_.Sleep(kSecondUs);
}

void GpsReceiver::SetON_OFF() {
    env_.WriteLine("GPSONOFF", "trigger", "pattern");
    env_.WriteLine("GPSONOFF", "delay1_on", "100");
    env_.WriteLine("GPSONOFF", "delay1_off", "100");
    env_.WriteLine("GPSONOFF", "times", "1");
    env_.Sleep(kSecondUs);
}

int GpsReceiver::IsGpsWakeup() { return env_.ReadWakeup(); }

int GpsReceiver::GetElapsedMilliTime(int reset) {
    int64_t now = 0;
    if (!env_.NowMs(&now)) {
        std::printf("GPS : Failed to gettimeofday\n");
        DR_SYSLOG(DR_ERR_SURVIVABLE, "Failure of counting the time.", 0);
        return -1;
    }
    if (reset != 0) {
        mark_ms_ = now;
        return 0;
    }
    return static_cast<int>(now - mark_ms_);
}

int GpsReceiver::put_serial_string(std::string_view s) {
    const ssize_t n = com_ ? com_->Write(s) : -1;
    if (n != static_cast<ssize_t>(s.size())) {
        std::printf("GPS COM Write Error [%d]%.*s\n", static_cast<int>(n), static_cast<int>(s.size()), s.data());
        return -1;
    }
    return 0;
}

int GpsReceiver::put_uart3_serial_string(std::string_view s) {
    const ssize_t n = uart3_ ? uart3_->Write(s) : -1;
    if (n != static_cast<ssize_t>(s.size())) {
        std::printf("UART3 COM Write Error [%d]%.*s\n", static_cast<int>(n), static_cast<int>(s.size()), s.data());
        return -1;
    }
    return 0;
}

int GpsReceiver::gps_init() {
    GetElapsedMilliTime(1);
    int rc = put_serial_string(std::string(kNavigationInit) + "\r\n");
    for (const char* off : kSentencesOff) rc += put_serial_string(std::string(off) + "\r\n");
    env_.Sleep(500000);
    // The module takes a second to settle before RMC is switched on.
    while (!StopRequested()) {
        const int elapsed = GetElapsedMilliTime(0);
        if (elapsed < 0 || elapsed >= 1000) break;
        env_.Sleep(10000);
    }
    rc += put_serial_string(std::string(kRmcEverySecond) + "\r\n");
    return rc;
}

bool GpsReceiver::PowerUp() {
    SetPCNT(1);
    if (StopRequested()) return false;
    env_.Sleep(kModuleOnSeconds * kSecondUs);
    if (StopRequested()) return false;
    SetPCNT(0);
    return !StopRequested();
}

bool GpsReceiver::WakeUp(const char* not_awake_line) {
    while (!StopRequested()) {
        SetON_OFF();
        if (IsGpsWakeup()) {
            std::printf("GPS : WAKEUP OK\n");
            return true;
        }
        std::printf("%s\n", not_awake_line);
        if (++wakeup_failures_ == kWakeupFailuresLogged) {
            std::printf("GPS : WAKEUP NG -> Retry 10 times (Log Output)\n");
            LogGpsFatal();
        }
        if (StopRequested()) break;
        env_.Sleep(2 * kSecondUs);
    }
    return false;
}

bool GpsReceiver::OpenAndConfigure() {
    PortFailure failure = PortFailure::kNone;
    com_ = env_.OpenPort(kGpsPort, kGpsSpeed, &failure);
    if (!com_) {
        if (failure == PortFailure::kSetup) {
            std::printf("GPS : Error :: Can not setup COM\n");
        } else {
            std::printf("GPS : Error :: COM Open Error %s\n", kGpsPort);
        }
        return false;
    }
    return gps_init() >= 0;
}

bool GpsReceiver::Recover() {
    // Asleep first, then a long power-on reset, then awake again.
    while (IsGpsWakeup()) {
        if (StopRequested()) return false;
        SetON_OFF();
    }
    std::printf("GPS : WAKEUP -> Low\n");
    if (StopRequested()) return false;
    SetPCNT(1);
    for (int i = 0; i < kRecoveryOnSeconds && !StopRequested(); ++i) env_.Sleep(kSecondUs);
    SetPCNT(0);
    env_.Sleep(300000);
    return WakeUp("GPS : WAKEUP NG");
}

bool GpsReceiver::WaitFirstSentence() {
    // The limit runs from the end of the configuration and is not restarted
    // by a recovery: after one, the very next character must be a "$".
    GetElapsedMilliTime(1);
    while (!StopRequested()) {
        char c = 0;
        const int got = com_->ReadChar(&c);
        if (got == 1 && c == '$') {
            std::printf("GPS : Receive Data is OK ! -> Start processing \n");
            return true;
        }
        if (GetElapsedMilliTime(0) > kFirstSentenceMs) {
            std::printf("GPS : Receive Data is NG ! -> Start recovery sequence \n");
            if (!Recover()) return false;
            continue;
        }
        if (got != 1) env_.Sleep(kFirstCharPollUs);
    }
    return false;
}

void GpsReceiver::ReceiveLoop() {
    PortFailure failure = PortFailure::kNone;
    uart3_ = env_.OpenPort(kUart3Port, kUart3Speed, &failure);
    if (!uart3_) {
        std::printf("uart3_open failed\n");
    } else {
        put_uart3_serial_string("UART3 COM PORT OPEND !\r\n");
    }
    loop_started_ = true;

    char sentence[kGpsSentenceSize] = {};
    size_t length = 0;
    bool inside = false;
    int seconds = 0;  // the silence watchdog and the age of the clock setting
    long sentences = 0;
    GetElapsedMilliTime(1);
    while (!StopRequested()) {
        if (GetElapsedMilliTime(0) > 1000) {
            ++seconds;
            GetElapsedMilliTime(1);
        }
        if (seconds >= kSilenceSeconds && sentences == 0) {
            std::printf("GPS : GPS Device is not connected\n");
            LogGpsFatal();
            dr_->REQ_GPS_CLOSE = 1;
            dr_->GPSReceiveError = 1;
            break;
        }
        char c = 0;
        int got = com_->ReadChar(&c);
        // A simulated reception failure: nothing but the "$" gets through.
        if (got == 1 && c != '$' && dr_->dummyGPSReceiveError.load()) got = 0;
        if (got == 1 && c == '$') {
            std::memset(sentence, 0, sizeof sentence);
            sentence[0] = '$';
            length = 1;
            inside = true;
            continue;
        }
        if (!inside) {
            env_.Sleep(kEmptyReadUs);
            continue;
        }
        if (got != 1) continue;  // inside a sentence: poll on
        if (c == '\n') {
            ChkRmc(dr_, sentence, &seconds);
            if (SharedSetting(dr_->uart3_mode) == 0) put_uart3_serial_string(std::string(sentence) + "\r\n");
            std::memset(sentence, 0, sizeof sentence);
            inside = false;
            dr_->GPSReceiveError = 0;
            ++sentences;
            continue;
        }
        sentence[length++] = c;
        if (length >= kGpsSentenceSize - 1) {
            std::printf("GPS : Error :: GPS Recv Overflow %s\n", sentence);
            std::memset(sentence, 0, sizeof sentence);
            inside = false;
        }
    }
}

void GpsReceiver::ShutDown() {
    if (loop_started_) std::printf("GPS :  closed after open\n");
    std::printf("GPS : closed after init\n");
    com_.reset();
    uart3_.reset();
    if (IsGpsWakeup()) {
        // Into hibernation: one pulse, then a look every 500 ms; halfway
        // (with main power) one more pulse.
        SetON_OFF();
        const bool main_power = dr_->PWR_DET_State.load() != 0;
        const int checks = main_power ? kHibernateChecks : kHibernateChecksOnBattery;
        bool asleep = false;
        for (int i = 1; i <= checks; ++i) {
            if (i > 1) env_.Sleep(500000);
            if (!IsGpsWakeup()) {
                std::printf("GPS : Detect WAKEUP -> Low [hibernate-mode]\n");
                asleep = true;
                break;
            }
            if (i == kHibernateChecksOnBattery) {
                std::printf("GPS : Can't to be hibernate-mode!! [Retry]\n");
                if (main_power) SetON_OFF();
            }
        }
        if (!asleep) {
            std::printf("GPS : Can't to be hibernate-mode!!\n");
            LogGpsFatal();
        }
    }
    std::printf("GPS : GPS Receive Thread End \n");
    std::fflush(stdout);
    dr_->GPS_ALIVE = 0;
}

void GpsReceiver::Run() {
    std::printf("GPS : GPSReceiveThread start [ppid=%d tid=%ld] ###\n", static_cast<int>(getppid()),
                static_cast<long>(syscall(SYS_gettid)));
    if (PowerUp() && WakeUp("GPS : WAKEUP NG -> Retry ON_OFF") && OpenAndConfigure() && WaitFirstSentence()) {
        ReceiveLoop();
    }
    ShutDown();
}

}  // namespace diviv::gps
