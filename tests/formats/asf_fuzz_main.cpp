// Long mutation run of the ASF reader: asf_fuzz [inputs] [seed]. Build with
// -DDIVIV_SANITIZE=ON so every stray read is reported.
#include <chrono>
#include <cstdio>
#include <cstdlib>

#include "AsfFuzz.h"

int main(int argc, char** argv) {
    const uint64_t inputs = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 3000000;
    const uint64_t seed = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 1;
    const auto t0 = std::chrono::steady_clock::now();
    const asffuzz::Report r = asffuzz::Run(inputs, seed);
    const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    std::printf("%llu inputs, %llu parse calls, %llu payloads in %.1f s: %s\n",
                static_cast<unsigned long long>(r.inputs), static_cast<unsigned long long>(r.parseCalls),
                static_cast<unsigned long long>(r.payloads), s, r.failure.empty() ? "no fault" : r.failure.c_str());
    return r.failure.empty() ? 0 : 1;
}
