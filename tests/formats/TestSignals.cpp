#include "TestSignals.h"

#include <algorithm>
#include <cmath>
#include <random>

namespace testsig {

std::vector<int16_t> MakeSignal(int seconds, uint32_t seed, bool speechOnly);

std::vector<int16_t> MakeSignal(int seconds, uint32_t seed, bool speechOnly) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<double> uni(0.0, 1.0);
    std::normal_distribution<double> gauss(0.0, 1.0);
    const int rate = 8000;
    std::vector<int16_t> out;
    out.reserve(static_cast<size_t>(seconds) * rate);
    auto push = [&](double v) {
        v = std::clamp(v, -32768.0, 32767.0);
        out.push_back(static_cast<int16_t>(std::lround(v)));
    };
    const double pi = std::acos(-1.0);
    int segment = 0;
    while (out.size() < static_cast<size_t>(seconds) * rate) {
        const int len = 800 + static_cast<int>(uni(rng) * 4000);
        const double amp = std::pow(10.0, -3.0 * uni(rng)) * 32767.0;  // 0 to -60 dB
        const int kind = speechOnly ? 0 : segment % 8;
        ++segment;
        switch (kind) {
            case 0: {  // voiced: pulse train through two sweeping resonators
                double f0 = 90 + 160 * uni(rng), f1 = 300 + 600 * uni(rng), f2 = 900 + 1800 * uni(rng);
                double y1 = 0, y2 = 0, z1 = 0, z2 = 0, phase = 0;
                for (int n = 0; n < len; ++n) {
                    phase += f0 / rate;
                    double x = 0;
                    if (phase >= 1) { phase -= 1; x = 1; }
                    double g1 = 2 * 0.97 * std::cos(2 * pi * (f1 + 200 * std::sin(n * 0.001)) / rate);
                    double g2 = 2 * 0.95 * std::cos(2 * pi * f2 / rate);
                    double y = x + g1 * y1 - 0.9409 * y2;
                    y2 = y1; y1 = y;
                    double z = y + g2 * z1 - 0.9025 * z2;
                    z2 = z1; z1 = z;
                    push(amp * 0.02 * z);
                }
                break;
            }
            case 1:  // noise
                for (int n = 0; n < len; ++n) push(amp * 0.3 * gauss(rng));
                break;
            case 2:  // silence with a little dither
                for (int n = 0; n < len; ++n) push(uni(rng) < 0.1 ? (uni(rng) < 0.5 ? -1 : 1) : 0);
                break;
            case 3: {  // answer tone, then a phase reversal
                for (int n = 0; n < len; ++n) push(amp * std::sin(2 * pi * 2100 * n / rate + (n > len / 2 ? pi : 0)));
                break;
            }
            case 4: {  // full-scale square wave
                int period = 4 + static_cast<int>(uni(rng) * 60);
                for (int n = 0; n < len; ++n) push((n / period) % 2 ? 32767 : -32768);
                break;
            }
            case 5: {  // over-driven sine, clipped
                double f = 50 + 3500 * uni(rng);
                for (int n = 0; n < len; ++n) push(3 * 32767 * std::sin(2 * pi * f * n / rate));
                break;
            }
            case 6: {  // chirp
                for (int n = 0; n < len; ++n) {
                    double t = double(n) / rate;
                    push(amp * std::sin(2 * pi * (100 * t + 1800 * t * t)));
                }
                break;
            }
            default: {  // steps between random levels
                double level = 0;
                for (int n = 0; n < len; ++n) {
                    if (n % 200 == 0) level = (uni(rng) * 2 - 1) * 32767;
                    push(level);
                }
                break;
            }
        }
    }
    out.resize(static_cast<size_t>(seconds) * rate);
    return out;
}

std::vector<int16_t> VariedSignal(int seconds, uint32_t seed) { return MakeSignal(seconds, seed, false); }

std::vector<int16_t> SpeechLikeSignal(int seconds, uint32_t seed) { return MakeSignal(seconds, seed, true); }

double SnrDb(const std::vector<int16_t>& ref, const std::vector<int16_t>& got) {
    double sig = 0, err = 0;
    size_t n = std::min(ref.size(), got.size());
    for (size_t i = 0; i < n; ++i) {
        double r = ref[i], e = double(got[i]) - r;
        sig += r * r;
        err += e * e;
    }
    if (err == 0) return 200.0;
    return 10.0 * std::log10(sig / err);
}

}  // namespace testsig
