// The simulated framebuffers "/dev/fb0".."/dev/fb4": the display's graphics
// planes as the i.MX framebuffer driver presents them (linux/fb.h and the
// driver's global-alpha and colour-key requests, platform/MxcDisplay.h).
//
// - Identifications: fb0 "DISP0 BG", fb1 "DISP0 FG", fb2 "DISP3 BG",
//   fb3 "DISP3 FG", fb4 "DISP3 BG - DI1"; the display set-up picks the
//   plane of its output by them.
// - Each plane is 640 x 480 at 16 bits per pixel (RGB 5-6-5), line length
//   1280 bytes; FBIOGET_FSCREENINFO and FBIOGET_VSCREENINFO answer that.
// - MXCFB_SET_GBL_ALPHA (enable 0/1, alpha 0..255) and MXCFB_SET_CLR_KEY
//   (enable 0/1, colour 0x00RRGGBB) are kept per plane; other values are
//   refused with EINVAL.
// - Map: the plane's memory from offset 0, at most its size. The memory
//   belongs to the board and outlives every opening, as a real plane's does.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/MxcDisplay.h"
#include "sim/DeviceModel.h"

namespace diviv::sim {

inline constexpr int kFramebufferWidth = 640;
inline constexpr int kFramebufferHeight = 480;
inline constexpr int kFramebufferBitsPerPixel = 16;

// One graphics plane's state: memory and the driver's settings.
struct FramebufferPlane {
    std::string id;
    std::vector<uint8_t> memory;  // line length x height bytes
    mxcfb_gbl_alpha alpha{0, 255};
    mxcfb_color_key key{0, 0};
};

// The five planes of one simulated board. Thread-safe through mutex().
class SimFramebuffers {
public:
    SimFramebuffers();
    std::mutex& mutex() { return mutex_; }
    // Plane n (0..4); hold mutex() while touching its settings.
    FramebufferPlane& plane(int n) { return planes_[static_cast<size_t>(n)]; }
    // Marks (1) the pixels of a width x height screen where a plane with its
    // colour key on holds the key colour: there the video plane shows
    // through. Other mask bytes are left alone. True when any pixel is.
    bool KeyedPixels(uint8_t* mask, int width, int height);

private:
    std::mutex mutex_;
    std::array<FramebufferPlane, kFramebufferDevices> planes_;
};

class SimFramebuffer : public DeviceModel {
public:
    SimFramebuffer(std::string board_path, std::shared_ptr<SimFramebuffers> planes, int index);

private:
    int DoIoctl(unsigned long request, void* arg) override;
    ssize_t DoRead(std::span<std::byte> buffer) override;
    ssize_t DoWrite(std::span<const std::byte> data) override;
    int DoPoll(short events, int timeout_ms) override;
    MappedMemory DoMap(size_t length, off_t offset, int* error) override;

    std::shared_ptr<SimFramebuffers> planes_;
    int index_;
};

// Registers "/dev/fb0".."/dev/fb4" on `registry`, sharing `planes`.
void RegisterSimFramebuffers(DeviceRegistry& registry, std::shared_ptr<SimFramebuffers> planes);

}  // namespace diviv::sim
