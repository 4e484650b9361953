// The frame band: what the camera draws must read back, also from a
// damaged picture, and nothing outside the band may change.
#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "sim/FrameBand.h"

using namespace diviv::sim;

namespace {

std::vector<uint8_t> RandomPicture(int w, int h, uint32_t seed) {
    std::vector<uint8_t> p(static_cast<size_t>(w) * h * 3 / 2);
    std::mt19937 rng(seed);
    for (auto& b : p) b = static_cast<uint8_t>(rng());
    return p;
}

// Adds noise of at most +-amplitude to every luma sample, clamped.
void AddNoise(std::vector<uint8_t>& luma_first, int pixels, int amplitude, uint32_t seed) {
    std::mt19937 rng(seed);
    std::uniform_int_distribution<int> d(-amplitude, amplitude);
    for (int i = 0; i < pixels; ++i) luma_first[i] = static_cast<uint8_t>(std::clamp(luma_first[i] + d(rng), 0, 255));
}

}  // namespace

TEST(FrameBand, RoundTripsSequenceAndMarker) {
    const int w = 640, h = 480;
    auto pic = RandomPicture(w, h, 1);
    for (uint32_t seq : {0u, 1u, 2u, 0x80000u, 0x12345u, 0xFFFFFu, 0x100005u, 0xFFFFFFFFu}) {
        for (bool marker : {false, true}) {
            DrawFrameBand(pic.data(), w, h, seq, marker);
            const FrameBandReading r = ReadFrameBand(pic.data(), w, h, w);
            ASSERT_TRUE(r.ok) << seq;
            EXPECT_EQ(r.sequence, seq & kBandSequenceMask) << seq;
            EXPECT_EQ(r.marker, marker) << seq;
        }
    }
}

TEST(FrameBand, LayoutIsTheFixedOne) {
    const int w = 640, h = 480;
    auto pic = RandomPicture(w, h, 2);
    const auto before = pic;
    DrawFrameBand(pic.data(), w, h, 0xA0001, true);  // bits 1010 0000 0000 0000 0001
    auto Y = [&](int x, int y) { return pic[static_cast<size_t>(y) * w + x]; };
    // Cells of 16 x 16, most significant bit first, luma 235 / 16.
    for (int y = h - 16; y < h; ++y) {
        EXPECT_EQ(Y(0, y), 235);
        EXPECT_EQ(Y(15, y), 235);
        EXPECT_EQ(Y(16, y), 16);
        EXPECT_EQ(Y(32, y), 235);
        EXPECT_EQ(Y(48, y), 16);
        EXPECT_EQ(Y(303, y), 16);
        EXPECT_EQ(Y(304, y), 235);  // the last bit
        EXPECT_EQ(Y(319, y), 235);
        EXPECT_EQ(Y(320, y), 235);  // the marker
        EXPECT_EQ(Y(351, y), 235);
    }
    // Chroma 128 under the band's 352 columns.
    const uint8_t* u = pic.data() + w * h;
    const uint8_t* v = u + (w / 2) * (h / 2);
    for (int y = (h - 16) / 2; y < h / 2; ++y) {
        for (int x = 0; x < 176; ++x) {
            ASSERT_EQ(u[y * (w / 2) + x], 128);
            ASSERT_EQ(v[y * (w / 2) + x], 128);
        }
    }
    // Nothing else changed: rows above, columns right of the band, chroma beside it.
    size_t changed_outside = 0;
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            const bool in_band = y >= h - 16 && x < 352;
            if (!in_band && pic[static_cast<size_t>(y) * w + x] != before[static_cast<size_t>(y) * w + x]) ++changed_outside;
        }
    }
    for (int y = 0; y < h / 2; ++y) {
        for (int x = 0; x < w / 2; ++x) {
            const bool in_band = y >= (h - 16) / 2 && x < 176;
            const size_t i = static_cast<size_t>(w) * h + static_cast<size_t>(y) * (w / 2) + x;
            const size_t j = i + static_cast<size_t>(w / 2) * (h / 2);
            if (!in_band && (pic[i] != before[i] || pic[j] != before[j])) ++changed_outside;
        }
    }
    EXPECT_EQ(changed_outside, 0u);
}

TEST(FrameBand, ReadsThroughCodingNoise) {
    const int w = 640, h = 480;
    for (uint32_t seq : {0u, 0x55555u, 0xAAAAAu, 0xFFFFFu, 777u}) {
        auto pic = RandomPicture(w, h, seq);
        DrawFrameBand(pic.data(), w, h, seq, seq & 1);
        AddNoise(pic, w * h, 40, seq + 99);
        const FrameBandReading r = ReadFrameBand(pic.data(), w, h, w);
        ASSERT_TRUE(r.ok) << seq;
        EXPECT_EQ(r.sequence, seq);
        EXPECT_EQ(r.marker, (seq & 1) != 0);
    }
}

TEST(FrameBand, ReadsFromAPaddedPlaneAndTheSmallestPicture) {
    // A decoder's plane: lines longer than the picture.
    const int w = 352, h = 16, stride = 416;
    std::vector<uint8_t> planes(static_cast<size_t>(stride) * h + 2 * (stride / 2) * (h / 2), 77);
    YuvPlanes p{planes.data(), planes.data() + stride * h, planes.data() + stride * h + (stride / 2) * (h / 2),
                w, h, stride, stride / 2};
    DrawFrameBand(p, 0x3C3C3, false);
    const FrameBandReading r = ReadFrameBand(planes.data(), w, h, stride);
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(r.sequence, 0x3C3C3u);
    EXPECT_FALSE(r.marker);
    EXPECT_EQ(planes[static_cast<size_t>(stride) - 1], 77) << "padding beyond the picture is left alone";
}

TEST(FrameBand, RefusesWhatItCannotTrust) {
    const int w = 640, h = 480;
    auto pic = RandomPicture(w, h, 3);
    DrawFrameBand(pic.data(), w, h, 5, false);
    EXPECT_FALSE(ReadFrameBand(pic.data(), 351, h, w).ok) << "narrower than the band";
    EXPECT_FALSE(ReadFrameBand(pic.data(), w, 15, w).ok) << "lower than the band";
    EXPECT_FALSE(ReadFrameBand(nullptr, w, h, w).ok);

    // One cell of mid grey: neither a clear 1 nor a clear 0.
    for (int y = h - 16; y < h; ++y)
        for (int x = 5 * 16; x < 6 * 16; ++x) pic[static_cast<size_t>(y) * w + x] = 128;
    EXPECT_FALSE(ReadFrameBand(pic.data(), w, h, w).ok);
    // A marker of mid grey too.
    DrawFrameBand(pic.data(), w, h, 5, false);
    ASSERT_TRUE(ReadFrameBand(pic.data(), w, h, w).ok);
    for (int y = h - 16; y < h; ++y)
        for (int x = 320; x < 352; ++x) pic[static_cast<size_t>(y) * w + x] = 150;
    EXPECT_FALSE(ReadFrameBand(pic.data(), w, h, w).ok);
    // A picture without a band at all (random bytes) is not read as one.
    auto noise = RandomPicture(w, h, 4);
    EXPECT_FALSE(ReadFrameBand(noise.data(), w, h, w).ok);
}

TEST(FrameBand, DrawsIntoPicturesSmallerThanTheBandWithoutOverrun) {
    // 100 x 10: the band is cut to the picture; the guard bytes stay.
    const int w = 100, h = 10;
    const size_t size = static_cast<size_t>(w) * h * 3 / 2;
    std::vector<uint8_t> buf(size + 64, 0xEE);
    DrawFrameBand(buf.data(), w, h, 0xFFFFF, true);
    for (size_t i = size; i < buf.size(); ++i) ASSERT_EQ(buf[i], 0xEE);
    EXPECT_EQ(buf[0], 235);
}
