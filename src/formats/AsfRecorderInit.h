// The recorder's ASF writer configuration: stream descriptions, codec list,
// metadata and extended stream properties as every recording carries them,
// with the C library's file functions as callbacks. Shared by the recording
// writer and the media tool so that both produce the same files.
#pragma once

#include <array>
#include <cstdint>

#include "formats/AsfMultiplexer.h"

struct AsfRecorderSetup {
    ASF_MUX_INIT_STRUCT init{};

    // Storage the init record points into; the setup must stay where it is
    // (it is neither copied nor moved) while a writer uses it.
    std::array<uint8_t, 8> audioSpread{};
    std::array<uint8_t, 1> binaryFormat{};
    std::array<ASF_MUX_CODEC_ENTRY, 3> codecEntries{};
    std::array<uint16_t, 1> codecName{};
    std::array<uint8_t, 4> videoCodecInfo{};
    std::array<uint8_t, 2> audioCodecInfo{};
    std::array<uint8_t, 4> binaryCodecInfo{};
    std::array<STRUCT_ASF_MUXER_METADATA_DESCRIPTION_RECORD, 4> metadata{};
    std::array<uint8_t, 12> nameIsVbr{};
    std::array<uint8_t, 10> nameNtsc{};
    std::array<uint8_t, 2> vbrOn{}, vbrOff{};
    std::array<uint8_t, 4> ntscOn{};

    AsfRecorderSetup() = default;
    AsfRecorderSetup(const AsfRecorderSetup&) = delete;
    AsfRecorderSetup& operator=(const AsfRecorderSetup&) = delete;
};

// Fills `s` with the recorder's values: H.264 at width x height and
// videoBitrate bit/s at framesPerSecond, G.726 at 32 kbit/s, the binary
// stream, a 3200-byte packet, a 1 s index interval and a 1000-entry key-frame
// table. creationDate is in 100-ns units since 1601-01-01.
void MakeRecorderMuxInit(AsfRecorderSetup& s, const char* fileName, uint32_t width, uint32_t height,
                         uint32_t videoBitrate, uint32_t framesPerSecond, uint64_t creationDate);

// Seconds and microseconds since 1970 as 100-ns units since 1601.
uint64_t AsfCreationDate(int64_t seconds, int64_t microseconds);
