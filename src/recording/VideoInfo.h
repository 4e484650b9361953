// The per-picture record the video capture hands to the recording writer
// through vinfo_buf, one for every coded picture written to vbs_buf.
#pragma once

#include <cstdint>

#include "core/DR_shared.h"
#include "platform/Clock.h"

struct video_info_t {
    uint32_t KeyFrame;     // 1: I picture; 0: P picture (also a substituted skip picture)
    uint32_t DataLength;   // bytes in vbs_buf for this picture, stream headers before it included
    uint32_t FrameTime;    // capture frame number on the 30 Hz grid
    uint32_t Reserved;     // always 0
    dr_timeval CaptureTime;  // the driver's time stamp of the captured frame
};
static_assert(sizeof(video_info_t) == kVideoInfoRecordSize);

// Codes of a coded unit handed to ProcessVBS: pictures are 0 (I) and 1 (P);
// every value from kPicTypeHeaderFirst on is a stream header.
inline constexpr uint32_t kPicTypeI = 0;
inline constexpr uint32_t kPicTypeP = 1;
inline constexpr uint32_t kPicTypeHeaderFirst = 0x10000000u;
inline constexpr uint32_t kPicTypeSps = 0xF0000001u;  // also the MPEG-4 VOS header
inline constexpr uint32_t kPicTypePps = 0xF0000002u;  // also the MPEG-4 VIS header
inline constexpr uint32_t kPicTypeVol = 0xF0000003u;  // MPEG-4 VOL header
