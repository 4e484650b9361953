// fontgen: rasterises a TrueType font into the caption glyph tables.
//
//   fontgen FONT.ttf OUTDIR
//
// Writes OUTDIR/font_glyphs.h and one OUTDIR/font_glyphs_<name>.cpp per
// caption font. Each glyph is `height` rows of `width` luminance bytes, 0
// transparent. Plain fonts are rendered one bit deep (hinted for the pixel
// grid) and stored as 255; the "B" fonts are anti-aliased white strokes
// inside a black (1) outline, so they stay readable on bright pictures.
//
// The output is committed; this program is not part of the normal build.
#include <ft2build.h>
#include FT_FREETYPE_H

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

namespace {

constexpr const char* kUsage =
    "usage: fontgen FONT.ttf OUTDIR\n"
    "Rasterises FONT.ttf into the caption glyph tables: OUTDIR/font_glyphs.h and\n"
    "one OUTDIR/font_glyphs_<name>.cpp per caption font.\n";

struct FontSpec {
    const char* name;  // table prefix: font_<name>_numeric ...
    int width, height;
    bool shaded;  // "B" variant: anti-aliased with a dark outline
    bool slash;   // has a glyph for '/'
};

constexpr FontSpec kFonts[] = {
    {"8x10", 8, 10, false, true},    {"10x12", 10, 12, false, true},
    {"15x17", 15, 17, false, false}, {"24x32", 24, 32, false, false},
    {"24x32B", 24, 32, true, false}, {"15x17B", 15, 17, true, false},
    {"10x12B", 10, 12, true, true},  {"13x17B", 13, 17, true, true},
};

// Byte value that marks an empty glyph slot; a drawn glyph must not start with it.
constexpr uint8_t kEmptyMark = 170;
constexpr uint8_t kOutline = 1;

using Glyph = std::vector<uint8_t>;  // width * height, row-major

struct Raster {
    int left = 0, top = 0;  // bitmap origin relative to pen / baseline
    int w = 0, h = 0;
    std::vector<uint8_t> cov;  // coverage 0..255
};

bool Render(FT_Face face, char ch, bool mono, Raster* out) {
    const FT_Int32 flags = FT_LOAD_RENDER | (mono ? FT_LOAD_TARGET_MONO : FT_LOAD_TARGET_NORMAL);
    if (FT_Load_Char(face, static_cast<FT_ULong>(ch), flags) != 0) return false;
    const FT_Bitmap& bm = face->glyph->bitmap;
    out->left = face->glyph->bitmap_left;
    out->top = face->glyph->bitmap_top;
    out->w = static_cast<int>(bm.width);
    out->h = static_cast<int>(bm.rows);
    out->cov.assign(static_cast<size_t>(out->w) * out->h, 0);
    for (int y = 0; y < out->h; ++y) {
        const unsigned char* row = bm.buffer + y * bm.pitch;
        for (int x = 0; x < out->w; ++x) {
            uint8_t v;
            if (bm.pixel_mode == FT_PIXEL_MODE_MONO) {
                v = (row[x >> 3] & (0x80 >> (x & 7))) ? 255 : 0;
            } else {
                v = row[x];
            }
            out->cov[static_cast<size_t>(y) * out->w + x] = v;
        }
    }
    return true;
}

// Characters whose parts below the baseline may be cut off; they do not
// decide the pixel size.
bool MayDescend(char ch) { return ch == 'Q' || ch == 'J' || ch == '/'; }

std::string CharSet(const FontSpec& f) {
    std::string s = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ:";
    if (f.slash) s += '/';
    return s;
}

// Largest pixel size at which every glyph fits the cell less its margin.
int FitPixelSize(FT_Face face, const FontSpec& f, int margin) {
    for (int px = f.height * 2; px > 4; --px) {
        FT_Set_Pixel_Sizes(face, 0, static_cast<FT_UInt>(px));
        bool fits = true;
        for (char ch : CharSet(f)) {
            Raster r;
            if (!Render(face, ch, !f.shaded, &r)) continue;
            const int bottom = MayDescend(ch) ? 0 : r.top - r.h;
            if (r.w > f.width - 2 * margin || r.top - std::min(bottom, 0) > f.height - 2 * margin) {
                fits = false;
                break;
            }
        }
        if (fits) return px;
    }
    return 4;
}

// Row of the baseline that centres the character set's ink vertically in
// the cell (descenders left aside), at the current pixel size.
int Baseline(FT_Face face, const FontSpec& f, int margin) {
    int top = 0, bottom = 0;
    for (char ch : CharSet(f)) {
        Raster r;
        if (!Render(face, ch, !f.shaded, &r) || MayDescend(ch)) continue;
        top = std::max(top, r.top);
        bottom = std::min(bottom, r.top - r.h);
    }
    return margin + (f.height - 2 * margin - (top - bottom)) / 2 + top;
}

Glyph Rasterise(FT_Face face, const FontSpec& f, char ch, int base) {
    Glyph g(static_cast<size_t>(f.width) * f.height, 0);
    Raster r;
    if (!Render(face, ch, !f.shaded, &r)) return g;
    // Centred horizontally; the bitmap's top stands r.top rows above the baseline.
    const int x0 = (f.width - r.w) / 2;
    const int y0 = base - r.top;
    std::vector<int> cov(g.size(), 0);
    for (int y = 0; y < r.h; ++y) {
        for (int x = 0; x < r.w; ++x) {
            const int gx = x0 + x, gy = y0 + y;
            if (gx < 0 || gy < 0 || gx >= f.width || gy >= f.height) continue;
            cov[static_cast<size_t>(gy) * f.width + gx] = r.cov[static_cast<size_t>(y) * r.w + x];
        }
    }
    for (int y = 0; y < f.height; ++y) {
        for (int x = 0; x < f.width; ++x) {
            // Stretched so that strokes keep a solid core and only their
            // rims shade from white into the outline.
            const int raw = cov[static_cast<size_t>(y) * f.width + x];
            const int c = raw == 0 ? 0 : std::clamp((raw - 24) * 255 / (176 - 24), 1, 255);
            uint8_t& out = g[static_cast<size_t>(y) * f.width + x];
            if (!f.shaded) {
                out = c >= 128 ? 255 : 0;
                continue;
            }
            if (c > 0) {
                // Blend from the outline's black to white by coverage.
                out = static_cast<uint8_t>(kOutline + (c * (255 - kOutline) + 127) / 255);
                continue;
            }
            // Outline: an uncovered pixel next to a well covered one.
            bool near = false;
            for (int dy = -1; dy <= 1 && !near; ++dy) {
                for (int dx = -1; dx <= 1 && !near; ++dx) {
                    const int nx = x + dx, ny = y + dy;
                    if (nx < 0 || ny < 0 || nx >= f.width || ny >= f.height) continue;
                    near = cov[static_cast<size_t>(ny) * f.width + nx] >= 96;
                }
            }
            out = near ? kOutline : 0;
        }
    }
    if (g[0] == kEmptyMark) g[0] = kEmptyMark + 1;
    return g;
}

// One glyph as a braced initialiser, one pixel row per line, so the shape
// can be seen in the source. `tail` follows the closing brace.
void WriteGlyph(std::ofstream& os, const FontSpec& f, const Glyph& g, char ch, const char* indent,
                const char* tail) {
    os << "{  // '" << ch << "'\n";
    for (int y = 0; y < f.height; ++y) {
        os << indent << "    ";
        for (int x = 0; x < f.width; ++x) {
            char buf[8];
            std::snprintf(buf, sizeof buf, "%3d,", g[static_cast<size_t>(y) * f.width + x]);
            os << buf;
        }
        os << "\n";
    }
    os << indent << "}" << tail << "\n";
}

bool WriteFont(FT_Face face, const FontSpec& f, const std::string& dir, const std::string& source) {
    const int margin = f.shaded ? 1 : 0;
    const int px = FitPixelSize(face, f, margin);
    FT_Set_Pixel_Sizes(face, 0, static_cast<FT_UInt>(px));
    const int base = Baseline(face, f, margin);
    const std::string path = dir + "/font_glyphs_" + f.name + ".cpp";
    std::ofstream os(path);
    if (!os) return false;
    const int n = f.width * f.height;
    os << "// Caption glyphs " << f.width << " x " << f.height << (f.shaded ? ", shaded" : "")
       << ": generated by tools/fontgen from " << source << " at " << px << " px.\n"
       << "// Do not edit; regenerate instead.\n"
       << "#include \"osd/glyphs/font_glyphs.h\"\n\n";
    auto group = [&](const char* suffix, const std::string& chars) {
        os << "const uint8_t font_" << f.name << "_" << suffix << "[" << chars.size() << "][" << n
           << "] = {\n";
        for (char ch : chars) {
            os << "    ";
            WriteGlyph(os, f, Rasterise(face, f, ch, base), ch, "    ", ",");
        }
        os << "};\n\n";
    };
    auto single = [&](const char* suffix, char ch) {
        os << "const uint8_t font_" << f.name << "_" << suffix << "[" << n << "] = ";
        WriteGlyph(os, f, Rasterise(face, f, ch, base), ch, "", ";\n");
    };
    group("numeric", "0123456789");
    group("alphabet", "ABCDEFGHIJKLMNOPQRSTUVWXYZ");
    single("special", ':');
    if (f.slash) single("special1", '/');
    return static_cast<bool>(os);
}

bool WriteHeader(const std::string& dir) {
    std::ofstream os(dir + "/font_glyphs.h");
    os << "// Caption glyph tables, generated by tools/fontgen; do not edit.\n"
       << "// Per font: digits 0-9, capitals A-Z, ':' (special) and, where the font\n"
       << "// has one, '/' (special1). Each glyph is height rows of width bytes,\n"
       << "// 0 transparent, any other value the luminance to write.\n"
       << "#pragma once\n\n#include <cstdint>\n\n";
    for (const FontSpec& f : kFonts) {
        const int n = f.width * f.height;
        os << "extern const uint8_t font_" << f.name << "_numeric[10][" << n << "];\n"
           << "extern const uint8_t font_" << f.name << "_alphabet[26][" << n << "];\n"
           << "extern const uint8_t font_" << f.name << "_special[" << n << "];\n";
        if (f.slash) os << "extern const uint8_t font_" << f.name << "_special1[" << n << "];\n";
    }
    return static_cast<bool>(os);
}

}  // namespace

int main(int argc, char** argv) {
    // Two arguments, the font and the output folder; an option is a request
    // for help or a mistake, never a file name.
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            std::fputs(kUsage, stdout);
            return 0;
        }
    }
    for (int i = 1; i < argc; ++i) {
        if (argv[i][0] == '-') {
            std::fprintf(stderr, "fontgen: unknown option %s\n%s", argv[i], kUsage);
            return 2;
        }
    }
    if (argc != 3) {
        std::fputs(kUsage, stderr);
        return 2;
    }
    FT_Library lib;
    FT_Face face;
    if (FT_Init_FreeType(&lib) != 0 || FT_New_Face(lib, argv[1], 0, &face) != 0) {
        std::fprintf(stderr, "fontgen: cannot load %s\n", argv[1]);
        return 1;
    }
    std::string source = argv[1];
    source = source.substr(source.find_last_of('/') + 1);
    const std::string dir = argv[2];
    if (!WriteHeader(dir)) {
        std::fprintf(stderr, "fontgen: cannot write into %s\n", dir.c_str());
        return 1;
    }
    for (const FontSpec& f : kFonts) {
        if (!WriteFont(face, f, dir, source)) {
            std::fprintf(stderr, "fontgen: cannot write font %s\n", f.name);
            return 1;
        }
    }
    FT_Done_Face(face);
    FT_Done_FreeType(lib);
    return 0;
}
