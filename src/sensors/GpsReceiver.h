// The GPS receiver's sequences, from power-up to hibernation.
//
// States, in order (a stop request, REQ_GPS_CLOSE, moves any of them to
// shutting down):
//   powering up  - the power control line high for 5 s, then low;
//   waking       - ON/OFF pulses until the wake-up output reads high,
//                  without limit (the tenth failure is logged, once);
//   configuring  - the GPS port opened and the module told to send RMC
//                  only, once per second;
//   waiting      - for the first "$", at most 2 s after the configuration;
//                  past that, the recovery: pulses until the module sleeps,
//                  30 s on the power control line, pulses until it wakes;
//   receiving    - sentences read and examined, copied to UART3; 10 s
//                  without one complete sentence stop the thread with
//                  GPSReceiveError;
//   shutting down - ports closed, the module pulsed into hibernation.
//
// The board, the serial ports and time come from a GpsEnvironment, so the
// sequences (with their 5 s and 1 s waits) run in tests against a scripted
// module on a virtual clock.
#pragma once

#include <termios.h>

#include <cstdint>
#include <memory>
#include <string_view>

#include "core/DR_shared.h"
#include "sensors/GpsSerial.h"

namespace diviv::gps {

inline constexpr const char* kGpsPort = "/dev/ttymxc1";
inline constexpr const char* kUart3Port = "/dev/ttymxc2";
inline constexpr speed_t kGpsSpeed = B4800;
inline constexpr speed_t kUart3Speed = B9600;

// What the receiver needs from the world.
class GpsEnvironment {
public:
    virtual ~GpsEnvironment() = default;
    virtual void Sleep(uint32_t usec) = 0;
    // Milliseconds on a clock that never goes back; false when it cannot
    // be read.
    virtual bool NowMs(int64_t* ms) = 0;
    // Writes an attribute of a module control line (LED class: "GPS_P_CNT",
    // "GPSONOFF"). Return: 0 or -errno.
    virtual int WriteLine(std::string_view name, std::string_view attribute, std::string_view text) = 0;
    // The module's wake-up output as the board input word shows it: 1 while
    // the module runs.
    virtual int ReadWakeup() = 0;
    virtual std::unique_ptr<SerialLine> OpenPort(std::string_view board_path, speed_t speed, PortFailure* failure) = 0;
};

// The board's: TheBoard()'s LED-class files and input word, termios ports,
// dr_usleep and the monotonic clock.
std::unique_ptr<GpsEnvironment> MakeBoardGpsEnvironment();

class GpsReceiver {
public:
    GpsReceiver(dr_common_t* dr, GpsEnvironment& env) : dr_(dr), env_(env) {}
    GpsReceiver(const GpsReceiver&) = delete;
    GpsReceiver& operator=(const GpsReceiver&) = delete;

    // The thread's whole life. Clears GPS_ALIVE as its last act.
    void Run();

    // Power control line: writes 0 or 1, then waits 1 s.
    void SetPCNT(int onoff);
    // One 100 ms pulse on the ON/OFF line (toggles the module between
    // running and hibernation), then waits 1 s.
    void SetON_OFF();
    // 1 while the module runs.
    int IsGpsWakeup();
    // Configures the module. Return: the sum of the write results
    // (negative when a write failed).
    int gps_init();
    // Write a text to the GPS port / UART3. Return: 0, or -1 when fewer
    // bytes were written (or the port is not open).
    int put_serial_string(std::string_view s);
    int put_uart3_serial_string(std::string_view s);
    // reset != 0 marks now and returns 0; else the milliseconds since the
    // mark, or -1 when the clock cannot be read.
    int GetElapsedMilliTime(int reset);

private:
    bool StopRequested() const { return dr_->REQ_GPS_CLOSE.load() != 0; }
    bool PowerUp();
    // Pulses until the module is awake; false when stopped first.
    bool WakeUp(const char* not_awake_line);
    bool OpenAndConfigure();
    bool WaitFirstSentence();
    bool Recover();
    void ReceiveLoop();
    void ShutDown();

    dr_common_t* dr_;
    GpsEnvironment& env_;
    std::unique_ptr<SerialLine> com_;
    std::unique_ptr<SerialLine> uart3_;
    int64_t mark_ms_ = 0;
    int wakeup_failures_ = 0;   // of this thread, power-up and recoveries together
    bool loop_started_ = false;  // the reception loop was reached
};

}  // namespace diviv::gps
