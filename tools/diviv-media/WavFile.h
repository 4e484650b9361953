// 16-bit PCM WAV files (RIFF), as the media tool reads and writes them.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace media {

struct PcmAudio {
    uint32_t sampleRate = 0;
    uint16_t channels = 0;
    std::vector<int16_t> samples;  // interleaved
};

// False with a one-line reason when the file is missing or not 16-bit PCM.
bool ReadWav(const std::string& path, PcmAudio& out, std::string& error);
bool WriteWav(const std::string& path, const PcmAudio& audio, std::string& error);

// Whole-file helpers.
bool ReadFile(const std::string& path, std::vector<uint8_t>& out, std::string& error);
bool WriteFile(const std::string& path, const uint8_t* data, size_t size, std::string& error);

}  // namespace media
