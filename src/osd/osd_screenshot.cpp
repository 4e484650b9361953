#include "osd/osd_screenshot.h"

#include <png.h>

#include <cstdio>
#include <cstring>
#include <utility>

#include "osd/dfb_osd_api.h"
#include "osd/dfb_osd_core.h"

namespace {

OsdVideoPlaneSource video_source;
OsdOverlaySource overlay_source;

}  // namespace

void OSDSetVideoPlaneSource(OsdVideoPlaneSource source) { video_source = std::move(source); }

void OSDSetOverlaySource(OsdOverlaySource source) { overlay_source = std::move(source); }

bool OSDCaptureScreen(std::vector<uint8_t>* rgb, int* width, int* height) {
    if (!OSDIsOpen() || !bglayer.layer) return false;
    IDirectFBSurface* s = nullptr;
    if (bglayer.layer->GetSurface(bglayer.layer, &s) != DFB_OK) return false;
    int w = 0, h = 0;
    DFBSurfacePixelFormat fmt = DSPF_UNKNOWN;
    s->GetSize(s, &w, &h);
    s->GetPixelFormat(s, &fmt);
    void* data = nullptr;
    int pitch = 0;
    // The layer is composed in 32-bit ARGB or RGB32 on every board we run on.
    if ((fmt != DSPF_ARGB && fmt != DSPF_RGB32) || s->Lock(s, DSLF_READ, &data, &pitch) != DFB_OK) {
        s->Release(s);
        return false;
    }
    rgb->assign(static_cast<size_t>(w) * h * 3, 0);
    std::vector<uint8_t> video(rgb->size(), 0);
    if (video_source && !video_source(video.data(), w, h)) std::fill(video.begin(), video.end(), 0);
    for (int y = 0; y < h; ++y) {
        const auto* row = reinterpret_cast<const uint32_t*>(static_cast<const uint8_t*>(data) + y * pitch);
        uint8_t* out = rgb->data() + static_cast<size_t>(y) * w * 3;
        const uint8_t* vid = video.data() + static_cast<size_t>(y) * w * 3;
        for (int x = 0; x < w; ++x) {
            const uint32_t px = row[x] & 0xffffffu;
            if (px == kOsdColorKey) {
                std::memcpy(out + x * 3, vid + x * 3, 3);
            } else {
                out[x * 3] = static_cast<uint8_t>(px >> 16);
                out[x * 3 + 1] = static_cast<uint8_t>(px >> 8);
                out[x * 3 + 2] = static_cast<uint8_t>(px);
            }
        }
    }
    s->Unlock(s);
    s->Release(s);
    // The camera's overlay is written over the screen inside its window.
    std::vector<uint8_t> mask(static_cast<size_t>(w) * h, 0);
    if (overlay_source && overlay_source(video.data(), mask.data(), w, h)) {
        for (size_t i = 0; i < mask.size(); ++i) {
            if (mask[i] != 0) std::memcpy(rgb->data() + i * 3, video.data() + i * 3, 3);
        }
    }
    *width = w;
    *height = h;
    return true;
}

int WriteRgbPng(const std::string& path, const uint8_t* rgb, int width, int height) {
    png_image image;
    std::memset(&image, 0, sizeof image);
    image.version = PNG_IMAGE_VERSION;
    image.width = static_cast<png_uint_32>(width);
    image.height = static_cast<png_uint_32>(height);
    image.format = PNG_FORMAT_RGB;
    const int ok = png_image_write_to_file(&image, path.c_str(), 0, rgb, width * 3, nullptr);
    png_image_free(&image);
    return ok ? 0 : -1;
}

int OSDScreenshot(const char* png_path) {
    if (!png_path || !*png_path) return -1;
    std::vector<uint8_t> rgb;
    int w = 0, h = 0;
    if (!OSDCaptureScreen(&rgb, &w, &h)) return -1;
    const std::string part = std::string(png_path) + ".part";
    if (WriteRgbPng(part, rgb.data(), w, h) != 0 || std::rename(part.c_str(), png_path) != 0) {
        std::remove(part.c_str());
        return -1;
    }
    return 0;
}

