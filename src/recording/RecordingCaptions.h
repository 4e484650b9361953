// The captions stamped into every recorded picture: the date and time, and
// the camera number, or the quadrant labels "1 2" / "3 4" when the camera
// delivers the four-camera picture.
#pragma once

#include <sys/time.h>

#include <cstdint>
#include <memory>

#include "core/DR_shared.h"
#include "osd/osd.h"

namespace diviv::vce {

// Where a caption goes: a position in a picture and a font number.
struct CaptionPlace {
    int x = 0;
    int y = 0;
    int font = 0;
};

// The places of the captions for a picture `width` pixels wide (640-wide
// pictures use the large font; other sizes place them for a 352 x 288
// picture).
struct CaptionLayout {
    CaptionPlace date_time;
    CaptionPlace camera_number;
    CaptionPlace quad_upper;
    CaptionPlace quad_lower;
};
CaptionLayout CaptionLayoutFor(int width);

class RecordingCaptions {
public:
    // Creates the sessions the camera mode needs (date and time always; the
    // camera number when CAM_MODE != 0, else the two quadrant rows) for
    // pictures of width x height. A place outside the picture is left out.
    RecordingCaptions(int width, int height, int cam_mode);
    ~RecordingCaptions() { Release(); }
    RecordingCaptions(const RecordingCaptions&) = delete;
    RecordingCaptions& operator=(const RecordingCaptions&) = delete;

    // Stamps the captions into the picture (planar YUV 4:2:0 of the size
    // above) for the frame captured at `sec` (local time), unless rec_osd is
    // set. Returns 0.
    int Set_OSDInfo(uint8_t* EncBuf, const dr_common_t& dr, time_t sec);

    // Frees every session with its font.
    void Release();

    bool has_date_time() const { return date_time_ != nullptr; }
    bool has_camera_number() const { return camera_number_ != nullptr; }
    bool has_quad_labels() const { return quad_upper_ != nullptr && quad_lower_ != nullptr; }

private:
    struct SessionFree {
        void operator()(osd_session* s) const { osd_deinit(s); }
    };
    using Session = std::unique_ptr<osd_session, SessionFree>;
    static Session Make(int width, int height, const CaptionPlace& place);

    Session date_time_;
    Session camera_number_;
    Session quad_upper_;
    Session quad_lower_;
};

}  // namespace diviv::vce
