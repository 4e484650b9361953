// Bitmap fonts for captions stamped into YUV pictures.
//
// A font holds 127 glyph slots, slot n for character code n. A glyph is
// `height` rows of `width` luminance bytes, top row first; 0 is transparent.
// Slots without artwork keep the fill byte FONT_EMPTY_GLYPH in their first
// byte and are skipped when drawing (the caption still advances).
#pragma once

#include <cstdint>
#include <vector>

inline constexpr int FONT_GLYPH_COUNT = 127;
inline constexpr uint8_t FONT_EMPTY_GLYPH = 170;

// Font types of font_init.
enum : int {
    FONT_8X10 = 0,
    FONT_10X12 = 1,
    FONT_15X17 = 2,
    FONT_24X32 = 3,
    FONT_24X32B = 4,
    FONT_15X17B = 5,
    FONT_10X12B = 6,
    FONT_13X17B = 7,
};

struct font_type {
    const char* type = nullptr;  // the font's name, e.g. "10x12 font"
    int32_t width = 0;           // glyph width, pixels
    int32_t height = 0;          // glyph height, pixels
    int32_t size = 0;            // bytes per glyph = width * height
    std::vector<uint8_t> fonts;  // FONT_GLYPH_COUNT glyphs of `size` bytes
};

// A new font of the given type (FONT_8X10 .. FONT_13X17B) with its glyph
// table filled, or nullptr for an unknown type or when memory runs out.
font_type* font_init(int type);

// Frees the font. 0, or -1 for nullptr.
int font_deinit(font_type* font);
