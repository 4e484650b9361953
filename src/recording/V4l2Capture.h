// The camera as the video capture drives it: a V4L2 capture device with six
// memory-mapped buffers, polled without blocking, and the driver's video
// overlay that shows the live picture.
//
// The device is reached through the board's device layer; the requests,
// numbers and structures are the kernel's (linux/videodev2.h). Each step
// prints its console line and logs its failure as the recorder does for
// every capture failure.
#pragma once

#include <linux/videodev2.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "core/DR_shared.h"
#include "platform/Device.h"
#include "platform/Owners.h"

namespace diviv::vce {

inline constexpr const char* kCaptureDevice = "/dev/v4l/video0";
inline constexpr unsigned kCaptureBufferCount = 6;
inline constexpr unsigned kMinCaptureBuffers = 2;

struct CaptureSettings {
    std::string dev_name = kCaptureDevice;
    int width = 640;
    int height = 480;
    int fps = 30;  // camera frame rate
    int flipmode = 0;
    int mirrormode = 0;
};

class V4l2Capture {
public:
    V4l2Capture(dr_common_t* dr, CaptureSettings settings) : dr_(dr), s_(std::move(settings)) {}
    ~V4l2Capture() { Close(); }
    V4l2Capture(const V4l2Capture&) = delete;
    V4l2Capture& operator=(const V4l2Capture&) = delete;

    // Opens the device (read-write, non-blocking). -1 on failure (HW_Error set).
    int Open();
    // Capabilities, crop, format and the mapped buffers. -1 on failure.
    int Init();
    // Live view: output, rotation, overlay window, standard, frame rate
    // (failures are reported and start-up goes on), then flip and mirror and
    // the overlay start.
    void SetupOverlay();
    // Queues every buffer and starts streaming. -1 on failure.
    int StartCapturing();

    // One filled buffer, without waiting. 0 with *buf filled, or -errno
    // (-EAGAIN: no frame yet); each failure prints its line.
    int Dequeue(v4l2_buffer* buf);
    // Gives a dequeued buffer back to the driver. 0 or -errno (printed).
    int Requeue(const v4l2_buffer& buf);
    // The mapped bytes of buffer `index` (nullptr for a bad index).
    const uint8_t* Data(unsigned index) const;
    size_t Length(unsigned index) const;

    // Shutdown: streaming off, overlay off, buffers unmapped, device closed;
    // each only if it was started. Safe to call more than once.
    void Close();

    bool streaming() const { return streaming_; }

private:
    int Request(unsigned long request, void* arg) { return dev_->Ioctl(request, arg); }
    int SetupOverlayWindow();
    void StartOverlay();
    void StopCapturing();

    dr_common_t* dr_;
    CaptureSettings s_;
    std::unique_ptr<Device> dev_;
    std::vector<MappedMemory> buffers_;
    bool streaming_ = false;
    bool overlay_on_ = false;
};

}  // namespace diviv::vce
