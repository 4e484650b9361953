// G.726 at 32 kbit/s: our encoder and decoder against spandsp's on 60 s of
// a speech-like signal. Items per second = samples; 8000 per second is real time.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <vector>

#include <spandsp.h>

#include "formats/g726dec.h"
#include "formats/g726enc.h"

namespace {

constexpr int kSamples = 60 * 8000;

const std::vector<int16_t>& Speech() {
    static const std::vector<int16_t> pcm = [] {
        std::vector<int16_t> v(kSamples);
        std::mt19937 rng(5);
        std::normal_distribution<double> noise(0, 1);
        double y1 = 0, y2 = 0, phase = 0;
        for (int n = 0; n < kSamples; ++n) {
            const double f0 = 120 + 40 * std::sin(n * 0.0005);
            phase += f0 / 8000;
            double x = 0.05 * noise(rng);
            if (phase >= 1) {
                phase -= 1;
                x += 1;
            }
            const double y = x + 1.8 * y1 - 0.9 * y2;
            y2 = y1;
            y1 = y;
            const double envelope = (n / 4000) % 3 == 2 ? 0.05 : 1.0;  // pauses
            v[n] = static_cast<int16_t>(std::lround(std::clamp(y * 600 * envelope, -32768.0, 32767.0)));
        }
        return v;
    }();
    return pcm;
}

struct alignas(16) Memory {
    unsigned char bytes[88];
};

std::vector<uint8_t> OurCodes() {
    Memory m;
    G726Encoder* e = g726_enc_create(4, m.bytes);
    std::vector<uint8_t> out(kSamples / 2);
    g726_encode(e, Speech().data(), kSamples, out.data());
    return out;
}

void BM_OurG726Encode(benchmark::State& state) {
    const auto& pcm = Speech();
    std::vector<uint8_t> out(kSamples / 2);
    for (auto _ : state) {
        Memory m;
        G726Encoder* e = g726_enc_create(4, m.bytes);
        benchmark::DoNotOptimize(g726_encode(e, pcm.data(), kSamples, out.data()));
    }
    state.SetItemsProcessed(state.iterations() * kSamples);
}
BENCHMARK(BM_OurG726Encode)->Unit(benchmark::kMillisecond);

void BM_SpandspG726Encode(benchmark::State& state) {
    const auto& pcm = Speech();
    std::vector<uint8_t> out(kSamples / 2);
    for (auto _ : state) {
        g726_state_t* s = g726_init(nullptr, 32000, G726_ENCODING_LINEAR, G726_PACKING_LEFT);
        benchmark::DoNotOptimize(g726_encode(s, out.data(), pcm.data(), kSamples));
        g726_free(s);
    }
    state.SetItemsProcessed(state.iterations() * kSamples);
}
BENCHMARK(BM_SpandspG726Encode)->Unit(benchmark::kMillisecond);

void BM_OurG726Decode(benchmark::State& state) {
    const auto codes = OurCodes();
    std::vector<int16_t> out(kSamples);
    for (auto _ : state) {
        Memory m;
        G726Decoder* d = g726_dec_create(4, m.bytes);
        benchmark::DoNotOptimize(g726_decode(d, codes.data(), static_cast<int>(codes.size()), out.data()));
    }
    state.SetItemsProcessed(state.iterations() * kSamples);
}
BENCHMARK(BM_OurG726Decode)->Unit(benchmark::kMillisecond);

void BM_SpandspG726Decode(benchmark::State& state) {
    const auto codes = OurCodes();
    std::vector<int16_t> out(kSamples);
    for (auto _ : state) {
        g726_state_t* s = g726_init(nullptr, 32000, G726_ENCODING_LINEAR, G726_PACKING_LEFT);
        benchmark::DoNotOptimize(g726_decode(s, out.data(), codes.data(), static_cast<int>(codes.size())));
        g726_free(s);
    }
    state.SetItemsProcessed(state.iterations() * kSamples);
}
BENCHMARK(BM_SpandspG726Decode)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
