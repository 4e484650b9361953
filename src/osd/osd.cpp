#include "osd/osd.h"

#include <algorithm>
#include <cctype>
#include <memory>
#include <new>

osd_session* osd_init(int w_max, int h_max, int x, int y) {
    if (w_max <= 0 || h_max <= 0 || x < 0 || y < 0 || x > w_max || y > h_max) return nullptr;
    std::unique_ptr<osd_session> sess;
    try {
        sess = std::make_unique<osd_session>();
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
    sess->phys_x = w_max;
    sess->phys_y = h_max;
    sess->rel_x = x;
    sess->rel_y = y;
    return sess.release();
}

int osd_install_font(osd_session* sess, font_type* font) {
    if (!sess || !font) return -1;
    if (sess->font != font) font_deinit(sess->font);
    sess->font = font;
    return 0;
}

void osd_update(osd_session* sess, uint8_t* fb, const char* str) {
    if (!sess || !sess->font || !fb || !str) return;
    const font_type& font = *sess->font;
    const int w = font.width, h = font.height;
    const int stride = sess->phys_x;
    // The caption's top row lies one line above rel_y; rows outside the
    // picture are left out.
    const int top = sess->rel_y - 1;
    const int r0 = std::max(0, -top);
    const int r1 = std::min(h, sess->phys_y - top);
    long x = sess->rel_x;
    for (const char* p = str; *p != '\0'; ++p, x += w + 1) {
        const int code = std::toupper(static_cast<unsigned char>(*p));
        if (code >= FONT_GLYPH_COUNT) continue;  // no glyph slot: a gap
        const uint8_t* glyph = font.fonts.data() + static_cast<size_t>(code) * font.size;
        if (glyph[0] == FONT_EMPTY_GLYPH) continue;
        if (x >= stride) break;  // every later character lies further right
        const int c1 = static_cast<int>(std::min<long>(w, stride - x));
        for (int r = r0; r < r1; ++r) {
            const uint8_t* src = glyph + r * w;
            uint8_t* dst = fb + static_cast<size_t>(top + r) * stride + x;
            for (int c = 0; c < c1; ++c) {
                if (src[c] != 0) dst[c] = src[c];
            }
        }
    }
}

int osd_deinit(osd_session* sess) {
    if (!sess) return -1;
    std::unique_ptr<osd_session> owner(sess);
    font_deinit(sess->font);
    return 0;
}
