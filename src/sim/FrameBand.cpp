#include "sim/FrameBand.h"

#include <algorithm>
#include <cstring>

namespace diviv::sim {

namespace {

// A cell mean at or below this is a clear 0, at or above kClearOne a clear
// 1; in between the picture is too damaged to trust.
constexpr int kClearZero = 80;
constexpr int kClearOne = 176;

// Mean luma of the inner 8 x 8 pixels of a cell starting at column x0 of
// the band (band_top is the band's first row).
int InnerMean(const uint8_t* luma, int stride, int band_top, int x0, int cell_width) {
    const int left = x0 + (cell_width - 8) / 2;
    const int top = band_top + (kBandRows - 8) / 2;
    int sum = 0;
    for (int r = 0; r < 8; ++r) {
        const uint8_t* row = luma + static_cast<long>(top + r) * stride + left;
        for (int c = 0; c < 8; ++c) sum += row[c];
    }
    return sum / 64;
}

}  // namespace

YuvPlanes I420Planes(uint8_t* picture, int width, int height) {
    const int cw = (width + 1) / 2, ch = (height + 1) / 2;
    YuvPlanes p;
    p.y = picture;
    p.u = picture + static_cast<long>(width) * height;
    p.v = p.u + static_cast<long>(cw) * ch;
    p.width = width;
    p.height = height;
    p.y_stride = width;
    p.c_stride = cw;
    return p;
}

void DrawFrameBand(const YuvPlanes& pic, uint32_t frame_sequence, bool second_marker) {
    if (pic.width <= 0 || pic.height <= 0) return;
    const int top = std::max(0, pic.height - kBandRows);
    const int right = std::min(pic.width, kBandWidth);
    const uint32_t seq = frame_sequence & kBandSequenceMask;

    // One row of the band, repeated over its rows.
    uint8_t row[kBandWidth];
    for (int bit = 0; bit < kBandBits; ++bit) {
        const bool one = (seq >> (kBandBits - 1 - bit)) & 1u;
        std::memset(row + bit * kBandCell, one ? kBandOne : kBandZero, kBandCell);
    }
    std::memset(row + kBandMarkerX, second_marker ? kBandOne : kBandZero, kBandMarkerWidth);
    for (int y = top; y < pic.height; ++y) std::memcpy(pic.y + static_cast<long>(y) * pic.y_stride, row, right);

    const int ctop = top / 2, cbottom = (pic.height + 1) / 2, cright = (right + 1) / 2;
    for (int y = ctop; y < cbottom; ++y) {
        std::memset(pic.u + static_cast<long>(y) * pic.c_stride, 128, cright);
        std::memset(pic.v + static_cast<long>(y) * pic.c_stride, 128, cright);
    }
}

void DrawFrameBand(uint8_t* i420, int width, int height, uint32_t frame_sequence, bool second_marker) {
    DrawFrameBand(I420Planes(i420, width, height), frame_sequence, second_marker);
}

FrameBandReading ReadFrameBand(const uint8_t* luma, int width, int height, int stride) {
    FrameBandReading r;
    if (luma == nullptr || width < kBandWidth || height < kBandRows || stride < width) return r;
    const int top = height - kBandRows;
    bool clear = true;
    auto bit_at = [&](int x0, int cell_width) {
        const int mean = InnerMean(luma, stride, top, x0, cell_width);
        if (mean > kClearZero && mean < kClearOne) clear = false;
        return mean > 128;
    };
    for (int bit = 0; bit < kBandBits; ++bit) r.sequence = (r.sequence << 1) | (bit_at(bit * kBandCell, kBandCell) ? 1u : 0u);
    r.marker = bit_at(kBandMarkerX, kBandMarkerWidth);
    r.ok = clear;
    return r;
}

}  // namespace diviv::sim
