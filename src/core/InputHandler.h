// Keys and power inputs: the two input threads, the port reader, the key
// latches, the key command computed from them, and the 100 ms timer.
//
// Who writes what:
//  - the key thread sets the latches (BtnSTOP, BtnREC, BtnEVENT, BtnSEL,
//    BtnUP, BtnDOWN) from "/dev/input/event0";
//  - the power thread writes drc->ACC_IN_State, PWR_DET_State and
//    PWRSW_IN_State from "/dev/input/event1";
//  - GetPortStat (main thread) reads "/proc/driver/input" and
//    "/proc/driver/power" into the port readings and sets the latches of the
//    keys held right now;
//  - CheckButtonState (main thread) turns the latches into one KEY_CMD and
//    clears them;
//  - the timer handler (signal context) sets nTimeUpdate and nCheckPollEvent;
//    the main loop clears them.
// Every word here is a lock-free atomic, so a signal handler or another
// thread may touch it.
#pragma once

#include <atomic>
#include <cstdint>

// Key command computed from the latches.
enum KEY_CMD : int32_t {
    REC_CMD = 0,
    STOP_CMD = 1,
    SEL_CMD = 2,
    UP_CMD = 3,
    DOWN_CMD = 4,
    CFG_CMD = 5,    // STOP and SELECT together: date and time menu
    TRANS_CMD = 6,  // STOP and UP together: transcode mode
    EVENT_CMD = 7,  // EVENT pressed alone
    MUTE_CMD = 8,   // EVENT pressed while REC is held 1.5 s
    NULL_CMD = 9,   // nothing to do
};

// Key latches: 1 = pressed since the last CheckButtonState.
extern std::atomic<uint8_t> BtnREC, BtnSTOP, BtnSEL, BtnUP, BtnDOWN, BtnEVENT;

// Port readings of the last GetPortStat.
extern std::atomic<uint32_t> PushKey;     // held keys: bit 0 STOP, 1 REC, 2 SELECT, 3 UP, 4 DOWN
extern std::atomic<uint32_t> GPS_WAKEUP;  // GPS wake-up line, 0 or 1
extern std::atomic<uint32_t> PowerState;  // bit 0 supply absent, 1 ACC on, 2 power switch on
extern std::atomic<int32_t> CurrentACCState;      // 1 = ignition on
extern std::atomic<int32_t> CurrentPWR_DETState;  // 1 = supply power present

// Bits of PushKey.
inline constexpr uint32_t kHeldSTOP = 1u << 0;
inline constexpr uint32_t kHeldREC = 1u << 1;
inline constexpr uint32_t kHeldSELECT = 1u << 2;
inline constexpr uint32_t kHeldUP = 1u << 3;
inline constexpr uint32_t kHeldDOWN = 1u << 4;

// The key command being executed by the main thread; NULL_CMD at start.
extern std::atomic<KEY_CMD> CurCMD;

// Flags raised by the timer, cleared by the main loop.
extern std::atomic<int32_t> nTimeUpdate;      // every 400 ms in the screen states
extern std::atomic<int32_t> nCheckPollEvent;  // every 2 s once start-up has decided
// 1 makes the next timer tick end the process with status 1.
extern std::atomic<int32_t> ExitTimer;

// Clears every latch.
void ClearKeyLatches();

// Reads both port files; md != 0 prints the readings. Sets the latches of
// the keys held now. A file that cannot be opened or is read short leaves
// its readings as they were.
void GetPortStat(int md);

// Turns the latches into one command (first match wins: REC, STOP, SELECT,
// UP, DOWN, EVENT) and clears them. The EVENT case takes up to 1.5 s: it
// looks three times, 0.5 s apart, whether REC is held (mute request).
KEY_CMD CheckButtonState();

// The hold check of CFG_CMD and TRANS_CMD: every 0.5 s the ports are read
// and the command recomputed; returns 1 if it is still `cmd` after 3 s
// (measured from this call), 0 as soon as it differs. The caller executes
// the command only in STATE_IDLE.
int CheckKeyHold(KEY_CMD cmd);

// The input threads. Each is detached, prints its start lines and runs for
// the life of the process (or until StopInputThreads). Return 0, or -1 if
// the thread could not be created.
int StartKeyEventHandler();
int StartPowerEventHandler();

// Asks both input threads to end and waits up to 2 s for them. A thread
// blocked on a simulated event FIFO is woken with an empty record; one
// blocked on a real input device is left behind. Returns true when no input
// thread runs any more. Call it before the shared record is released.
bool StopInputThreads();

// 1 when the supply power is gone (drc->PWR_DET_State == 0), else 0.
int IsPowerDown();

// Toggles drc->audio_mute between 0 and 1.
void SetAudioMute();

// The 100 ms timer. Called once to start it, then runs as the SIGALRM
// handler: each call re-installs itself and arms a one-shot 100 ms timer.
void dr_timer_handler(int signo);
// Starts the timer (the first call of dr_timer_handler).
void StartTimer();
// Stops re-arming and cancels a pending tick.
void StopTimer();
