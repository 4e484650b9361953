#include "recording/VideoStreamOutput.h"

#include <array>
#include <cstdio>

#include "core/DR_common.h"

namespace diviv::vce {

int FrameSkipRule::CheckFrameSkip(int fnum, int ds) {
    if (fnum == 0) {
        intra_size = ds;
        skipping = false;
        return 0;
    }
    if (skipping) return 1;
    // The first P picture of a group is never substituted.
    if (fnum >= 2 && static_cast<int64_t>(ds) >= 2 * static_cast<int64_t>(intra_size)) {
        skipping = true;
        return 1;
    }
    return 0;
}

bool VideoStreamOutput::SetParameterSets(std::span<const uint8_t> sps_nal, std::span<const uint8_t> pps_nal) {
    have_parameter_sets = h264::ParseSps(sps_nal, &sps) == h264::kOk && h264::ParsePps(pps_nal, &pps) == h264::kOk;
    return have_parameter_sets;
}

namespace {

int Closing(const VideoStreamOutput& out, int result) { return out.dr->REQ_VE_CLOSE.load() != 0 ? -1 : result; }

// Hands the picture's record to the writer, waiting for room while no close
// is requested. The bytes are already in vbs_buf, so a reader that sees the
// record finds them; a picture coded as the close arrives is still handed
// over when there is room, not left in vbs_buf without its record.
void WriteVideoInfo(VideoStreamOutput& out, const video_info_t& info) {
    dr_common_t* dr = out.dr;
    for (;;) {
        if (DR_GetRingBufferWriteAvailable(&dr->vinfo_buf) >= static_cast<int>(sizeof info)) {
            DR_WriteRingBuffer(&dr->vinfo_buf, &info, sizeof info);
            out.nBSBufferDataLen = 0;
            return;
        }
        if (dr->REQ_VCE_CLOSE.load() != 0 || dr->REQ_CLOSE.load() != 0) return;
        dr_usleep(30000);
    }
}

}  // namespace

int ProcessVBS(VideoStreamOutput& out, const uint8_t* targetAddr, int size, uint32_t PicType) {
    dr_common_t* dr = out.dr;
    if (size < 0 || (size > 0 && targetAddr == nullptr)) return Closing(out, 0);
    const int room = DR_GetRingBufferWriteAvailable(&dr->vbs_buf);
    if (room < size) {
        std::printf("VCE : Error : Available write data length for VBS is %d [need %d]\n", room, size);
        DR_SYSLOG(DR_ERR_FATAL, "Failure of writing to buffer.", 1);
        return Closing(out, 0);
    }

    if (PicType >= kPicTypeHeaderFirst) {
        const int n = DR_WriteRingBuffer(&dr->vbs_buf, targetAddr, size);
        out.nBSBufferDataLen += n;
        ++out.nBSWriteCount;
        return n;
    }

    video_info_t info{};
    int written = 0;
    if (PicType == kPicTypeI) {
        out.skip.CheckFrameSkip(0, size);
        out.in_group = 0;
        written = DR_WriteRingBuffer(&dr->vbs_buf, targetAddr, size);
        info.KeyFrame = 1;
    } else {
        std::array<uint8_t, h264::kMaxSkipSliceBytes> skip{};
        int skip_len = -1;
        if (out.skip.CheckFrameSkip(static_cast<int>(out.in_group), size) != 0 && out.have_parameter_sets) {
            skip_len = h264::MakeSkipSlice(out.sps, out.pps, out.in_group, skip);
        }
        // A stream the skip slice cannot serve keeps its own picture: a
        // large picture is better than one the decoder cannot use.
        if (skip_len > 0) {
            written = DR_WriteRingBuffer(&dr->vbs_buf, skip.data(), skip_len);
            ++out.SkippedFrames;
        } else {
            written = DR_WriteRingBuffer(&dr->vbs_buf, targetAddr, size);
        }
        info.KeyFrame = 0;
    }
    ++out.in_group;

    info.DataLength = static_cast<uint32_t>(written + out.nBSBufferDataLen);
    info.FrameTime = out.nFrameTime;
    info.Reserved = 0;
    info.CaptureTime = out.frame_time;
    WriteVideoInfo(out, info);
    ++out.nBSWriteCount;
    return Closing(out, written);
}

}  // namespace diviv::vce
