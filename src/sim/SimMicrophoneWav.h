// WAV files for the simulated microphone: the sound a scenario names is read
// as the microphone's 8 kHz mono 16-bit samples; tests and tools write such
// files.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace diviv::sim {

// Reads a RIFF/WAVE file of linear PCM (8-bit unsigned or 16-bit signed,
// any number of channels, any rate) as 8000 samples per second mono 16-bit:
// channels are averaged, other rates resampled linearly. False with a reason
// when the file cannot be read or is not such a file.
bool ReadMicrophoneWav(const std::string& path, std::vector<int16_t>* samples, std::string* error);

// Writes 16-bit mono samples at `rate` as a RIFF/WAVE file. False when it
// cannot be written.
bool WriteMicrophoneWav(const std::string& path, const std::vector<int16_t>& samples, int rate = 8000);

}  // namespace diviv::sim
