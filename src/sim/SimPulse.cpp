#include "sim/SimPulse.h"

#include <time.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "sim/BoardClock.h"
#include "sim/World.h"

namespace diviv::sim {

namespace {

constexpr int64_t kNsPerMs = 1000000;

dr_timeval ToTimeval(int64_t ns) {
    const int64_t sec = ns / kNsPerSecond - (ns % kNsPerSecond < 0 ? 1 : 0);
    return {static_cast<int32_t>(sec), static_cast<int32_t>((ns - sec * kNsPerSecond) / 1000)};
}

double Decimal(const std::string& text) {
    const double v = std::strtod(text.c_str(), nullptr);
    return std::isfinite(v) && v > 0 ? v : 0.0;
}

}  // namespace

// One pulse input: the signal's rate over time, integrated into whole pulses.
class SimPulse::Signal {
public:
    explicit Signal(double (*pulses_per_second)(double)) : rate_of_(pulses_per_second) {}

    // Starts counting at `at_ns`; the next See gives the value from then on.
    void Start(int64_t at_ns) {
        at_ns_ = at_ns;
        rate_ = 0;
        pending_ = false;
        seen_since_ms_ = -1;
        total_ = 0;
        counted_ = 0;
    }
    // The world's value and the board-clock time it was set (ms).
    void See(double value, int64_t since_ms) {
        if (since_ms == seen_since_ms_) return;
        seen_since_ms_ = since_ms;
        pending_ = true;
        pending_rate_ = rate_of_(value);
        pending_ns_ = since_ms * kNsPerMs;
    }
    // Whole pulses from the last call (or the start) to `t_ns`.
    uint32_t CountTo(int64_t t_ns) {
        if (pending_ && pending_ns_ <= t_ns) {
            Integrate(std::max(pending_ns_, at_ns_));
            rate_ = pending_rate_;
            pending_ = false;
        }
        Integrate(t_ns);
        const auto whole = static_cast<uint64_t>(std::floor(total_));
        const uint64_t n = whole - counted_;
        counted_ = whole;
        return static_cast<uint32_t>(n);
    }

private:
    void Integrate(int64_t to_ns) {
        if (to_ns <= at_ns_) return;
        total_ += rate_ * static_cast<double>(to_ns - at_ns_) / kNsPerSecond;
        at_ns_ = to_ns;
    }

    double (*rate_of_)(double);
    int64_t at_ns_ = 0;   // integrated up to here
    double rate_ = 0;     // pulses per second now
    double total_ = 0;    // pulses since the start, with the fraction
    uint64_t counted_ = 0;
    bool pending_ = false;  // a change seen in the world, not yet reached by the integration
    double pending_rate_ = 0;
    int64_t pending_ns_ = 0;
    int64_t seen_since_ms_ = -1;
};

namespace {
double SpeedRate(double kmh) { return SpeedPulsesPerSecond(kmh); }
double EngineRate(double rpm) { return EnginePulsesPerSecond(rpm); }
}  // namespace

SimPulse::SimPulse(std::string board_path, int, int interval_ms)
    : RequestDeviceModel(std::move(board_path)),
      interval_ns_(std::max(1, interval_ms) * kNsPerMs),
      speed_(std::make_unique<Signal>(SpeedRate)),
      engine_(std::make_unique<Signal>(EngineRate)) {}

SimPulse::~SimPulse() = default;

uint64_t SimPulse::made() const {
    std::lock_guard lock(mutex_);
    return made_;
}

uint64_t SimPulse::lost() const {
    std::lock_guard lock(mutex_);
    return lost_;
}

void SimPulse::ApplyWorld() {
    WithBoardWorld([this](WorldReader& w) {
        speed_->See(Decimal(w.Text(kWorldSpeedKmh)), w.Int(kWorldSpeedSinceMs, 0));
        engine_->See(Decimal(w.Text(kWorldEngineRpm)), w.Int(kWorldEngineSinceMs, 0));
    });
}

void SimPulse::Advance(int64_t now_ns) {
    if (!measuring_) return;
    const int64_t offset = WallOffsetNs();
    if (std::abs(offset - wall_offset_ns_) > kNsPerSecond / 10) wall_offset_ns_ = offset;
    while (next_end_ns_ <= now_ns) {
        pulse_input_buffer r{};
        r.timestamp = ToTimeval(next_end_ns_ + wall_offset_ns_);
        r.elapsed_time = ToTimeval(interval_ns_);
        r.count_gpt1 = speed_->CountTo(next_end_ns_);
        r.count_gpt2 = engine_->CountTo(next_end_ns_);
        if (queue_.size() >= static_cast<size_t>(kPulseQueueRecords)) {
            queue_.pop_front();
            ++lost_;
        }
        queue_.push_back(r);
        ++made_;
        next_end_ns_ += interval_ns_;
    }
}

int SimPulse::DoIoctl(unsigned long request, void* arg) {
    if (const int rc = TakeFault(FaultOp::kIoctl, request); rc < 0) return rc;
    std::lock_guard lock(mutex_);
    switch (request) {
        case kPulseStart: {
            if (measuring_) return 0;
            const int64_t now = BoardNowNs();
            speed_->Start(now);
            engine_->Start(now);
            ApplyWorld();  // the vehicle's values now are where counting starts
            measuring_ = true;
            next_end_ns_ = now + interval_ns_;
            wall_offset_ns_ = WallOffsetNs();
            return 0;
        }
        case kPulseStop:
            ApplyWorld();
            Advance(BoardNowNs());
            measuring_ = false;
            return 0;
        case kPulseRelease:
            queue_.clear();
            return 0;
        case kPulseRead: {
            if (arg == nullptr) return -EFAULT;
            ApplyWorld();
            Advance(BoardNowNs());
            pulse_input_buffer out{};
            if (queue_.empty()) {
                out.flag = kPulseNoData;
            } else {
                out = queue_.front();
                queue_.pop_front();
                out.flag = queue_.empty() ? 0 : kPulseMoreData;
            }
            std::memcpy(arg, &out, sizeof out);
            return 0;
        }
        default:
            return -ENOTTY;
    }
}

std::unique_ptr<Device> MakeSimPulse(const std::string& board_path, int flags, int* error) {
    if (error != nullptr) *error = 0;
    return std::make_unique<SimPulse>(board_path, flags);
}

}  // namespace diviv::sim
