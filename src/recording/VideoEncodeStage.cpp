#include "recording/VideoEncodeStage.h"

#include <cstdio>
#include <mutex>

#include "core/DR_common.h"
#include "platform/Board.h"

namespace diviv::vce {

int VideoEncodeStage::Open(const EncodeSettings& s) {
    if (s.mode > kEncModeAvc) {
        std::printf("Unknown Enc mode\n");
        return -1;
    }
    std::printf("VCE : EncOp : size= %dx%d %d[fps]  %d[kbps]\n", s.width, s.height, s.frame_rate, s.bit_rate_kbps);
    // This encoder codes H.264 only; MPEG-4 and H.263 were the board codec's.
    if (s.mode != kEncModeAvc) {
        std::printf("Encoder: Invalid codec standard mode \n");
        return -1;
    }
    VideoEncoderParams params;
    params.width = s.width;
    params.height = s.height;
    params.frame_rate = s.frame_rate;
    params.bit_rate_kbps = s.bit_rate_kbps;
    params.gop = s.gop;
    int rc = kEncErrNotOpen;
    {
        std::lock_guard lock(dr_->codec_mutex);
        enc_ = TheBoard().OpenVideoEncoder();
        if (enc_) rc = enc_->Open(params);
    }
    if (rc != 0) {
        std::printf("vpu_EncOpen failed. Error code is %d \n", rc);
        enc_.reset();
        dr_->HW_Error = 1;
        DR_SYSLOG(DR_ERR_FATAL, "Failure of opening the device.", 0);
        return -1;
    }
    source_.assign(static_cast<size_t>(s.width) * s.height * 3 / 2, 0);
    dr_->enc_info.handle = enc_.get();
    return 0;
}

int VideoEncodeStage::PutHeaders(VideoStreamOutput& out) {
    // The encoder's header bytes are valid only until its next call: copies
    // are written once the codec is free again.
    std::vector<uint8_t> sps, pps;
    int rc;
    {
        std::lock_guard lock(dr_->codec_mutex);
        std::span<const uint8_t> unit;
        rc = enc_->PutHeader(HeaderType::kSps, &unit);
        if (rc == 0) {
            sps.assign(unit.begin(), unit.end());
            rc = enc_->PutHeader(HeaderType::kPps, &unit);
            if (rc == 0) pps.assign(unit.begin(), unit.end());
        }
    }
    if (rc != 0) {
        std::printf("vpu_EncGiveCommand ( ENC_PUT_AVC_HEADER ) failed. Error code is %d \n", rc);
        dr_->HW_Error = 1;
        DR_SYSLOG(DR_ERR_FATAL, "Failure of VPU access.", 0);
        return -1;
    }
    if (!headers_parsed_) {
        headers_parsed_ = true;
        if (!out.SetParameterSets(sps, pps)) {
            std::printf("VCE : stream headers not understood: oversized pictures are kept\n");
        }
    }
    int w = ProcessVBS(out, sps.data(), static_cast<int>(sps.size()), kPicTypeSps);
    if (w < 0) return w;
    w = ProcessVBS(out, pps.data(), static_cast<int>(pps.size()), kPicTypePps);
    return w < 0 ? w : 0;
}

int VideoEncodeStage::Encode(bool force_i_picture, EncodedPicture* pic) {
    int rc;
    {
        std::lock_guard lock(dr_->codec_mutex);
        rc = enc_->Encode(source_, force_i_picture, pic);
    }
    if (rc != 0) {
        std::printf("vpu_EncStartOneFrame failed. Error code is %d \n", rc);
        return -1;
    }
    if (pic->bytes.size() > kBitstreamBufferSize) {
        // The picture would not fit the bitstream buffer the writer's
        // records are sized for; it is not written.
        std::printf("VCE : vpu_EncGetOutputInfo failed. Error code is %d >>> System Reboot\n", kEncErrCodec);
        DR_SYSLOG(DR_ERR_FATAL, "Failure of encoding.", 1);
        return -1;
    }
    return 0;
}

void VideoEncodeStage::Close() {
    if (!enc_) return;
    std::printf("VCE : vpu_EncClose()\n");
    {
        std::lock_guard lock(dr_->codec_mutex);
        // A picture still held by the encoder is fetched and dropped: the
        // recording has ended.
        enc_->Close();
        enc_.reset();
    }
    std::printf("VCE : FrameBufferFree() IOFree()\n");
    source_.clear();
    source_.shrink_to_fit();
    dr_->enc_info.handle = nullptr;
}

}  // namespace diviv::vce
