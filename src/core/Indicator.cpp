#include "core/Indicator.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string>

#include "core/DR_common.h"
#include "core/DR_shared.h"
#include "platform/Board.h"
#include "platform/PowerPort.h"

std::array<uint8_t, 3> LedMode{0, 0, 0};

namespace {

constexpr const char* kLedFolders[3] = {"LED1", "LED2", "LED3"};
constexpr const char* kBuzzerFolder = "BUZZER";

// Writes one LED-class attribute of the board's LEDs and buzzer.
bool WriteAttribute(const char* led, const char* attribute, const std::string& text) {
    return diviv::TheBoard().Leds().WriteAttribute(led, attribute, text) == 0;
}

bool WriteNumber(const char* folder, const char* attribute, int value) {
    return WriteAttribute(folder, attribute, std::to_string(value));
}

bool IsBlinking(int mode) { return mode == LED_BLINK_FAST || mode == LED_BLINK_SLOW; }

void WriteBuzzerPair(int index, int on, int off) {
    const std::string on_name = "delay" + std::to_string(index) + "_on";
    const std::string off_name = "delay" + std::to_string(index) + "_off";
    WriteNumber(kBuzzerFolder, on_name.c_str(), on);
    WriteNumber(kBuzzerFolder, off_name.c_str(), off);
}

}  // namespace

void SetLEDInit() {
    for (const char* led : kLedFolders) {
        WriteAttribute(led, "trigger", "none");
        WriteNumber(led, "brightness", 0);
    }
    // The LEDs are dark now; remembering that keeps a later SetLED(1, ...)
    // from being skipped as "unchanged".
    LedMode = {LED_OFF, LED_OFF, LED_OFF};
}

int SetLED(int led1, int led2, int led3) {
    const int request[3] = {led1, led2, led3};
    if (request[0] == LedMode[0] && request[1] == LedMode[1] && request[2] == LedMode[2]) return 0;
    // Undo what the remembered mode set up, for every LED that changes.
    for (int i = 0; i < 3; ++i) {
        if (request[i] == LED_KEEP) continue;
        if (LedMode[i] == LED_ON) WriteNumber(kLedFolders[i], "brightness", 0);
        if (IsBlinking(LedMode[i])) WriteAttribute(kLedFolders[i], "trigger", "none");
    }
    for (int i = 0; i < 3; ++i) {
        if (IsBlinking(request[i])) {
            const int delay_ms = request[i] == LED_BLINK_FAST ? 200 : 500;
            WriteAttribute(kLedFolders[i], "trigger", "timer");
            WriteNumber(kLedFolders[i], "delay_on", delay_ms);
            WriteNumber(kLedFolders[i], "delay_off", delay_ms);
            WriteNumber(kLedFolders[i], "sync", 1);
        } else if (request[i] == LED_ON) {
            WriteNumber(kLedFolders[i], "brightness", 1);
        }
        LedMode[i] = static_cast<uint8_t>(request[i]);
    }
    return 1;
}

int SetLED_BLINK_SEQ(LED_TYPE led, int mode) {
    if (led != PWR && led != REC) {
        std::printf("DiViv : Error :: Invalid LED type\n");
        return -1;
    }
    // Checked before anything is touched, so a bad mode leaves the LEDs as they were.
    if (mode != 1 && mode != 2) {
        std::printf("DiViv : Error :: Invalid LED mode\n");
        return -1;
    }
    const std::array<uint8_t, 3> saved = LedMode;
    if (led == PWR) {
        SetLED(LED_OFF, LED_KEEP, LED_KEEP);
    } else {
        SetLED(LED_KEEP, LED_OFF, LED_KEEP);
    }
    dr_usleep(200000);
    dr_usleep(30000);
    const char* folder = kLedFolders[led == PWR ? 0 : 1];
    const int blinks = mode == 1 ? 5 : 2;
    for (int i = 0; i < blinks; ++i) {
        WriteNumber(folder, "brightness", 1);
        dr_usleep(200000);
        WriteNumber(folder, "brightness", 0);
        dr_usleep(200000);
    }
    SetLED(saved[0], saved[1], saved[2]);
    return 1;
}

int SetBUZZER(int on, int off, int times) {
    if (times <= 0) {
        std::printf("DiViv : Error :: Invalid Buzzer Option\n");
        return -1;
    }
    WriteAttribute(kBuzzerFolder, "trigger", "pattern");
    WriteBuzzerPair(1, on, off);
    WriteNumber(kBuzzerFolder, "times", times);
    return 1;
}

int SetBUZZERS(int on1, int off1, int on2, int off2, int on3, int off3, int on4, int off4, int times) {
    if (times <= 0) {
        std::printf("DiViv : Error :: Invalid Buzzer Option\n");
        return -1;
    }
    WriteAttribute(kBuzzerFolder, "trigger", "pattern");
    WriteBuzzerPair(1, on1, off1);
    if (on2 > 0) WriteBuzzerPair(2, on2, off2);
    if (on3 > 0) WriteBuzzerPair(3, on3, off3);
    if (on4 > 0) WriteBuzzerPair(4, on4, off4);
    // "times" last: the driver starts the pattern when it is written.
    WriteNumber(kBuzzerFolder, "times", times);
    return 1;
}

void PowerControl(int sel) {
    const char* command;
    if (sel == 1) {
        std::printf("DiViv : SET POWER CNT ON\n");
        command = "1\n";
    } else if (sel == 2) {
        std::printf("DiViv : SET POWER CNT %d\n", sel);
        command = "2\n";
    } else {
        std::printf("DiViv : SET POWER CNT OFF\n");
        command = "0\n";
    }
    // "2\n" may end the process at once (the board is switched off): the
    // line must be out before the command is.
    std::fflush(stdout);
    if (!diviv::WritePowerCommand(command)) {
        std::printf("DiViv : Can not open /proc/driver/power\n");
        DR_SYSLOG(DR_ERR_FATAL, "Fatal error of power control.", 1);
    }
}

void EventInformation() {
    dr_common_t* dr = drc;
    if (dr == nullptr) return;
    event_info_forAfile& info = dr->eventinfo;
    // Each request is marked taken (2) before it is shown, so a new request
    // raised by the writer while the LED blinks is not overwritten.
    if (info.event_led == 1 && info.drv_alert == 1) {
        info.event_led = 2;
        info.drv_alert = 2;
        if (SharedSetting(dr->drive_alert) == 0) {
            std::printf("DiViv : Drive ALERT !!\n");
            std::printf("DiViv : Event Detected !!\n");
            SetBUZZER(250, 250, 2);
        }
        SetLED_BLINK_SEQ(REC, 2);
    } else if (info.event_led == 1) {
        info.event_led = 2;
        std::printf("DiViv : Event Detected !!\n");
        SetLED_BLINK_SEQ(REC, 2);
    } else if (info.drv_alert == 1) {
        info.drv_alert = 2;
        if (SharedSetting(dr->drive_alert) == 0) {
            std::printf("DiViv : Drive Warning !!\n");
            SetBUZZER(250, 250, 2);
            dr_usleep(1000000);
        }
    }
}
