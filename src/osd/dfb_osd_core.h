// The display's graphics plane on DirectFB: the primary layer with its plain
// background, and fixed windows that each redraw themselves from a record.
//
// Used only by the main thread (and the mode-control functions it calls);
// nothing here takes a lock.
#pragma once

#include <directfb.h>

#include <cstdint>
#include <string>
#include <vector>

// Colours (red, green, blue, alpha).
struct dfb_osd_color {
    uint8_t r, g, b, a;
};
inline constexpr dfb_osd_color kOsdBackColor{0, 0, 100, 255};   // background and window fill
inline constexpr dfb_osd_color kOsdTextColor{239, 239, 255, 255};
inline constexpr dfb_osd_color kOsdSelTextColor{0, 0, 0, 255};  // text on a selection bar

// Background layer: the primary display layer and its background surface.
struct dfb_osd_bglayer_t {
    IDirectFB* dfb;
    IDirectFBDisplayLayer* layer;
    DFBGraphicsDeviceDescription desc;
    DFBDisplayLayerConfig layer_config;
    IDirectFBSurface* bgsurface;
};
extern dfb_osd_bglayer_t bglayer;

struct dfb_osd_window_t;
// Redraws a window from its data record (nullptr where a routine allows none).
using dfb_osd_update_fn = void (*)(dfb_osd_window_t* win, const void* data);

struct dfb_osd_window_t {
    DFBWindowDescription window_desc;  // caps, width, height, x, y
    uint8_t opacity;                   // 0 means 255
    uint8_t fill_alpha;                // alpha of the fill colour, 0 means 255
    int use_font;
    char font_name[256];            // font file (board path already resolved)
    DFBFontDescription font_desc;   // height only
    int line_height;                // vertical text step L, pixels; 0: the font's height
    dfb_osd_update_fn update;
    IDirectFBWindow* window;
    IDirectFBSurface* window_surface;
    IDirectFBFont* font;
    IDirectFBDisplayLayer* parent_layer;
    dfb_osd_color color;  // colour of the next text or bar
};

// One text as drawn, for checks that need the exact words.
struct dfb_osd_text_record {
    const dfb_osd_window_t* win;
    int x, y;  // top-left corner (top-centre when centred)
    std::string text;
    dfb_osd_color color;
    bool centred;
};
// When set, every text drawn is also appended here.
extern std::vector<dfb_osd_text_record>* dfb_osd_text_trace;

// Reports a failed DirectFB call made while setting up or drawing and ends
// the program: "<module> <line>:\n\t" on the console, then DirectFB's fatal
// error report with the failed expression.
[[noreturn]] void dfb_osd_fatal(const char* module, int line, const char* expr, DFBResult err);

#define DFB_OSD_CHECK(module, x)                                          \
    do {                                                                  \
        const DFBResult dfb_osd_err_ = (x);                               \
        if (dfb_osd_err_ != DFB_OK) dfb_osd_fatal(module, __LINE__, #x, dfb_osd_err_); \
    } while (0)

// Creates the main interface, takes the primary layer in administrative
// mode, hides the cursor and installs the plain background. DirectFBInit
// must have been called.
void dfb_osd_bglayer_init(dfb_osd_bglayer_t* bg);
// Releases the layer, the background surface and the main interface.
void dfb_osd_bglayer_release(dfb_osd_bglayer_t* bg);

// Creates the window's font (when it uses one) and the window on the layer.
// The window stays invisible until it is first drawn.
void dfb_osd_window_create(dfb_osd_window_t* win, IDirectFBDisplayLayer* layer);
// Releases the window's surface, window and font.
void dfb_osd_window_destroy(dfb_osd_window_t* win);

// Calls the window's drawing routine with the record.
void dfb_osd_window_update(dfb_osd_window_t* win, const void* data);
// Fills the whole window with the background colour at the fill alpha and
// makes it visible at its opacity.
void dfb_osd_window_fill_rectangle(dfb_osd_window_t* win);
// Erases the window: clears its surface to (0, 0, 100, 0), flips and hides
// the window until its next drawing.
void dfb_osd_window_clear(dfb_osd_window_t* win);

// Drawing helpers for the routines: text with its top-left corner at (x, y)
// (centred on x with `centre`), a bar in the text colour, and a flip.
void dfb_osd_set_color(dfb_osd_window_t* win, dfb_osd_color c);
void dfb_osd_draw_text(dfb_osd_window_t* win, int x, int y, const char* text, bool centre = false);
void dfb_osd_draw_bar(dfb_osd_window_t* win, int x, int y, int w, int h);
void dfb_osd_flip(dfb_osd_window_t* win);
// Line height L of the window.
int dfb_osd_line(const dfb_osd_window_t* win);
