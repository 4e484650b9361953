// The simulated G-sensor: a device model for "/dev/gsensor" that answers
// the G-sensor driver's requests (platform/SensorRecords.h) as the board's
// driver does.
//
// - Sampling starts with the start request: a sample every 10 ms of the
//   board clock (CLOCK_MONOTONIC), the first one 10 ms after the start,
//   stamped with its due time expressed in gettimeofday's time.
// - Unit: 1/16 g per step (kGsensorUnitsPerG), so the signed 8-bit axes
//   span -8 g to +7.9 g; values are rounded and clipped to +-127.
// - Values: the vehicle's acceleration from the world file (held
//   acceleration plus a jolt while it lasts) and gravity, turned from the
//   vehicle's axes (front/back, left/right, up/down) onto the sensor's axes
//   by the mounting position in the world file (1 unless set). At rest the
//   sensor reads +1 g (16) on the axis that points up: an accelerometer
//   feels the road pushing up. The offsets the recorder writes to
//   "/proc/driver/gsensor_offset_hex" are not applied: the simulated sensor
//   has no bias of its own to correct.
// - Event bits: a direction's bit is set when the sample lies beyond that
//   direction's threshold (value > + threshold, or value < - threshold);
//   a threshold of 0 turns its direction off. Thresholds come from the set
//   request (a 24-byte record; the request number encodes a size of 1,
//   which the driver ignores) and are none until it is sent.
// - The driver buffers 64 samples. A sample due while the buffer is full
//   pushes out the oldest, and the first sample delivered after such a loss
//   carries the overrun bit (kGsensorOverrun). A read with nothing waiting
//   answers a record with only kGsensorNoData set.
// - Faults: DeviceModel::InjectFault (an error, or a stall of the reading
//   thread, which lets the buffer overrun).
#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>

#include "platform/SensorRecords.h"
#include "sim/DeviceModel.h"

namespace diviv::sim {

inline constexpr const char* kGsensorDevicePath = "/dev/gsensor";
inline constexpr int kGsensorPeriodMs = 10;      // 100 samples per second
inline constexpr int kGsensorBufferSamples = 64;
inline constexpr int kGsensorUnitsPerG = 16;
inline constexpr int kShockMs = 100;             // how long a jolt lasts

// The vehicle's axes as the mounting position puts them on the sensor: for
// front/back, left/right and up/down the sensor axis (1 X, 2 Y, 3 Z),
// negative when the sensor axis points the other way.
std::array<int, 3> GsensorMounting(int position);

// What the model has done since it was opened.
struct GsensorCounters {
    uint64_t sampled = 0;    // samples taken
    uint64_t delivered = 0;  // samples read by the recorder
    uint64_t lost = 0;       // samples pushed out of the full buffer
};

class SimGsensor : public RequestDeviceModel {
public:
    SimGsensor(std::string board_path, int flags);

    // The thresholds last set (all 0 before the set request).
    gsensor_threshold_axis Thresholds() const;
    GsensorCounters Counters() const;

private:
    struct Vector {
        int64_t fb = 0, lr = 0, ud = 0;  // milli-g
    };

    int DoIoctl(unsigned long request, void* arg) override;

    // Called with mutex_ held.
    void ApplyWorld();
    void Advance(int64_t now_ns);
    gsensor_buffer Sample(int64_t due_ns) const;

    mutable std::mutex mutex_;  // guards all below
    bool started_ = false;
    int64_t start_ns_ = 0;       // board clock of the start request
    uint64_t next_index_ = 1;    // the next sample, due at start + index periods
    int64_t wall_offset_ns_ = 0; // wall clock minus board clock
    gsensor_threshold_axis thresholds_{};
    std::deque<gsensor_buffer> buffer_;

    int position_ = 1;
    Vector accel_, accel_before_;
    int64_t accel_since_ns_ = 0;  // accel_ holds from here, accel_before_ before
    int64_t accel_seen_ms_ = -1;
    Vector shock_;
    bool shock_set_ = false;
    int64_t shock_at_ns_ = 0;
    GsensorCounters counters_;
};

// The factory the simulated board registers for kGsensorDevicePath.
std::unique_ptr<Device> MakeSimGsensor(const std::string& board_path, int flags, int* error);

}  // namespace diviv::sim
