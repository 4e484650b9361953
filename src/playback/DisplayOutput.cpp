#include "playback/DisplayOutput.h"

#include <fcntl.h>
#include <linux/fb.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>

#include "core/DR_common.h"
#include "platform/Board.h"
#include "platform/MxcDisplay.h"

namespace diviv::display {

namespace {

constexpr long kUsPerSecond = 1000000;

void LogIoctlFailure() { DR_SYSLOG(DR_ERR_FATAL, "Failure of I/O Ctrl.", 0); }
void LogBufferFailure() { DR_SYSLOG(DR_ERR_FATAL, "Failure of VideoBuffer Ctrl.", 0); }

const char* Prefix(DisplayUser user) { return user == DisplayUser::kPlayback ? "PM" : "DISP"; }

// Whether a framebuffer identification names the display output `output`:
// the i.MX names its second display's planes "DISP3 BG" and "DISP3 FG", the
// others carry the output's digit as their fifth character.
bool IsOutputFramebuffer(const std::string& id, int output) {
    if (output == 4) return id == "DISP3 BG";
    if (output == 3) return id == "DISP3 FG";
    return id.size() > 4 && id[4] == static_cast<char>('0' + output);
}

// Paints the display window of the mapped graphics plane in the key colour.
void PaintKeyWindow(uint8_t* base, size_t size, const fb_fix_screeninfo& fix, const fb_var_screeninfo& var,
                    const DisplayGeometry& g) {
    const int bytes = static_cast<int>(var.bits_per_pixel) / 8;
    if (bytes < 2 || bytes > 4) return;
    for (int y = g.display_top; y < g.display_top + g.display_height; ++y) {
        uint8_t* row = base + static_cast<size_t>(y) * fix.line_length;
        for (int x = g.display_left; x < g.display_left + g.display_width; ++x) {
            uint8_t* px = row + static_cast<size_t>(x) * bytes;
            if (px + bytes > base + size) return;
            switch (bytes) {
                case 2: {
                    const uint16_t key = 0x0841;  // 0x080808 in RGB 5-6-5
                    std::memcpy(px, &key, sizeof key);
                    break;
                }
                case 3:
                    px[0] = px[1] = px[2] = 8;
                    break;
                default: {
                    const uint32_t key = kDisplayColorKey;
                    std::memcpy(px, &key, sizeof key);
                    break;
                }
            }
        }
    }
}

}  // namespace

DisplayGeometry GeometryFor(int width, int height, int disp_size) {
    DisplayGeometry g;
    g.in_width = width;
    g.in_height = height;
    g.video_size = width == 640 ? 0 : 1;
    if (disp_size != 0) {
        g.display_width = 320;
        g.display_height = 240;
    } else if (width == 640) {
        g.display_width = 640;
        g.display_height = 480;
    } else {
        g.display_left = 144;
        g.display_top = 96;
        g.display_width = 352;
        g.display_height = 288;
    }
    return g;
}

timeval AddMicroseconds(timeval t, long us) {
    long total = static_cast<long>(t.tv_usec) + us;
    t.tv_sec += total / kUsPerSecond;
    total %= kUsPerSecond;
    if (total < 0) {
        total += kUsPerSecond;
        --t.tv_sec;
    }
    t.tv_usec = total;
    return t;
}

int Framebuffer::Setup(DisplayGeometry* g) {
    Close();
    fb_fix_screeninfo fix{};
    std::string path;
    bool found = false;
    for (int i = 0; i < kFramebufferDevices && !found; ++i) {
        path = std::string(kFramebufferPathPrefix) + std::to_string(i);
        int err = 0;
        dev_ = TheBoard().OpenDevice(path, O_RDWR, &err);
        if (!dev_) {
            std::printf("Unable to open %s\n", path.c_str());
            return -1;
        }
        fix = {};
        if (dev_->Ioctl(FBIOGET_FSCREENINFO, &fix) < 0) {
            std::printf("Unable to get FSCREENINFO %s\n", path.c_str());
            dev_.reset();
            return -1;
        }
        const std::string id(fix.id, strnlen(fix.id, sizeof fix.id));
        found = IsOutputFramebuffer(id, g->output);
        if (!found) {
            std::printf("PM : device=%s id=%s\n", path.c_str(), id.c_str());
            dev_.reset();
        }
    }
    if (!found) return -1;  // no framebuffer of this output

    fb_var_screeninfo var{};
    if (dev_->Ioctl(FBIOGET_VSCREENINFO, &var) < 0) {
        std::printf("Unable to get VSCREENINFO \n");
        dev_.reset();
        return -1;
    }
    // The window: 0 means the screen's size; never beyond the screen.
    const int xres = static_cast<int>(var.xres), yres = static_cast<int>(var.yres);
    if (g->display_width == 0) g->display_width = xres;
    if (g->display_height == 0) g->display_height = yres;
    g->display_left = std::clamp(g->display_left, 0, xres);
    g->display_top = std::clamp(g->display_top, 0, yres);
    g->display_width = std::clamp(g->display_width, 0, xres - g->display_left);
    g->display_height = std::clamp(g->display_height, 0, yres - g->display_top);

    mxcfb_gbl_alpha alpha{1, 255};
    (void)dev_->Ioctl(MXCFB_SET_GBL_ALPHA, &alpha);
    mxcfb_color_key key{1, kDisplayColorKey};
    (void)dev_->Ioctl(MXCFB_SET_CLR_KEY, &key);

    if (user_ == DisplayUser::kMonitor) std::printf("DISP : Map device\n");
    const size_t size = static_cast<size_t>(fix.line_length) * var.yres;
    int err = 0;
    map_ = size > 0 ? dev_->Map(size, 0, &err) : MappedMemory();
    if (!map_) {
        std::printf("\nError: failed to map framebuffer device 0 to memory.\n");
        dev_.reset();
        return -1;
    }
    PaintKeyWindow(static_cast<uint8_t*>(map_.data()), map_.size(), fix, var, *g);
    return 0;
}

const void* Framebuffer::address() const { return map_.data(); }

int Framebuffer::Close() {
    const int rc = map_.Reset();
    dev_.reset();
    return rc;
}

int VideoOutput::Open() {
    Close();
    int err = 0;
    dev_ = TheBoard().OpenDevice(kVideoOutputDevice, O_RDWR, &err);
    if (dev_) return 0;
    std::printf("Unable to open %s\n", kVideoOutputDevice);
    return -1;
}

int VideoOutput::Configure(const DisplayGeometry& g) {
    if (!dev_) return -1;
    int output = g.output;
    if (dev_->Ioctl(VIDIOC_S_OUTPUT, &output) < 0) {
        std::printf("set output failed\n");
        LogIoctlFailure();
        return -1;
    }
    v4l2_cropcap cropcap{};
    cropcap.type = V4L2_BUF_TYPE_VIDEO_OUTPUT;
    if (dev_->Ioctl(VIDIOC_CROPCAP, &cropcap) < 0) {
        std::printf("get crop capability failed\n");
        LogIoctlFailure();
        return -1;
    }
    v4l2_crop crop{};
    crop.type = V4L2_BUF_TYPE_VIDEO_OUTPUT;
    crop.c.left = g.display_left;
    crop.c.top = g.display_top;
    crop.c.width = static_cast<uint32_t>(g.display_width);
    crop.c.height = static_cast<uint32_t>(g.display_height);
    if (dev_->Ioctl(VIDIOC_S_CROP, &crop) < 0) {
        std::printf("set crop failed\n");
        LogIoctlFailure();
        return -1;
    }
    v4l2_control ctrl{};
    ctrl.id = V4L2_CID_PRIVATE_BASE;  // the output's rotation
    ctrl.value = g.rotate;
    if (dev_->Ioctl(VIDIOC_S_CTRL, &ctrl) < 0) {
        std::printf("set ctrl failed\n");
        LogIoctlFailure();
        return -1;
    }
    v4l2_framebuffer fb{};
    fb.capability = 1;
    fb.flags = g.overlay != 0 ? V4L2_FBUF_FLAG_OVERLAY : V4L2_FBUF_FLAG_PRIMARY;
    (void)dev_->Ioctl(VIDIOC_S_FBUF, &fb);
    return 0;
}

v4l2_format VideoOutput::FormatFor(const DisplayGeometry& g) {
    v4l2_format fmt{};
    fmt.type = V4L2_BUF_TYPE_VIDEO_OUTPUT;
    fmt.fmt.pix.width = static_cast<uint32_t>(g.in_width);
    fmt.fmt.pix.height = static_cast<uint32_t>(g.in_height);
    fmt.fmt.pix.pixelformat = g.in_fmt;
    fmt.fmt.pix.bytesperline = static_cast<uint32_t>(g.in_width);
    return fmt;
}

int VideoOutput::SetupFormat(v4l2_format* fmt) {
    if (!dev_ || fmt == nullptr) return -1;
    if (dev_->Ioctl(VIDIOC_S_FMT, fmt) < 0) {
        std::printf("set format failed\n");
        LogIoctlFailure();
        return -1;
    }
    if (dev_->Ioctl(VIDIOC_G_FMT, fmt) < 0) {
        std::printf("get format failed\n");
        LogIoctlFailure();
        return -1;
    }
    v4l2_requestbuffers req{};
    req.count = kOutputBuffersRequested;
    req.type = V4L2_BUF_TYPE_VIDEO_OUTPUT;
    req.memory = V4L2_MEMORY_MMAP;
    // A grant of no buffer leaves nothing to show into: a failure too.
    if (dev_->Ioctl(VIDIOC_REQBUFS, &req) < 0 || req.count == 0) {
        std::printf("request buffers failed\n");
        LogIoctlFailure();
        return -1;
    }
    num_buffers_ = std::min(static_cast<int>(req.count), kMaxOutputBuffers);
    frame_size_ = fmt->fmt.pix.sizeimage;
    return 0;
}

int VideoOutput::MapBuffers() {
    if (!dev_) return -1;
    buffers_.clear();
    taken_ = queued_ = 0;
    for (int i = 0; i < num_buffers_; ++i) {
        v4l2_buffer buf{};
        buf.type = V4L2_BUF_TYPE_VIDEO_OUTPUT;
        buf.memory = V4L2_MEMORY_MMAP;
        buf.index = static_cast<uint32_t>(i);
        if (dev_->Ioctl(VIDIOC_QUERYBUF, &buf) < 0) {
            std::printf("VIDIOC_QUERYBUF error\n");
            LogBufferFailure();
            return -1;
        }
        int err = 0;
        MappedMemory m = dev_->Map(buf.length, static_cast<off_t>(buf.m.offset), &err);
        if (!m) {
            std::printf("v4l2_out test: mmap failed\n");
            LogBufferFailure();
            return -1;
        }
        buffers_.push_back(std::move(m));
    }
    return 0;
}

int VideoOutput::TakeBuffer() {
    if (!dev_ || buffers_.empty()) return -1;
    v4l2_buffer buf{};
    buf.type = V4L2_BUF_TYPE_VIDEO_OUTPUT;
    buf.memory = V4L2_MEMORY_MMAP;
    if (taken_ < buffers_.size()) {
        buf.index = static_cast<uint32_t>(taken_);
        // The live monitor asks the driver about each fresh buffer first.
        if (user_ == DisplayUser::kMonitor && dev_->Ioctl(VIDIOC_QUERYBUF, &buf) < 0) {
            std::printf("DISP : VIDIOC_QUERYBUF failed\n");
            LogBufferFailure();
            return -1;
        }
        ++taken_;
        return static_cast<int>(buf.index);
    }
    // A buffer index the driver should never give back is a failure too:
    // writing a picture through it would leave the mapped buffers.
    if (dev_->Ioctl(VIDIOC_DQBUF, &buf) < 0 || buf.index >= buffers_.size()) {
        std::printf(user_ == DisplayUser::kMonitor ? "DISP : VIDIOC_DQBUF failed\n" : "VIDIOC_DQBUF failed\n");
        LogBufferFailure();
        return -1;
    }
    ++taken_;
    return static_cast<int>(buf.index);
}

uint8_t* VideoOutput::BufferData(int index) const {
    if (index < 0 || static_cast<size_t>(index) >= buffers_.size()) return nullptr;
    return static_cast<uint8_t*>(buffers_[static_cast<size_t>(index)].data());
}

size_t VideoOutput::BufferLength(int index) const {
    if (index < 0 || static_cast<size_t>(index) >= buffers_.size()) return 0;
    return buffers_[static_cast<size_t>(index)].size();
}

int VideoOutput::Queue(int index, const timeval& show_at) {
    if (!dev_ || index < 0 || static_cast<size_t>(index) >= buffers_.size()) return -1;
    v4l2_buffer buf{};
    buf.type = V4L2_BUF_TYPE_VIDEO_OUTPUT;
    buf.memory = V4L2_MEMORY_MMAP;
    buf.index = static_cast<uint32_t>(index);
    buf.bytesused = frame_size_;
    buf.timestamp = show_at;
    if (dev_->Ioctl(VIDIOC_QBUF, &buf) < 0) {
        std::printf("VIDIOC_QBUF failed\n");
        LogBufferFailure();
        return -1;
    }
    ++queued_;
    if (queued_ == 2 && !streaming_) {
        int type = V4L2_BUF_TYPE_VIDEO_OUTPUT;
        if (dev_->Ioctl(VIDIOC_STREAMON, &type) < 0) {
            std::printf("Could not start stream\n");
            LogBufferFailure();
            return -1;
        }
        streaming_ = true;
    }
    return 0;
}

void VideoOutput::Stop() {
    if (dev_ && streaming_) {
        int type = V4L2_BUF_TYPE_VIDEO_OUTPUT;
        (void)dev_->Ioctl(VIDIOC_STREAMOFF, &type);
    }
    streaming_ = false;
    for (MappedMemory& m : buffers_) {
        if (const int rc = m.Reset(); rc < 0) std::printf("%s : munmap failed ret=%d\n", Prefix(user_), rc);
    }
    buffers_.clear();
    taken_ = queued_ = 0;
}

void VideoOutput::Close() {
    Stop();
    dev_.reset();
    num_buffers_ = 0;
    frame_size_ = 0;
}

}  // namespace diviv::display
