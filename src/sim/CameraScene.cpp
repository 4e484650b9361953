#include "sim/CameraScene.h"

#include <algorithm>
#include <cstring>

namespace diviv::sim {

namespace {

// Horizontal period of every scene texture, in luma pixels: the texture is
// periodic in x, so panning by any even offset modulo it is seamless.
constexpr int kPeriod = 128;

// Per camera: pan speed and slant (luma pixels per picture and per row, both
// even so chroma follows at half), scene tint, box tint and box speed.
struct CameraLook {
    int speed, slant;
    uint8_t u, v;
    uint8_t box_u, box_v;
    int box_dx, box_dy;
};
constexpr CameraLook kLooks[4] = {
    {4, 0, 160, 110, 90, 200, 6, 4},     // 1: blue, upright bars, panning right
    {-6, 2, 100, 175, 175, 90, 4, 6},    // 2: red, bars leaning right, panning left
    {2, -2, 85, 90, 200, 150, 8, 2},     // 3: green, bars leaning left, slow
    {8, 4, 175, 170, 60, 120, 2, 8},     // 4: magenta, steep bars, fast
};

int PMod(int64_t a, int m) {
    const int r = static_cast<int>(a % m);
    return r < 0 ? r + m : r;
}

uint8_t Clamp(int v) { return static_cast<uint8_t>(std::clamp(v, 16, 235)); }

// Film grain: a fixed pseudo-random value in -16..15 per position.
int Grain(uint32_t x, uint32_t y, uint32_t salt) {
    uint32_t h = (x * 73856093u) ^ (y * 19349663u) ^ (salt * 83492791u);
    h *= 0x9E3779B1u;
    return static_cast<int>(h >> 27) - 16;
}

// Triangle wave of period p in -1..1 as -64..64.
int Triangle(int phase, int p) {
    const int half = p / 2;
    const int t = phase % p;
    return (t < half ? t : p - t) * 256 / p - 64;
}

// Bounces over 0..range: position at travelled distance t.
int Bounce(int64_t t, int range) {
    if (range <= 0) return 0;
    const int m = PMod(t, 2 * range);
    return m <= range ? m : 2 * range - m;
}

void Fill(std::vector<uint8_t>& plane, int stride, int x0, int y0, int x1, int y1, uint8_t value) {
    for (int y = y0; y < y1; ++y) std::memset(plane.data() + y * stride + x0, value, x1 - x0);
}

// Draws digit 1..4 as a seven-segment figure on a side x side tile.
void DrawDigit(std::vector<uint8_t>& tile, int side, int digit) {
    const int l = side / 5, r = side - side / 5, t = side / 8, m = side / 2, b = side - side / 8;
    const int w = std::max(2, side / 10);
    enum { A = 1, B = 2, C = 4, D = 8, E = 16, F = 32, G = 64 };
    static constexpr int kSegments[5] = {0, B | C, A | B | G | E | D, A | B | G | C | D, F | G | B | C};
    const int s = kSegments[std::clamp(digit, 0, 4)];
    if (s & A) Fill(tile, side, l, t, r, t + w, 235);
    if (s & G) Fill(tile, side, l, m - w / 2, r, m + w - w / 2, 235);
    if (s & D) Fill(tile, side, l, b - w, r, b, 235);
    if (s & F) Fill(tile, side, l, t, l + w, m, 235);
    if (s & B) Fill(tile, side, r - w, t, r, m, 235);
    if (s & E) Fill(tile, side, l, m, l + w, b, 235);
    if (s & C) Fill(tile, side, r - w, m, r, b, 235);
}

}  // namespace

struct CameraScene::View {
    int camera = 1, width = 0, height = 0;
    int tex_w = 0, ctex_w = 0;       // texture widths: picture width plus one period
    std::vector<uint8_t> y, u, v;    // height (chroma: half) rows of tex_w (ctex_w)
    int box = 0;                     // box side, even
    std::vector<uint8_t> box_y;      // box x box
};

CameraScene::CameraScene() = default;
CameraScene::~CameraScene() = default;

const CameraScene::View& CameraScene::ViewFor(int camera, int width, int height) {
    for (const auto& v : views_) {
        if (v->camera == camera && v->width == width && v->height == height) return *v;
    }
    const CameraLook& look = kLooks[camera - 1];
    auto view = std::make_unique<View>();
    View& s = *view;
    s.camera = camera;
    s.width = width;
    s.height = height;
    s.tex_w = width + kPeriod;
    s.y.resize(static_cast<size_t>(s.tex_w) * height);
    for (int y = 0; y < height; ++y) {
        const int grad = 48 + 140 * y / std::max(1, height);
        uint8_t* row = s.y.data() + static_cast<size_t>(y) * s.tex_w;
        for (int x = 0; x < s.tex_w; ++x) {
            const int p = x % kPeriod;
            int value = grad + Triangle(p + camera * 16, kPeriod / 2) / 2 + Grain(p, y, camera) / 2;
            if (p < 3) value += 70;  // a sharp edge per period
            row[x] = Clamp(value);
        }
    }
    const int cw = (width + 1) / 2, ch = (height + 1) / 2;
    s.ctex_w = cw + kPeriod / 2;
    s.u.resize(static_cast<size_t>(s.ctex_w) * ch);
    s.v.resize(s.u.size());
    for (int y = 0; y < ch; ++y) {
        for (int x = 0; x < s.ctex_w; ++x) {
            const int p = x % (kPeriod / 2);
            const size_t i = static_cast<size_t>(y) * s.ctex_w + x;
            s.u[i] = Clamp(look.u + Triangle(p, kPeriod / 2) / 3);
            s.v[i] = Clamp(look.v + (y * 40 / std::max(1, ch)) - 20);
        }
    }
    s.box = std::max(16, (height / 5) & ~1);
    s.box_y.resize(static_cast<size_t>(s.box) * s.box);
    for (int y = 0; y < s.box; ++y) {
        for (int x = 0; x < s.box; ++x) {
            const bool light = ((x / 8) + (y / 8)) % 2 != 0;
            s.box_y[static_cast<size_t>(y) * s.box + x] = Clamp((light ? 110 : 40) + Grain(x, y, 7 + camera));
        }
    }
    DrawDigit(s.box_y, s.box, camera);
    views_.push_back(std::move(view));
    return *views_.back();
}

void CameraScene::DrawView(const View& s, const YuvPlanes& r, uint64_t frame) {
    const CameraLook& look = kLooks[s.camera - 1];
    const int64_t f = static_cast<int64_t>(frame);
    const int ox = PMod(f * look.speed, kPeriod);
    for (int y = 0; y < r.height; ++y) {
        const int off = PMod(ox + static_cast<int64_t>(y) * look.slant, kPeriod);
        std::memcpy(r.y + static_cast<size_t>(y) * r.y_stride, s.y.data() + static_cast<size_t>(y) * s.tex_w + off,
                    r.width);
    }
    const int cw = (r.width + 1) / 2, ch = (r.height + 1) / 2;
    for (int y = 0; y < ch; ++y) {
        const int off = PMod(ox + static_cast<int64_t>(2 * y) * look.slant, kPeriod) / 2;
        const size_t src = static_cast<size_t>(y) * s.ctex_w + off;
        std::memcpy(r.u + static_cast<size_t>(y) * r.c_stride, s.u.data() + src, cw);
        std::memcpy(r.v + static_cast<size_t>(y) * r.c_stride, s.v.data() + src, cw);
    }
    if (s.box > r.width || s.box > r.height) return;
    const int bx = Bounce(f * look.box_dx, r.width - s.box) & ~1;
    const int by = Bounce(f * look.box_dy, r.height - s.box) & ~1;
    for (int y = 0; y < s.box; ++y) {
        std::memcpy(r.y + static_cast<size_t>(by + y) * r.y_stride + bx, s.box_y.data() + static_cast<size_t>(y) * s.box,
                    s.box);
    }
    for (int y = by / 2; y < (by + s.box) / 2; ++y) {
        std::memset(r.u + static_cast<size_t>(y) * r.c_stride + bx / 2, look.box_u, s.box / 2);
        std::memset(r.v + static_cast<size_t>(y) * r.c_stride + bx / 2, look.box_v, s.box / 2);
    }
}

void CameraScene::Draw(const YuvPlanes& pic, int camera, uint64_t frame) {
    if (pic.width <= 0 || pic.height <= 0) return;
    if (camera >= 1 && camera <= 4) {
        DrawView(ViewFor(camera, pic.width, pic.height), pic, frame);
        return;
    }
    // Quad: each camera's own scene at quadrant size, quadrant origins even.
    const int qw = (pic.width / 2) & ~1, qh = (pic.height / 2) & ~1;
    for (int c = 1; c <= 4; ++c) {
        const int x0 = (c - 1) % 2 == 0 ? 0 : qw, y0 = c <= 2 ? 0 : qh;
        YuvPlanes q = pic;
        q.width = x0 == 0 ? qw : pic.width - qw;
        q.height = y0 == 0 ? qh : pic.height - qh;
        if (q.width <= 0 || q.height <= 0) continue;
        q.y = pic.y + static_cast<size_t>(y0) * pic.y_stride + x0;
        q.u = pic.u + static_cast<size_t>(y0 / 2) * pic.c_stride + x0 / 2;
        q.v = pic.v + static_cast<size_t>(y0 / 2) * pic.c_stride + x0 / 2;
        DrawView(ViewFor(c, q.width, q.height), q, frame);
    }
}

void FlipPicture(const YuvPlanes& pic, bool vflip, bool hflip) {
    if (!vflip && !hflip) return;
    struct Plane {
        uint8_t* data;
        int width, height, stride;
    };
    const int cw = (pic.width + 1) / 2, ch = (pic.height + 1) / 2;
    const Plane planes[3] = {{pic.y, pic.width, pic.height, pic.y_stride},
                             {pic.u, cw, ch, pic.c_stride},
                             {pic.v, cw, ch, pic.c_stride}};
    for (const Plane& p : planes) {
        if (vflip) {
            for (int y = 0; y < p.height / 2; ++y) {
                uint8_t* a = p.data + static_cast<size_t>(y) * p.stride;
                uint8_t* b = p.data + static_cast<size_t>(p.height - 1 - y) * p.stride;
                std::swap_ranges(a, a + p.width, b);
            }
        }
        if (hflip) {
            for (int y = 0; y < p.height; ++y) {
                uint8_t* a = p.data + static_cast<size_t>(y) * p.stride;
                std::reverse(a, a + p.width);
            }
        }
    }
}

}  // namespace diviv::sim
