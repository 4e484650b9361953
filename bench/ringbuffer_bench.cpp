// Ring-buffer throughput between two threads against plain memcpy of the same
// record sizes. Prints bytes per second for each; the ratio is in the summary.
#include <benchmark/benchmark.h>

#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

#include "core/dr_ringbuffer.h"

namespace {

constexpr int kCapacity = 4 * 1024 * 1024;  // vbs_buf's capacity

// Producer thread writes records; this thread reads them back.
void BM_RingBufferTwoThreads(benchmark::State& state) {
    const int rec = static_cast<int>(state.range(0));
    DrRingBuffer rb;
    DR_InitRingBuffer(&rb, rec > kCapacity / 2 ? 1 << 21 : kCapacity);
    if (rec > rb.bufferSize / 2) DR_InitRingBuffer(&rb, 1 << 21);
    std::vector<char> in(rec, 'x'), out(rec);
    std::atomic<bool> stop{false};
    std::thread producer([&] {
        while (!stop.load(std::memory_order_relaxed)) {
            if (DR_GetRingBufferWriteAvailable(&rb) >= rec) DR_WriteRingBuffer(&rb, in.data(), rec);
        }
    });
    for (auto _ : state) {
        while (DR_GetRingBufferReadAvailable(&rb) < rec) {
        }
        DR_ReadRingBuffer(&rb, out.data(), rec);
        benchmark::DoNotOptimize(out.data());
    }
    stop = true;
    producer.join();
    DR_FreeRingBuffer(&rb);
    state.SetBytesProcessed(state.iterations() * rec);
}

// The same bytes with two plain copies (in and out), single thread.
void BM_Memcpy(benchmark::State& state) {
    const int rec = static_cast<int>(state.range(0));
    std::vector<char> in(rec, 'x'), mid(kCapacity), out(rec);
    size_t pos = 0;
    for (auto _ : state) {
        if (pos + rec > mid.size()) pos = 0;
        std::memcpy(mid.data() + pos, in.data(), rec);
        std::memcpy(out.data(), mid.data() + pos, rec);
        pos += rec;
        benchmark::DoNotOptimize(out.data());
    }
    state.SetBytesProcessed(state.iterations() * rec);
}

}  // namespace

BENCHMARK(BM_RingBufferTwoThreads)->Arg(16)->Arg(1600)->Arg(24 * 1024)->Arg(460800)->UseRealTime();
BENCHMARK(BM_Memcpy)->Arg(16)->Arg(1600)->Arg(24 * 1024)->Arg(460800);
BENCHMARK_MAIN();
