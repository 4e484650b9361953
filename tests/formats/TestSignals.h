// Deterministic test signals shared by the codec tests and benches.
#pragma once

#include <cstdint>
#include <vector>

namespace testsig {

// A long varied 8 kHz signal: speech-like voiced bursts with formant sweeps,
// noise, silence, pure tones (including a 2100 Hz answer tone that trips the
// codec's tone detector), full-scale square waves, clipped sine and steps.
std::vector<int16_t> VariedSignal(int seconds, uint32_t seed);

// Only the voiced bursts of VariedSignal, at levels from 0 to -60 dB.
std::vector<int16_t> SpeechLikeSignal(int seconds, uint32_t seed);

// Signal-to-noise ratio in dB of `got` against `ref` (same length).
double SnrDb(const std::vector<int16_t>& ref, const std::vector<int16_t>& got);

}  // namespace testsig
