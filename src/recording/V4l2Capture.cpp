#include "recording/V4l2Capture.h"

#include <fcntl.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "core/DR_common.h"
#include "platform/Board.h"

namespace diviv::vce {

namespace {

// The value the overlay's driver-private control takes after the overlay
// starts (a camera-driver matter; the driver refreshes its overlay on it).
constexpr int kOverlayRefreshValue = 1;
constexpr int kOverlayRefreshWrites = 3;
constexpr uint32_t kOverlayRefreshGapUs = 100000;

void LogFailure(const char* message, int reboot) { DR_SYSLOG(DR_ERR_FATAL, message, reboot); }

}  // namespace

int V4l2Capture::Open() {
    int err = 0;
    dev_ = TheBoard().OpenDevice(s_.dev_name, O_RDWR | O_NONBLOCK, &err);
    if (dev_) return 0;
    const int e = -err;
    const char* name = s_.dev_name.c_str();
    // The device layer opens by path: a path that does not lead anywhere is
    // what a stat of the node would have found, ENODEV a node that is no
    // device, anything else a failed open.
    if (e == ENOENT || e == ENOTDIR || e == ELOOP || e == ENAMETOOLONG) {
        std::printf("VCE : Cannot identify %s : %d, %s\n", name, e, std::strerror(e));
    } else if (e == ENODEV) {
        std::printf("VCE : %s is no device\n", name);
    } else {
        std::printf("VCE : Cannot open %s : %d, %s\n", name, e, std::strerror(e));
    }
    dr_->HW_Error = 1;
    LogFailure("Failure of opening the device.", 0);
    return -1;
}

int V4l2Capture::Init() {
    const char* name = s_.dev_name.c_str();
    v4l2_capability cap{};
    int rc = Request(VIDIOC_QUERYCAP, &cap);
    if (rc < 0) {
        if (rc == -EINVAL) {
            std::printf("VCE : %s is no V4L2 device\n", name);
            LogFailure("Failure of I/O Ctrl.", 1);
        } else {
            LogFailure("Failure of Caputuring.", 1);
        }
        return -1;
    }
    if ((cap.capabilities & V4L2_CAP_VIDEO_CAPTURE) == 0) {
        std::printf("VCE : %s is no video capture device\n", name);
        return -1;
    }
    if ((cap.capabilities & V4L2_CAP_STREAMING) == 0) {
        std::printf("VCE : %s does not support streaming i/o\n", name);
        return -1;
    }

    // The default crop rectangle; a driver without cropping is fine.
    v4l2_cropcap cropcap{};
    cropcap.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    if (Request(VIDIOC_CROPCAP, &cropcap) == 0) {
        v4l2_crop crop{};
        crop.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        crop.c = cropcap.defrect;
        (void)Request(VIDIOC_S_CROP, &crop);
    }

    v4l2_format fmt{};
    fmt.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    fmt.fmt.pix.width = static_cast<uint32_t>(s_.width);
    fmt.fmt.pix.height = static_cast<uint32_t>(s_.height);
    fmt.fmt.pix.pixelformat = V4L2_PIX_FMT_YUV420;
    fmt.fmt.pix.field = V4L2_FIELD_INTERLACED;
    if (Request(VIDIOC_S_FMT, &fmt) < 0) {
        LogFailure("Failure of I/O Ctrl.", 1);
        return -1;
    }
    // Drivers that leave these short are answered with the least they must be.
    fmt.fmt.pix.bytesperline = std::max(fmt.fmt.pix.bytesperline, 2 * fmt.fmt.pix.width);
    fmt.fmt.pix.sizeimage = std::max(fmt.fmt.pix.sizeimage, fmt.fmt.pix.bytesperline * fmt.fmt.pix.height);

    v4l2_requestbuffers req{};
    req.count = kCaptureBufferCount;
    req.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    req.memory = V4L2_MEMORY_MMAP;
    if (Request(VIDIOC_REQBUFS, &req) < 0) {
        LogFailure("Failure of I/O Ctrl.", 1);
        return -1;
    }
    if (req.count < kMinCaptureBuffers) {
        std::printf("VCE : Insufficient buffer memory on %s\n", name);
        LogFailure("Failure of Caputuring.", 1);
        return -1;
    }
    std::printf("VCE : Requested Buffer Num = %d\n", static_cast<int>(req.count));

    buffers_.clear();
    buffers_.reserve(req.count);
    for (uint32_t i = 0; i < req.count; ++i) {
        v4l2_buffer buf{};
        buf.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        buf.memory = V4L2_MEMORY_MMAP;
        buf.index = i;
        if (Request(VIDIOC_QUERYBUF, &buf) < 0) {
            LogFailure("Failure of I/O Ctrl.", 1);
            return -1;
        }
        int map_error = 0;
        MappedMemory m = dev_->Map(buf.length, static_cast<off_t>(buf.m.offset), &map_error);
        if (!m) {
            LogFailure("Failure of memory allocation.", 1);
            return -1;
        }
        buffers_.push_back(std::move(m));
    }
    return 0;
}

int V4l2Capture::SetupOverlayWindow() {
    int output = 0;  // the LCD
    if (Request(VIDIOC_S_OUTPUT, &output) < 0) {
        std::printf("VCE : VIDIOC_S_OUTPUT failed\n");
        return -1;
    }
    v4l2_control rotation{};
    rotation.id = V4L2_CID_PRIVATE_BASE;
    rotation.value = 0;
    if (Request(VIDIOC_S_CTRL, &rotation) < 0) {
        std::printf("VCE : set control failed\n");
        return -1;
    }
    v4l2_format fmt{};
    fmt.type = V4L2_BUF_TYPE_VIDEO_OVERLAY;
    fmt.fmt.win.w.left = 0;
    fmt.fmt.win.w.top = 0;
    fmt.fmt.win.w.width = 640;
    fmt.fmt.win.w.height = 480;
    if (Request(VIDIOC_S_FMT, &fmt) < 0) {
        std::printf("VCE : set format failed\n");
        return -1;
    }
    if (Request(VIDIOC_G_FMT, &fmt) < 0) {
        std::printf("VCE : get format failed\n");
        return -1;
    }
    v4l2_std_id std_id = 0;
    if (Request(VIDIOC_G_STD, &std_id) < 0) {
        std::printf("VCE : VIDIOC_G_STD failed\n");
        return -1;
    }
    v4l2_streamparm parm{};
    parm.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    parm.parm.capture.capturemode = 0;
    parm.parm.capture.timeperframe.numerator = 1;
    parm.parm.capture.timeperframe.denominator = static_cast<uint32_t>(s_.fps);
    if (Request(VIDIOC_S_PARM, &parm) < 0) {
        std::printf("VCE : VIDIOC_S_PARM failed\n");
        return -1;
    }
    if (Request(VIDIOC_G_PARM, &parm) < 0) {
        std::printf("VCE : get frame rate failed\n");
        return -1;
    }
    return 0;
}

void V4l2Capture::StartOverlay() {
    v4l2_control ctrl{};
    ctrl.id = V4L2_CID_VFLIP;
    ctrl.value = s_.flipmode;
    int rc = Request(VIDIOC_S_CTRL, &ctrl);
    if (rc == 0) {
        ctrl.id = V4L2_CID_HFLIP;
        ctrl.value = s_.mirrormode;
        rc = Request(VIDIOC_S_CTRL, &ctrl);
    }
    if (rc < 0) {
        std::printf("set ctrl failed\n");
        return;
    }
    int on = 1;
    std::printf("VCE : Set Overlay %d\n", on);
    rc = Request(VIDIOC_OVERLAY, &on);
    if (rc == 0) {
        overlay_on_ = true;
        std::printf("VCE : VIDIOC_OVERLAY start OK [ret=%d]\n", rc);
    } else {
        std::printf("VCE : VIDIOC_OVERLAY start failed [ret=%d]\n", rc);
    }
    for (int i = 0; i < kOverlayRefreshWrites; ++i) {
        v4l2_control refresh{};
        refresh.id = V4L2_CID_PRIVATE_BASE + 1;
        refresh.value = kOverlayRefreshValue;
        if (Request(VIDIOC_S_CTRL, &refresh) < 0) std::printf("VCE : set ctl failed\n");
        dr_usleep(kOverlayRefreshGapUs);
    }
    std::printf("VCE : ce_mxc_v4l_overlay_set() done\n");
}

void V4l2Capture::SetupOverlay() {
    if (SetupOverlayWindow() < 0) std::printf("VCE : Setup overlay failed.\n");
    StartOverlay();
}

int V4l2Capture::StartCapturing() {
    for (uint32_t i = 0; i < buffers_.size(); ++i) {
        v4l2_buffer buf{};
        buf.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        buf.memory = V4L2_MEMORY_MMAP;
        buf.index = i;
        if (Request(VIDIOC_QBUF, &buf) < 0) {
            LogFailure("Failure of I/O Ctrl.", 0);
            return -1;
        }
    }
    std::printf("VCE : start_capturing()\n");
    v4l2_buf_type type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    if (Request(VIDIOC_STREAMON, &type) < 0) {
        LogFailure("Failure of I/O Ctrl.", 1);
        return -1;
    }
    streaming_ = true;
    return 0;
}

int V4l2Capture::Dequeue(v4l2_buffer* buf) {
    *buf = v4l2_buffer{};
    buf->type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    buf->memory = V4L2_MEMORY_MMAP;
    const int rc = Request(VIDIOC_DQBUF, buf);
    if (rc == -EIO) {
        std::printf("VCE : VIDIOC_DQBUF returns EIO\n");
    } else if (rc == -EAGAIN) {
        std::printf("VCE : VIDIOC_DQBUF returns EAGAIN\n");
    } else if (rc < 0) {
        std::printf("VCE : VIDIOC_DQBUF returns [errno=%d]\n", -rc);
    } else if (buf->index >= buffers_.size()) {
        // A driver answer naming a buffer that was never mapped.
        std::printf("VCE : VIDIOC_DQBUF returns [errno=%d]\n", EINVAL);
        return -EINVAL;
    }
    return rc < 0 ? rc : 0;
}

int V4l2Capture::Requeue(const v4l2_buffer& buf) {
    v4l2_buffer again = buf;
    const int rc = Request(VIDIOC_QBUF, &again);
    if (rc < 0) std::printf("VCE : VIDIOC_QBUF returns [errno=%d]\n", -rc);
    return rc;
}

const uint8_t* V4l2Capture::Data(unsigned index) const {
    return index < buffers_.size() ? static_cast<const uint8_t*>(buffers_[index].data()) : nullptr;
}

size_t V4l2Capture::Length(unsigned index) const { return index < buffers_.size() ? buffers_[index].size() : 0; }

void V4l2Capture::StopCapturing() {
    std::printf("VCE : Stop Capturing\n");
    if (streaming_) {
        v4l2_buf_type type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        if (Request(VIDIOC_STREAMOFF, &type) < 0) LogFailure("Failure of I/O Ctrl.", 1);
        streaming_ = false;
    }
    if (overlay_on_) {
        int off = 0;
        const int rc = Request(VIDIOC_OVERLAY, &off);
        if (rc == 0) std::printf("VCE : VIDIOC_OVERLAY stop OK [ret=%d]\n", rc);
        else std::printf("VCE : VIDIOC_OVERLAY stop failed [ret=%d]\n", rc);
        overlay_on_ = false;
    }
}

void V4l2Capture::Close() {
    if (!dev_) return;
    StopCapturing();
    for (MappedMemory& m : buffers_) {
        if (m.Reset() < 0) LogFailure("Failure of memory allocation.", 1);
    }
    buffers_.clear();
    dev_.reset();
}

}  // namespace diviv::vce
