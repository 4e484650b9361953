// The board's display devices: the V4L2 video output device that shows
// pictures on the video plane, and the i.MX framebuffers of the graphics
// plane with their global-alpha and colour-key requests.
//
// V4L2 and framebuffer structures are the kernel's (linux/videodev2.h,
// linux/fb.h); the two i.MX framebuffer requests and their records are the
// i.MX framebuffer driver's, defined here with the driver's numbers.
#pragma once

#include <linux/fb.h>
#include <sys/ioctl.h>

#include <cstdint>

// Global alpha of the graphics plane over the video plane.
struct mxcfb_gbl_alpha {
    int32_t enable;
    int32_t alpha;  // 0..255
};
static_assert(sizeof(mxcfb_gbl_alpha) == 8);

// Colour key of the graphics plane: where it holds this colour, the video
// plane shows through.
struct mxcfb_color_key {
    int32_t enable;
    uint32_t color_key;  // 0x00RRGGBB
};
static_assert(sizeof(mxcfb_color_key) == 8);

inline constexpr unsigned long MXCFB_SET_GBL_ALPHA = _IOW('F', 0x21, mxcfb_gbl_alpha);
inline constexpr unsigned long MXCFB_SET_CLR_KEY = _IOW('F', 0x22, mxcfb_color_key);

namespace diviv {

// The video output device (V4L2 output, memory-mapped buffers, "YU12").
inline constexpr const char* kVideoOutputDevice = "/dev/v4l/video16";
// The framebuffers are "/dev/fb0" .. "/dev/fb4".
inline constexpr int kFramebufferDevices = 5;
inline constexpr const char* kFramebufferPathPrefix = "/dev/fb";
// The colour key the display set-up paints the video window with.
inline constexpr uint32_t kDisplayColorKey = 0x080808;

}  // namespace diviv
