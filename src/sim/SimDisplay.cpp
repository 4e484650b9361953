#include "sim/SimDisplay.h"

#include <fcntl.h>
#include <poll.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>

#include "platform/BoardPath.h"
#include "sim/FrameBand.h"

namespace diviv::sim {

namespace {

constexpr int64_t kNsPerSecond = 1000000000;
constexpr uint32_t kPage = 4096;
constexpr int kMaxWidth = 1920, kMaxHeight = 1088, kMinSize = 16;
constexpr int64_t kMaxWaitStepNs = kNsPerSecond / 100;  // a waiting dequeue looks this often
constexpr int64_t kDequeueGiveUpNs = 5 * kNsPerSecond;  // no picture due for this long: -ETIMEDOUT

int64_t WallNowNs() {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    return static_cast<int64_t>(ts.tv_sec) * kNsPerSecond + ts.tv_nsec;
}

int64_t TimevalNs(const timeval& t) {
    return static_cast<int64_t>(t.tv_sec) * kNsPerSecond + static_cast<int64_t>(t.tv_usec) * 1000;
}

uint8_t Clamp(int v) { return static_cast<uint8_t>(v < 0 ? 0 : v > 255 ? 255 : v); }

}  // namespace

void ComposeI420(const uint8_t* i420, int pic_width, int pic_height, const v4l2_rect& window, uint8_t* rgb,
                 uint8_t* mask, int width, int height) {
    if (i420 == nullptr || rgb == nullptr || pic_width <= 0 || pic_height <= 0 || width <= 0 || height <= 0) return;
    const int wx = window.left, wy = window.top;
    const int ww = window.width > 0 ? static_cast<int>(window.width) : pic_width;
    const int wh = window.height > 0 ? static_cast<int>(window.height) : pic_height;
    const int cw = (pic_width + 1) / 2, ch = (pic_height + 1) / 2;
    const uint8_t* y_plane = i420;
    const uint8_t* u_plane = y_plane + static_cast<size_t>(pic_width) * pic_height;
    const uint8_t* v_plane = u_plane + static_cast<size_t>(cw) * ch;
    for (int dy = 0; dy < wh; ++dy) {
        const int oy = wy + dy;
        if (oy < 0 || oy >= height) continue;
        const int sy = static_cast<int>(static_cast<int64_t>(dy) * pic_height / wh);
        for (int dx = 0; dx < ww; ++dx) {
            const int ox = wx + dx;
            if (ox < 0 || ox >= width) continue;
            const int sx = static_cast<int>(static_cast<int64_t>(dx) * pic_width / ww);
            // ITU-R BT.601 studio range to full-range RGB.
            const int c = y_plane[static_cast<size_t>(sy) * pic_width + sx] - 16;
            const int d = u_plane[static_cast<size_t>(sy / 2) * cw + sx / 2] - 128;
            const int e = v_plane[static_cast<size_t>(sy / 2) * cw + sx / 2] - 128;
            if (mask != nullptr) mask[static_cast<size_t>(oy) * width + ox] = 1;
            uint8_t* px = rgb + (static_cast<size_t>(oy) * width + ox) * 3;
            px[0] = Clamp((298 * c + 409 * e + 128) >> 8);
            px[1] = Clamp((298 * c - 100 * d - 208 * e + 128) >> 8);
            px[2] = Clamp((298 * c + 516 * d + 128) >> 8);
        }
    }
}

void SimVideoPlane::Show(const uint8_t* i420, int width, int height, const v4l2_rect& window, int64_t shown_ns) {
    const size_t size = static_cast<size_t>(width) * height + 2 * static_cast<size_t>((width + 1) / 2) * ((height + 1) / 2);
    const FrameBandReading band = ReadFrameBand(i420, width, height, width);
    std::lock_guard lock(mutex_);
    picture_.assign(i420, i420 + size);
    width_ = width;
    height_ = height;
    window_ = window;
    showing_ = true;
    ShownPicture entry{shown_.size(), shown_ns, band.ok ? static_cast<int64_t>(band.sequence) : -1};
    shown_.push_back(entry);
    if (!log_) log_ = OwnedFd(::open(BoardPath(kShownLogFile).c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644));
    if (log_) {
        char line[80];
        const int n = std::snprintf(line, sizeof line, "%llu %lld %lld\n", static_cast<unsigned long long>(entry.count),
                                    static_cast<long long>(shown_ns / 1000), static_cast<long long>(entry.frame));
        (void)!::write(log_.get(), line, static_cast<size_t>(n));
    }
}

void SimVideoPlane::Blank() {
    std::lock_guard lock(mutex_);
    showing_ = false;
}

void SimVideoPlane::SetSource(const void* owner, std::function<void()> advance) {
    std::lock_guard lock(source_mutex_);
    source_owner_ = owner;
    advance_ = std::move(advance);
}

void SimVideoPlane::ClearSource(const void* owner) {
    std::lock_guard lock(source_mutex_);
    if (source_owner_ != owner) return;
    source_owner_ = nullptr;
    advance_ = nullptr;
}

bool SimVideoPlane::Compose(uint8_t* rgb, int width, int height) {
    {
        std::lock_guard source(source_mutex_);
        if (advance_) advance_();
    }
    std::lock_guard lock(mutex_);
    if (!showing_) return false;
    ComposeI420(picture_.data(), width_, height_, window_, rgb, nullptr, width, height);
    return true;
}

std::vector<ShownPicture> SimVideoPlane::Shown() const {
    std::lock_guard lock(mutex_);
    return shown_;
}

PlanePicture SimVideoPlane::Last() const {
    std::lock_guard lock(mutex_);
    return {showing_, width_, height_, picture_, window_};
}

SimVideoOutput::SimVideoOutput(std::string board_path, int flags, std::shared_ptr<SimVideoPlane> plane)
    : DeviceModel(std::move(board_path)), nonblocking_((flags & O_NONBLOCK) != 0), plane_(std::move(plane)) {
    pix_.width = kScreenWidth;
    pix_.height = kScreenHeight;
    pix_.pixelformat = V4L2_PIX_FMT_YUV420;
    pix_.bytesperline = kScreenWidth;
    pix_.sizeimage = kScreenWidth * kScreenHeight * 3 / 2;
    pix_.field = V4L2_FIELD_NONE;
    plane_->SetSource(this, [this] {
        std::lock_guard lock(mutex_);
        Advance(WallNowNs());
    });
}

SimVideoOutput::~SimVideoOutput() {
    plane_->ClearSource(this);
    std::lock_guard lock(mutex_);
    if (streaming_) StreamOff();
}

int SimVideoOutput::DoIoctl(unsigned long request, void* arg) {
    if (const int rc = TakeFault(FaultOp::kIoctl, request); rc < 0) return rc;
    if (arg == nullptr) return -EFAULT;
    std::unique_lock lock(mutex_);
    return Request(request, arg, lock);
}

int SimVideoOutput::Request(unsigned long request, void* arg, std::unique_lock<std::mutex>& lock) {
    switch (request) {
        case VIDIOC_QUERYCAP: {
            auto* cap = static_cast<v4l2_capability*>(arg);
            *cap = {};
            std::snprintf(reinterpret_cast<char*>(cap->driver), sizeof cap->driver, "mxc_v4l2_output");
            std::snprintf(reinterpret_cast<char*>(cap->card), sizeof cap->card, "DiViv simulated display");
            cap->capabilities = V4L2_CAP_VIDEO_OUTPUT | V4L2_CAP_STREAMING;
            return 0;
        }
        case VIDIOC_S_OUTPUT: {
            const int out = *static_cast<const int*>(arg);
            if (out < 0 || out > 5) return -EINVAL;
            output_ = out;
            return 0;
        }
        case VIDIOC_G_OUTPUT:
            *static_cast<int*>(arg) = output_;
            return 0;
        case VIDIOC_CROPCAP: {
            auto* cc = static_cast<v4l2_cropcap*>(arg);
            if (cc->type != V4L2_BUF_TYPE_VIDEO_OUTPUT) return -EINVAL;
            cc->bounds = {0, 0, kScreenWidth, kScreenHeight};
            cc->defrect = cc->bounds;
            cc->pixelaspect = {1, 1};
            return 0;
        }
        case VIDIOC_S_CROP: {
            auto* crop = static_cast<v4l2_crop*>(arg);
            if (crop->type != V4L2_BUF_TYPE_VIDEO_OUTPUT) return -EINVAL;
            // The window is kept on the screen, as the driver clips it.
            v4l2_rect c = crop->c;
            c.left = std::clamp<int32_t>(c.left, 0, kScreenWidth - kMinSize);
            c.top = std::clamp<int32_t>(c.top, 0, kScreenHeight - kMinSize);
            c.width = std::clamp<uint32_t>(c.width, kMinSize, static_cast<uint32_t>(kScreenWidth - c.left));
            c.height = std::clamp<uint32_t>(c.height, kMinSize, static_cast<uint32_t>(kScreenHeight - c.top));
            crop_ = c;
            crop->c = c;
            return 0;
        }
        case VIDIOC_G_CROP: {
            auto* crop = static_cast<v4l2_crop*>(arg);
            if (crop->type != V4L2_BUF_TYPE_VIDEO_OUTPUT) return -EINVAL;
            crop->c = crop_;
            return 0;
        }
        case VIDIOC_S_CTRL:
        case VIDIOC_G_CTRL: {
            auto* ctrl = static_cast<v4l2_control*>(arg);
            if (ctrl->id != V4L2_CID_PRIVATE_BASE) return -EINVAL;
            if (request == VIDIOC_G_CTRL) {
                ctrl->value = rotation_;
                return 0;
            }
            if (ctrl->value < 0 || ctrl->value > 7) return -EINVAL;
            rotation_ = ctrl->value;
            return 0;
        }
        case VIDIOC_S_FBUF:
            fbuf_flags_ = static_cast<const v4l2_framebuffer*>(arg)->flags;
            return 0;
        case VIDIOC_G_FBUF: {
            auto* fb = static_cast<v4l2_framebuffer*>(arg);
            *fb = {};
            fb->capability = 1;
            fb->flags = fbuf_flags_;
            return 0;
        }
        case VIDIOC_S_FMT:
            return SetFormat(static_cast<v4l2_format*>(arg));
        case VIDIOC_G_FMT: {
            auto* f = static_cast<v4l2_format*>(arg);
            if (f->type != V4L2_BUF_TYPE_VIDEO_OUTPUT) return -EINVAL;
            f->fmt.pix = pix_;
            return 0;
        }
        case VIDIOC_REQBUFS:
            return RequestBuffers(static_cast<v4l2_requestbuffers*>(arg));
        case VIDIOC_QUERYBUF:
            return QueryBuffer(static_cast<v4l2_buffer*>(arg));
        case VIDIOC_QBUF:
            return QueueBuffer(static_cast<const v4l2_buffer*>(arg));
        case VIDIOC_DQBUF:
            return DequeueBuffer(static_cast<v4l2_buffer*>(arg), lock);
        case VIDIOC_STREAMON:
            if (*static_cast<const int*>(arg) != V4L2_BUF_TYPE_VIDEO_OUTPUT || buffers_.empty()) return -EINVAL;
            if (!streaming_) {
                streaming_ = true;
                streamon_ns_ = WallNowNs();
            }
            return 0;
        case VIDIOC_STREAMOFF:
            if (*static_cast<const int*>(arg) != V4L2_BUF_TYPE_VIDEO_OUTPUT) return -EINVAL;
            StreamOff();
            return 0;
        default:
            return -ENOTTY;
    }
}

int SimVideoOutput::SetFormat(v4l2_format* f) {
    if (f->type != V4L2_BUF_TYPE_VIDEO_OUTPUT) return -EINVAL;
    if (!buffers_.empty()) return -EBUSY;
    v4l2_pix_format& p = f->fmt.pix;
    p.width = std::clamp<uint32_t>(p.width & ~1u, kMinSize, kMaxWidth);
    p.height = std::clamp<uint32_t>(p.height & ~1u, kMinSize, kMaxHeight);
    p.pixelformat = V4L2_PIX_FMT_YUV420;
    p.bytesperline = p.width;
    p.sizeimage = p.width * p.height * 3 / 2;
    p.field = V4L2_FIELD_NONE;
    pix_ = p;
    return 0;
}

uint32_t SimVideoOutput::BufferStride() const { return (pix_.sizeimage + kPage - 1) / kPage * kPage; }

int SimVideoOutput::RequestBuffers(v4l2_requestbuffers* req) {
    if (req->type != V4L2_BUF_TYPE_VIDEO_OUTPUT || req->memory != V4L2_MEMORY_MMAP) return -EINVAL;
    if (streaming_) return -EBUSY;
    for (Buffer& b : buffers_) retired_.push_back(std::move(b.memory));
    buffers_.clear();
    order_.clear();
    showing_ = -1;
    const uint32_t n = std::min<uint32_t>(req->count, kOutputBuffers);
    buffers_.resize(n);
    for (Buffer& b : buffers_) b.memory.assign(BufferStride(), 0);
    req->count = n;
    return 0;
}

int SimVideoOutput::QueryBuffer(v4l2_buffer* b) const {
    if (b->type != V4L2_BUF_TYPE_VIDEO_OUTPUT || b->index >= buffers_.size()) return -EINVAL;
    const Buffer& buf = buffers_[b->index];
    b->memory = V4L2_MEMORY_MMAP;
    b->length = pix_.sizeimage;
    b->m.offset = b->index * BufferStride();
    b->flags = buf.state == BufferState::kQueued || buf.state == BufferState::kShowing ? V4L2_BUF_FLAG_QUEUED : 0;
    if (buf.state == BufferState::kDone) b->flags |= V4L2_BUF_FLAG_DONE;
    return 0;
}

int SimVideoOutput::QueueBuffer(const v4l2_buffer* b) {
    if (b->type != V4L2_BUF_TYPE_VIDEO_OUTPUT || b->memory != V4L2_MEMORY_MMAP || b->index >= buffers_.size())
        return -EINVAL;
    Buffer& buf = buffers_[b->index];
    if (buf.state == BufferState::kQueued || buf.state == BufferState::kShowing) return -EINVAL;
    buf.state = BufferState::kQueued;
    // No stamp: show it as soon as it can be.
    buf.due_ns = b->timestamp.tv_sec == 0 && b->timestamp.tv_usec == 0 ? 0 : TimevalNs(b->timestamp);
    order_.push_back(b->index);
    Advance(WallNowNs());
    return 0;
}

void SimVideoOutput::Advance(int64_t now_ns) {
    if (!streaming_) return;
    while (!order_.empty()) {
        Buffer& next = buffers_[order_.front()];
        const int64_t at = std::max({next.due_ns, streamon_ns_, last_shown_ns_});
        if (at > now_ns) return;
        if (showing_ >= 0) buffers_[static_cast<size_t>(showing_)].state = BufferState::kDone;
        showing_ = static_cast<int>(order_.front());
        order_.erase(order_.begin());
        next.state = BufferState::kShowing;
        last_shown_ns_ = at;
        plane_->Show(next.memory.data(), static_cast<int>(pix_.width), static_cast<int>(pix_.height), crop_, at);
    }
}

int SimVideoOutput::DequeueBuffer(v4l2_buffer* b, std::unique_lock<std::mutex>& lock) {
    if (b->type != V4L2_BUF_TYPE_VIDEO_OUTPUT) return -EINVAL;
    const int64_t give_up = WallNowNs() + kDequeueGiveUpNs;
    for (;;) {
        if (!streaming_) return -EINVAL;
        const int64_t now = WallNowNs();
        Advance(now);
        for (uint32_t i = 0; i < buffers_.size(); ++i) {
            if (buffers_[i].state != BufferState::kDone) continue;
            buffers_[i].state = BufferState::kUser;
            b->index = i;
            b->memory = V4L2_MEMORY_MMAP;
            b->bytesused = pix_.sizeimage;
            b->flags = 0;
            return 0;
        }
        if (nonblocking_) return -EAGAIN;
        if (order_.empty() || now >= give_up) return -ETIMEDOUT;  // nothing will ever be done
        const int64_t next_due = std::max({buffers_[order_.front()].due_ns, streamon_ns_, last_shown_ns_});
        const int64_t wait = std::clamp<int64_t>(next_due - now, 0, kMaxWaitStepNs);
        lock.unlock();
        std::this_thread::sleep_for(std::chrono::nanoseconds(wait));
        lock.lock();
    }
}

void SimVideoOutput::StreamOff() {
    streaming_ = false;
    for (Buffer& b : buffers_) b.state = BufferState::kUser;
    order_.clear();
    showing_ = -1;
    last_shown_ns_ = 0;
    plane_->Blank();
}

ssize_t SimVideoOutput::DoRead(std::span<std::byte>) {
    if (const int rc = TakeFault(FaultOp::kRead); rc < 0) return rc;
    return -EINVAL;
}

ssize_t SimVideoOutput::DoWrite(std::span<const std::byte>) {
    if (const int rc = TakeFault(FaultOp::kWrite); rc < 0) return rc;
    return -EINVAL;  // pictures go through the mapped buffers
}

int SimVideoOutput::DoPoll(short events, int timeout_ms) {
    if (const int rc = TakeFault(FaultOp::kPoll); rc < 0) return rc;
    if ((events & POLLOUT) == 0) return 0;
    const int64_t deadline = timeout_ms < 0 ? INT64_MAX : WallNowNs() + int64_t{timeout_ms} * 1000000;
    std::unique_lock lock(mutex_);
    for (;;) {
        if (!streaming_) return POLLERR;
        const int64_t now = WallNowNs();
        Advance(now);
        for (const Buffer& b : buffers_)
            if (b.state == BufferState::kDone) return POLLOUT;
        if (now >= deadline) return 0;
        lock.unlock();
        std::this_thread::sleep_for(std::chrono::nanoseconds(std::min(deadline - now, kMaxWaitStepNs)));
        lock.lock();
    }
}

MappedMemory SimVideoOutput::DoMap(size_t length, off_t offset, int* error) {
    if (const int rc = TakeFault(FaultOp::kMap); rc < 0) {
        *error = rc;
        return {};
    }
    std::lock_guard lock(mutex_);
    const uint32_t stride = BufferStride();
    if (offset < 0 || stride == 0 || static_cast<uint64_t>(offset) % stride != 0) {
        *error = -EINVAL;
        return {};
    }
    const size_t index = static_cast<size_t>(offset) / stride;
    if (index >= buffers_.size() || length > buffers_[index].memory.size()) {
        *error = -EINVAL;
        return {};
    }
    *error = 0;
    return MappedMemory(buffers_[index].memory.data(), length, [](void*, size_t) { return 0; });
}

std::unique_ptr<Device> MakeSimVideoOutput(std::shared_ptr<SimVideoPlane> plane, const std::string& board_path,
                                           int flags, int* error) {
    if (error != nullptr) *error = 0;
    return std::make_unique<SimVideoOutput>(board_path, flags, std::move(plane));
}

}  // namespace diviv::sim
