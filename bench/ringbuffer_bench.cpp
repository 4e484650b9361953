// Ring-buffer throughput between two threads against plain memcpy of the same
// record sizes. Prints bytes per second for each; the ratio is in the summary.
#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdio>
#include <map>
#include <string>
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
namespace {

// Prints, after the usual table, the ring buffer's throughput as a fraction
// of plain memcpy's for each record size.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& r : runs) {
            const auto it = r.counters.find("bytes_per_second");
            if (it == r.counters.end()) continue;
            const std::string name = r.benchmark_name();
            if (name.find("_stddev") != std::string::npos || name.find("_cv") != std::string::npos) continue;
            // "BM_Memcpy/1600", "BM_RingBufferTwoThreads/1600/real_time_median": the size.
            const size_t slash = name.find('/');
            const std::string size = name.substr(slash + 1, name.find_first_not_of("0123456789", slash + 1) - slash - 1);
            (name.rfind("BM_Memcpy", 0) == 0 ? memcpy_ : ring_)[size] = it->second.value;
        }
    }
    void Finalize() override {
        ConsoleReporter::Finalize();
        std::printf("\nrecord size   ring buffer (2 threads)   memcpy (in + out)   ratio\n");
        for (const auto& [size, ring] : ring_) {
            const auto m = memcpy_.find(size);
            if (m == memcpy_.end() || m->second <= 0) continue;
            std::printf("%11s   %18.2f GB/s   %12.2f GB/s   %5.2f\n", size.c_str(), ring / 1e9, m->second / 1e9,
                        ring / m->second);
        }
    }

private:
    std::map<std::string, double> ring_, memcpy_;
};

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return 0;
}
