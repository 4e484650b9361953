#include "sim/SimGsensor.h"

#include <time.h>

#include <algorithm>
#include <cmath>
#include <cstring>

#include "sim/BoardClock.h"
#include "sim/World.h"

namespace diviv::sim {

namespace {

constexpr int64_t kNsPerMs = 1000000;
constexpr int64_t kPeriodNs = kGsensorPeriodMs * kNsPerMs;
constexpr int64_t kGravityMg = 1000;

// Front/back, left/right, up/down of the vehicle as signed sensor axes
// (1 X, 2 Y, 3 Z), per mounting position 1..24.
constexpr std::array<std::array<int, 3>, 24> kMountings{{
    {+1, +2, +3}, {-1, -2, +3}, {-2, +1, +3}, {+2, -1, +3},  // 1-4: sensor Z up
    {+1, -2, -3}, {-1, +2, -3}, {-2, -1, -3}, {+2, +1, -3},  // 5-8: Z down
    {+1, +3, -2}, {-1, -3, -2}, {-3, +1, -2}, {+3, -1, -2},  // 9-12: Y down
    {+1, -3, +2}, {-1, +3, +2}, {-3, -1, +2}, {+3, +1, +2},  // 13-16: Y up
    {-3, -2, -1}, {+3, +2, -1}, {-2, +3, -1}, {+2, -3, -1},  // 17-20: X down
    {-3, +2, +1}, {+3, -2, +1}, {-2, -3, +1}, {+2, +3, +1},  // 21-24: X up
}};

// Milli-g to the driver's unit, clipped so that every value can be negated.
int8_t ToUnits(int64_t mg) {
    const int64_t units = std::llround(static_cast<double>(mg) * kGsensorUnitsPerG / 1000.0);
    return static_cast<int8_t>(std::clamp<int64_t>(units, -127, 127));
}

dr_timeval WallStamp(int64_t wall_ns) {
    const int64_t sec = wall_ns / kNsPerSecond - (wall_ns % kNsPerSecond < 0 ? 1 : 0);
    return {static_cast<int32_t>(sec), static_cast<int32_t>((wall_ns - sec * kNsPerSecond) / 1000)};
}

}  // namespace

std::array<int, 3> GsensorMounting(int position) {
    if (position < 1 || position > 24) position = 1;
    return kMountings[static_cast<size_t>(position - 1)];
}

SimGsensor::SimGsensor(std::string board_path, int) : RequestDeviceModel(std::move(board_path)) {}

gsensor_threshold_axis SimGsensor::Thresholds() const {
    std::lock_guard lock(mutex_);
    return thresholds_;
}

GsensorCounters SimGsensor::Counters() const {
    std::lock_guard lock(mutex_);
    return counters_;
}

int SimGsensor::DoIoctl(unsigned long request, void* arg) {
    if (const int rc = TakeFault(FaultOp::kIoctl, request); rc < 0) return rc;
    std::lock_guard lock(mutex_);
    switch (request) {
        case kGsensorStart:
            ApplyWorld();
            started_ = true;
            start_ns_ = BoardNowNs();
            next_index_ = 1;
            wall_offset_ns_ = WallOffsetNs();
            buffer_.clear();
            return 0;
        case kGsensorSetThreshold:
            if (arg == nullptr) return -EFAULT;
            std::memcpy(&thresholds_, arg, sizeof thresholds_);
            return 0;
        case kGsensorRead: {
            if (arg == nullptr) return -EFAULT;
            ApplyWorld();
            Advance(BoardNowNs());
            gsensor_buffer out{};
            if (buffer_.empty()) {
                out.flag = kGsensorNoData;
            } else {
                out = buffer_.front();
                buffer_.pop_front();
                ++counters_.delivered;
            }
            std::memcpy(arg, &out, sizeof out);
            return 0;
        }
        default:
            return -ENOTTY;
    }
}

void SimGsensor::ApplyWorld() {
    WithBoardWorld([this](WorldReader& w) {
        position_ = static_cast<int>(w.Int(kWorldGsensorPosition, 1));
        const int64_t since_ms = w.Int(kWorldAccelSinceMs, 0);
        if (since_ms != accel_seen_ms_) {
            accel_seen_ms_ = since_ms;
            accel_before_ = accel_;
            accel_ = {w.Int(kWorldAccelFbMg), w.Int(kWorldAccelLrMg), w.Int(kWorldAccelUdMg)};
            accel_since_ns_ = since_ms * kNsPerMs;
        }
        if (w.values().count(kWorldShockAtMs) != 0) {
            shock_ = {w.Int(kWorldShockFbMg), w.Int(kWorldShockLrMg), w.Int(kWorldShockUdMg)};
            shock_at_ns_ = w.Int(kWorldShockAtMs) * kNsPerMs;
            shock_set_ = true;
        }
    });
}

gsensor_buffer SimGsensor::Sample(int64_t due_ns) const {
    Vector v = due_ns >= accel_since_ns_ ? accel_ : accel_before_;
    if (shock_set_ && due_ns >= shock_at_ns_ && due_ns - shock_at_ns_ < kShockMs * kNsPerMs) {
        v.fb += shock_.fb;
        v.lr += shock_.lr;
        v.ud += shock_.ud;
    }
    v.ud += kGravityMg;
    const int8_t vehicle[3] = {ToUnits(v.fb), ToUnits(v.lr), ToUnits(v.ud)};
    int8_t axes[3] = {0, 0, 0};
    const std::array<int, 3> m = GsensorMounting(position_);
    for (int i = 0; i < 3; ++i) {
        axes[std::abs(m[static_cast<size_t>(i)]) - 1] =
            static_cast<int8_t>(m[static_cast<size_t>(i)] > 0 ? vehicle[i] : -vehicle[i]);
    }
    const uint32_t limits[3][2] = {{thresholds_.x_positive, thresholds_.x_negative},
                                   {thresholds_.y_positive, thresholds_.y_negative},
                                   {thresholds_.z_positive, thresholds_.z_negative}};
    gsensor_buffer s{};
    s.timestamp = WallStamp(due_ns + wall_offset_ns_);
    s.xaxis = axes[0];
    s.yaxis = axes[1];
    s.zaxis = axes[2];
    for (int a = 0; a < 3; ++a) {
        const int64_t value = axes[a];
        if (limits[a][0] != 0 && value > static_cast<int64_t>(limits[a][0])) s.event |= static_cast<uint8_t>(1u << (2 * a));
        if (limits[a][1] != 0 && value < -static_cast<int64_t>(limits[a][1]))
            s.event |= static_cast<uint8_t>(1u << (2 * a + 1));
    }
    return s;
}

void SimGsensor::Advance(int64_t now_ns) {
    if (!started_ || now_ns < start_ns_) return;
    // Follow a step of the wall clock, but not its jitter.
    const int64_t offset = WallOffsetNs();
    if (std::abs(offset - wall_offset_ns_) > kNsPerSecond / 10) wall_offset_ns_ = offset;
    const uint64_t due_through = static_cast<uint64_t>((now_ns - start_ns_) / kPeriodNs);
    if (due_through < next_index_) return;
    uint64_t due = due_through - next_index_ + 1;
    bool overrun = false;  // samples were lost: the oldest one still held comes first after the gap
    if (due > static_cast<uint64_t>(kGsensorBufferSamples)) {
        // Everything buffered and all but the last 64 due samples are lost
        // anyway: skip them without making them.
        const uint64_t skipped = due - kGsensorBufferSamples;
        counters_.sampled += skipped;
        counters_.lost += skipped + buffer_.size();
        buffer_.clear();
        next_index_ += skipped;
        due = kGsensorBufferSamples;
        overrun = true;
    }
    for (; due > 0; --due, ++next_index_) {
        if (buffer_.size() >= static_cast<size_t>(kGsensorBufferSamples)) {
            buffer_.pop_front();
            ++counters_.lost;
            overrun = true;
        }
        buffer_.push_back(Sample(start_ns_ + static_cast<int64_t>(next_index_) * kPeriodNs));
        ++counters_.sampled;
        if (overrun) buffer_.front().flag |= kGsensorOverrun;
    }
}

std::unique_ptr<Device> MakeSimGsensor(const std::string& board_path, int flags, int* error) {
    if (error != nullptr) *error = 0;
    return std::make_unique<SimGsensor>(board_path, flags);
}

}  // namespace diviv::sim
