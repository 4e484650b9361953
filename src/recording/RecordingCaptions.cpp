#include "recording/RecordingCaptions.h"

#include <cstdio>
#include <ctime>

#include "core/DR_common.h"
#include "osd/font.h"

namespace diviv::vce {

CaptionLayout CaptionLayoutFor(int width) {
    if (width == 640) {
        return {{360, 10, FONT_13X17B}, {15, 10, FONT_13X17B}, {300, 220, FONT_13X17B}, {300, 250, FONT_13X17B}};
    }
    return {{90, 260, FONT_13X17B}, {10, 10, FONT_8X10}, {10, 250, FONT_8X10}, {10, 250, FONT_8X10}};
}

RecordingCaptions::Session RecordingCaptions::Make(int width, int height, const CaptionPlace& place) {
    Session s(osd_init(width, height, place.x, place.y));
    // Without its font a place draws nothing; it is then left out.
    if (s && osd_install_font(s.get(), font_init(place.font)) != 0) s.reset();
    return s;
}

RecordingCaptions::RecordingCaptions(int width, int height, int cam_mode) {
    const CaptionLayout layout = CaptionLayoutFor(width);
    date_time_ = Make(width, height, layout.date_time);
    if (cam_mode != 0) {
        camera_number_ = Make(width, height, layout.camera_number);
    } else {
        quad_upper_ = Make(width, height, layout.quad_upper);
        quad_lower_ = Make(width, height, layout.quad_lower);
    }
}

int RecordingCaptions::Set_OSDInfo(uint8_t* EncBuf, const dr_common_t& dr, time_t sec) {
    if (SharedSetting(dr.rec_osd) != 0) return 0;
    tm local{};
    char text[64];
    if (localtime_r(&sec, &local) == nullptr) {
        DR_SYSLOG(DR_ERR_SURVIVABLE, "Failure of encoding.", 0);
    } else if (std::strftime(text, sizeof text, "%Y/%m/%d %H:%M:%S", &local) == 0) {
        std::fprintf(stderr, "strftime returned 0\n");
        DR_SYSLOG(DR_ERR_SURVIVABLE, "Failure of encoding.", 0);
    } else {
        osd_update(date_time_.get(), EncBuf, text);
    }
    const int32_t cam_mode = SharedSetting(dr.CAM_MODE);
    if (cam_mode != 0 || dr.VIN_MODE != 0) {
        std::snprintf(text, sizeof text, "%d", static_cast<int>(cam_mode));
        osd_update(camera_number_.get(), EncBuf, text);
    } else {
        osd_update(quad_upper_.get(), EncBuf, "1 2");
        osd_update(quad_lower_.get(), EncBuf, "3 4");
    }
    return 0;
}

void RecordingCaptions::Release() {
    date_time_.reset();
    camera_number_.reset();
    quad_upper_.reset();
    quad_lower_.reset();
}

}  // namespace diviv::vce
