#include "playback/MonitorThread.h"

#include <fcntl.h>
#include <linux/videodev2.h>
#include <poll.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <sched.h>
#include <vector>

#include "core/DR_common.h"
#include "core/dr_ringbuffer.h"
#include "platform/Board.h"

namespace {

constexpr const char* kMonitorDevice = "/dev/v4l/video0";
constexpr unsigned kMonitorBuffers = 3;     // asked for
constexpr unsigned kMonitorMinBuffers = 2;  // needed
constexpr int kSelectTimeoutMs = 2000;
constexpr const char* kCapVideoFile = "./CapVideo.yuv";

// A capture failure: the message is printed already; log it and end the
// program, as the monitor cannot go on without its camera.
[[noreturn]] void EndProgram(const char* log) {
    DR_SYSLOG(DR_ERR_FATAL, log, 0);
    EndProcess(1);
}

// "<call> error <errno>, <text>" for a failed system call.
void CallFailed(const char* call, int rc) {
    const int e = rc < 0 ? -rc : rc;
    std::printf("%s error %d, %s\n", call, e, std::strerror(e));
}

class MonitorCapture {
public:
    explicit MonitorCapture(dr_common_t* dr) : dr_(dr), cfg_(dr->pCodecCfg) {}

    void Open();
    void Init(int width, int height);
    void SetFlipMirror();
    void Start();
    void Run(size_t frame_size);
    void Close();

    int flip = 0, mirror = 0;  // FlipMode, MirrorMode

private:
    int Request(unsigned long request, void* arg) { return dev_->Ioctl(request, arg); }
    void Deliver(const uint8_t* data, size_t frame_size, FILE** cap_file);

    dr_common_t* dr_;
    codec_config_t* cfg_;
    std::unique_ptr<diviv::Device> dev_;
    std::vector<diviv::MappedMemory> buffers_;
};

void MonitorCapture::Open() {
    int err = 0;
    dev_ = diviv::TheBoard().OpenDevice(kMonitorDevice, O_RDWR | O_NONBLOCK, &err);
    if (dev_) return;
    const int e = -err;
    // The device layer opens by path: a path that leads nowhere is what a
    // stat of the node finds, ENODEV a node that is no device.
    if (e == ENOENT || e == ENOTDIR || e == ELOOP || e == ENAMETOOLONG) {
        std::printf("VC : Cannot identify %s : %d, %s\n", kMonitorDevice, e, std::strerror(e));
    } else if (e == ENODEV) {
        std::printf("VC : %s is no device\n", kMonitorDevice);
    } else {
        std::printf("VC : Cannot open %s : %d, %s\n", kMonitorDevice, e, std::strerror(e));
    }
    EndProgram("Failure of opening the device.");
}

void MonitorCapture::Init(int width, int height) {
    v4l2_capability cap{};
    if (const int rc = Request(VIDIOC_QUERYCAP, &cap); rc < 0) {
        if (rc == -EINVAL) std::printf("VC : %s is no V4L2 device\n", kMonitorDevice);
        else CallFailed("VIDIOC_QUERYCAP", rc);
        EndProgram("Failure of device initialization.");
    }
    if ((cap.capabilities & V4L2_CAP_VIDEO_CAPTURE) == 0) {
        std::printf("VC : %s is no video capture device\n", kMonitorDevice);
        EndProgram("Failure of device initialization.");
    }
    if ((cap.capabilities & V4L2_CAP_STREAMING) == 0) {
        std::printf("VC : %s does not support streaming i/o\n", kMonitorDevice);
        EndProgram("Failure of device initialization.");
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
    fmt.fmt.pix.width = static_cast<uint32_t>(width);
    fmt.fmt.pix.height = static_cast<uint32_t>(height);
    fmt.fmt.pix.pixelformat = V4L2_PIX_FMT_YUV420;
    fmt.fmt.pix.field = V4L2_FIELD_INTERLACED;
    if (const int rc = Request(VIDIOC_S_FMT, &fmt); rc < 0) {
        CallFailed("VIDIOC_S_FMT", rc);
        EndProgram("Failure of device initialization.");
    }
    // Drivers that leave these short are answered with the least they must be.
    fmt.fmt.pix.bytesperline = std::max(fmt.fmt.pix.bytesperline, 2 * fmt.fmt.pix.width);
    fmt.fmt.pix.sizeimage = std::max(fmt.fmt.pix.sizeimage, fmt.fmt.pix.bytesperline * fmt.fmt.pix.height);

    v4l2_requestbuffers req{};
    req.count = kMonitorBuffers;
    req.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    req.memory = V4L2_MEMORY_MMAP;
    if (const int rc = Request(VIDIOC_REQBUFS, &req); rc < 0) {
        if (rc == -EINVAL) std::printf("MON : %s does not support memory mapping\n", kMonitorDevice);
        else CallFailed("VIDIOC_REQBUFS", rc);
        EndProgram("Failure of device initialization.");
    }
    if (req.count < kMonitorMinBuffers) {
        std::printf("MON : Insufficient buffer memory on %s\n", kMonitorDevice);
        EndProgram("Failure of memory allocation.");
    }
    for (uint32_t i = 0; i < req.count; ++i) {
        v4l2_buffer buf{};
        buf.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        buf.memory = V4L2_MEMORY_MMAP;
        buf.index = i;
        if (const int rc = Request(VIDIOC_QUERYBUF, &buf); rc < 0) {
            CallFailed("VIDIOC_QUERYBUF", rc);
            EndProgram("Failure of device initialization.");
        }
        int err = 0;
        diviv::MappedMemory m = dev_->Map(buf.length, static_cast<off_t>(buf.m.offset), &err);
        if (!m) {
            CallFailed("mmap", err);
            EndProgram("Failure of memory allocation.");
        }
        buffers_.push_back(std::move(m));
    }
}

void MonitorCapture::SetFlipMirror() {
    v4l2_control vflip{V4L2_CID_VFLIP, flip};
    if (Request(VIDIOC_S_CTRL, &vflip) < 0) {
        std::printf("set ctrl failed\n");
        DR_SYSLOG(DR_ERR_FATAL, "Failure of device initialization.", 0);
    }
    v4l2_control hflip{V4L2_CID_HFLIP, mirror};
    if (Request(VIDIOC_S_CTRL, &hflip) < 0) {
        std::printf("set ctrl failed\n");
        DR_SYSLOG(DR_ERR_FATAL, "Failure of device initialization.", 0);
    }
}

void MonitorCapture::Start() {
    SetFlipMirror();
    for (uint32_t i = 0; i < buffers_.size(); ++i) {
        v4l2_buffer buf{};
        buf.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        buf.memory = V4L2_MEMORY_MMAP;
        buf.index = i;
        if (const int rc = Request(VIDIOC_QBUF, &buf); rc < 0) {
            CallFailed("VIDIOC_QBUF", rc);
            EndProgram("Failure of Caputuring.");
        }
    }
    int type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    if (const int rc = Request(VIDIOC_STREAMON, &type); rc < 0) {
        CallFailed("VIDIOC_STREAMON", rc);
        EndProgram("Failure of Caputuring.");
    }
}

// One captured picture into dv_buf (or the diagnosis file).
void MonitorCapture::Deliver(const uint8_t* data, size_t frame_size, FILE** cap_file) {
    if (dr_->nCapVideoOut != 0) {
        if (*cap_file == nullptr) *cap_file = std::fopen(kCapVideoFile, "ab");
        if (*cap_file != nullptr) std::fwrite(data, 1, frame_size, *cap_file);
        std::printf(".");
        std::fflush(stdout);
        return;
    }
    const int size = static_cast<int>(frame_size);
    if (DR_GetRingBufferWriteAvailable(&dr_->dv_buf) >= size) {
        DR_WriteRingBuffer(&dr_->dv_buf, data, size);
        dr_->CaptureStart = 1;
    } else {
        DR_SYSLOG(DR_ERR_SURVIVABLE, "Failure of writing to buffer.", 0);
    }
}

void MonitorCapture::Run(size_t frame_size) {
    FILE* cap_file = nullptr;
    while (dr_->REQ_MON_CLOSE.load() == 0) {
        const int ready = dev_->Poll(POLLIN, kSelectTimeoutMs);
        if (ready == -EINTR) continue;
        if (ready < 0) {
            CallFailed("select", ready);
            EndProgram("Failure of Caputuring.");
        }
        if (ready == 0) {
            std::printf("MON : select timeout\n");
            EndProgram("Failure of Caputuring.");
        }
        v4l2_buffer buf{};
        buf.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        buf.memory = V4L2_MEMORY_MMAP;
        const int rc = Request(VIDIOC_DQBUF, &buf);
        if (rc == -EAGAIN) {
            sched_yield();
            continue;
        }
        if (rc < 0 || buf.index >= buffers_.size()) {
            CallFailed("VIDIOC_DQBUF", rc < 0 ? rc : -EINVAL);
            EndProgram("Failure of reading data.");
        }
        const diviv::MappedMemory& m = buffers_[buf.index];
        // A picture is never read beyond its buffer.
        if (m.size() >= frame_size) Deliver(static_cast<const uint8_t*>(m.data()), frame_size, &cap_file);
        if (const int q = Request(VIDIOC_QBUF, &buf); q < 0) {
            CallFailed("VIDIOC_QBUF", q);
            EndProgram("Failure of Caputuring.");
        }
        dr_usleep(10000);
        const int new_flip = SharedSetting(cfg_->flipmode), new_mirror = SharedSetting(cfg_->mirrormode);
        if (new_flip != flip || new_mirror != mirror) {
            flip = new_flip;
            mirror = new_mirror;
            SetFlipMirror();
        }
    }
    if (cap_file != nullptr) std::fclose(cap_file);
}

void MonitorCapture::Close() {
    int type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    if (const int rc = Request(VIDIOC_STREAMOFF, &type); rc < 0) {
        CallFailed("VIDIOC_STREAMOFF", rc);
        EndProgram("Failure of stopping capture.");
    }
    for (diviv::MappedMemory& m : buffers_) {
        if (const int rc = m.Reset(); rc < 0) {
            CallFailed("munmap", rc);
            EndProgram("Failure of memory allocation.");
        }
    }
    buffers_.clear();
    v4l2_requestbuffers req{};
    req.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    req.memory = V4L2_MEMORY_MMAP;
    (void)Request(VIDIOC_REQBUFS, &req);  // frees them; a driver without it keeps them till close
    if (const int rc = dev_->Close(); rc < 0) {
        CallFailed("close", rc);
        EndProgram("Failure of closing the device.");
    }
    dev_.reset();
}

}  // namespace

void MonitorThread(dr_common_t* dr) {
    codec_config_t* cfg = dr->pCodecCfg;
    const int width = static_cast<int>(cfg->width), height = static_cast<int>(cfg->height);
    const size_t frame_size = static_cast<size_t>(width) * height * 3 / 2;  // OneFrameSize
    MonitorCapture capture(dr);
    capture.flip = SharedSetting(cfg->flipmode);
    capture.mirror = SharedSetting(cfg->mirrormode);
    std::printf("MON : W=%d H=%d Size=%d FRATE=%d\n", width, height, static_cast<int>(frame_size),
                static_cast<int>(cfg->fps));
    std::printf("MON : Flip=%s Mirror=%s\n", capture.flip ? "ON" : "OFF", capture.mirror ? "ON" : "OFF");

    capture.Open();
    capture.Init(width, height);
    capture.Start();
    capture.Run(frame_size);
    capture.Close();
    std::printf("MON : Monitor Thread End \n");
    dr->MON_ALIVE = 0;
}
