// H.264 helpers shared by the encoder and skip-picture tests: libavcodec as
// the independent decoder, and a moving test picture for encoders to work on.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace h264kit {

struct DecodedPicture {
    int width = 0, height = 0;
    std::vector<uint8_t> yuv;  // planar 4:2:0 without padding
    char type = '?';           // 'I', 'P', 'B'
    bool key = false;
};

struct DecodeResult {
    std::vector<DecodedPicture> pictures;  // in output order
    int errors = 0;                        // failed calls, corrupt pictures, error lines, frame_num gaps
    std::vector<std::string> log;          // the decoder's warning and error lines
};

// Decodes access units (each one Annex B packet: optional parameter sets and
// one picture) with libavcodec's H.264 decoder, strictly: bitstream errors
// fail the call (AV_EF_EXPLODE and the careful checks), no error concealment,
// and a gap in frame_num counts as an error.
DecodeResult Decode(const std::vector<std::vector<uint8_t>>& access_units);

// A picture that changes every frame: a textured background drifting
// diagonally, a bright block crossing it, different Cb and Cr patterns.
// `scene` switches to an unrelated texture (a scene cut).
void MovingPicture(int width, int height, int t, std::vector<uint8_t>* yuv, int scene = 0);

// Peak signal-to-noise ratio in dB of two planes of equal size.
double PsnrDb(const uint8_t* a, const uint8_t* b, size_t n);

}  // namespace h264kit
