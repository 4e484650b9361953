#include "sim/SimMicrophone.h"

#include <poll.h>
#include <time.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstdio>
#include <numbers>
#include <thread>

#include "sim/BoardClock.h"
#include "sim/SimMicrophoneWav.h"
#include "sim/World.h"

namespace diviv::sim {

namespace {

constexpr int64_t kSampleNs = kNsPerSecond / kMicrophoneRate;                 // 125 us
constexpr int64_t kPeriodNs = kSampleNs * kMicrophonePeriodSamples;           // 10 ms
constexpr int64_t kBufferPeriods = kMicrophoneBufferSamples / kMicrophonePeriodSamples;
constexpr int64_t kMaxWaitStepNs = kNsPerSecond / 10;  // a waiting read looks at the world this often

dr_timeval ToTimeval(int64_t ns) {
    const int64_t sec = FloorDiv(ns, kNsPerSecond);
    return {static_cast<int32_t>(sec), static_cast<int32_t>((ns - sec * kNsPerSecond) / 1000)};
}

}  // namespace

int16_t MicrophoneToneSample(int64_t wall_ns) {
    const int64_t in_second = wall_ns - FloorDiv(wall_ns, kNsPerSecond) * kNsPerSecond;
    const double t = static_cast<double>(in_second) * 1e-9;
    // Whole cycles per second: the tone runs on across each second unbroken.
    const bool click = in_second < kClickNs;
    const double hz = click ? kClickHz : kToneHz;
    const double amplitude = click ? kClickAmplitude : kToneAmplitude;
    return static_cast<int16_t>(std::lround(amplitude * std::sin(2 * std::numbers::pi * hz * t)));
}

SimMicrophone::SimMicrophone(std::string board_path, std::shared_ptr<SimSpeaker> speaker)
    : DeviceModel(std::move(board_path)), speaker_(std::move(speaker)) {}

MicrophoneCounters SimMicrophone::Counters() const {
    std::lock_guard lock(mutex_);
    return counters_;
}

int SimMicrophone::DoIoctl(unsigned long request, void* arg) {
    if (const int rc = TakeFault(FaultOp::kIoctl, request); rc < 0) return rc;
    if (arg == nullptr) return -EFAULT;
    std::lock_guard lock(mutex_);
    switch (request) {
        case IOCTL_SSI_CONFIGURE_SSI:
            return Configure(static_cast<const wave_config*>(arg));
        case IOCTL_SSI_GET_LOST_TIME: {
            auto* report = static_cast<mxc_ssi_timedout*>(arg);
            report->count = timeouts_reported_;
            report->losttime = ToTimeval(lost_ns_);
            return 0;
        }
        case IOCTL_SSI_GET_CAPTURE_TIME:
            if (!configured_) return -EINVAL;
            *static_cast<dr_timeval*>(arg) = ToTimeval(last_read_wall_ns_);
            return 0;
        default:
            return -ENOTTY;
    }
}

int SimMicrophone::Configure(const wave_config* config) {
    if (config->ssi != 0 || config->num_channels != 1 || config->sample_rate != kMicrophoneRate ||
        config->bits_per_sample != 16)
        return -EINVAL;
    configured_ = true;
    ++counters_.configurations;
    // Whole microseconds, as the driver's capture times are: a block's time
    // is then exactly the time of its first sample.
    anchor_ns_ = FloorDiv(BoardNowNs(), 1000) * 1000;
    wall_offset_ns_ = FloorDiv(WallOffsetNs(), 1000) * 1000;
    next_period_ = 0;
    segments_.clear();
    last_read_wall_ns_ = WallNs(0);
    overflowed_ = false;
    lost_ns_ = 0;
    timeouts_reported_ = 0;
    file_start_ = 0;
    ApplyWorld();
    return 0;
}

void SimMicrophone::ApplyWorld() {
    std::string file;
    WithBoardWorld([&](WorldReader& w) {
        pending_eintr_ += std::max<int64_t>(0, w.TakeOnce(kWorldMicEintr, kWorldMicEintrGen));
        pending_timeouts_ += std::max<int64_t>(0, w.TakeOnce(kWorldMicTimeout, kWorldMicTimeoutGen));
        stall_from_ns_ = w.Int(kWorldMicStallFromMs, 0) * 1000000;
        stall_until_ns_ = w.Int(kWorldMicStallUntilMs, 0) * 1000000;
        file = w.Text(kWorldMicFile);
    });
    if (file == file_path_) return;
    file_path_ = file;
    file_.clear();
    if (file.empty()) return;
    std::string why;
    if (!ReadMicrophoneWav(file, &file_, &why)) {
        std::fprintf(stderr, "sim microphone: %s; the tone plays on\n", why.c_str());
        file_.clear();
    }
    // The file starts with the next period the port captures.
    file_start_ = configured_ ? next_period_ * kMicrophonePeriodSamples : 0;
}

int64_t SimMicrophone::PeriodEndNs(int64_t period) const { return anchor_ns_ + (period + 1) * kPeriodNs; }

int64_t SimMicrophone::WallNs(int64_t sample) const { return anchor_ns_ + sample * kSampleNs + wall_offset_ns_; }

int64_t SimMicrophone::PendingSamples() const {
    int64_t n = 0;
    for (const Segment& s : segments_) n += s.count;
    return n;
}

void SimMicrophone::Lose(int64_t samples) {
    counters_.samples_lost += samples;
    lost_ns_ += samples * kSampleNs;
}

void SimMicrophone::Advance(int64_t now_ns) {
    if (!configured_) return;
    // Follow a step of the wall clock, but not its jitter.
    const int64_t offset = FloorDiv(WallOffsetNs(), 1000) * 1000;
    if (std::abs(offset - wall_offset_ns_) > kNsPerSecond / 10) wall_offset_ns_ = offset;

    // Left alone for longer than its buffer holds, the port has overwritten
    // everything older than the buffer: skip straight there.
    const int64_t complete = FloorDiv(now_ns - anchor_ns_, kPeriodNs);  // periods ended by now
    if (complete - next_period_ > 2 * kBufferPeriods) {
        const int64_t skip_to = complete - kBufferPeriods;
        Lose(PendingSamples() + (skip_to - next_period_) * kMicrophonePeriodSamples);
        segments_.clear();
        next_period_ = skip_to;
        overflowed_ = true;
    }
    for (; PeriodEndNs(next_period_) <= now_ns; ++next_period_) {
        const int64_t end = PeriodEndNs(next_period_);
        if (end > stall_from_ns_ && end <= stall_until_ns_) {
            Lose(kMicrophonePeriodSamples);  // the stalled port captured nothing
            continue;
        }
        const int64_t first = next_period_ * kMicrophonePeriodSamples;
        if (!segments_.empty() && segments_.back().first + segments_.back().count == first) {
            segments_.back().count += kMicrophonePeriodSamples;
        } else {
            segments_.push_back({first, kMicrophonePeriodSamples});
        }
    }
    // The oldest sound is overwritten once the buffer is full.
    for (int64_t excess = PendingSamples() - kMicrophoneBufferSamples; excess > 0;) {
        Segment& s = segments_.front();
        const int64_t drop = std::min(excess, s.count);
        s.first += drop;
        s.count -= drop;
        excess -= drop;
        Lose(drop);
        overflowed_ = true;
        if (s.count == 0) segments_.pop_front();
    }
}

int16_t SimMicrophone::Sample(int64_t index) const {
    if (!file_.empty() && index >= file_start_) {
        return file_[static_cast<size_t>((index - file_start_) % static_cast<int64_t>(file_.size()))];
    }
    return MicrophoneToneSample(WallNs(index));
}

int SimMicrophone::TimedOut() {
    ++timeouts_reported_;
    ++counters_.timeouts;
    return -ETIMEDOUT;
}

ssize_t SimMicrophone::DoRead(std::span<std::byte> buffer) {
    if (const int rc = TakeFault(FaultOp::kRead); rc < 0) return rc;
    const int64_t want = static_cast<int64_t>(buffer.size() / 2);
    std::unique_lock lock(mutex_);
    if (!configured_ || want == 0) return -EINVAL;
    ApplyWorld();
    if (pending_eintr_ > 0) {
        --pending_eintr_;
        return -EINTR;
    }
    Advance(BoardNowNs());
    if (pending_timeouts_ > 0) {
        --pending_timeouts_;
        Lose(PendingSamples());
        segments_.clear();
        return TimedOut();
    }
    if (overflowed_) {
        overflowed_ = false;
        return TimedOut();
    }
    // Nothing captured yet: wait for the next period, as the driver's read
    // sleeps until its DMA brings one, up to its time-out.
    const int64_t deadline = BoardNowNs() + int64_t{kMicrophoneReadTimeoutMs} * 1000000;
    while (segments_.empty()) {
        const int64_t now = BoardNowNs();
        if (now >= deadline) return TimedOut();
        const int64_t wait = std::clamp<int64_t>(std::min(PeriodEndNs(next_period_), deadline) - now, 0, kMaxWaitStepNs);
        lock.unlock();
        std::this_thread::sleep_for(std::chrono::nanoseconds(wait));
        lock.lock();
        ApplyWorld();
        Advance(BoardNowNs());
    }
    Segment& s = segments_.front();
    const int64_t n = std::min(want, s.count);
    auto* out = reinterpret_cast<uint8_t*>(buffer.data());
    for (int64_t i = 0; i < n; ++i) {
        const auto v = static_cast<uint16_t>(Sample(s.first + i));
        out[2 * i] = static_cast<uint8_t>(v & 0xFF);  // little-endian, as the SSI delivers
        out[2 * i + 1] = static_cast<uint8_t>(v >> 8);
    }
    last_read_wall_ns_ = WallNs(s.first);
    s.first += n;
    s.count -= n;
    if (s.count == 0) segments_.pop_front();
    counters_.samples_read += n;
    return static_cast<ssize_t>(n * 2);
}

ssize_t SimMicrophone::DoWrite(std::span<const std::byte> data) {
    if (const int rc = TakeFault(FaultOp::kWrite); rc < 0) return rc;
    {
        std::lock_guard lock(mutex_);
        if (!configured_ || !speaker_) return -EINVAL;
    }
    return speaker_->Play(data);  // waits for room: not under the capture side's lock
}

int SimMicrophone::DoPoll(short events, int timeout_ms) {
    if (const int rc = TakeFault(FaultOp::kPoll); rc < 0) return rc;
    if ((events & POLLIN) == 0) return 0;
    const int64_t deadline = timeout_ms < 0 ? INT64_MAX : BoardNowNs() + int64_t{timeout_ms} * 1000000;
    std::unique_lock lock(mutex_);
    for (;;) {
        if (!configured_) return POLLERR;
        ApplyWorld();
        const int64_t now = BoardNowNs();
        Advance(now);
        if (!segments_.empty() || overflowed_ || pending_eintr_ > 0 || pending_timeouts_ > 0) return POLLIN;
        if (now >= deadline) return 0;
        const int64_t wait = std::clamp<int64_t>(std::min(PeriodEndNs(next_period_), deadline) - now, 0, kMaxWaitStepNs);
        lock.unlock();
        std::this_thread::sleep_for(std::chrono::nanoseconds(wait));
        lock.lock();
    }
}

MappedMemory SimMicrophone::DoMap(size_t, off_t, int* error) {
    if (const int rc = TakeFault(FaultOp::kMap); rc < 0) {
        *error = rc;
        return {};
    }
    *error = -ENODEV;
    return {};
}

std::unique_ptr<Device> MakeSimMicrophone(const std::string& board_path, int, int* error) {
    if (error != nullptr) *error = 0;
    return std::make_unique<SimMicrophone>(board_path);
}

std::unique_ptr<Device> MakeSimSsiAudio(std::shared_ptr<SimSpeaker> speaker, const std::string& board_path, int,
                                        int* error) {
    if (error != nullptr) *error = 0;
    return std::make_unique<SimMicrophone>(board_path, std::move(speaker));
}

}  // namespace diviv::sim
