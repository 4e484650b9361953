#include "recording/VideoCaptureEncoderThread.h"

#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <optional>

#include "core/DR_common.h"
#include "platform/Board.h"
#include "recording/CaptureFrameClock.h"
#include "recording/RecordingCaptions.h"
#include "recording/V4l2Capture.h"
#include "recording/VideoEncodeStage.h"
#include "recording/VideoStreamOutput.h"

int set_voff() { return diviv::TheBoard().Power().WriteCommand("3\n") < 0 ? -1 : 0; }

namespace diviv::vce {
namespace {

// Poll period of the non-blocking capture device.
constexpr uint32_t kCapturePollUs = 10000;

// The supply power is gone (the power thread cleared PWR_DET_State).
bool PowerIsDown(const dr_common_t* dr) { return dr->PWR_DET_State.load() == 0; }

// The recording's settings: defaults, then what the codec configuration sets.
struct VceSettings {
    CaptureSettings capture;
    EncodeSettings encode;
    double request_rate = 30;  // pictures per second the decimation keeps to
    size_t one_frame_size = 0;
};

VceSettings ReadSettings(const codec_config_t* cfg) {
    VceSettings s;
    if (cfg != nullptr) {
        // A zero size or rate keeps the default rather than give the camera
        // and the encoder an empty picture.
        if (cfg->width != 0 && cfg->height != 0) {
            s.capture.width = static_cast<int>(cfg->width);
            s.capture.height = static_cast<int>(cfg->height);
        }
        const float fps = SharedSetting(cfg->fps);
        if (fps >= 1.0f) s.capture.fps = static_cast<int>(fps);
        s.capture.flipmode = SharedSetting(cfg->flipmode);
        s.capture.mirrormode = SharedSetting(cfg->mirrormode);
        s.encode.mode = cfg->mode;
        s.encode.bit_rate_kbps = SharedSetting(cfg->bps);
        s.encode.gop = static_cast<int>(SharedSetting(cfg->gop));
        s.request_rate = SharedSetting(cfg->enc_fps);
    }
    s.encode.width = s.capture.width;
    s.encode.height = s.capture.height;
    s.encode.frame_rate = s.capture.fps;
    s.one_frame_size = static_cast<size_t>(s.capture.width) * 3 * s.capture.height / 2;
    return s;
}

class VideoCaptureEncoder {
public:
    explicit VideoCaptureEncoder(dr_common_t* dr)
        : dr_(dr), s_(ReadSettings(dr->pCodecCfg)), capture_(dr, s_.capture), encoder_(dr), out_(dr) {}

    void Run() {
        if (StartUp()) Loop();
        Shutdown();
    }

    int32_t captured() const { return clock_.nCapNum; }
    int32_t encoded() const { return encoded_; }

private:
    bool StartUp();
    void Loop();
    int CaptureOneFrame();
    void copy_cap_image(const v4l2_buffer& buf, int32_t FrameNum);
    void Shutdown();

    dr_common_t* dr_;
    VceSettings s_;
    V4l2Capture capture_;
    std::optional<RecordingCaptions> captions_;
    VideoEncodeStage encoder_;
    VideoStreamOutput out_;
    CaptureFrameClock clock_;
    dr_timeval frame_time_{};  // time stamp of the current frame
    int32_t nFrameCount = 0;   // frames copied to the encoder
    int32_t encoded_ = 0;      // pictures handed to the writer
    bool EncStarted = false;   // EncodeStart has been raised
    bool voff_done_ = false;   // the video power was switched off in the loop
};

bool VideoCaptureEncoder::StartUp() {
    if (capture_.Open() < 0 || capture_.Init() < 0) return false;
    capture_.SetupOverlay();
    captions_.emplace(s_.capture.width, s_.capture.height, SharedSetting(dr_->CAM_MODE));
    if (encoder_.Open(s_.encode) < 0) return false;
    if (encoder_.PutHeaders(out_) < 0) return false;
    if (capture_.StartCapturing() < 0) return false;
    std::printf("VCE : Start Video Encoding [vbs:%ld]\n",
                static_cast<long>(DR_GetRingBufferWriteAvailable(&dr_->vbs_buf)));
    return true;
}

void VideoCaptureEncoder::copy_cap_image(const v4l2_buffer& buf, int32_t FrameNum) {
    std::span<uint8_t> dst = encoder_.source_frame();
    const size_t n = std::min({s_.one_frame_size, dst.size(), capture_.Length(buf.index)});
    std::memcpy(dst.data(), capture_.Data(buf.index), n);
    ++nFrameCount;
    out_.nFrameTime = static_cast<uint32_t>(FrameNum);
    dr_->CaptureStart = 1;
    if (!EncStarted && FrameNum >= 2) {
        EncStarted = true;
        dr_->EncodeStart = 1;
        std::printf("VCE : Set EncodeStart=1\n");
    }
}

// Polls the camera until a frame is taken (1) or the close is requested (0).
int VideoCaptureEncoder::CaptureOneFrame() {
    while (dr_->REQ_VCE_CLOSE.load() == 0) {
        v4l2_buffer buf{};
        if (capture_.Dequeue(&buf) < 0) {
            dr_usleep(kCapturePollUs);
            continue;
        }
        const dr_timeval stamp{static_cast<int32_t>(buf.timestamp.tv_sec),
                               static_cast<int32_t>(buf.timestamp.tv_usec)};
        const FrameNumbering f = CalcCapFrameNumAndRate(clock_, stamp, s_.request_rate);
        if (f.first) {
            std::printf("VCE : Video Capture Start [%10.03f]\n", StampSeconds(stamp));
            dr_->RecStartTime = stamp;
        }
        if (f.past) std::printf("VCE : WARNING :: Illegal Frame Order : The captured frame is past time !\n");
        frame_time_ = stamp;
        if (f.bumped) std::printf("VCE : Same Frame Number at %d  -> Add 1\n", f.computed);
        if (f.statistics) {
            const std::string line =
                StatisticsLine(f, clock_, s_.request_rate, s_.request_rate, stamp, out_.SkippedFrames);
            std::printf("%s\n", line.c_str());
            out_.SkippedFrames = 0;
        }
        // The frame is copied before its buffer goes back to the driver,
        // which may fill it again at once.
        if (f.take) copy_cap_image(buf, f.number);
        capture_.Requeue(buf);
        if (f.take) {
            out_.frame_time = stamp;
            return 1;
        }
        CountFrame(clock_, false);
        dr_usleep(kCapturePollUs);
    }
    return 0;
}

void VideoCaptureEncoder::Loop() {
    // A GOP of 0 would divide by zero; it means an I picture every picture.
    const int gop = std::max(s_.encode.gop, 1);
    for (;;) {
        if (dr_->REQ_VE_CLOSE.load() != 0) break;
        const bool force_i = encoded_ % gop == 0;
        if (force_i && encoder_.PutHeaders(out_) < 0) break;
        dr_->EncodeStartReady = 1;
        if (PowerIsDown(dr_)) {
            std::printf("VCE : Detect Power Down -> Set V_OFF\n");
            std::fflush(stdout);
            set_voff();
            voff_done_ = true;
            break;
        }
        CaptureOneFrame();
        CountFrame(clock_, true);
        if (dr_->REQ_VCE_CLOSE.load() != 0) break;

        captions_->Set_OSDInfo(encoder_.source_frame().data(), *dr_, frame_time_.tv_sec);

        EncodedPicture pic;
        if (encoder_.Encode(force_i, &pic) < 0) break;
        if (pic.bytes.empty()) continue;  // held back by the encoder: nothing to write yet
        const int rc = ProcessVBS(out_, pic.bytes.data(), static_cast<int>(pic.bytes.size()),
                                  static_cast<uint32_t>(pic.type));
        if (rc < 0) break;
        ++encoded_;
    }
}

void VideoCaptureEncoder::Shutdown() {
    if (!voff_done_ && PowerIsDown(dr_)) {
        std::printf("VCE : Detect Power Down -> Set V_OFF\n");
        std::fflush(stdout);
        set_voff();
    }
    encoder_.Close();
    if (captions_) {
        captions_.reset();
        std::printf("VCE : OSD DEINIT DONE ! \n");
    }
    capture_.Close();
}

}  // namespace
}  // namespace diviv::vce

void VideoCaptureEncoderThread(dr_common_t* dr) {
    std::printf("VEC : Video Capture Encoder Thread Start [ppid=%d tid=%ld] ###\n", static_cast<int>(getppid()),
                static_cast<long>(syscall(SYS_gettid)));
    int32_t captured = 0;
    int32_t encoded = 0;
    {
        diviv::vce::VideoCaptureEncoder vce(dr);
        vce.Run();
        captured = vce.captured();
        encoded = vce.encoded();
    }
    std::printf("VCE : Video Capture Encoder Thread End [Capture %d frames : Encode %d frames]\n", captured, encoded);
    std::fflush(stdout);
    dr->VCE_ALIVE = 0;
}
