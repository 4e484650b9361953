// The display side shared by playback and the live monitor: the geometry of
// the video window, the framebuffer set-up (graphics plane keyed open over
// the window), and the V4L2 output device the pictures are queued to.
//
// Every device is reached through the board's device layer with the
// drivers' own requests and structures (linux/videodev2.h, linux/fb.h,
// platform/MxcDisplay.h). Each step prints its console line and logs its
// failure; the caller decides how the thread goes on.
#pragma once

#include <linux/videodev2.h>
#include <sys/time.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "platform/Device.h"
#include "platform/Owners.h"

namespace diviv::display {

// Which thread drives the display: the console texts differ a little
// ("PM : ..." for playback, "DISP : ..." for the live monitor).
enum class DisplayUser { kPlayback, kMonitor };

inline constexpr int kOutputBuffersRequested = 4;  // memory-mapped output buffers asked for
inline constexpr int kMaxOutputBuffers = 5;        // buffers the display keeps at most

// The display geometry (the playback manager's g_* values).
struct DisplayGeometry {
    int in_width = 0, in_height = 0;          // picture size
    int display_left = 0, display_top = 0;    // display window on the screen
    int display_width = 0, display_height = 0;  // 0: the screen's (fb_setup fills it in)
    int video_size = 0;                       // VideoSize: 0 for a 640-wide picture, else 1
    int output = 0;                           // g_output: display output number
    int overlay = 1;                          // g_overlay
    int rotate = 0;                           // g_rotate
    int extra_pixel = 0;                      // g_extra_pixel
    uint32_t in_fmt = V4L2_PIX_FMT_YUV420;    // "YU12"
};

// The window for a picture: 640 x 480 at 0, 0 for a picture 640 wide,
// otherwise 352 x 288 at 144, 96; 320 x 240 at 0, 0 when disp_size (preview)
// is not 0.
DisplayGeometry GeometryFor(int width, int height, int disp_size);

// `t` plus `us` microseconds, carried into the seconds so the stamp is a
// valid time of day.
timeval AddMicroseconds(timeval t, long us);

// The graphics plane (fb_setup / fb_setup1): finds the framebuffer of
// g->output among "/dev/fb0".."/dev/fb4", reads its screen information,
// completes and clips the display window in *g to the screen, sets global
// alpha 255 and colour key 0x080808, maps the framebuffer and paints the
// window in the key colour. Return: 0, or -1 (printed; the caller logs).
class Framebuffer {
public:
    explicit Framebuffer(DisplayUser user) : user_(user) {}
    ~Framebuffer() { Close(); }
    Framebuffer(const Framebuffer&) = delete;
    Framebuffer& operator=(const Framebuffer&) = delete;

    int Setup(DisplayGeometry* g);
    // The mapping's address (for the unmap line), nullptr when none.
    const void* address() const;
    // Unmaps and closes. Return: 0, or -errno of the unmap.
    int Close();

private:
    DisplayUser user_;
    std::unique_ptr<Device> dev_;
    MappedMemory map_;
};

// The V4L2 output device "/dev/v4l/video16".
class VideoOutput {
public:
    explicit VideoOutput(DisplayUser user) : user_(user) {}
    ~VideoOutput() { Close(); }
    VideoOutput(const VideoOutput&) = delete;
    VideoOutput& operator=(const VideoOutput&) = delete;

    // Opens the device read-write. 0, or -1 after "Unable to open %s\n".
    int Open();
    // Output, crop capability, crop to the window, rotation control (each
    // failure printed, "Failure of I/O Ctrl." logged, -1), then the
    // framebuffer overlay flags (result not checked). 0 or -1.
    int Configure(const DisplayGeometry& g);
    // The output format for the geometry (picture size, g->in_fmt, bytes
    // per line = width).
    static v4l2_format FormatFor(const DisplayGeometry& g);
    // dr_mxc_v4l_output_setup / dr_mxc_v4l_dispout_setup: S_FMT, G_FMT and
    // 4 memory-mapped buffers requested. 0, or -1 (printed, logged).
    int SetupFormat(v4l2_format* fmt);
    int num_buffers() const { return num_buffers_; }    // g_num_buffers
    uint32_t frame_size() const { return frame_size_; }  // g_frame_size

    // Display loop, step 1: query and map every granted buffer. 0, or -1
    // (printed, "Failure of VideoBuffer Ctrl." logged).
    int MapBuffers();
    // The buffer for the next picture: the first num_buffers() pictures take
    // the buffers in order, later ones a buffer taken back from the driver.
    // Return: its index, or -1 (printed, logged).
    int TakeBuffer();
    uint8_t* BufferData(int index) const;
    size_t BufferLength(int index) const;
    // Queues the picture in buffer `index`, to be shown at `show_at`; starts
    // streaming once the second picture is queued. 0, or -1 (printed,
    // logged).
    int Queue(int index, const timeval& show_at);
    // Stops streaming (if started) and unmaps the buffers.
    void Stop();
    // Stop, then closes the device.
    void Close();

private:
    DisplayUser user_;
    std::unique_ptr<Device> dev_;
    int num_buffers_ = 0;
    uint32_t frame_size_ = 0;
    std::vector<MappedMemory> buffers_;
    uint64_t taken_ = 0;   // pictures given a buffer so far
    uint64_t queued_ = 0;  // pictures queued so far
    bool streaming_ = false;
};

}  // namespace diviv::display
