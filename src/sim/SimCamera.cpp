#include "sim/SimCamera.h"

#include <fcntl.h>
#include <poll.h>
#include <time.h>

#include <algorithm>
#include <cstring>
#include <thread>

#include "sim/BoardClock.h"
#include "platform/BoardPath.h"
#include "sim/FrameBand.h"
#include "sim/World.h"

namespace diviv::sim {

namespace {

constexpr int kSensorWidth = 640, kSensorHeight = 480;  // the crop bounds
constexpr int kMaxFramesPerSecond = 120;
constexpr size_t kPage = 4096;

template <size_t N>
void CopyName(uint8_t (&dst)[N], const char* text) {
    std::strncpy(reinterpret_cast<char*>(dst), text, N - 1);
}

std::string ReadSmallFile(const char* board_path) {
    const int fd = ::open(BoardPath(board_path).c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return {};
    char buf[64];
    const ssize_t n = ::read(fd, buf, sizeof buf);
    ::close(fd);
    return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
}

// The camera driver's video mode: 0 for the quad picture ("4:0"), n for
// camera n ("1:n"); camera 1 while nothing was selected.
int CameraSelection() {
    const std::string mode = ReadSmallFile("/proc/driver/camera/video_mode");
    if (mode.rfind("4:0", 0) == 0) return 0;
    if (mode.size() >= 3 && mode[0] == '1' && mode[1] == ':' && mode[2] >= '1' && mode[2] <= '4') return mode[2] - '0';
    return 1;
}

// The process's video plane: the camera whose overlay is on.
struct VideoPlane {
    std::mutex mutex;  // taken before a camera's picture_mutex_
    const SimCamera* camera = nullptr;
};
VideoPlane& ThePlane() {
    static VideoPlane plane;
    return plane;
}

int NoRelease(void*, size_t) { return 0; }  // the model owns its buffers

}  // namespace

SimCamera::SimCamera(std::string board_path, int flags)
    : DeviceModel(std::move(board_path)), nonblocking_((flags & O_NONBLOCK) != 0) {
    pix_.width = kSensorWidth;
    pix_.height = kSensorHeight;
    pix_.pixelformat = V4L2_PIX_FMT_YUV420;
    pix_.field = V4L2_FIELD_NONE;
    pix_.bytesperline = kSensorWidth;
    pix_.sizeimage = kSensorWidth * kSensorHeight * 3 / 2;
    pix_.colorspace = V4L2_COLORSPACE_SMPTE170M;
    window_.w = {0, 0, kSensorWidth, kSensorHeight};
    window_.field = V4L2_FIELD_NONE;
    crop_ = {0, 0, kSensorWidth, kSensorHeight};
}

SimCamera::~SimCamera() {
    VideoPlane& plane = ThePlane();
    std::lock_guard lock(plane.mutex);
    if (plane.camera == this) plane.camera = nullptr;
}

void SimCamera::SetMaxBuffers(int n) {
    std::lock_guard lock(mutex_);
    max_buffers_ = std::clamp(n, 0, kCameraBuffers);
}

OverlayPicture SimCamera::LastPicture() const {
    std::lock_guard lock(picture_mutex_);
    return last_;
}

CameraCounters SimCamera::Counters() const {
    std::lock_guard lock(mutex_);
    return counters_;
}

int SimCamera::DoIoctl(unsigned long request, void* arg) {
    if (const int rc = TakeFault(FaultOp::kIoctl, request); rc < 0) return rc;
    if (arg == nullptr) return -EFAULT;  // every request here carries a structure
    std::unique_lock lock(mutex_);
    switch (request) {
        case VIDIOC_QUERYCAP:
            return QueryCap(static_cast<v4l2_capability*>(arg));
        case VIDIOC_ENUM_FMT: {
            auto* f = static_cast<v4l2_fmtdesc*>(arg);
            if (f->index != 0 || f->type != V4L2_BUF_TYPE_VIDEO_CAPTURE) return -EINVAL;
            const uint32_t type = f->type;
            *f = {};
            f->type = type;
            f->pixelformat = V4L2_PIX_FMT_YUV420;
            CopyName(f->description, "Planar YUV 4:2:0");
            return 0;
        }
        case VIDIOC_CROPCAP: {
            auto* c = static_cast<v4l2_cropcap*>(arg);
            if (c->type != V4L2_BUF_TYPE_VIDEO_CAPTURE && c->type != V4L2_BUF_TYPE_VIDEO_OVERLAY) return -EINVAL;
            c->bounds = {0, 0, kSensorWidth, kSensorHeight};
            c->defrect = c->bounds;
            c->pixelaspect = {1, 1};
            return 0;
        }
        case VIDIOC_S_CROP: {
            auto* c = static_cast<v4l2_crop*>(arg);
            if (c->type != V4L2_BUF_TYPE_VIDEO_CAPTURE) return -EINVAL;
            // The driver adjusts the rectangle into the sensor.
            c->c.width = std::clamp<uint32_t>(c->c.width, 32, kSensorWidth);
            c->c.height = std::clamp<uint32_t>(c->c.height, 32, kSensorHeight);
            c->c.left = std::clamp<int32_t>(c->c.left, 0, kSensorWidth - static_cast<int32_t>(c->c.width));
            c->c.top = std::clamp<int32_t>(c->c.top, 0, kSensorHeight - static_cast<int32_t>(c->c.height));
            crop_ = c->c;
            return 0;
        }
        case VIDIOC_G_CROP: {
            auto* c = static_cast<v4l2_crop*>(arg);
            if (c->type != V4L2_BUF_TYPE_VIDEO_CAPTURE) return -EINVAL;
            c->c = crop_;
            return 0;
        }
        case VIDIOC_S_FMT:
            return SetFormat(static_cast<v4l2_format*>(arg));
        case VIDIOC_G_FMT:
            return GetFormat(static_cast<v4l2_format*>(arg));
        case VIDIOC_REQBUFS:
            return RequestBuffers(static_cast<v4l2_requestbuffers*>(arg));
        case VIDIOC_QUERYBUF:
            return QueryBuffer(static_cast<v4l2_buffer*>(arg));
        case VIDIOC_QBUF:
            return QueueBuffer(static_cast<v4l2_buffer*>(arg));
        case VIDIOC_DQBUF:
            return DequeueBuffer(static_cast<v4l2_buffer*>(arg), lock);
        case VIDIOC_STREAMON:
            return StreamOn(static_cast<const int*>(arg));
        case VIDIOC_STREAMOFF:
            return StreamOff(static_cast<const int*>(arg));
        case VIDIOC_S_PARM:
            return SetParm(static_cast<v4l2_streamparm*>(arg));
        case VIDIOC_G_PARM:
            return GetParm(static_cast<v4l2_streamparm*>(arg));
        case VIDIOC_S_CTRL:
            return Control(static_cast<v4l2_control*>(arg), true);
        case VIDIOC_G_CTRL:
            return Control(static_cast<v4l2_control*>(arg), false);
        case VIDIOC_S_OUTPUT: {
            const int out = *static_cast<const int*>(arg);
            if (out < 0 || out > 1) return -EINVAL;  // 0 the LCD, 1 the TV output
            output_ = out;
            return 0;
        }
        case VIDIOC_G_OUTPUT:
            *static_cast<int*>(arg) = output_;
            return 0;
        case VIDIOC_S_INPUT:
            return *static_cast<const int*>(arg) == 0 ? 0 : -EINVAL;
        case VIDIOC_G_INPUT:
            *static_cast<int*>(arg) = 0;
            return 0;
        case VIDIOC_G_STD: {
            const bool pal = ReadSmallFile("/proc/driver/camera/video_format").rfind("PAL", 0) == 0;
            *static_cast<v4l2_std_id*>(arg) = pal ? V4L2_STD_PAL : V4L2_STD_NTSC;
            return 0;
        }
        case VIDIOC_S_STD:
            return 0;
        case VIDIOC_OVERLAY:
            return Overlay(static_cast<const int*>(arg));
        default:
            return -ENOTTY;
    }
}

int SimCamera::QueryCap(v4l2_capability* cap) {
    *cap = {};
    CopyName(cap->driver, "mxc_v4l2");
    CopyName(cap->card, "DiViv simulated camera");
    CopyName(cap->bus_info, "platform:sim-camera");
    cap->version = (2u << 16) | (6u << 8) | 22u;
    cap->device_caps = V4L2_CAP_VIDEO_CAPTURE | V4L2_CAP_VIDEO_OVERLAY | V4L2_CAP_STREAMING;
    cap->capabilities = cap->device_caps | V4L2_CAP_DEVICE_CAPS;
    return 0;
}

int SimCamera::SetFormat(v4l2_format* f) {
    if (f->type == V4L2_BUF_TYPE_VIDEO_CAPTURE) {
        if (!buffers_.empty()) return -EBUSY;  // the size is fixed while buffers exist
        v4l2_pix_format& p = f->fmt.pix;
        // The driver adjusts what it cannot do: one pixel format, even sizes.
        p.width = std::clamp<uint32_t>(p.width, 32, 1920) & ~1u;
        p.height = std::clamp<uint32_t>(p.height, 32, 1088) & ~1u;
        p.pixelformat = V4L2_PIX_FMT_YUV420;
        if (p.field == V4L2_FIELD_ANY) p.field = V4L2_FIELD_NONE;
        p.bytesperline = p.width;
        p.sizeimage = p.width * p.height * 3 / 2;
        p.colorspace = V4L2_COLORSPACE_SMPTE170M;
        p.priv = 0;
        pix_ = p;
        return 0;
    }
    if (f->type == V4L2_BUF_TYPE_VIDEO_OVERLAY) {
        v4l2_window& w = f->fmt.win;
        if (w.w.width == 0 || w.w.height == 0) w.w = {0, 0, pix_.width, pix_.height};
        w.clips = nullptr;  // no clipping and no bitmap: the plane is a rectangle
        w.clipcount = 0;
        w.bitmap = nullptr;
        if (w.field == V4L2_FIELD_ANY) w.field = V4L2_FIELD_NONE;
        window_ = w;
        std::lock_guard lock(picture_mutex_);
        last_.window = window_.w;
        return 0;
    }
    return -EINVAL;
}

int SimCamera::GetFormat(v4l2_format* f) {
    if (f->type == V4L2_BUF_TYPE_VIDEO_CAPTURE) {
        f->fmt.pix = pix_;
        return 0;
    }
    if (f->type == V4L2_BUF_TYPE_VIDEO_OVERLAY) {
        f->fmt.win = window_;
        return 0;
    }
    return -EINVAL;
}

int SimCamera::RequestBuffers(v4l2_requestbuffers* req) {
    if (req->type != V4L2_BUF_TYPE_VIDEO_CAPTURE || req->memory != V4L2_MEMORY_MMAP) return -EINVAL;
    if (streaming_) return -EBUSY;
    ApplyWorld();
    for (Buffer& b : buffers_) {
        if (b.mapped) retired_.push_back(std::move(b.memory));
    }
    buffers_.clear();
    queued_.clear();
    done_.clear();
    int grant = std::min<int>(static_cast<int>(std::min<uint32_t>(req->count, kCameraBuffers)), max_buffers_);
    if (world_max_buffers_ > 0) grant = std::min(grant, world_max_buffers_);
    const size_t size = (pix_.sizeimage + kPage - 1) / kPage * kPage;
    buffers_.resize(static_cast<size_t>(grant));
    for (int i = 0; i < grant; ++i) {
        Buffer& b = buffers_[static_cast<size_t>(i)];
        b.memory.assign(size, 0);
        b.offset = static_cast<uint32_t>(i * size);
    }
    req->count = static_cast<uint32_t>(grant);
    req->capabilities = V4L2_BUF_CAP_SUPPORTS_MMAP;
    return 0;
}

void SimCamera::FillBufferInfo(const Buffer& b, uint32_t index, v4l2_buffer* out) const {
    *out = b.filled;
    out->index = index;
    out->type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    out->memory = V4L2_MEMORY_MMAP;
    out->m.offset = b.offset;
    out->length = pix_.sizeimage;
    out->flags = (b.mapped ? V4L2_BUF_FLAG_MAPPED : 0u) | (b.state == BufferState::kQueued ? V4L2_BUF_FLAG_QUEUED : 0u) |
                 (b.state == BufferState::kDone ? V4L2_BUF_FLAG_DONE : 0u);
}

int SimCamera::QueryBuffer(v4l2_buffer* b) {
    if (b->type != V4L2_BUF_TYPE_VIDEO_CAPTURE || b->index >= buffers_.size()) return -EINVAL;
    FillBufferInfo(buffers_[b->index], b->index, b);
    return 0;
}

int SimCamera::QueueBuffer(v4l2_buffer* b) {
    if (b->type != V4L2_BUF_TYPE_VIDEO_CAPTURE || b->memory != V4L2_MEMORY_MMAP || b->index >= buffers_.size())
        return -EINVAL;
    Buffer& buf = buffers_[b->index];
    if (buf.state != BufferState::kUser) return -EINVAL;  // already with the driver
    buf.state = BufferState::kQueued;
    queued_.push_back(b->index);
    FillBufferInfo(buf, b->index, b);
    return 0;
}

int SimCamera::DequeueBuffer(v4l2_buffer* b, std::unique_lock<std::mutex>& lock) {
    if (b->type != V4L2_BUF_TYPE_VIDEO_CAPTURE || b->memory != V4L2_MEMORY_MMAP) return -EINVAL;
    if (!streaming_) return -EINVAL;
    ApplyWorld();
    if (pending_eio_ > 0) {
        --pending_eio_;
        return -EIO;
    }
    for (;;) {
        Advance(BoardNowNs());
        if (!done_.empty()) break;
        if (nonblocking_) return -EAGAIN;
        // A blocking open waits for the next frame (looking again at least
        // every 100 ms, for a stream stopped or a world changed meanwhile).
        const int64_t next = std::max(DueNs(static_cast<int64_t>(next_index_)), stall_until_ns_);
        const int64_t wait_ns = std::clamp<int64_t>(next - BoardNowNs(), 0, kNsPerSecond / 10);
        lock.unlock();
        std::this_thread::sleep_for(std::chrono::nanoseconds(wait_ns));
        lock.lock();
        if (!streaming_) return -EINVAL;
        ApplyWorld();
    }
    const uint32_t index = done_.front();
    done_.pop_front();
    Buffer& buf = buffers_[index];
    buf.state = BufferState::kUser;
    FillBufferInfo(buf, index, b);
    return 0;
}

int SimCamera::StreamOn(const int* type) {
    if (*type != V4L2_BUF_TYPE_VIDEO_CAPTURE || buffers_.empty()) return -EINVAL;
    if (streaming_) return 0;
    streaming_ = true;
    next_index_ = 0;
    anchor_index_ = 0;
    anchor_ns_ = BoardNowNs() + PeriodNs();  // the sensor needs one frame time for the first frame
    wall_offset_ns_ = WallOffsetNs();
    return 0;
}

int SimCamera::StreamOff(const int* type) {
    if (*type != V4L2_BUF_TYPE_VIDEO_CAPTURE) return -EINVAL;
    streaming_ = false;
    // Every buffer comes back to the caller, filled or not.
    queued_.clear();
    done_.clear();
    for (Buffer& b : buffers_) b.state = BufferState::kUser;
    return 0;
}

int SimCamera::SetParm(v4l2_streamparm* p) {
    if (p->type != V4L2_BUF_TYPE_VIDEO_CAPTURE) return -EINVAL;
    v4l2_fract t = p->parm.capture.timeperframe;
    if (t.numerator == 0 || t.denominator == 0) t = {1, 30};  // 0: the default rate
    if (static_cast<uint64_t>(t.numerator) * kMaxFramesPerSecond < t.denominator) t = {1, kMaxFramesPerSecond};
    if (t.numerator > t.denominator) t = {1, 1};  // one frame per second at least
    if (streaming_) {
        // The new rate starts after the frame already on its way.
        anchor_ns_ = DueNs(static_cast<int64_t>(next_index_));
        anchor_index_ = next_index_;
    }
    time_per_frame_ = t;
    capture_mode_ = p->parm.capture.capturemode;
    return GetParm(p);
}

int SimCamera::GetParm(v4l2_streamparm* p) {
    if (p->type != V4L2_BUF_TYPE_VIDEO_CAPTURE) return -EINVAL;
    p->parm.capture = {};
    p->parm.capture.capability = V4L2_CAP_TIMEPERFRAME;
    p->parm.capture.capturemode = capture_mode_;
    p->parm.capture.timeperframe = time_per_frame_;
    return 0;
}

int SimCamera::Control(v4l2_control* c, bool set) {
    int* value = nullptr;
    int vflip = vflip_, hflip = hflip_;
    switch (c->id) {
        case V4L2_CID_VFLIP: value = &vflip; break;
        case V4L2_CID_HFLIP: value = &hflip; break;
        case V4L2_CID_PRIVATE_BASE: value = &rotation_; break;       // the overlay's rotation
        case V4L2_CID_PRIVATE_BASE + 1: value = &private1_; break;   // a driver-private setting
        default: return -EINVAL;
    }
    if (!set) {
        c->value = *value;
        return 0;
    }
    *value = c->value;
    vflip_ = vflip != 0;
    hflip_ = hflip != 0;
    return 0;
}

int SimCamera::Overlay(const int* on) {
    overlay_on_ = *on != 0;
    VideoPlane& plane = ThePlane();
    std::lock_guard lock(plane.mutex);
    if (overlay_on_) {
        plane.camera = this;
    } else if (plane.camera == this) {
        plane.camera = nullptr;
    }
    return 0;
}

int64_t SimCamera::PeriodNs() const {
    return static_cast<int64_t>(time_per_frame_.numerator) * kNsPerSecond / time_per_frame_.denominator;
}

int64_t SimCamera::DueNs(int64_t index) const {
    // Frames times the frame time, in whole periods of the denominator and
    // the rest: a 1001/30000 frame time times a week of frames overflows 64
    // bits in nanoseconds, and 32-bit ARM has no 128-bit integer.
    const int64_t frames_by_num = (index - static_cast<int64_t>(anchor_index_)) * time_per_frame_.numerator;
    const int64_t den = time_per_frame_.denominator;
    return anchor_ns_ + frames_by_num / den * kNsPerSecond + frames_by_num % den * kNsPerSecond / den;
}

void SimCamera::ApplyWorld() {
    WithBoardWorld([this](WorldReader& w) {
        pending_drop_ += std::max<int64_t>(0, w.TakeOnce(kWorldCameraDrop, kWorldCameraDropGen));
        pending_eio_ += std::max<int64_t>(0, w.TakeOnce(kWorldCameraEio, kWorldCameraEioGen));
        time_jump_ns_ += w.TakeOnce(kWorldCameraTimeJumpMs, kWorldCameraTimeJumpGen) * 1000000;
        stall_until_ns_ = w.Int(kWorldCameraStallUntilMs, 0) * 1000000;
        world_max_buffers_ = static_cast<int>(std::clamp<int64_t>(w.Int(kWorldCameraMaxBuffers, 0), 0, kCameraBuffers));
    });
}

void SimCamera::Advance(int64_t now_ns) {
    if (!streaming_) return;
    // Follow a step of the wall clock, but not its jitter: frame stamps
    // stay exactly one frame time apart.
    const int64_t offset = WallOffsetNs();
    if (std::abs(offset - wall_offset_ns_) > kNsPerSecond / 10) wall_offset_ns_ = offset;
    for (;;) {
        const int64_t due = DueNs(static_cast<int64_t>(next_index_));
        if (due > now_ns) break;
        if (due < stall_until_ns_) {
            // Stalled: the sensor delivers nothing before the stall ends and
            // goes on counting from there.
            anchor_ns_ = stall_until_ns_;
            anchor_index_ = next_index_;
            continue;
        }
        if (pending_drop_ > 0) {
            --pending_drop_;
            ++counters_.dropped;
        } else if (!queued_.empty()) {
            const uint32_t index = queued_.front();
            queued_.pop_front();
            Buffer& b = buffers_[index];
            Capture(b, next_index_, due);
            b.state = BufferState::kDone;
            done_.push_back(index);
            ++counters_.delivered;
        } else {
            ++counters_.lost;
        }
        ++next_index_;
    }
}

void SimCamera::Capture(Buffer& b, uint64_t index, int64_t due_ns) {
    const int w = static_cast<int>(pix_.width), h = static_cast<int>(pix_.height);
    const YuvPlanes pic = I420Planes(b.memory.data(), w, h);
    scene_.Draw(pic, CameraSelection(), index);
    FlipPicture(pic, vflip_, hflip_);
    // The second marker goes on the frame whose capture time is the first
    // at or after a whole second: a second boundary lies between the time
    // one frame earlier and its own.
    const int64_t wall = due_ns + wall_offset_ns_ + time_jump_ns_;
    const int64_t before = DueNs(static_cast<int64_t>(index) - 1) + wall_offset_ns_ + time_jump_ns_;
    const bool marker = FloorDiv(wall, kNsPerSecond) != FloorDiv(before, kNsPerSecond);
    DrawFrameBand(pic, static_cast<uint32_t>(index), marker);

    b.filled = {};
    b.filled.sequence = static_cast<uint32_t>(index);
    b.filled.bytesused = pix_.sizeimage;
    b.filled.field = pix_.field;
    b.filled.timestamp.tv_sec = static_cast<time_t>(FloorDiv(wall, kNsPerSecond));
    b.filled.timestamp.tv_usec = static_cast<suseconds_t>((wall - FloorDiv(wall, kNsPerSecond) * kNsPerSecond) / 1000);

    std::lock_guard lock(picture_mutex_);
    last_.width = w;
    last_.height = h;
    last_.yuv.assign(b.memory.data(), b.memory.data() + pix_.sizeimage);
    last_.sequence = static_cast<uint32_t>(index);
    last_.window = window_.w;
}

ssize_t SimCamera::DoRead(std::span<std::byte>) {
    if (const int rc = TakeFault(FaultOp::kRead); rc < 0) return rc;
    return -EINVAL;  // streaming i/o only
}

ssize_t SimCamera::DoWrite(std::span<const std::byte>) {
    if (const int rc = TakeFault(FaultOp::kWrite); rc < 0) return rc;
    return -EINVAL;
}

int SimCamera::DoPoll(short events, int timeout_ms) {
    if (const int rc = TakeFault(FaultOp::kPoll); rc < 0) return rc;
    if ((events & POLLIN) == 0) return 0;
    const int64_t deadline = timeout_ms < 0 ? INT64_MAX : BoardNowNs() + int64_t{timeout_ms} * 1000000;
    std::unique_lock lock(mutex_);
    for (;;) {
        if (!streaming_) return POLLERR;
        ApplyWorld();
        const int64_t now = BoardNowNs();
        Advance(now);
        if (!done_.empty()) return POLLIN;
        if (now >= deadline) return 0;
        const int64_t next = std::max(DueNs(static_cast<int64_t>(next_index_)), stall_until_ns_);
        const int64_t wait_ns = std::clamp<int64_t>(std::min(next, deadline) - now, 0, kNsPerSecond / 10);
        lock.unlock();
        std::this_thread::sleep_for(std::chrono::nanoseconds(wait_ns));
        lock.lock();
    }
}

MappedMemory SimCamera::DoMap(size_t length, off_t offset, int* error) {
    if (const int rc = TakeFault(FaultOp::kMap); rc < 0) {
        *error = rc;
        return {};
    }
    std::lock_guard lock(mutex_);
    for (Buffer& b : buffers_) {
        if (static_cast<off_t>(b.offset) == offset && length <= b.memory.size()) {
            b.mapped = true;
            return MappedMemory(b.memory.data(), length, NoRelease);
        }
    }
    *error = -EINVAL;
    return {};
}

std::unique_ptr<Device> MakeSimCamera(const std::string& board_path, int flags, int* error) {
    if (error != nullptr) *error = 0;
    return std::make_unique<SimCamera>(board_path, flags);
}

std::optional<OverlayPicture> LastOverlayPicture() {
    VideoPlane& plane = ThePlane();
    std::lock_guard lock(plane.mutex);
    if (plane.camera == nullptr) return std::nullopt;
    OverlayPicture p = plane.camera->LastPicture();
    if (p.yuv.empty()) return std::nullopt;
    return p;
}

}  // namespace diviv::sim
