// The video capture's output side: coded pictures and stream headers into
// vbs_buf, one video_info_t per picture into vinfo_buf, and the substitution
// of oversized P pictures by skip pictures.
//
// A P picture that comes out at least twice as large as its group's I
// picture (from the second P picture of the group on) is replaced, together
// with every later P picture of the group, by a picture in which every
// macroblock is skipped: the decoder shows the previous picture again until
// the next I picture. The skip picture is generated for the stream's own
// parameter sets (set once its headers are known).
#pragma once

#include <cstdint>
#include <span>

#include "core/DR_shared.h"
#include "formats/H264Syntax.h"
#include "platform/Clock.h"
#include "recording/VideoInfo.h"

namespace diviv::vce {

// The substitution rule of one group of pictures.
struct FrameSkipRule {
    int32_t intra_size = 0;  // bytes of the group's I picture
    bool skipping = false;   // substitution is on until the next I picture

    // fnum: the picture's number in its group (0 for the I picture, which
    // records its size `ds` and ends any substitution). Returns 1 when the
    // picture is to be substituted: substitution is already on, or fnum >= 2
    // and ds >= 2 * the group's I size (which switches it on).
    int CheckFrameSkip(int fnum, int ds);
};

// State of the output side; one per capture thread.
struct VideoStreamOutput {
    explicit VideoStreamOutput(dr_common_t* shared) : dr(shared) {}

    // Parameter sets of the stream, for the skip pictures. Returns false (no
    // substitution will take place) when they cannot be read.
    bool SetParameterSets(std::span<const uint8_t> sps_nal, std::span<const uint8_t> pps_nal);

    dr_common_t* dr;
    int32_t nBSBufferDataLen = 0;  // header bytes written since the last video_info_t
    int32_t nBSWriteCount = 0;     // writes to vbs_buf
    int32_t SkippedFrames = 0;     // substituted pictures since the last statistics line
    uint32_t nFrameTime = 0;       // frame number of the picture being encoded
    dr_timeval frame_time{};       // its capture time stamp
    uint32_t in_group = 0;         // number of the next picture in its group
    FrameSkipRule skip;
    bool have_parameter_sets = false;
    h264::Sps sps;
    h264::Pps pps;
};

// Writes one encoder output to vbs_buf: a stream header (PicType of
// kPicTypeHeaderFirst or more; its bytes count into the next picture's
// DataLength) or a picture (0 I, 1 P), followed for a picture by its
// video_info_t. Waits (30 ms polls) for room for the record until
// REQ_VCE_CLOSE or REQ_CLOSE. A vbs_buf without room for `size` bytes is
// reported and logged with the reboot request, and nothing is written.
// Returns the bytes written (0 when refused), or -1 once REQ_VE_CLOSE is set.
int ProcessVBS(VideoStreamOutput& out, const uint8_t* targetAddr, int size, uint32_t PicType);

}  // namespace diviv::vce
