#include "recording/MuxVideo.h"

#include <algorithm>
#include <cstdio>

#include "core/DR_common.h"
#include "formats/AsfCrypt.h"
#include "recording/MuxRules.h"

namespace diviv::mux {

namespace {

constexpr uint32_t kNoRecordWaitUs = 200000;
constexpr uint32_t kBytesRetryUs = 10000;
constexpr uint32_t kReadAheadRetryUs = 30000;

// Reads one description from vinfo_buf; false when none is whole there.
bool ReadDescription(MuxState& s) {
    if (DR_GetRingBufferReadAvailable(&s.dr->vinfo_buf) < kVideoInfoRecordSize) return false;
    DR_ReadRingBuffer(&s.dr->vinfo_buf, &s.picture, kVideoInfoRecordSize);
    s.CurrentFrameTime = s.picture.CaptureTime;
    return true;
}

// Drops `length` bytes of vbs_buf, waiting for them as the capture writes a
// picture's bytes before its description.
void DropBytes(MuxState& s, uint32_t length) {
    while (length > 0 && !s.closing()) {
        const int n = DR_ReadRingBuffer(&s.dr->vbs_buf, s.video_buf.data(),
                                        static_cast<int>(std::min<size_t>(length, s.video_buf.size())));
        length -= static_cast<uint32_t>(n);
        if (n == 0) dr_usleep(kBytesRetryUs);
    }
}

}  // namespace

PictureRead ReadPictureInfo(MuxState& s) {
    if (s.ContinuouesEncoding) {
        s.ContinuouesEncoding = false;
        if (s.picture.KeyFrame != 0 && s.GetFirstKeyFrame) {
            s.DFrameNum = s.picture.FrameTime;
            s.GetFirstKeyFrame = false;
            std::printf("AM : ContinuouesEncoding DFrameNum=%d\n", static_cast<int>(s.DFrameNum));
        }
    } else if (!ReadDescription(s)) {
        dr_usleep(kNoRecordWaitUs);
        ++s.dr->AM_VEQ_R_wait;
        return PictureRead::kNone;
    }
    if (s.GetFirstKeyFrame) {
        if (s.picture.KeyFrame == 0) {
            DropBytes(s, s.picture.DataLength);
            return PictureRead::kDropped;
        }
        s.DFrameNum = s.picture.FrameTime;
        s.GetFirstKeyFrame = false;
    }
    s.dwVPTS = VideoPts(s.picture.FrameTime, s.DFrameNum);
    return PictureRead::kReady;
}

int ReadPictureBytes(MuxState& s) {
    const int length = static_cast<int>(s.picture.DataLength);
    const int there = DR_GetRingBufferReadAvailable(&s.dr->vbs_buf);
    if (length < 0 || there < length) {
        std::printf("AM : Error Can not get Video BS : read_size=%d data_len=%d\n", there, length);
        return -1;
    }
    DR_ReadRingBuffer(&s.dr->vbs_buf, s.video_buf.data(), length);
    s.dr->SizeOfASF += length;
    return length;
}

bool TakePictureBytes(MuxState& s) {
    // A description claiming more than the picture buffer holds cannot be
    // stored: its bytes are dropped so the next picture still lines up.
    if (s.picture.DataLength > s.video_buf.size()) {
        std::printf("AM : Error Can not get Video BS : read_size=%d data_len=%u\n",
                    static_cast<int>(s.video_buf.size()), s.picture.DataLength);
        DropBytes(s, s.picture.DataLength);
        return false;
    }
    for (;;) {
        const int n = ReadPictureBytes(s);
        if (n >= 0) return true;
        std::printf("AM : getVideoData()=%d\n", n);
        if (s.closing()) return false;
        dr_usleep(kBytesRetryUs);
    }
}

void WritePicture(MuxState& s) {
    const bool key = s.picture.KeyFrame != 0;
    const uint8_t* data = s.video_buf.data();
    if (key && s.dr->ASF_Encrypt != 0) {
        CryptData(s.video_buf.data(), s.crypt_buf.data(), s.picture.DataLength, s.dr->pcode_new);
        data = s.crypt_buf.data();
    }
    WriteObject(s, ASF_MUX_DATA_TYPE_VIDEO, data, s.picture.DataLength, s.dwVPTS, key);
    if (!s.video_started) {
        s.video_started = true;
        s.StartVideoTime = StampSeconds(s.CurrentFrameTime);
    }
    ++s.nFrameCount;
}

bool ReadAheadPicture(MuxState& s) {
    std::printf("AM : Amendment for Audio Data (Current VPTS=%u APTS=%u)\n", s.dwVPTS, s.dwAPTS);
    while (!ReadDescription(s)) {
        std::printf("AM : getVideoInfo() returns %d\n", -1);
        if (s.closing()) return false;
        dr_usleep(kReadAheadRetryUs);
    }
    s.ContinuouesEncoding = true;
    return true;
}

}  // namespace diviv::mux
