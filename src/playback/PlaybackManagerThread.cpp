#include "playback/PlaybackManagerThread.h"

#include <sched.h>
#include <sys/time.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "core/DR_common.h"
#include "osd/MediaInfo.h"
#include "osd/font.h"
#include "osd/osd.h"
#include "playback/DisplayOutput.h"

namespace diviv::playback {
namespace {

using display::DisplayGeometry;
using display::DisplayUser;

constexpr uint32_t kFlagPollUs = 50000;      // waits for the decoder's flags
constexpr uint32_t kPictureWaitUs = 10000;   // wait for a picture in rv_buf
constexpr uint32_t kPtsWaitUs = 1000;        // wait for a presentation time
constexpr int kPtsBytes = 4;

// GetElapsedUTime: microseconds since the last reset, whole seconds not
// counted; -1 when the clock fails.
long GetElapsedUTime(int reset) {
    static thread_local timeval mark{};
    timeval now{};
    if (gettimeofday(&now, nullptr) != 0) {
        std::printf("failed to gettimeofday\n");
        return -1;
    }
    if (reset != 0) {
        mark = now;
        return 0;
    }
    long us = now.tv_usec - mark.tv_usec;
    if (us < 0) us += 1000000;
    return us;
}

bool Later(const timeval& a, const timeval& b) {
    return a.tv_sec > b.tv_sec || (a.tv_sec == b.tv_sec && a.tv_usec > b.tv_usec);
}

struct CaptionCloser {
    void operator()(osd_session* s) const { osd_deinit(s); }
};

class PlaybackManager {
public:
    explicit PlaybackManager(dr_common_t* dr) : dr_(dr), fb_(DisplayUser::kPlayback), out_(DisplayUser::kPlayback) {}

    void Run();

private:
    bool WaitForPictureSize();
    void SetupCaption();
    bool WaitForPlaybackStart();
    int DisplayLoop();
    bool WaitForPicture();
    void HoldLastPicture();
    bool ReadPts(int32_t* pts);
    timeval Pace(int32_t pts);
    void End();

    bool CloseRequested() const { return dr_->REQ_PM_CLOSE.load() != 0 || dr_->REQ_CLOSE.load() != 0; }
    void PrintEnd() const {
        std::printf("PM : Found end of decode err=%d g_frame_size=%d REQ_CLODE=%d\n", err_,
                    static_cast<int>(out_.frame_size()), dr_->REQ_CLOSE.load());
    }

    dr_common_t* dr_;
    display::Framebuffer fb_;
    display::VideoOutput out_;
    DisplayGeometry g_;
    std::unique_ptr<osd_session, CaptionCloser> osd_;
    char osd_str_[80] = {};
    int width_ = 0, height_ = 0;
    int one_frame_size_ = 0;
    int frames_ = 0;
    int err_ = 0;
    int32_t prev_pts_ = 0;
    long prev_spacing_us_ = 0;
    int takes_ = 0;       // buffers taken for pictures
    int queued_ = 0;      // pictures queued to the driver
    int taken_back_ = 0;  // buffers the driver gave back
    timeval prev_show_{};
};

void PlaybackManager::Run() {
    if (!WaitForPictureSize()) {
        End();
        return;
    }
    SetupCaption();
    g_ = display::GeometryFor(width_, height_, dr_->DispSize.load());
    std::printf("PM : Playback Image %d x %d \n", width_, height_);
    if (fb_.Setup(&g_) < 0) {
        DR_SYSLOG(DR_ERR_FATAL, "Failure of device initialization.", 0);
        End();
        return;
    }
    if (out_.Open() < 0) {
        DR_SYSLOG(DR_ERR_FATAL, "Failure of opening the device.", 0);
        std::printf("PM : Close Playback Manager Thread \n");
        fb_.Close();
        dr_->REQ_CLOSE = 1;
        dr_->PM_ALIVE = 0;
        return;
    }
    v4l2_format fmt = display::VideoOutput::FormatFor(g_);
    if (out_.Configure(g_) < 0 || out_.SetupFormat(&fmt) < 0 || !WaitForPlaybackStart()) {
        End();
        return;
    }
    const int time_per_frame = dr_->asfinfo != nullptr ? dr_->asfinfo->TimeParFrame : 0;
    std::printf("PM : TimePerFrame=%d g_frame_period=%d\n", time_per_frame, time_per_frame * 1000);
    std::printf("PM : Start Playback\n");
    DisplayLoop();
    End();
}

// Step 1.
bool PlaybackManager::WaitForPictureSize() {
    while (dr_->DecodeInfoReady.load() == 0) {
        if (dr_->REQ_PM_CLOSE.load() != 0) return false;
        dr_usleep(kFlagPollUs);
    }
    if (CloseRequested()) return false;
    width_ = dr_->pCodecCfg != nullptr ? static_cast<int>(dr_->pCodecCfg->width) : 0;
    height_ = dr_->pCodecCfg != nullptr ? static_cast<int>(dr_->pCodecCfg->height) : 0;
    one_frame_size_ = width_ * height_ * 3 / 2;
    return true;
}

// Step 2: the caption place and its font.
void PlaybackManager::SetupCaption() {
    osd_.reset(width_ == 640 ? osd_init(width_, height_, 355, 455) : osd_init(width_, height_, 60, 30));
    font_type* font = font_init(1);
    if (osd_install_font(osd_.get(), font) != 0 && font != nullptr) font_deinit(font);
}

// Step 8: the decoder sets PlaybackStart from its seventh picture.
bool PlaybackManager::WaitForPlaybackStart() {
    std::printf("PM : Wait until PlaybackStart\n");
    while (dr_->PlaybackStart.load() == 0) {
        if (CloseRequested()) {
            std::printf("PM : Exit without display any image\n");
            return false;
        }
        dr_usleep(kFlagPollUs);
    }
    return true;
}

// mxc_v4l_output_start.
int PlaybackManager::DisplayLoop() {
    if (out_.MapBuffers() < 0) return -1;
    GetElapsedUTime(1);
    prev_pts_ = 0;
    int rc = 0;
    while (!CloseRequested()) {
        const int index = out_.TakeBuffer();
        if (++takes_ > out_.num_buffers()) ++taken_back_;
        if (index < 0) {
            rc = -1;
            break;
        }
        if (!WaitForPicture()) {
            HoldLastPicture();
            break;
        }
        uint8_t* picture = out_.BufferData(index);
        const int size = std::min<int>(one_frame_size_, static_cast<int>(out_.BufferLength(index)));
        const int got = DR_ReadRingBuffer(&dr_->rv_buf, picture, size);
        // A picture larger than the output buffer: the rest is passed over so
        // the next picture starts where it should.
        if (got == size && size < one_frame_size_) DR_AdvanceRingBufferReadIndex(&dr_->rv_buf, one_frame_size_ - size);
        ++frames_;
        int32_t pts = 0;
        if (!ReadPts(&pts)) break;
        if (got < static_cast<int>(out_.frame_size()) || dr_->REQ_CLOSE.load() != 0) {
            PrintEnd();
            break;
        }
        std::snprintf(osd_str_, sizeof osd_str_, "PLAYBACK : %.67s ", dr_->playback_asf_name);
        osd_update(osd_.get(), picture, osd_str_);
        const timeval show_at = Pace(pts);
        if (out_.Queue(index, show_at) < 0) {
            rc = -1;
            break;
        }
        ++queued_;
    }
    out_.Stop();
    return rc;
}

// Step 4: a whole picture in rv_buf; false when the decoder has ended
// without one, or on a close.
bool PlaybackManager::WaitForPicture() {
    const int need = std::max(static_cast<int>(out_.frame_size()), one_frame_size_);
    while (DR_GetRingBufferReadAvailable(&dr_->rv_buf) < need) {
        if (dr_->VD_ALIVE.load() == 0 && DR_GetRingBufferReadAvailable(&dr_->rv_buf) < need) {
            PrintEnd();
            return false;
        }
        if (CloseRequested()) return false;
        dr_usleep(kPictureWaitUs);
        sched_yield();
    }
    return true;
}

// At the end of the recording the pictures still queued are shown, the last
// one for its recorded time, before streaming stops and blanks the video
// plane; a close request cuts this short.
void PlaybackManager::HoldLastPicture() {
    if (queued_ == 0) return;
    // Each buffer taken back means the picture after it is on the screen.
    while (queued_ - taken_back_ > 1 && !CloseRequested()) {
        if (out_.TakeBuffer() < 0) break;
        ++taken_back_;
    }
    const timeval until = display::AddMicroseconds(prev_show_, std::clamp(prev_spacing_us_, 0L, 1000000L));
    timeval now{};
    while (!CloseRequested() && gettimeofday(&now, nullptr) == 0 && Later(until, now)) dr_usleep(kPictureWaitUs);
}

// Step 5: the picture's presentation time. Every picture has one, the last
// of the file included, so a time is taken as soon as one whole time is there.
bool PlaybackManager::ReadPts(int32_t* pts) {
    while (DR_GetRingBufferReadAvailable(&dr_->pts_buf) < kPtsBytes) {
        if (dr_->AD_ALIVE.load() == 0 && DR_GetRingBufferReadAvailable(&dr_->pts_buf) < kPtsBytes) {
            PrintEnd();
            return false;
        }
        if (dr_->REQ_PM_CLOSE.load() != 0) return false;
        dr_usleep(kPtsWaitUs);
    }
    DR_ReadRingBuffer(&dr_->pts_buf, pts, kPtsBytes);
    return true;
}

// Step 8: the thread sleeps 90 % of the recorded spacing less its own
// time, so it keeps ahead of the display; the picture is stamped with the
// time the output driver shows it. Stamps follow one another by the
// recorded spacing (from the previous stamp, or from now when the thread
// has fallen behind it), so the pictures come out at the recording's rate
// however long each turn of the loop takes.
timeval PlaybackManager::Pace(int32_t pts) {
    timeval now{};
    gettimeofday(&now, nullptr);
    const long spacing_us = static_cast<long>(pts - prev_pts_) * 1000;
    const long sleep_us = static_cast<long>(pts - prev_pts_) * 900 - GetElapsedUTime(0);
    if (sleep_us > 0 && sleep_us < 1000000) dr_usleep(static_cast<uint32_t>(sleep_us));
    timeval show_at = display::AddMicroseconds(frames_ <= 1 ? now : prev_show_, spacing_us);
    if (frames_ > 1 && Later(now, show_at)) show_at = now;
    prev_show_ = show_at;
    prev_spacing_us_ = spacing_us;
    prev_pts_ = pts;
    GetElapsedUTime(1);
    return show_at;
}

// Step 10: ending the playback manager ends the playback mode.
void PlaybackManager::End() {
    std::printf("PM : munmap fb0 [0x%08x]\n", static_cast<unsigned>(reinterpret_cast<uintptr_t>(fb_.address())));
    fb_.Close();
    out_.Close();
    osd_.reset();
    std::printf("PM : Close Playback Manager Thread \n");
    dr_->REQ_CLOSE = 1;
    dr_->PM_ALIVE = 0;
}

}  // namespace
}  // namespace diviv::playback

void PlaybackManagerThread(dr_common_t* dr) {
    diviv::playback::PlaybackManager pm(dr);
    pm.Run();
}
