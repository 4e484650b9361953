#include "osd/font.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>

#include "osd/glyphs/font_glyphs.h"

namespace {

// One font's artwork: digits, capitals, ':' and (optionally) '/'.
struct FontArt {
    const char* name;
    int width, height;
    const uint8_t* numeric;   // 10 glyphs
    const uint8_t* alphabet;  // 26 glyphs
    const uint8_t* colon;
    const uint8_t* slash;  // nullptr: the font has no '/'
};

#define FONT_ART(name, w, h, id, slash) \
    {name, w, h, &font_##id##_numeric[0][0], &font_##id##_alphabet[0][0], font_##id##_special, slash}

// Indexed by font type.
const FontArt kFontArt[] = {
    FONT_ART("8x10 font", 8, 10, 8x10, font_8x10_special1),
    FONT_ART("10x12 font", 10, 12, 10x12, font_10x12_special1),
    FONT_ART("15x17 font", 15, 17, 15x17, nullptr),
    FONT_ART("24x32 font", 24, 32, 24x32, nullptr),
    FONT_ART("24x32B font", 24, 32, 24x32B, nullptr),
    FONT_ART("15x17B font", 15, 17, 15x17B, nullptr),
    FONT_ART("10x12B font", 10, 12, 10x12B, font_10x12B_special1),
    FONT_ART("13x17B font", 13, 17, 13x17B, font_13x17B_special1),
};

#undef FONT_ART

void CopyGlyphs(font_type* font, int first_code, const uint8_t* glyphs, int count) {
    const size_t size = static_cast<size_t>(font->size);
    std::memcpy(font->fonts.data() + first_code * size, glyphs, count * size);
}

}  // namespace

font_type* font_init(int type) {
    if (type < 0 || type >= static_cast<int>(std::size(kFontArt))) return nullptr;
    const FontArt& art = kFontArt[type];
    std::unique_ptr<font_type> font;
    try {
        font = std::make_unique<font_type>();
        font->fonts.assign(static_cast<size_t>(FONT_GLYPH_COUNT) * art.width * art.height, FONT_EMPTY_GLYPH);
    } catch (const std::bad_alloc&) {
        return nullptr;  // the owner frees whatever was allocated
    }
    font->type = art.name;
    font->width = art.width;
    font->height = art.height;
    font->size = art.width * art.height;
    CopyGlyphs(font.get(), '0', art.numeric, 10);
    CopyGlyphs(font.get(), 'A', art.alphabet, 26);
    CopyGlyphs(font.get(), ':', art.colon, 1);
    if (art.slash) CopyGlyphs(font.get(), '/', art.slash, 1);
    return font.release();
}

int font_deinit(font_type* font) {
    if (!font) return -1;
    std::unique_ptr<font_type> owner(font);
    return 0;
}
