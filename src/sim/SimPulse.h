// The simulated pulse counter: a device model for "/dev/pulse_in" that
// answers the pulse driver's requests (platform/SensorRecords.h) as the
// board's driver does.
//
// - The start request starts measuring: one record per measuring interval
//   (1 s unless the model is made with another), the first one interval
//   after the start, stamped with the interval's end (board clock,
//   CLOCK_MONOTONIC, expressed in gettimeofday's time) and the interval's
//   length. Stop ends measuring (records already made stay readable);
//   release drops them.
// - Counts: the vehicle's speed and engine speed from the world file,
//   integrated over the interval (a change splits it at the board-clock time
//   it was made) and turned into pulses by the vehicle constants below.
//   Fractions carry over to the next interval, so over any run of intervals
//   the counts add up to the whole pulses of the drive.
// - The driver keeps 16 records; a record made while it is full pushes
//   out the oldest. A read takes the oldest: bit 1 (kPulseMoreData) when
//   another one waits behind it, only bit 0 (kPulseNoData) when none was
//   there.
// - Faults: DeviceModel::InjectFault.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>

#include "platform/SensorRecords.h"
#include "sim/DeviceModel.h"

namespace diviv::sim {

inline constexpr const char* kPulseDevicePath = "/dev/pulse_in";

// The simulated vehicle's signals, the one place they are defined.
// Speed: 4 pulses per revolution of the speedometer drive, which turns 637
// times per km (the usual Japanese vehicle speed signal): 2548 pulses per km,
// so 60 km/h gives 42.47 pulses per second.
inline constexpr double kSpeedPulsesPerKm = 637.0 * 4.0;
// Engine: the ignition signal of a four-cylinder four-stroke engine, two
// pulses per crankshaft revolution, so 3000 rpm gives 100 pulses per second.
inline constexpr double kEnginePulsesPerRevolution = 2.0;
inline constexpr int kPulseIntervalMs = 1000;  // measuring interval of the driver
inline constexpr int kPulseQueueRecords = 16;

constexpr double SpeedPulsesPerSecond(double kmh) { return kmh * kSpeedPulsesPerKm / 3600.0; }
constexpr double EnginePulsesPerSecond(double rpm) { return rpm * kEnginePulsesPerRevolution / 60.0; }

class SimPulse : public RequestDeviceModel {
public:
    SimPulse(std::string board_path, int flags, int interval_ms = kPulseIntervalMs);
    ~SimPulse() override;

    // Records made and records pushed out of the full queue so far.
    uint64_t made() const;
    uint64_t lost() const;

private:
    class Signal;

    int DoIoctl(unsigned long request, void* arg) override;

    // Called with mutex_ held.
    void ApplyWorld();
    void Advance(int64_t now_ns);

    mutable std::mutex mutex_;  // guards all below
    const int64_t interval_ns_;
    bool measuring_ = false;
    int64_t next_end_ns_ = 0;     // board clock at which the current interval ends
    int64_t wall_offset_ns_ = 0;  // wall clock minus board clock
    std::unique_ptr<Signal> speed_, engine_;
    std::deque<pulse_input_buffer> queue_;
    uint64_t made_ = 0, lost_ = 0;
};

// The factory the simulated board registers for kPulseDevicePath.
std::unique_ptr<Device> MakeSimPulse(const std::string& board_path, int flags, int* error);

}  // namespace diviv::sim
