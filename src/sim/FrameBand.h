// The frame band: a small machine-readable strip the simulated camera draws
// into every picture, so a recording can be checked from outside (numbers
// read back from the decoded pictures: none lost, none duplicated).
//
// Layout, fixed so that programs outside the project can read it too:
// - the bottom 16 rows of the picture, drawn last (after quad composition,
//   flip and mirror, so it always reads the same way);
// - columns 0..319: twenty cells of 16 x 16 pixels holding the frame
//   sequence number modulo 2^20, most significant bit first; luma 235 for a
//   1, 16 for a 0;
// - columns 320..351: the second marker, luma 235 on the first frame
//   captured at or after each whole second of the capture clock, else 16;
// - chroma 128 throughout columns 0..351 of those rows.
// A cell reads as 1 when the mean luma of its inner 8 x 8 pixels is above
// 128. The cells sit on the 16 x 16 macroblock grid of a picture whose
// height is a multiple of 16, so an encoder codes each cell as one block.
#pragma once

#include <cstdint>

namespace diviv::sim {

inline constexpr int kBandRows = 16;
inline constexpr int kBandCell = 16;         // cell width and height
inline constexpr int kBandBits = 20;         // sequence bits
inline constexpr int kBandMarkerX = 320;     // first column of the marker
inline constexpr int kBandMarkerWidth = 32;
inline constexpr int kBandWidth = 352;       // columns the band covers
inline constexpr uint32_t kBandSequenceMask = (1u << kBandBits) - 1;
inline constexpr uint8_t kBandOne = 235;
inline constexpr uint8_t kBandZero = 16;

// One planar YUV 4:2:0 picture in memory: chroma planes are
// ceil(width / 2) x ceil(height / 2).
struct YuvPlanes {
    uint8_t* y = nullptr;
    uint8_t* u = nullptr;
    uint8_t* v = nullptr;
    int width = 0;
    int height = 0;
    int y_stride = 0;
    int c_stride = 0;
};

// The planes of a contiguous I420 ("YU12") picture: Y, then U, then V, each
// without padding.
YuvPlanes I420Planes(uint8_t* picture, int width, int height);

// Draws the band into the picture. Parts outside a picture smaller than the
// band are left out (such a band does not read back).
void DrawFrameBand(const YuvPlanes& picture, uint32_t frame_sequence, bool second_marker);
void DrawFrameBand(uint8_t* i420, int width, int height, uint32_t frame_sequence, bool second_marker);

struct FrameBandReading {
    uint32_t sequence = 0;  // modulo 2^20
    bool marker = false;
    bool ok = false;  // false: picture too small, or a cell neither clearly 1 nor 0
};

// Reads the band back from a luma plane (stride in bytes). A cell whose mean
// lies between 80 and 176 is ambiguous and makes the reading not ok.
FrameBandReading ReadFrameBand(const uint8_t* luma, int width, int height, int stride);

}  // namespace diviv::sim
