#include "sim/SimFramebuffer.h"

#include <linux/fb.h>

#include <algorithm>
#include <cstring>

namespace diviv::sim {

namespace {

constexpr uint32_t kLineLength = kFramebufferWidth * kFramebufferBitsPerPixel / 8;
constexpr std::array<const char*, kFramebufferDevices> kIds = {"DISP0 BG", "DISP0 FG", "DISP3 BG", "DISP3 FG",
                                                               "DISP3 BG - DI1"};

}  // namespace

SimFramebuffers::SimFramebuffers() {
    for (size_t i = 0; i < planes_.size(); ++i) {
        planes_[i].id = kIds[i];
        planes_[i].memory.assign(static_cast<size_t>(kLineLength) * kFramebufferHeight, 0);
    }
}

namespace {

// The display controller's scan of a plane: it reads the memory while
// programs draw into their mapping, without any lock, as the hardware does;
// the race checker is told so (and no library copy is used, which it would
// check regardless).
__attribute__((no_sanitize("thread"))) bool ScanForKey(const uint8_t* memory, uint16_t key, uint8_t* mask, int width,
                                                      int height) {
    bool any = false;
    const int rows = std::min(height, kFramebufferHeight), cols = std::min(width, kFramebufferWidth);
    for (int y = 0; y < rows; ++y) {
        const uint8_t* row = memory + static_cast<size_t>(y) * kLineLength;
        for (int x = 0; x < cols; ++x) {
            const uint16_t px = static_cast<uint16_t>(row[x * 2] | row[x * 2 + 1] << 8);  // little-endian 5-6-5
            if (px != key) continue;
            mask[static_cast<size_t>(y) * width + x] = 1;
            any = true;
        }
    }
    return any;
}

}  // namespace

bool SimFramebuffers::KeyedPixels(uint8_t* mask, int width, int height) {
    std::lock_guard lock(mutex_);
    bool any = false;
    for (const FramebufferPlane& p : planes_) {
        if (p.key.enable == 0) continue;
        // The key in the planes' 16-bit RGB 5-6-5.
        const uint32_t k = p.key.color_key;
        const uint16_t key = static_cast<uint16_t>(((k >> 19) & 0x1f) << 11 | ((k >> 10) & 0x3f) << 5 | ((k >> 3) & 0x1f));
        any = ScanForKey(p.memory.data(), key, mask, width, height) || any;
    }
    return any;
}

SimFramebuffer::SimFramebuffer(std::string board_path, std::shared_ptr<SimFramebuffers> planes, int index)
    : DeviceModel(std::move(board_path)), planes_(std::move(planes)), index_(index) {}

int SimFramebuffer::DoIoctl(unsigned long request, void* arg) {
    if (const int rc = TakeFault(FaultOp::kIoctl, request); rc < 0) return rc;
    if (arg == nullptr) return -EFAULT;
    std::lock_guard lock(planes_->mutex());
    FramebufferPlane& p = planes_->plane(index_);
    switch (request) {
        case FBIOGET_FSCREENINFO: {
            auto* fix = static_cast<fb_fix_screeninfo*>(arg);
            *fix = {};
            std::memcpy(fix->id, p.id.data(), std::min(p.id.size(), sizeof fix->id));
            fix->smem_len = static_cast<uint32_t>(p.memory.size());
            fix->type = FB_TYPE_PACKED_PIXELS;
            fix->visual = FB_VISUAL_TRUECOLOR;
            fix->line_length = kLineLength;
            return 0;
        }
        case FBIOGET_VSCREENINFO: {
            auto* var = static_cast<fb_var_screeninfo*>(arg);
            *var = {};
            var->xres = var->xres_virtual = kFramebufferWidth;
            var->yres = var->yres_virtual = kFramebufferHeight;
            var->bits_per_pixel = kFramebufferBitsPerPixel;
            var->red = {11, 5, 0};
            var->green = {5, 6, 0};
            var->blue = {0, 5, 0};
            return 0;
        }
        case MXCFB_SET_GBL_ALPHA: {
            const auto* a = static_cast<const mxcfb_gbl_alpha*>(arg);
            if ((a->enable != 0 && a->enable != 1) || a->alpha < 0 || a->alpha > 255) return -EINVAL;
            p.alpha = *a;
            return 0;
        }
        case MXCFB_SET_CLR_KEY: {
            const auto* k = static_cast<const mxcfb_color_key*>(arg);
            if ((k->enable != 0 && k->enable != 1) || k->color_key > 0xffffffu) return -EINVAL;
            p.key = *k;
            return 0;
        }
        default:
            return -ENOTTY;
    }
}

ssize_t SimFramebuffer::DoRead(std::span<std::byte>) {
    if (const int rc = TakeFault(FaultOp::kRead); rc < 0) return rc;
    return -EINVAL;  // the plane is reached through its mapping
}

ssize_t SimFramebuffer::DoWrite(std::span<const std::byte>) {
    if (const int rc = TakeFault(FaultOp::kWrite); rc < 0) return rc;
    return -EINVAL;
}

int SimFramebuffer::DoPoll(short, int) {
    if (const int rc = TakeFault(FaultOp::kPoll); rc < 0) return rc;
    return 0;
}

MappedMemory SimFramebuffer::DoMap(size_t length, off_t offset, int* error) {
    if (const int rc = TakeFault(FaultOp::kMap); rc < 0) {
        *error = rc;
        return {};
    }
    std::lock_guard lock(planes_->mutex());
    std::vector<uint8_t>& mem = planes_->plane(index_).memory;
    if (offset != 0 || length == 0 || length > mem.size()) {
        *error = -EINVAL;
        return {};
    }
    *error = 0;
    // The plane's memory lives as long as the board's planes; the owner
    // keeps them alive for the mapping's life.
    auto keep = planes_;
    return MappedMemory(mem.data(), length, [keep](void*, size_t) { return 0; });
}

void RegisterSimFramebuffers(DeviceRegistry& registry, std::shared_ptr<SimFramebuffers> planes) {
    for (int i = 0; i < kFramebufferDevices; ++i) {
        registry.Register(std::string(kFramebufferPathPrefix) + std::to_string(i),
                          [planes, i](const std::string& path, int, int* error) -> std::unique_ptr<Device> {
                              if (error != nullptr) *error = 0;
                              return std::make_unique<SimFramebuffer>(path, planes, i);
                          });
    }
}

}  // namespace diviv::sim
