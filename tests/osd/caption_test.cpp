// Caption fonts and caption places: the glyph tables, where and how a text
// lands in the luminance plane, and what is left untouched.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "osd/font.h"
#include "osd/osd.h"

namespace {

struct FontDeleter {
    void operator()(font_type* f) const { font_deinit(f); }
};
struct SessionDeleter {
    void operator()(osd_session* s) const { osd_deinit(s); }
};
using FontPtr = std::unique_ptr<font_type, FontDeleter>;
using SessionPtr = std::unique_ptr<osd_session, SessionDeleter>;

constexpr int kW = 640, kH = 480;

// A 640 x 480 YUV 4:2:0 picture with a recognisable pattern in every plane.
std::vector<uint8_t> Picture() {
    std::vector<uint8_t> p(kW * kH * 3 / 2);
    for (size_t i = 0; i < p.size(); ++i) p[i] = static_cast<uint8_t>(i * 7 % 251);
    return p;
}

SessionPtr Place(int type, int x, int y, int w = kW, int h = kH) {
    SessionPtr s(osd_init(w, h, x, y));
    if (s) {
        EXPECT_EQ(osd_install_font(s.get(), font_init(type)), 0);
    }
    return s;
}

std::vector<uint8_t> Draw(int type, int x, int y, const char* text) {
    std::vector<uint8_t> pic = Picture();
    SessionPtr s = Place(type, x, y);
    osd_update(s.get(), pic.data(), text);
    return pic;
}

const uint8_t* Glyph(const font_type* f, char c) { return f->fonts.data() + c * f->size; }

bool HasBitmap(const font_type* f, char c) { return Glyph(f, c)[0] != FONT_EMPTY_GLYPH; }

struct FontRow {
    int type;
    const char* name;
    int width, height, table_bytes;
    bool slash;
};
const FontRow kFonts[] = {
    {FONT_8X10, "8x10 font", 8, 10, 10160, true},       {FONT_10X12, "10x12 font", 10, 12, 15240, true},
    {FONT_15X17, "15x17 font", 15, 17, 32385, false},   {FONT_24X32, "24x32 font", 24, 32, 97536, false},
    {FONT_24X32B, "24x32B font", 24, 32, 97536, false}, {FONT_15X17B, "15x17B font", 15, 17, 32385, false},
    {FONT_10X12B, "10x12B font", 10, 12, 15240, true},  {FONT_13X17B, "13x17B font", 13, 17, 28067, true},
};

}  // namespace

TEST(CaptionFont, EveryTypeHasItsNameSizeAndCharacterSet) {
    for (const FontRow& row : kFonts) {
        SCOPED_TRACE(row.name);
        FontPtr f(font_init(row.type));
        ASSERT_NE(f, nullptr);
        EXPECT_STREQ(f->type, row.name);
        EXPECT_EQ(f->width, row.width);
        EXPECT_EQ(f->height, row.height);
        EXPECT_EQ(f->size, row.width * row.height);
        EXPECT_EQ(static_cast<int>(f->fonts.size()), row.table_bytes);
        for (int c = 0; c < FONT_GLYPH_COUNT; ++c) {
            const bool listed = (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || c == ':' || (c == '/' && row.slash);
            EXPECT_EQ(HasBitmap(f.get(), static_cast<char>(c)), listed) << "code " << c;
            if (!listed) continue;
            const uint8_t* g = Glyph(f.get(), static_cast<char>(c));
            int inked = 0;
            for (int i = 0; i < f->size; ++i) inked += g[i] != 0;
            EXPECT_GT(inked, 0) << "code " << c << " draws nothing";
        }
    }
}

TEST(CaptionFont, ShadedVariantsHaveDarkEdgesAndGreyLevels) {
    for (const FontRow& row : kFonts) {
        FontPtr f(font_init(row.type));
        ASSERT_NE(f, nullptr);
        bool dark = false, grey = false, other = false;
        for (const char* c = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ:"; *c; ++c) {
            const uint8_t* g = Glyph(f.get(), *c);
            for (int i = 0; i < f->size; ++i) {
                dark |= g[i] > 0 && g[i] < 16;
                grey |= g[i] >= 16 && g[i] < 255;
                other |= g[i] != 0 && g[i] != 255;
            }
        }
        const bool shaded = std::string(row.name).find("B font") != std::string::npos;
        SCOPED_TRACE(row.name);
        EXPECT_EQ(dark && grey, shaded);
        if (!shaded) {
            EXPECT_FALSE(other) << "plain fonts are white on transparent";
        }
    }
}

TEST(CaptionFont, UnknownTypesAndMissingFontsAreRefused) {
    EXPECT_EQ(font_init(-1), nullptr);
    EXPECT_EQ(font_init(8), nullptr);
    EXPECT_EQ(font_deinit(nullptr), -1);
}

TEST(CaptionPlace, PositionsOutsideThePictureAreRefused) {
    EXPECT_EQ(osd_init(kW, kH, kW + 1, 10), nullptr);
    EXPECT_EQ(osd_init(kW, kH, 10, kH + 1), nullptr);
    EXPECT_EQ(osd_init(kW, kH, -1, 10), nullptr);
    EXPECT_EQ(osd_init(kW, kH, 10, -1), nullptr);
    EXPECT_EQ(osd_init(0, kH, 0, 0), nullptr);
    SessionPtr edge(osd_init(kW, kH, kW, kH));
    ASSERT_NE(edge, nullptr);
    EXPECT_EQ(edge->phys_x, kW);
    EXPECT_EQ(edge->phys_y, kH);
    EXPECT_EQ(edge->font, nullptr) << "a new caption place has no font";
}

TEST(CaptionPlace, InstallingNeedsBothPlaceAndFont) {
    SessionPtr s(osd_init(kW, kH, 10, 10));
    FontPtr f(font_init(FONT_10X12));
    EXPECT_EQ(osd_install_font(nullptr, f.get()), -1);
    EXPECT_EQ(osd_install_font(s.get(), nullptr), -1);
    EXPECT_EQ(osd_install_font(s.get(), f.release()), 0);
    // Replacing the font frees the first one (the leak checker would see it).
    EXPECT_EQ(osd_install_font(s.get(), font_init(FONT_8X10)), 0);
    EXPECT_EQ(s->font->width, 8);
    EXPECT_EQ(osd_deinit(nullptr), -1);
}

TEST(CaptionDrawing, GlyphLandsOneLineAboveItsRowAndSkipsTransparentBytes) {
    const int x = 100, y = 50;
    const std::vector<uint8_t> before = Picture();
    const std::vector<uint8_t> after = Draw(FONT_13X17B, x, y, "8");
    FontPtr f(font_init(FONT_13X17B));
    const uint8_t* g = Glyph(f.get(), '8');
    std::vector<bool> covered(before.size(), false);
    for (int r = 0; r < f->height; ++r) {
        for (int c = 0; c < f->width; ++c) {
            const size_t at = static_cast<size_t>(y - 1 + r) * kW + x + c;
            covered[at] = true;
            const uint8_t want = g[r * f->width + c] != 0 ? g[r * f->width + c] : before[at];
            ASSERT_EQ(after[at], want) << "row " << r << " column " << c;
        }
    }
    for (size_t i = 0; i < before.size(); ++i) {
        if (!covered[i]) {
            ASSERT_EQ(after[i], before[i]) << "byte " << i << " outside the glyph changed";
        }
    }
}

TEST(CaptionDrawing, LowerCaseIsDrawnAsUpperCase) {
    for (const FontRow& row : kFonts) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(Draw(row.type, 20, 30, "playback : file00042.asf"), Draw(row.type, 20, 30, "PLAYBACK : FILE00042.ASF"));
    }
}

TEST(CaptionDrawing, SpacesAndCharactersWithoutArtAdvanceWithoutDrawing) {
    for (const FontRow& row : kFonts) {
        SCOPED_TRACE(row.name);
        const int step = row.width + 1;
        std::vector<uint8_t> expect = Picture();
        SessionPtr a = Place(row.type, 10, 40);
        osd_update(a.get(), expect.data(), "A");
        SessionPtr b = Place(row.type, 10 + 2 * step, 40);
        osd_update(b.get(), expect.data(), "B");
        EXPECT_EQ(Draw(row.type, 10, 40, "A B"), expect);
        EXPECT_EQ(Draw(row.type, 10, 40, "A.B"), expect) << "'.' has no glyph";
        EXPECT_EQ(Draw(row.type, 10, 40, "A\x7f" "B"), expect) << "DEL has no slot";
    }
}

TEST(CaptionDrawing, SlashLeavesAGapOnlyInFontsWithoutIt) {
    for (const FontRow& row : kFonts) {
        SCOPED_TRACE(row.name);
        std::vector<uint8_t> gap = Picture();
        SessionPtr one = Place(row.type, 30, 60);
        osd_update(one.get(), gap.data(), "1");
        SessionPtr two = Place(row.type, 30 + 2 * (row.width + 1), 60);
        osd_update(two.get(), gap.data(), "2");
        const std::vector<uint8_t> drawn = Draw(row.type, 30, 60, "1/2");
        if (row.slash) {
            EXPECT_NE(drawn, gap);
        } else {
            EXPECT_EQ(drawn, gap);
        }
    }
}

TEST(CaptionDrawing, BytesOutsideTheAsciiTableAdvanceWithoutReadingPastIt) {
    // UTF-8 "é" is two bytes above 127; each is a gap of one character.
    std::vector<uint8_t> expect = Picture();
    SessionPtr b = Place(FONT_10X12, 10 + 3 * 11, 40);
    osd_update(b.get(), expect.data(), "B");
    SessionPtr a = Place(FONT_10X12, 10, 40);
    osd_update(a.get(), expect.data(), "A");
    EXPECT_EQ(Draw(FONT_10X12, 10, 40, "A\xc3\xa9" "B"), expect);
}

TEST(CaptionDrawing, CaptionsNearTheEdgesStayInsideThePicture) {
    // Guard bytes around a small picture catch any store outside it.
    constexpr int w = 64, h = 32, guard = 4096, bytes = w * h * 3 / 2;
    auto run = [&](int x, int y, const char* text, std::vector<uint8_t>* out) {
        std::vector<uint8_t> mem(guard + bytes + guard, 0x5a);
        uint8_t* pic = mem.data() + guard;
        std::memset(pic, 16, bytes);
        SessionPtr s(osd_init(w, h, x, y));
        ASSERT_NE(s, nullptr);
        ASSERT_EQ(osd_install_font(s.get(), font_init(FONT_24X32)), 0);
        osd_update(s.get(), pic, text);
        for (int i = 0; i < guard; ++i) {
            ASSERT_EQ(mem[i], 0x5a) << "store before the picture";
            ASSERT_EQ(mem[guard + bytes + i], 0x5a) << "store after the picture";
        }
        for (int i = w * h; i < bytes; ++i) ASSERT_EQ(pic[i], 16) << "colour planes are never touched";
        out->assign(pic, pic + bytes);
    };
    std::vector<uint8_t> one, many, corner;
    run(0, 0, "8", &one);       // the top row would lie on line -1
    run(0, 0, "88888", &many);  // runs past the right edge
    run(50, h, "8888", &corner);
    // Characters past the right edge are cut there, not wrapped onto the
    // next line's left end, which belongs to the first glyph alone.
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < 24; ++x) ASSERT_EQ(many[y * w + x], one[y * w + x]) << "line " << y << " column " << x;
    }
}

TEST(CaptionDrawing, NothingIsDrawnWithoutFontPictureOrText) {
    std::vector<uint8_t> pic = Picture();
    SessionPtr bare(osd_init(kW, kH, 10, 10));
    osd_update(bare.get(), pic.data(), "12:00");
    osd_update(nullptr, pic.data(), "12:00");
    SessionPtr s = Place(FONT_10X12, 10, 10);
    osd_update(s.get(), nullptr, "12:00");
    osd_update(s.get(), pic.data(), nullptr);
    EXPECT_EQ(pic, Picture());
}
