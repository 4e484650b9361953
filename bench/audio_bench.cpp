// The sound track's cost: capturing and coding one second of sound (8000
// samples, ten 100 ms blocks) as a share of one core. Two measurements:
//
// - BM_AudioBlockWork: the threads' work per block, done in line: the read
//   from the device and its capture time, put_pcm_audio into ra_buf and
//   ainfo_buf, the encoder's read of the block, G.726 coding and put_bs.
//   Counted from the measuring thread's own CPU time.
// - BM_AudioThreads: AudioCaptureThread and AudioEncoderThread themselves,
//   with their sleeps and wake-ups, for five seconds of sound in real time
//   from a device that delivers each block when it is due, the writer's
//   side taking abs_buf and ainfo_buf. Counted from the two threads' own
//   CPU clocks (the writer's side is not counted).
//
// Each prints core_pct: the share of one core per second of sound; a
// summary follows.
#include <benchmark/benchmark.h>
#include <pthread.h>
#include <time.h>

#include <array>
#include <fcntl.h>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "core/DR_shared.h"
#include "formats/g726enc.h"
#include "platform/Board.h"
#include "platform/SsiAudio.h"
#include "recording/AudioCaptureThread.h"
#include "recording/AudioEncoderThread.h"
#include "sim/SimMicrophone.h"
#include "sim/SimulatedBoard.h"

namespace {

constexpr int kBlockSamples = 800;
constexpr int kBlocksPerSecond = 10;

double CpuSeconds(clockid_t clock) {
    timespec ts{};
    clock_gettime(clock, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

// Ten seconds of the simulated microphone's tone with its clicks, as bytes.
const std::vector<uint8_t>& Sound() {
    static const std::vector<uint8_t> bytes = [] {
        std::vector<uint8_t> b;
        for (int64_t i = 0; i < 10 * 8000; ++i) {
            const auto v = static_cast<uint16_t>(diviv::sim::MicrophoneToneSample(1700000000000000000 + i * 125000));
            b.push_back(static_cast<uint8_t>(v & 0xFF));
            b.push_back(static_cast<uint8_t>(v >> 8));
        }
        return b;
    }();
    return bytes;
}

// An SSI audio device that hands over one whole block per read, each due
// `block_ns` after the previous one (0: at once), stamped 100 ms apart.
class ReadyMicrophone final : public diviv::Device {
public:
    explicit ReadyMicrophone(int64_t block_ns) : Device(diviv::kSsiAudioDevice), block_ns_(block_ns) {}

private:
    int DoIoctl(unsigned long request, void* arg) override {
        if (request == diviv::IOCTL_SSI_GET_CAPTURE_TIME) {
            const int64_t us = (blocks_ - 1) * 100000;
            *static_cast<dr_timeval*>(arg) = {static_cast<int32_t>(1700000000 + us / 1000000),
                                              static_cast<int32_t>(us % 1000000)};
        }
        if (request == diviv::IOCTL_SSI_CONFIGURE_SSI) start_ = std::chrono::steady_clock::now();
        return 0;
    }
    ssize_t DoRead(std::span<std::byte> buffer) override {
        if (block_ns_ > 0) std::this_thread::sleep_until(start_ + std::chrono::nanoseconds(blocks_ * block_ns_));
        const std::vector<uint8_t>& sound = Sound();
        const size_t n = std::min(buffer.size(), size_t{1600});
        std::memcpy(buffer.data(), sound.data() + (blocks_ % 100) * 1600, n);
        ++blocks_;
        return static_cast<ssize_t>(n);
    }
    ssize_t DoWrite(std::span<const std::byte>) override { return -EINVAL; }
    int DoPoll(short events, int) override { return events; }
    diviv::MappedMemory DoMap(size_t, off_t, int* error) override {
        *error = -ENODEV;
        return {};
    }

    int64_t block_ns_;
    int64_t blocks_ = 0;
    std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
};

// The simulated board with the ready microphone, installed for one benchmark.
class BenchBoard {
public:
    explicit BenchBoard(int64_t block_ns) {
        auto board = std::make_unique<diviv::sim::SimulatedBoard>();
        board->Devices().Register(diviv::kSsiAudioDevice, [block_ns](const std::string&, int, int* error) {
            *error = 0;
            return std::unique_ptr<diviv::Device>(std::make_unique<ReadyMicrophone>(block_ns));
        });
        previous_ = diviv::InstallBoard(std::move(board));
    }
    ~BenchBoard() { diviv::InstallBoard(std::move(previous_)); }

private:
    std::unique_ptr<diviv::Board> previous_;
};

// The writer's side: takes what the threads handed over.
void Drain(dr_common_t* dr) {
    std::vector<uint8_t> sink(65536);
    while (DR_ReadRingBuffer(&dr->abs_buf, sink.data(), static_cast<int>(sink.size())) > 0) {
    }
    while (DR_ReadRingBuffer(&dr->ainfo_buf, sink.data(), static_cast<int>(sink.size())) > 0) {
    }
}

void BM_AudioBlockWork(benchmark::State& state) {
    BenchBoard board(0);
    auto dr = NewDrCommon();
    if (CreateSharedRingBuffers(dr.get()) != 0) {
        state.SkipWithError("ring buffers");
        return;
    }
    int err = 0;
    auto dev = diviv::TheBoard().OpenDevice(diviv::kSsiAudioDevice, O_RDWR, &err);
    wave_config config{0, 1, 8000, 16};
    dev->Ioctl(diviv::IOCTL_SSI_CONFIGURE_SSI, &config);
    std::vector<uint8_t> memory(g726_enc_instance_size() + 16);
    G726Encoder* encoder = g726_enc_create(4, memory.data());  // vector memory is new-aligned
    std::array<uint8_t, kAudioBlockBytes> block{};
    std::array<int16_t, kBlockSamples> pcm{};
    std::array<uint8_t, kAudioCodedBlockBytes> coded{};
    AbsFullReport report;
    int64_t blocks = 0;
    double cpu = 0;
    for (auto _ : state) {
        const double t0 = CpuSeconds(CLOCK_THREAD_CPUTIME_ID);
        // The capture thread's part.
        dev->Read(std::as_writable_bytes(std::span(block)));
        dr_timeval t{};
        dev->Ioctl(diviv::IOCTL_SSI_GET_CAPTURE_TIME, &t);
        if (dr->audio_mute.load() != 0) block.fill(0);
        put_pcm_audio(dr.get(), block.data(), kAudioBlockBytes, t);
        // The encoder thread's part.
        DR_ReadRingBuffer(&dr->ra_buf, pcm.data(), kAudioBlockBytes);
        const int n = g726_encode(encoder, pcm.data(), kBlockSamples, coded.data());
        put_bs(dr.get(), coded.data(), n, &report);
        cpu += CpuSeconds(CLOCK_THREAD_CPUTIME_ID) - t0;
        ++blocks;
        if (blocks % 100 == 0) Drain(dr.get());
    }
    g726_enc_close(encoder);
    dev.reset();
    FreeSharedRingBuffers(dr.get());
    if (blocks > 0) state.counters["core_pct"] = cpu / static_cast<double>(blocks) * kBlocksPerSecond * 100;
}
BENCHMARK(BM_AudioBlockWork)->Unit(benchmark::kMicrosecond)->MinTime(1);

void BM_AudioThreads(benchmark::State& state) {
    constexpr int64_t kBlockNs = 100000000;  // real time: a block every 100 ms
    constexpr double kSeconds = 5;
    double cpu = 0, wall = 0, capture_cpu = 0;
    int64_t coded = 0;
    for (auto _ : state) {
        BenchBoard board(kBlockNs);
        auto dr = NewDrCommon();
        if (CreateSharedRingBuffers(dr.get()) != 0) {
            state.SkipWithError("ring buffers");
            return;
        }
        dr->CaptureStart = 1;
        dr->AC_ALIVE = 1;
        dr->AE_ALIVE = 1;
        std::fflush(stdout);
        const auto w0 = std::chrono::steady_clock::now();
        std::thread ac(AudioCaptureThread, dr.get());
        std::thread ae(AudioEncoderThread, dr.get());
        clockid_t ac_clock{}, ae_clock{};
        pthread_getcpuclockid(ac.native_handle(), &ac_clock);
        pthread_getcpuclockid(ae.native_handle(), &ae_clock);
        double ac_cpu = 0, ae_cpu = 0;
        while (std::chrono::steady_clock::now() - w0 < std::chrono::duration<double>(kSeconds)) {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            coded += DR_GetRingBufferReadAvailable(&dr->abs_buf);
            Drain(dr.get());
            // Read while the threads live: their clocks go with them.
            ac_cpu = CpuSeconds(ac_clock);
            ae_cpu = CpuSeconds(ae_clock);
        }
        wall += std::chrono::duration<double>(std::chrono::steady_clock::now() - w0).count();
        cpu += ac_cpu + ae_cpu;
        capture_cpu += ac_cpu;
        dr->REQ_AC_CLOSE = 1;
        dr->REQ_AE_CLOSE = 1;
        ac.join();
        ae.join();
        FreeSharedRingBuffers(dr.get());
    }
    // The threads take one second of sound per second of running.
    if (wall > 0) {
        state.counters["core_pct"] = cpu / wall * 100;
        state.counters["capture_pct"] = capture_cpu / wall * 100;
    }
    state.counters["coded_s"] = static_cast<double>(coded) / (kBlocksPerSecond * kAudioCodedBlockBytes);
}
BENCHMARK(BM_AudioThreads)->Unit(benchmark::kMillisecond)->Iterations(1);

// Prints the table as usual and keeps each benchmark's share of a core.
class ShareReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& r : runs) {
            auto it = r.counters.find("core_pct");
            if (it != r.counters.end()) shares[r.benchmark_name()] = it->second.value;
        }
    }
    std::map<std::string, double> shares;
};

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    ShareReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    std::printf("\nShare of one core per second of sound (8000 samples, G.726 at 32 kbit/s):\n");
    for (const auto& [name, pct] : reporter.shares) {
        const char* what = name.find("BlockWork") != std::string::npos ? "capture and coding work" : "both threads, with sleeps";
        std::printf("  %-28s %7.4f %%   (%s)\n", what, pct, name.c_str());
    }
    return 0;
}
