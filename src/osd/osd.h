// Caption places: a text drawn at a fixed place of planar YUV 4:2:0
// pictures, straight into the luminance plane, with a bitmap font.
//
// A caption place and its font belong to one thread; drawing writes only
// into the picture passed in and allocates nothing.
#pragma once

#include <cstdint>

#include "osd/font.h"

struct osd_session {
    uint8_t* origin = nullptr;  // unused, kept empty
    int32_t phys_x = 0;         // picture width = luminance line length, pixels
    int32_t phys_y = 0;         // picture height, lines
    int32_t rel_x = 0;          // caption start: column of its first glyph
    int32_t rel_y = 0;          // caption start: its top row lies one line above
    font_type* font = nullptr;  // owned; none until osd_install_font
};

// A caption place for pictures of w_max x h_max with the caption at (x, y),
// without a font; nullptr when the picture size is not positive, the
// position lies outside the picture (x > w_max, y > h_max, or negative) or
// memory runs out.
osd_session* osd_init(int w_max, int h_max, int x, int y);

// Installs the font; the caption place owns it from then on (a font
// installed earlier is freed). 0, or -1 when either is missing.
int osd_install_font(osd_session* sess, font_type* font);

// Draws str into the luminance plane of fb (the first phys_x * phys_y bytes
// of the picture). Characters are drawn as their capitals; each advances the
// caption by width + 1 pixels, also when it has no glyph. Only glyph bytes
// other than 0 are stored. Pixels that would fall outside the picture are
// not drawn. Does nothing without a place, font, picture or text.
void osd_update(osd_session* sess, uint8_t* fb, const char* str);

// Frees the caption place and its font. 0, or -1 for nullptr.
int osd_deinit(osd_session* sess);
