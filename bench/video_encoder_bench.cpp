// Encoding one 640 x 480 picture with the recorder's x264 settings, as the
// video capture does 30 times a second at the H preset (GOP 30, an I picture
// forced every 30 pictures). The counter core_pct_at_30fps is the share of
// one core the encoder takes at 30 pictures per second, from the encoding
// thread's own CPU time (x264 runs single-threaded here).
#include <benchmark/benchmark.h>

#include <time.h>

#include <cstdint>
#include <vector>

#include "platform/X264Encoder.h"

namespace {

constexpr int kW = 640, kH = 480, kPictures = 60;

double ThreadCpuSeconds() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

// A drifting texture with a moving block: work for the motion search.
std::vector<std::vector<uint8_t>> MovingPictures() {
    std::vector<std::vector<uint8_t>> pics(kPictures);
    for (int t = 0; t < kPictures; ++t) {
        auto& p = pics[static_cast<size_t>(t)];
        p.resize(kW * kH * 3 / 2);
        for (int y = 0; y < kH; ++y) {
            for (int x = 0; x < kW; ++x) {
                uint32_t h = static_cast<uint32_t>((x + 2 * t) >> 2) * 73856093u ^
                             static_cast<uint32_t>((y + t) >> 2) * 19349663u;
                h = (h ^ (h >> 13)) * 0x5bd1e995u;
                bool block = x >= (t * 7) % kW && x < (t * 7) % kW + 64 && y >= (t * 3) % kH && y < (t * 3) % kH + 48;
                p[static_cast<size_t>(y * kW + x)] =
                    static_cast<uint8_t>(block ? 235 : 16 + ((h >> 24) & 0x3F) + ((x + y + 3 * t) & 0x7F));
            }
        }
        for (size_t i = kW * kH; i < p.size(); ++i)
            p[i] = static_cast<uint8_t>(96 + ((i + static_cast<size_t>(t)) & 0x3F));
    }
    return pics;
}

void Encode(benchmark::State& state, const char* preset) {
    static const auto pictures = MovingPictures();
    diviv::X264Encoder::Options opt;
    opt.preset = preset;
    diviv::X264Encoder enc(opt);
    diviv::VideoEncoderParams p;
    p.width = kW;
    p.height = kH;
    p.frame_rate = 30;
    p.bit_rate_kbps = static_cast<int>(state.range(0));
    p.gop = 30;
    if (enc.Open(p) != 0) {
        state.SkipWithError("encoder did not open");
        return;
    }
    int64_t k = 0, bytes = 0;
    double cpu = 0;
    for (auto _ : state) {
        diviv::EncodedPicture out;
        double t0 = ThreadCpuSeconds();
        enc.Encode(pictures[static_cast<size_t>(k % kPictures)], k % 30 == 0, &out);
        cpu += ThreadCpuSeconds() - t0;
        bytes += static_cast<int64_t>(out.bytes.size());
        ++k;
    }
    enc.Close();
    if (k == 0) return;
    state.counters["core_pct_at_30fps"] = cpu / static_cast<double>(k) * 30 * 100;
    state.counters["kbit_per_s"] = static_cast<double>(bytes) * 8 * 30 / static_cast<double>(k) / 1000;
}

void BM_X264Encode640x480(benchmark::State& state) { Encode(state, "superfast"); }
BENCHMARK(BM_X264Encode640x480)->Arg(1024)->Arg(2048)->Unit(benchmark::kMillisecond)->MinTime(3);

// The neighbouring presets, for comparison.
void BM_X264Encode640x480Ultrafast(benchmark::State& state) { Encode(state, "ultrafast"); }
BENCHMARK(BM_X264Encode640x480Ultrafast)->Arg(2048)->Unit(benchmark::kMillisecond)->MinTime(3);
void BM_X264Encode640x480Veryfast(benchmark::State& state) { Encode(state, "veryfast"); }
BENCHMARK(BM_X264Encode640x480Veryfast)->Arg(2048)->Unit(benchmark::kMillisecond)->MinTime(3);

}  // namespace

BENCHMARK_MAIN();
