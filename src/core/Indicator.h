// Indicators and power hold: the three LEDs, the buzzer, the power
// controller and the event indications. Main thread only (LEDs and buzzer
// keep no lock).
//
// LEDs are the LED-class folders "/sys/class/leds/LED1".."LED3", the buzzer
// "/sys/class/leds/BUZZER"; numbers are written as decimal text.
#pragma once

#include <array>
#include <cstdint>

// Which LED (or group) an indication is for.
enum LED_TYPE : int32_t {
    PWR = 0,    // LED1
    REC = 1,    // LED2
    ERROR = 2,  // LED3
    TRANS = 3,
    PLAY = 4,
};

// Modes of SetLED, one per LED.
enum : int {
    LED_OFF = 0,
    LED_ON = 1,
    LED_BLINK_FAST = 2,  // 200 ms on, 200 ms off
    LED_BLINK_SLOW = 3,  // 500 ms on, 500 ms off
    LED_KEEP = 5,        // leave this LED as it is
};

// The remembered mode of LED1..LED3 (what was last requested, 5 included).
extern std::array<uint8_t, 3> LedMode;

// All three LEDs: trigger "none", brightness 0; remembered as off.
void SetLEDInit();

// Sets the three LED modes. Returns 0 without writing anything when the
// triple equals the remembered one, else 1.
int SetLED(int led1, int led2, int led3);

// Blinks LED PWR or REC (the others stay as they are): mode 1 five blinks,
// mode 2 two blinks, 200 ms on and 200 ms off, then restores the remembered
// modes. Returns 1, or -1 for another LED or mode (nothing is changed).
int SetLED_BLINK_SEQ(LED_TYPE led, int mode);

// One buzzer pattern: on/off in milliseconds, repeated `times` times.
// Returns 1, or -1 (nothing written) when times <= 0.
int SetBUZZER(int on, int off, int times);

// Up to four on/off pairs; pairs 2..4 are written only where on > 0.
// Returns 1, or -1 (nothing written) when times <= 0.
int SetBUZZERS(int on1, int off1, int on2, int off2, int on3, int off3, int on4, int off4, int times);

// Power controller: 1 hold on, 2 switch off / reset, anything else hold off.
// A controller that cannot be written is reported and logged as fatal.
void PowerControl(int sel);

// Shows a pending event (drc->eventinfo.event_led == 1) or driving alert
// (drv_alert == 1) once and marks it taken (2). Called every main-loop pass.
void EventInformation();
