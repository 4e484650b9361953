// One picture of a recording as an image a web page can hold: a key picture
// (SPS, PPS and IDR, already descrambled) decoded with libavcodec, turned to
// RGB and written as PNG, and the PNG as a data: URI.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace media {

struct StillImage {
    int width = 0, height = 0;
    std::vector<uint8_t> png;
};

// False with a one-line reason when the picture does not decode.
bool DecodeStill(const std::vector<uint8_t>& keyPicture, StillImage& still, std::string& error);

// "data:image/png;base64,…"
std::string PngDataUri(const std::vector<uint8_t>& png);

}  // namespace media
