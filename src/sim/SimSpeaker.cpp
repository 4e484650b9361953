#include "sim/SimSpeaker.h"

#include <fcntl.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>
#include <vector>

#include "sim/BoardClock.h"
#include "platform/BoardPath.h"

namespace diviv::sim {

namespace {

constexpr int64_t kSampleNs = kNsPerSecond / kSpeakerRate;  // 125 us
constexpr uint32_t kWavHeaderBytes = 44;

void PutLe(uint8_t* p, uint32_t v, int bytes) {
    for (int i = 0; i < bytes; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

// A RIFF/WAVE header for `samples` 16-bit mono samples at 8 kHz.
std::array<uint8_t, kWavHeaderBytes> WavHeader(int64_t samples) {
    std::array<uint8_t, kWavHeaderBytes> h{};
    const uint32_t data = static_cast<uint32_t>(samples * 2);
    std::memcpy(h.data(), "RIFF", 4);
    PutLe(h.data() + 4, 36 + data, 4);
    std::memcpy(h.data() + 8, "WAVEfmt ", 8);
    PutLe(h.data() + 16, 16, 4);
    PutLe(h.data() + 20, 1, 2);  // linear PCM
    PutLe(h.data() + 22, 1, 2);  // mono
    PutLe(h.data() + 24, kSpeakerRate, 4);
    PutLe(h.data() + 28, kSpeakerRate * 2, 4);
    PutLe(h.data() + 32, 2, 2);
    PutLe(h.data() + 34, 16, 2);
    std::memcpy(h.data() + 36, "data", 4);
    PutLe(h.data() + 40, data, 4);
    return h;
}

}  // namespace

int SimSpeaker::OpenFiles() {
    if (wav_) return 0;
    wav_ = OwnedFd(::open(BoardPath(kSpeakerWavFile).c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    if (!wav_) return -errno;
    log_ = OwnedFd(::open(BoardPath(kSpeakerLogFile).c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    const auto h = WavHeader(0);
    if (::pwrite(wav_.get(), h.data(), h.size(), 0) != static_cast<ssize_t>(h.size())) return -EIO;
    return 0;
}

void SimSpeaker::Append(const int16_t* samples, int64_t count, int64_t first_wall_ns) {
    const off_t at = static_cast<off_t>(kWavHeaderBytes + samples_ * 2);
    // The file holds little-endian samples, as the device takes them.
    (void)!::pwrite(wav_.get(), samples, static_cast<size_t>(count) * 2, at);
    if (log_) {
        char line[96];
        const int n = std::snprintf(line, sizeof line, "%lld %lld %lld\n", static_cast<long long>(first_wall_ns / 1000),
                                    static_cast<long long>(samples_), static_cast<long long>(count));
        (void)!::write(log_.get(), line, static_cast<size_t>(n));
    }
    samples_ += count;
    const auto h = WavHeader(samples_);
    (void)!::pwrite(wav_.get(), h.data(), h.size(), 0);
}

ssize_t SimSpeaker::Play(std::span<const std::byte> data) {
    const int64_t count = std::min<int64_t>(static_cast<int64_t>(data.size() / 2), kSpeakerBufferSamples);
    if (count == 0) return 0;
    std::unique_lock lock(mutex_);
    if (const int rc = OpenFiles(); rc < 0) return rc;
    // Wait for room: the buffer holds what has not played by now.
    for (;;) {
        const int64_t now = ClockNs(CLOCK_MONOTONIC);
        const int64_t held = std::max<int64_t>(queue_end_ns_ - now, 0) / kSampleNs;
        if (held + count <= kSpeakerBufferSamples) break;
        const int64_t wait = (held + count - kSpeakerBufferSamples) * kSampleNs;
        lock.unlock();
        std::this_thread::sleep_for(std::chrono::nanoseconds(wait));
        lock.lock();
    }
    const int64_t now = ClockNs(CLOCK_MONOTONIC);
    const int64_t start = std::max(queue_end_ns_, now);  // an empty buffer restarts the sound now
    queue_end_ns_ = start + count * kSampleNs;
    std::vector<int16_t> samples(static_cast<size_t>(count));
    std::memcpy(samples.data(), data.data(), samples.size() * 2);
    Append(samples.data(), count, start + (ClockNs(CLOCK_REALTIME) - now));
    return static_cast<ssize_t>(count * 2);
}

int64_t SimSpeaker::SamplesPlayed() const {
    std::lock_guard lock(mutex_);
    return samples_;
}

}  // namespace diviv::sim
