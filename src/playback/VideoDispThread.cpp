#include "playback/VideoDispThread.h"

#include <sched.h>
#include <sys/time.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <memory>

#include "core/DR_common.h"
#include "core/dr_ringbuffer.h"
#include "osd/font.h"
#include "osd/osd.h"
#include "playback/DisplayOutput.h"

namespace {

using diviv::display::DisplayUser;

constexpr long kShowAheadUs = 33000;  // the driver shows each picture this long after it is queued

// One caption place with its font, freed together.
struct SessionFree {
    void operator()(osd_session* s) const { osd_deinit(s); }
};
using Caption = std::unique_ptr<osd_session, SessionFree>;

Caption MakeCaption(int width, int height, int x, int y, int font_type) {
    Caption c(osd_init(width, height, x, y));
    if (c) osd_install_font(c.get(), font_init(font_type));
    return c;
}

// The caption places of the monitor picture.
struct MonitorCaptions {
    Caption heading, time, quad_upper, quad_lower, gps;

    MonitorCaptions(const dr_common_t& dr, int width, int height) {
        const bool wide = width == 640;
        const bool rec = dr.AppState.load() == STATE_REC;
        heading = wide ? MakeCaption(width, height, rec ? 490 : 480, rec ? 20 : 15, FONT_10X12B)
                       : MakeCaption(width, height, rec ? 100 : 20, 10, FONT_10X12B);
        time = MakeCaption(width, height, wide ? 360 : 90, wide ? 455 : 260, FONT_13X17B);
        if (SharedSetting(dr.CAM_MODE) == 0) {
            quad_upper = MakeCaption(width, height, wide ? 300 : 40, wide ? 220 : 250, FONT_10X12);
            quad_lower = MakeCaption(width, height, wide ? 300 : 40, 250, FONT_10X12);
        }
        gps = MakeCaption(width, height, 10, wide ? 455 : 260, FONT_10X12);
    }

    // Stamps the captions into the luminance plane of one picture.
    void Stamp(dr_common_t& dr, uint8_t* luma) {
        char osd_str[80];
        const time_t now = ::time(nullptr);
        if (dr.AppState.load() == STATE_REC) {
            std::snprintf(osd_str, sizeof osd_str, "REC : %.73s", dr.pCodecCfg->rec_name);
            osd_update(heading.get(), luma, osd_str);
        } else if (SharedSetting(dr.VIN_MODE) != 0) {
            osd_update(heading.get(), luma, "      MONITOR");
            osd_update(time.get(), luma, MyStrTime(now).c_str());
        } else {
            const int32_t cam_mode = SharedSetting(dr.CAM_MODE);
            if (cam_mode != 0) std::snprintf(osd_str, sizeof osd_str, "CAM%d MONITOR ", cam_mode);
            else std::snprintf(osd_str, sizeof osd_str, "%d CAMERA MODE ", SharedSetting(dr.InputVideoNum));
            osd_update(heading.get(), luma, osd_str);
            osd_update(time.get(), luma, MyStrTime(now).c_str());
            if (cam_mode == 0) {
                osd_update(quad_upper.get(), luma, "1 2");
                osd_update(quad_lower.get(), luma, "3 4");
            }
        }
        if (dr.GPSReceiveDataValid.load() != 0) osd_update(gps.get(), luma, "GPS");
    }
};

bool CloseRequested(const dr_common_t& dr) { return dr.REQ_DISP_CLOSE.load() != 0 || dr.REQ_CLOSE.load() != 0; }

// Waits until dv_buf holds a whole picture. False when the capture side has
// ended or a close is requested first.
bool WaitForPicture(dr_common_t& dr, int size) {
    while (DR_GetRingBufferReadAvailable(&dr.dv_buf) < size) {
        if (CloseRequested(dr) || (dr.MON_ALIVE.load() == 0 && dr.VE_ALIVE.load() == 0)) return false;
        dr_usleep(10000);
    }
    return !CloseRequested(dr);
}

// Reads one picture of `size` bytes into an output buffer of `length`
// bytes; what does not fit the buffer is passed over, so the next picture
// still starts at a picture boundary.
void ReadPicture(DrRingBuffer* ring, uint8_t* out, size_t length, int size) {
    const int fit = static_cast<int>(std::min(length, static_cast<size_t>(size)));
    DR_ReadRingBuffer(ring, out, fit);
    if (fit < size) DR_AdvanceRingBufferReadIndex(ring, size - fit);
}

// The display loop: pictures until a close request or the capture's end.
void DisplayLoop(dr_common_t& dr, diviv::display::VideoOutput& out, MonitorCaptions& captions, int size) {
    if (out.MapBuffers() < 0) return;
    while (!CloseRequested(dr)) {
        const int index = out.TakeBuffer();
        if (index < 0) break;
        if (!WaitForPicture(dr, size)) break;
        uint8_t* picture = out.BufferData(index);
        ReadPicture(&dr.dv_buf, picture, out.BufferLength(index), size);
        // Captions go into the luminance plane: only into a buffer that holds it.
        if (SharedSetting(dr.mon_osd) == 0 && out.BufferLength(index) >= static_cast<size_t>(size)) captions.Stamp(dr, picture);
        timeval now{};
        gettimeofday(&now, nullptr);
        if (out.Queue(index, diviv::display::AddMicroseconds(now, kShowAheadUs)) < 0) break;
        sched_yield();
    }
    out.Stop();
}

}  // namespace

std::string MyStrTime(time_t t) {
    tm local{};
    char text[32] = "";
    if (localtime_r(&t, &local) != nullptr) std::strftime(text, sizeof text, "%Y/%m/%d %H:%M:%S ", &local);
    return text;
}

void VideoDispThread(dr_common_t* dr) {
    const int width = static_cast<int>(dr->pCodecCfg->width), height = static_cast<int>(dr->pCodecCfg->height);
    const int size = width * height * 3 / 2;  // OneFrameSize
    {
        MonitorCaptions captions(*dr, width, height);
        std::printf("DISP : Display Image %d x %d [DispSize=%d]\n", width, height, dr->DispSize.load());
        diviv::display::DisplayGeometry g = diviv::display::GeometryFor(width, height, dr->DispSize.load());

        // A display that cannot be set up is skipped: the thread then only
        // waits for its close.
        diviv::display::Framebuffer fb(DisplayUser::kMonitor);
        diviv::display::VideoOutput out(DisplayUser::kMonitor);
        if (fb.Setup(&g) < 0) {
            DR_SYSLOG(DR_ERR_FATAL, "Failure of device initialization.", 0);
        } else if (out.Open() < 0) {
            DR_SYSLOG(DR_ERR_FATAL, "Failure of opening the device.", 0);
        } else if (out.Configure(g) == 0) {
            v4l2_format fmt = diviv::display::VideoOutput::FormatFor(g);
            if (out.SetupFormat(&fmt) == 0) {
                std::printf("DISP : Start Display\n");
                DisplayLoop(*dr, out, captions, size);
            }
        }
        out.Close();
        fb.Close();

        while (!CloseRequested(*dr)) dr_usleep(100000);
        std::printf("DISP : Get Close Request ###\n");
    }  // the caption places and their fonts are freed here
    std::printf("DISP : OSD DEINIT DONE ! \n");
    std::printf("DISP : Close VideoDispThread \n");
    dr->REQ_CLOSE = 1;
    dr->DISP_ALIVE = 0;
}
