#include "recording/MuxRules.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace diviv::mux {

int PictureLimit(int record_seconds, float enc_fps, uint32_t gop) {
    int n = static_cast<int>(static_cast<float>(record_seconds) * enc_fps);
    const int g = static_cast<int>(gop);
    if (g > 1) {
        if (n < g) return g;
        n = (n + g - 1) / g * g;
    }
    return n;
}

bool FileEnds(uint32_t video_pts_ms, int record_seconds, int frame_count, uint32_t gop, int picture_limit) {
    const uint32_t g = gop == 0 ? 1 : gop;
    if (static_cast<int64_t>(video_pts_ms) >= static_cast<int64_t>(record_seconds) * 1000 &&
        static_cast<uint32_t>(frame_count) % g == 0)
        return true;
    return frame_count >= picture_limit;
}

uint32_t VideoPts(uint32_t frame_time, uint32_t first_frame_time) {
    return static_cast<uint32_t>(static_cast<uint64_t>(frame_time - first_frame_time) * 1000 / 30);
}

int AudioPacketBytes(int position) { return position % kAudioPacketsPerBlock == 2 ? 136 : 132; }

uint32_t AudioPacketMs(int bytes) { return static_cast<uint32_t>(bytes / 4); }

int AudioAdjustment(double video_minus_audio_s) {
    // A packet is a third of a 100 ms block; the offset is corrected to the
    // nearest packet, leaving at most half a packet (17 ms). Offsets within
    // 20 ms are left alone, a margin over that half packet so that the
    // stamps' jitter never makes files start with a packet dropped, then
    // one inserted. (A fixed three packets beyond 100 ms would leave the
    // sound up to 100 ms off the pictures for good, or more after a gap.)
    constexpr double kPacketSeconds = 0.1 / kAudioPacketsPerBlock;
    constexpr double kLeftAloneSeconds = 0.020;
    if (std::fabs(video_minus_audio_s) <= kLeftAloneSeconds) return 0;
    return static_cast<int>(std::lround(video_minus_audio_s / kPacketSeconds));
}

uint32_t AudioTopUpEnd(uint32_t next_picture_pts_ms) {
    const uint32_t before = next_picture_pts_ms % 100 == 0 ? 34 : 33;
    return next_picture_pts_ms > before ? next_picture_pts_ms - before : 0;
}

uint32_t LastPictureSoundEnd(uint32_t next_picture_pts_ms) {
    constexpr uint32_t kHalfPacketMs = 16;
    return next_picture_pts_ms > kHalfPacketMs ? next_picture_pts_ms - kHalfPacketMs : 0;
}

RecordTiming PulseOrGpsTiming(double picture_minus_record_s, float enc_fps) {
    return picture_minus_record_s < -0.5 / enc_fps ? RecordTiming::kHold : RecordTiming::kWrite;
}

RecordTiming ContactTiming(double picture_minus_record_s, float enc_fps) {
    if (picture_minus_record_s < -1.0 / enc_fps) return RecordTiming::kHold;
    if (picture_minus_record_s > 0.1) return RecordTiming::kCatchUp;
    return RecordTiming::kWrite;
}

double StampSeconds(dr_timeval t) { return t.tv_sec + t.tv_usec / 1e6; }

namespace {

std::string Field(const uint8_t (&id)[8]) { return std::string(reinterpret_cast<const char*>(id), 8); }

std::string Printf(const char* format, auto... values) {
    char buf[64];
    const int n = std::snprintf(buf, sizeof buf, format, values...);
    return std::string(buf, static_cast<size_t>(std::clamp(n, 0, static_cast<int>(sizeof buf) - 1)));
}

}  // namespace

std::string IdRecord(const uint8_t (&id1)[8], const uint8_t (&id2)[8], const uint8_t (&id3)[8],
                     const uint8_t (&id4)[8]) {
    return "$ID1," + Field(id1) + ",$ID2," + Field(id2) + ",$ID3," + Field(id3) + ",$ID4," + Field(id4) + "\r\n";
}

std::string SpeedPulseRecord(uint32_t count_gpt1) {
    return Printf("$SPCNT,%08d\r\n", static_cast<int>(count_gpt1));
}

std::string EnginePulseRecord(uint32_t count_gpt2) {
    return Printf("$ENCNT,%08d\r\n", static_cast<int>(count_gpt2));
}

std::string ContactRecord(uint32_t sigin) {
    std::string s = "$PIN,0000";
    for (int bit = 3; bit >= 0; --bit) s += ((sigin >> bit) & 1u) ? '1' : '0';
    return s + "\r\n";
}

}  // namespace diviv::mux
