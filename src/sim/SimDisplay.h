// The simulated display: the V4L2 video output device "/dev/v4l/video16"
// answering the display threads' requests as the board's output driver does
// (linux/videodev2.h), and the video plane it shows.
//
// - Output 0..5 (VIDIOC_S_OUTPUT), crop capability and crop of the 640 x 480
//   screen (the crop is the window the picture is shown in, scaled to it),
//   the rotation control V4L2_CID_PRIVATE_BASE (0..7), the framebuffer
//   overlay flags (VIDIOC_S_FBUF).
// - Format: planar YUV 4:2:0 ("YU12") only (other formats are answered with
//   it), even sizes from 16 x 16 to 1920 x 1088; bytes per line = width,
//   image size = width x height x 3 / 2.
// - Up to five memory-mapped buffers; the memory belongs to the model.
// - A queued buffer is shown at its time stamp (wall-clock time of day), or
//   at once when that time has passed, but never before streaming is on nor
//   before the picture shown before it. The picture on the screen stays
//   there until the next is shown; its buffer is then done and VIDIOC_DQBUF
//   hands it back (waiting for it when opened blocking, -EAGAIN otherwise;
//   -ETIMEDOUT when no queued picture could free one, or none did in 5 s).
// - Streaming off (or closing the device) blanks the video plane.
// - Each picture shown is logged: in memory (Shown()) and as a line
//   "<count> <shown wall-clock us> <frame>" appended to kShownLogFile in the
//   board root, where <frame> is the simulated camera's frame number read
//   back from the picture's frame band, -1 when the picture carries none.
#pragma once

#include <linux/videodev2.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/MxcDisplay.h"
#include "platform/Owners.h"
#include "sim/DeviceModel.h"

namespace diviv::sim {

inline constexpr const char* kShownLogFile = "/sim/shown.log";
inline constexpr int kScreenWidth = 640;
inline constexpr int kScreenHeight = 480;
inline constexpr int kOutputBuffers = 5;  // buffers granted at most

struct ShownPicture {
    uint64_t count = 0;    // pictures shown before it, since the board started
    int64_t shown_ns = 0;  // wall clock
    int64_t frame = -1;    // frame band number, -1 when none reads back
};

// The picture on the video plane: contiguous I420 and its window.
struct PlanePicture {
    bool showing = false;
    int width = 0, height = 0;
    std::vector<uint8_t> i420;
    v4l2_rect window{};
};

// The video plane and the log of shown pictures: one per simulated board,
// shared by every opening of the output device. Thread-safe.
class SimVideoPlane {
public:
    // Shows an I420 picture in `window` of the screen at wall-clock shown_ns.
    void Show(const uint8_t* i420, int width, int height, const v4l2_rect& window, int64_t shown_ns);
    // Nothing shown any more (streaming off).
    void Blank();
    // The shown picture scaled into its window of a width x height RGB
    // screen (rows outside the window untouched). False while blank.
    // Pictures that fell due meanwhile are shown first.
    bool Compose(uint8_t* rgb, int width, int height);
    std::vector<ShownPicture> Shown() const;
    PlanePicture Last() const;

    // The output device that feeds the plane (the last one opened):
    // `advance` shows what has fallen due by now. The device clears it
    // before it goes away.
    void SetSource(const void* owner, std::function<void()> advance);
    void ClearSource(const void* owner);

private:
    std::mutex source_mutex_;  // taken before the output's own lock, never inside it
    const void* source_owner_ = nullptr;
    std::function<void()> advance_;
    mutable std::mutex mutex_;
    bool showing_ = false;
    int width_ = 0, height_ = 0;
    std::vector<uint8_t> picture_;
    v4l2_rect window_{};
    std::vector<ShownPicture> shown_;
    OwnedFd log_;
};

// BT.601 studio-range I420 picture scaled into `window` of an RGB screen;
// mask (optional) gets 1 for every pixel written.
void ComposeI420(const uint8_t* i420, int pic_width, int pic_height, const v4l2_rect& window, uint8_t* rgb,
                 uint8_t* mask, int width, int height);

class SimVideoOutput : public DeviceModel {
public:
    SimVideoOutput(std::string board_path, int flags, std::shared_ptr<SimVideoPlane> plane);
    ~SimVideoOutput() override;

private:
    enum class BufferState { kUser, kQueued, kShowing, kDone };
    struct Buffer {
        std::vector<uint8_t> memory;
        BufferState state = BufferState::kUser;
        int64_t due_ns = 0;  // wall clock: when it is to be shown
    };

    int DoIoctl(unsigned long request, void* arg) override;
    ssize_t DoRead(std::span<std::byte> buffer) override;
    ssize_t DoWrite(std::span<const std::byte> data) override;
    int DoPoll(short events, int timeout_ms) override;
    MappedMemory DoMap(size_t length, off_t offset, int* error) override;

    // Called with mutex_ held.
    int Request(unsigned long request, void* arg, std::unique_lock<std::mutex>& lock);
    int SetFormat(v4l2_format* f);
    int RequestBuffers(v4l2_requestbuffers* req);
    int QueryBuffer(v4l2_buffer* b) const;
    int QueueBuffer(const v4l2_buffer* b);
    int DequeueBuffer(v4l2_buffer* b, std::unique_lock<std::mutex>& lock);
    void StreamOff();
    // Shows every queued picture due by now (wall clock).
    void Advance(int64_t now_ns);
    uint32_t BufferStride() const;  // offset step between buffers (page multiple)

    std::mutex mutex_;  // guards all below
    const bool nonblocking_;
    std::shared_ptr<SimVideoPlane> plane_;
    int output_ = 0;
    v4l2_rect crop_{0, 0, kScreenWidth, kScreenHeight};
    int rotation_ = 0;
    uint32_t fbuf_flags_ = 0;
    v4l2_pix_format pix_{};
    std::vector<Buffer> buffers_;
    std::vector<std::vector<uint8_t>> retired_;  // freed buffers' memory: a caller may still map it
    std::vector<uint32_t> order_;  // queued buffers in queue order
    int showing_ = -1;             // buffer on the screen
    int64_t last_shown_ns_ = 0;
    bool streaming_ = false;
    int64_t streamon_ns_ = 0;
};

// The factory the simulated board registers for kVideoOutputDevice, showing
// on `plane`.
std::unique_ptr<Device> MakeSimVideoOutput(std::shared_ptr<SimVideoPlane> plane, const std::string& board_path,
                                           int flags, int* error);

}  // namespace diviv::sim
