// The simulated camera: a V4L2 capture device model for "/dev/v4l/video0"
// that answers the capture thread's requests with the kernel's structures
// (linux/videodev2.h) as the board's capture driver does.
//
// - Format: planar YUV 4:2:0 ("YU12"), 640 x 480 by default, any even size
//   from 32 x 32 to 1920 x 1088 (bytes per line = width, image size =
//   width x height x 3 / 2: the planes follow each other without padding).
// - Up to six memory-mapped buffers; the memory belongs to the model and
//   Map hands it out with a release that does nothing.
// - Frames are paced by the board clock (CLOCK_MONOTONIC) at the rate set
//   with VIDIOC_S_PARM (30 per second unless set): the first is due one
//   frame time after VIDIOC_STREAMON. A due frame fills the oldest queued
//   buffer; with none queued it is lost, as with the DMA of the board.
//   VIDIOC_DQBUF answers -EAGAIN (non-blocking open) while no filled buffer
//   is there, and waits for one otherwise.
// - Each frame is stamped with its wall-clock capture time (the due time
//   on the board clock expressed in gettimeofday's time) and carries the
//   camera's frame sequence number (from 0 at stream start) in
//   v4l2_buffer.sequence and in the picture's frame band, with the second
//   marker on the frame whose capture time lies in the first frame time of
//   a whole wall-clock second.
// - The picture: the scene of the selected camera, or four scenes as
//   quadrants when the camera driver's video mode is "4:0"
//   ("/proc/driver/camera/video_mode"; "1:n" selects camera n), then flip
//   (V4L2_CID_VFLIP) and mirror (V4L2_CID_HFLIP), then the band.
// - Faults: DeviceModel::InjectFault on any request, and from the world
//   file: frames dropped (their sequence numbers skipped), a stall (no frame
//   due until its end, sequence numbers continue), dequeues failing with
//   EIO, fewer buffers granted, a jump of the capture time stamps. One-shot
//   world steps are shared by the process: a step taken by one opening of
//   the camera is not taken again by the next.
// - Overlay: while VIDIOC_OVERLAY is on, the last captured picture is the
//   video plane of the display (LastOverlayPicture).
#pragma once

#include <linux/videodev2.h>

#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "sim/CameraScene.h"
#include "sim/DeviceModel.h"

namespace diviv::sim {

inline constexpr const char* kCameraDevicePath = "/dev/v4l/video0";
inline constexpr int kCameraBuffers = 6;  // buffers granted at most

// A copy of a captured picture (contiguous I420) and where the overlay
// shows it on the display.
struct OverlayPicture {
    int width = 0, height = 0;
    std::vector<uint8_t> yuv;
    uint32_t sequence = 0;
    v4l2_rect window{};  // overlay window on the display
};

// What the camera has done since it was opened.
struct CameraCounters {
    uint64_t delivered = 0;  // frames put into buffers
    uint64_t dropped = 0;    // frames dropped on request (world file)
    uint64_t lost = 0;       // frames due while no buffer was queued
};

class SimCamera : public DeviceModel {
public:
    SimCamera(std::string board_path, int flags);
    ~SimCamera() override;

    // Grants at most n buffers from the next VIDIOC_REQBUFS on (a fault).
    void SetMaxBuffers(int n);
    // The last captured picture (empty before the first).
    OverlayPicture LastPicture() const;
    CameraCounters Counters() const;

private:
    enum class BufferState { kUser, kQueued, kDone };
    struct Buffer {
        std::vector<uint8_t> memory;
        uint32_t offset = 0;
        BufferState state = BufferState::kUser;
        bool mapped = false;
        v4l2_buffer filled{};  // sequence, time stamp, bytes of the last fill
    };

    int DoIoctl(unsigned long request, void* arg) override;
    ssize_t DoRead(std::span<std::byte> buffer) override;
    ssize_t DoWrite(std::span<const std::byte> data) override;
    int DoPoll(short events, int timeout_ms) override;
    MappedMemory DoMap(size_t length, off_t offset, int* error) override;

    // Request handlers; called with mutex_ held.
    int QueryCap(v4l2_capability* cap);
    int SetFormat(v4l2_format* f);
    int GetFormat(v4l2_format* f);
    int RequestBuffers(v4l2_requestbuffers* req);
    int QueryBuffer(v4l2_buffer* b);
    int QueueBuffer(v4l2_buffer* b);
    int DequeueBuffer(v4l2_buffer* b, std::unique_lock<std::mutex>& lock);
    int StreamOn(const int* type);
    int StreamOff(const int* type);
    int SetParm(v4l2_streamparm* p);
    int GetParm(v4l2_streamparm* p);
    int Control(v4l2_control* c, bool set);
    int Overlay(const int* on);

    int64_t PeriodNs() const;
    int64_t DueNs(int64_t index) const;  // due time of frame `index` (may lie before the anchor)
    // Takes the camera's faults from the world file.
    void ApplyWorld();
    // Produces every frame due by now_ns.
    void Advance(int64_t now_ns);
    void Capture(Buffer& b, uint64_t index, int64_t due_ns);
    void FillBufferInfo(const Buffer& b, uint32_t index, v4l2_buffer* out) const;

    mutable std::mutex mutex_;  // guards all below; taken by every request
    const bool nonblocking_;
    v4l2_pix_format pix_{};
    v4l2_window window_{};
    v4l2_rect crop_{};
    v4l2_fract time_per_frame_{1, 30};
    uint32_t capture_mode_ = 0;
    bool vflip_ = false, hflip_ = false;
    int rotation_ = 0, private1_ = 0, output_ = 0;
    bool overlay_on_ = false;
    int max_buffers_ = kCameraBuffers;
    std::vector<Buffer> buffers_;
    std::vector<std::vector<uint8_t>> retired_;  // freed buffers' memory: a caller may still map it
    std::deque<uint32_t> queued_, done_;
    bool streaming_ = false;

    // Pacing: frame anchor_index_ is due at anchor_ns_ on the board clock,
    // later ones every period after it.
    int64_t anchor_ns_ = 0;
    uint64_t anchor_index_ = 0;
    uint64_t next_index_ = 0;    // the next frame of the sensor (its sequence number)
    int64_t wall_offset_ns_ = 0; // wall clock minus board clock
    int64_t pending_drop_ = 0, pending_eio_ = 0;
    int64_t stall_until_ns_ = 0;
    int64_t time_jump_ns_ = 0;   // added to the capture time stamps
    int world_max_buffers_ = 0;  // 0: no limit from the world
    CameraCounters counters_;
    CameraScene scene_;

    mutable std::mutex picture_mutex_;  // guards last_
    OverlayPicture last_;
};

// The factory the simulated board registers for kCameraDevicePath.
std::unique_ptr<Device> MakeSimCamera(const std::string& board_path, int flags, int* error);

// The display's video plane in this process: a copy of the last picture of
// the camera whose overlay is on; nullopt while no overlay is on.
// Thread-safe.
std::optional<OverlayPicture> LastOverlayPicture();

}  // namespace diviv::sim
