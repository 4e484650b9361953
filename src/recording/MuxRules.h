// The recording writer's pure rules: how many pictures a file holds, when a
// file ends, the audio packet cycle, when a sensor record is written, held
// for a later picture or skipped, and the text records of the binary stream.
// No buffers, no threads: the writer's other modules apply these.
#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "core/DR_shared.h"

namespace diviv::mux {

// Picture limit of a file: record_seconds x enc_fps (integer part); with a
// GOP above 1, at least one GOP and rounded up to a whole number of GOPs.
int PictureLimit(int record_seconds, float enc_fps, uint32_t gop);

// A file ends once its video time has reached the record time on a GOP
// boundary (so the next file starts with a key picture), or once it holds
// its picture limit.
bool FileEnds(uint32_t video_pts_ms, int record_seconds, int frame_count, uint32_t gop, int picture_limit);

// Presentation time in ms of a picture on the 30 Hz capture grid, counted
// from the file's first key picture.
uint32_t VideoPts(uint32_t frame_time, uint32_t first_frame_time);

// Audio packets cycle 132, 132, 136 bytes: three packets are 400 bytes, one
// time-stamped block of 100 ms. `position` is the packet's place in the cycle.
int AudioPacketBytes(int position);
// Play time of a packet in ms (33, 33, 34): 4 bytes of G.726 per ms.
uint32_t AudioPacketMs(int bytes);
inline constexpr int kAudioPacketsPerBlock = 3;
inline constexpr int kAudioBlockBytes = 400;

// Packets to drop (positive) or to insert as silence (negative) when a file
// starts, from the picture time minus the audio time in seconds: none within
// 20 ms, else the offset in whole packets (33 ms), rounded.
int AudioAdjustment(double video_minus_audio_s);

// Audio is topped up at file end until this time (ms) before the next
// picture: one packet's time short of it.
uint32_t AudioTopUpEnd(uint32_t next_picture_pts_ms);
// Without a gap, a file's sound is written until within half a packet of
// the next picture, so that it covers the file's last picture.
uint32_t LastPictureSoundEnd(uint32_t next_picture_pts_ms);

// What to do with a sensor record read for the picture just written.
enum class RecordTiming {
    kWrite,    // it belongs to this picture: evaluate and store it
    kHold,     // it belongs to a later picture: keep it until then
    kCatchUp,  // it is too old: read on without storing (contact inputs only)
};

// GPS and pulse records: held when the picture is more than half a frame
// older than the record. picture_minus_record_s = picture time - record time.
RecordTiming PulseOrGpsTiming(double picture_minus_record_s, float enc_fps);
// Contact records: held when the picture is more than a whole frame older;
// skipped when the record is more than 0.1 s older than the picture.
RecordTiming ContactTiming(double picture_minus_record_s, float enc_fps);
// During a catch-up the first record not older than the picture ends it.
inline bool ContactCatchUpEnds(double picture_minus_record_s) { return picture_minus_record_s <= 0; }

// Seconds of a capture time.
double StampSeconds(dr_timeval t);

// Text records of the binary stream (CR LF ended, no NUL).
// "$ID1,<id1>,$ID2,<id2>,$ID3,<id3>,$ID4,<id4>" (57 bytes).
std::string IdRecord(const uint8_t (&id1)[8], const uint8_t (&id2)[8], const uint8_t (&id3)[8],
                     const uint8_t (&id4)[8]);
std::string SpeedPulseRecord(uint32_t count_gpt1);   // "$SPCNT,%08d" (17 bytes)
std::string EnginePulseRecord(uint32_t count_gpt2);  // "$ENCNT,%08d" (17 bytes)
std::string ContactRecord(uint32_t sigin);           // "$PIN,0000" + bits 3..0 (15 bytes)

}  // namespace diviv::mux
