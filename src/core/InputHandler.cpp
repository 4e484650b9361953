#include "core/InputHandler.h"

#include <fcntl.h>
#include <linux/input.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>
#include <system_error>
#include <thread>

#include "core/DR_common.h"
#include "core/DR_shared.h"
#include "platform/Board.h"
#include "platform/Clock.h"

std::atomic<uint8_t> BtnREC{0}, BtnSTOP{0}, BtnSEL{0}, BtnUP{0}, BtnDOWN{0}, BtnEVENT{0};
std::atomic<uint32_t> PushKey{0};
std::atomic<uint32_t> GPS_WAKEUP{0};
std::atomic<uint32_t> PowerState{0};
std::atomic<int32_t> CurrentACCState{0};
std::atomic<int32_t> CurrentPWR_DETState{0};
std::atomic<KEY_CMD> CurCMD{NULL_CMD};
std::atomic<int32_t> nTimeUpdate{0};
std::atomic<int32_t> nCheckPollEvent{0};
std::atomic<int32_t> ExitTimer{0};

namespace {

constexpr const char* kKeyDevice = "/dev/input/event0";
constexpr const char* kPowerDevice = "/dev/input/event1";

// Event types and codes of the board's input drivers.
constexpr uint16_t kTypeKey = 1;     // EV_KEY
constexpr uint16_t kTypeSwitch = 5;  // EV_SW
constexpr uint16_t kCodeSTOP = 2, kCodeEVENT = 3, kCodeSELECT = 4, kCodeUP = 5, kCodeDOWN = 6;
constexpr uint16_t kCodePWR_DET = 0, kCodeACC_IN = 1, kCodePWRSW_IN = 2;

constexpr uint32_t kPollStepUs = 100000;  // pause between two events, 100 ms

std::atomic<bool> g_stop_inputs{false};
std::atomic<int> g_inputs_running{0};

long ThreadKernelId() { return static_cast<long>(::syscall(SYS_gettid)); }

// Opens an input-event device of the board; -1 when it cannot be opened.
int OpenDevice(const std::string& path) {
    int error = 0;
    return diviv::TheBoard().InputDevices().OpenEventDevice(path, &error).Release();
}

// Reads one whole event; false on a short read, end of file or error.
bool ReadEvent(int fd, input_event* ev) {
    ssize_t n;
    do {
        n = ::read(fd, ev, sizeof *ev);
    } while (n < 0 && errno == EINTR);
    return n == static_cast<ssize_t>(sizeof *ev);
}

// Prints the driver's version and name (a simulated FIFO answers neither:
// version 0 and an empty name).
void PrintDriverInfo(int fd, const char* what) {
    int version = 0;
    if (::ioctl(fd, EVIOCGVERSION, &version) != 0) version = 0;
    char name[256] = {};
    if (::ioctl(fd, EVIOCGNAME(sizeof name - 1), name) < 0) name[0] = '\0';
    std::printf("DiViv : %s Version 0x%08x\n", what, static_cast<unsigned>(version));
    std::printf("DiViv : %s Name : %s\n", what, name);
}

void KeyEventHandler(const std::string path) {
    std::printf("DiViv : KeyEventHandler Thread Start [ppid=%d pid=%ld] ###\n", static_cast<int>(::getpid()),
                ThreadKernelId());
    int fd = OpenDevice(path);
    if (fd < 0) {
        std::printf("DiViv : Error:: Cannot open key input subsystem \n");
        --g_inputs_running;
        return;
    }
    PrintDriverInfo(fd, "Key Handler");
    ::close(fd);
    while (!g_stop_inputs) {
        dr_common_t* dr = drc;
        if (dr != nullptr && dr->RsvParam_1 != 0) {
            fd = OpenDevice(path);
            if (fd < 0) {
                std::printf("DiViv : Error:: Cannot open key input subsystem \n");
                break;
            }
            input_event ev{};
            const bool got = ReadEvent(fd, &ev);
            ::close(fd);
            if (g_stop_inputs) break;
            if (got && ev.type == kTypeKey && ev.value == 1) {
                switch (ev.code) {
                    case kCodeSTOP:
                        // With SysConfig bit 0 the STOP key starts recording from idle.
                        if ((dr->SysConfig & 1u) != 0 && dr->AppState == STATE_IDLE) {
                            BtnREC = 1;
                        } else {
                            BtnSTOP = 1;
                        }
                        break;
                    case kCodeEVENT: BtnEVENT = 1; break;
                    case kCodeSELECT: BtnSEL = 1; break;
                    case kCodeUP: BtnUP = 1; break;
                    case kCodeDOWN: BtnDOWN = 1; break;
                    default: break;
                }
            }
        }
        dr_usleep(kPollStepUs);
    }
    --g_inputs_running;
}

void PrintPowerDownTime() {
    timeval tv{};
    ::gettimeofday(&tv, nullptr);
    tm lt{};
    ::localtime_r(&tv.tv_sec, &lt);
    std::printf("DiViv : Found PWR_DET (Power Down) Event [%04d/%02d/%02d %02d:%02d:%02d:%03d]\n",
                lt.tm_year + 1900, lt.tm_mon + 1, lt.tm_mday, lt.tm_hour, lt.tm_min, lt.tm_sec,
                static_cast<int>(tv.tv_usec / 1000));
}

void HandleSwitchEvent(dr_common_t* dr, const input_event& ev) {
    switch (ev.code) {
        case kCodeACC_IN:
            std::printf("DiViv : Debug :: Found ACC_IN Event [%d]\n", ev.value);
            dr->ACC_IN_State = ev.value != 0 ? 1 : 0;
            break;
        case kCodePWR_DET:
            std::printf("DiViv : Debug :: Found PWR_DET Event [%d]\n", ev.value);
            // Power never comes back within one run: a zero value changes nothing.
            if (ev.value != 0) {
                dr->PWR_DET_State = 0;
                PrintPowerDownTime();
            }
            break;
        case kCodePWRSW_IN:
            std::printf("DiViv : Debug :: Found PWRSW_IN Event [%d]\n", ev.value);
            dr->PWRSW_IN_State = ev.value != 0 ? 1 : 0;
            break;
        default:
            break;
    }
    std::fflush(stdout);
}

void PowerEventHandler(const std::string path) {
    std::printf("DiViv : PowerEventHandler Thread Start [ppid=%d pid=%ld] ###\n", static_cast<int>(::getpid()),
                ThreadKernelId());
    int fd = OpenDevice(path);
    if (fd < 0) {
        std::printf("DiViv : Error:: Cannot open acc input subsystem [%s]\n", path.c_str());
        --g_inputs_running;
        return;
    }
    PrintDriverInfo(fd, "Power Event Handler");
    ::close(fd);
    while (!g_stop_inputs) {
        fd = OpenDevice(path);
        if (fd < 0) {
            std::printf("DiViv : Error:: Cannot open acc input subsystem [%s]\n", path.c_str());
            break;
        }
        input_event ev{};
        const bool got = ReadEvent(fd, &ev);
        ::close(fd);
        if (g_stop_inputs) break;
        dr_common_t* dr = drc;
        if (got && dr != nullptr && ev.type == kTypeSwitch) HandleSwitchEvent(dr, ev);
        dr_usleep(kPollStepUs);
    }
    --g_inputs_running;
}

int StartInputThread(void (*body)(std::string), const char* device) {
    if (g_inputs_running == 0) g_stop_inputs = false;
    ++g_inputs_running;
    try {
        std::thread(body, std::string(device)).detach();
    } catch (const std::system_error&) {
        --g_inputs_running;
        return -1;
    }
    return 0;
}

// Wakes a reader blocked on an event device, so a stopping thread sees the
// stop request.
void WakeEventFifo(const std::string& path) { diviv::TheBoard().InputDevices().WakeEventDevice(path); }

// Reads up to `want` characters of a driver file. Returns the count read,
// or -1 if the file cannot be opened.
int ReadDriverFile(const std::string& path, char* buf, int want) {
    const int n = diviv::TheBoard().InputDevices().ReadDriverFile(path, buf, want);
    if (n == -ENOENT || n == -EACCES || n == -ENOTDIR) return -1;
    return n < 0 ? 0 : n;
}

// Sets the latch of every key held now.
void check_key_stat() {
    const uint32_t held = PushKey;
    if (held & kHeldSTOP) BtnSTOP = 1;
    if (held & kHeldREC) BtnREC = 1;
    if (held & kHeldSELECT) BtnSEL = 1;
    if (held & kHeldUP) BtnUP = 1;
    if (held & kHeldDOWN) BtnDOWN = 1;
}

uint32_t ReadHeldKeys() {
    GetPortStat(0);
    return PushKey;
}

// The EVENT button: a mute request when REC is held at three looks 0.5 s apart.
KEY_CMD EventOrMute() {
    std::printf("DiViv : Debug :: Check Event or Mute !! \n");
    int looks = 0;
    while (looks < 3) {
        dr_usleep(500000);
        if ((ReadHeldKeys() & kHeldREC) == 0) break;
        ++looks;
    }
    BtnEVENT = 0;
    if (looks < 3) {
        std::printf("DiViv : Debug :: Detect Event Key !! [%d]\n", looks);
        return EVENT_CMD;
    }
    std::printf("DiViv : Debug :: Detect Mute Key !! [%d]\n", looks);
    const DrState state = drc != nullptr ? drc->AppState.load() : STATE_INIT;
    if (state == STATE_NOSD || state == STATE_IDLE || state == STATE_REC) {
        std::printf("DiViv : Debug :: Detect Audio Mute !! \n");
        return MUTE_CMD;
    }
    return NULL_CMD;
}

bool IsScreenState(DrState s) {
    return s == STATE_LIST || s == STATE_PLAY || s == STATE_CFG || s == STATE_PREVIEW || s == STATE_NOSD ||
           s == STATE_TRANSCODE;
}

std::atomic<bool> g_timer_on{false};
std::atomic<uint32_t> g_timer_calls{0};

}  // namespace

void ClearKeyLatches() {
    BtnREC = BtnSTOP = BtnSEL = BtnUP = BtnDOWN = BtnEVENT = 0;
}

void GetPortStat(int md) {
    char buf[16] = {};
    int n = ReadDriverFile("/proc/driver/input", buf, 9);
    if (n < 0) {
        std::fprintf(stderr, "DiViv : File Open Error @ GetPortStat()\n");
        return;
    }
    if (n != 9) {
        std::printf("DiViv : Device Read Error @ GetPortStat() [%d]\n", n);
    } else {
        const unsigned long word = std::strtoul(buf, nullptr, 16);
        PushKey = static_cast<uint32_t>(word & 0x1f);
        GPS_WAKEUP = static_cast<uint32_t>((word >> 19) & 1);
        if (md != 0) {
            std::printf("Detected GPIO Values : [0x%08lx]\n", word);
            std::printf("   PushKey    = %d \n", static_cast<int>(PushKey.load()));
            std::printf("   GPS_WAKEUP = %d \n", static_cast<int>(GPS_WAKEUP.load()));
        }
        check_key_stat();
    }

    const std::string power_path = "/proc/driver/power";
    char pbuf[16] = {};
    n = ReadDriverFile(power_path, pbuf, 5);
    if (n < 0) {
        std::fprintf(stderr, "DiViv : File Open Error @ GetPortStat() [%s]\n", power_path.c_str());
        return;
    }
    if (n != 5) {
        std::printf("DiViv : Device Read Error[POWER] @ GetPortStat() [%d]\n", n);
        for (int i = 0; i < n; ++i) std::printf("%02x ", static_cast<unsigned char>(pbuf[i]));
        if (n > 0) std::printf("\n");
        return;
    }
    const unsigned long power = std::strtoul(pbuf, nullptr, 16);
    PowerState = static_cast<uint32_t>(power & 7);
    if (md != 0) {
        std::printf("Detected POWER STATE Values : [0x%08lx]\n", power);
        std::printf("   PWR_DET   = %s \n", (power & 1) ? "OFF" : "ON");
        std::printf("   ACC_IN-N  = %s \n", (power & 2) ? "ON" : "OFF");
        std::printf("   PWRSW_IN  = %s \n", (power & 4) ? "ON" : "OFF");
    }
    CurrentACCState = static_cast<int32_t>((power >> 1) & 1);
    CurrentPWR_DETState = 1 - static_cast<int32_t>(power & 1);
}

KEY_CMD CheckButtonState() {
    KEY_CMD cmd = NULL_CMD;
    if (BtnREC) {
        cmd = REC_CMD;
    } else if (BtnSTOP) {
        const uint32_t held = ReadHeldKeys();
        cmd = (held & kHeldSELECT) ? CFG_CMD : (held & kHeldUP) ? TRANS_CMD : STOP_CMD;
    } else if (BtnSEL) {
        cmd = (ReadHeldKeys() & kHeldSTOP) ? CFG_CMD : SEL_CMD;
    } else if (BtnUP) {
        cmd = (ReadHeldKeys() & kHeldSTOP) ? TRANS_CMD : UP_CMD;
    } else if (BtnDOWN) {
        cmd = DOWN_CMD;
    } else if (BtnEVENT) {
        cmd = EventOrMute();
    }
    BtnREC = BtnSTOP = BtnSEL = BtnUP = BtnDOWN = 0;
    return cmd;
}

int CheckKeyHold(KEY_CMD cmd) {
    // Each hold is timed from its own start, so a quick press never passes
    // on the strength of an earlier mark.
    const int64_t start = diviv::MonotonicMs();
    while (diviv::MonotonicMs() - start < 3000) {
        dr_usleep(500000);
        GetPortStat(0);
        if (CheckButtonState() != cmd) return 0;
    }
    return 1;
}

int StartKeyEventHandler() { return StartInputThread(KeyEventHandler, kKeyDevice); }

int StartPowerEventHandler() { return StartInputThread(PowerEventHandler, kPowerDevice); }

bool StopInputThreads() {
    g_stop_inputs = true;
    const std::string key = kKeyDevice;
    const std::string power = kPowerDevice;
    const int64_t end = diviv::MonotonicMs() + 2000;
    while (g_inputs_running > 0 && diviv::MonotonicMs() < end) {
        WakeEventFifo(key);
        WakeEventFifo(power);
        dr_usleep(10000);
    }
    return g_inputs_running == 0;
}

int IsPowerDown() { return (drc != nullptr && drc->PWR_DET_State == 0) ? 1 : 0; }

void SetAudioMute() {
    if (drc == nullptr) return;
    drc->audio_mute = drc->audio_mute != 0 ? 0 : 1;
}

void dr_timer_handler(int /*signo*/) {
    if (!g_timer_on) return;
    const int saved_errno = errno;  // the interrupted code may be about to read errno
    struct sigaction sa{};
    sa.sa_handler = dr_timer_handler;
    sa.sa_flags = SA_RESTART;
    sigemptyset(&sa.sa_mask);
    ::sigaction(SIGALRM, &sa, nullptr);
    itimerval one_shot{};
    one_shot.it_value.tv_usec = 100000;
    ::setitimer(ITIMER_REAL, &one_shot, nullptr);
    if (ExitTimer == 1) ::_exit(1);

    const uint32_t calls = ++g_timer_calls;
    if (dr_common_t* dr = drc) {
        const DrState state = dr->AppState;
        if (IsScreenState(state) && calls % 4 == 0) nTimeUpdate = 1;
        if (state != STATE_INIT && calls % 20 == 0) nCheckPollEvent = 1;
    }
    errno = saved_errno;
}

void StartTimer() {
    g_timer_on = true;
    dr_timer_handler(SIGALRM);
}

void StopTimer() {
    g_timer_on = false;
    itimerval off{};
    ::setitimer(ITIMER_REAL, &off, nullptr);
    // The handler stays installed: a tick already under way finds the timer
    // off and does not re-arm, and a stray SIGALRM never ends the process.
}
