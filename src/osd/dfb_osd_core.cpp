#include "osd/dfb_osd_core.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {
// Name of this module in failure reports.
constexpr const char* kModule = "dfb_osd_core.c";
}  // namespace

#if defined(__SANITIZE_ADDRESS__)
// DirectFB keeps part of its core (module lists, reactors, thread records)
// after its last interface is released; those are the library's, not ours.
extern "C" const char* __lsan_default_suppressions() {
    return "leak:libdirectfb-1.7.so\nleak:libfusion-1.7.so\nleak:libdirect-1.7.so\n";
}
#endif


dfb_osd_bglayer_t bglayer;
std::vector<dfb_osd_text_record>* dfb_osd_text_trace = nullptr;

void dfb_osd_fatal(const char* module, int line, const char* expr, DFBResult err) {
    std::printf("%s <%d>:\n\t", module, line);
    std::fflush(stdout);
    DirectFBErrorFatal(expr, err);  // prints and exits
    std::exit(static_cast<int>(err));
}

void dfb_osd_bglayer_init(dfb_osd_bglayer_t* bg) {
    DFB_OSD_CHECK(kModule, DirectFBCreate(&bg->dfb));
    DFB_OSD_CHECK(kModule, bg->dfb->GetDeviceDescription(bg->dfb, &bg->desc));
    DFB_OSD_CHECK(kModule, bg->dfb->GetDisplayLayer(bg->dfb, DLID_PRIMARY, &bg->layer));
    DFB_OSD_CHECK(kModule, bg->layer->SetCooperativeLevel(bg->layer, DLSCL_ADMINISTRATIVE));
    // Without hardware blending the window stack is composed in system
    // memory, which is cheaper to read back than video memory.
    const unsigned blend = DSBLIT_BLEND_ALPHACHANNEL | DSBLIT_BLEND_COLORALPHA;
    if ((bg->desc.blitting_flags & blend) != blend) {
        DFBDisplayLayerConfig conf{};
        conf.flags = DLCONF_BUFFERMODE;
        conf.buffermode = DLBM_BACKSYSTEM;
        DFB_OSD_CHECK(kModule, bg->layer->SetConfiguration(bg->layer, &conf));
    }
    DFB_OSD_CHECK(kModule, bg->layer->GetConfiguration(bg->layer, &bg->layer_config));
    DFB_OSD_CHECK(kModule, bg->layer->EnableCursor(bg->layer, 0));

    DFBSurfaceDescription sd{};
    // A background image must live where the window stack can reach it.
    sd.flags = static_cast<DFBSurfaceDescriptionFlags>(DSDESC_WIDTH | DSDESC_HEIGHT | DSDESC_CAPS);
    sd.caps = DSCAPS_SHARED;
    sd.width = bg->layer_config.width;
    sd.height = bg->layer_config.height;
    DFB_OSD_CHECK(kModule, bg->dfb->CreateSurface(bg->dfb, &sd, &bg->bgsurface));
    const dfb_osd_color c = kOsdBackColor;
    bg->bgsurface->SetColor(bg->bgsurface, c.r, c.g, c.b, c.a);
    bg->bgsurface->FillRectangle(bg->bgsurface, 0, 0, sd.width, sd.height);
    DFB_OSD_CHECK(kModule, bg->layer->SetBackgroundImage(bg->layer, bg->bgsurface));
    DFB_OSD_CHECK(kModule, bg->layer->SetBackgroundMode(bg->layer, DLBM_IMAGE));
}

void dfb_osd_bglayer_release(dfb_osd_bglayer_t* bg) {
    if (bg->layer) bg->layer->Release(bg->layer);
    if (bg->bgsurface) bg->bgsurface->Release(bg->bgsurface);
    if (bg->dfb) bg->dfb->Release(bg->dfb);
    bg->layer = nullptr;
    bg->bgsurface = nullptr;
    bg->dfb = nullptr;
}

void dfb_osd_window_create(dfb_osd_window_t* win, IDirectFBDisplayLayer* layer) {
    IDirectFB* dfb = bglayer.dfb;
    if (win->use_font) {
        DFB_OSD_CHECK(kModule, dfb->CreateFont(dfb, win->font_name, &win->font_desc, &win->font));
        if (win->line_height == 0) {
            DFB_OSD_CHECK(kModule, win->font->GetHeight(win->font, &win->line_height));
        }
    }
    win->parent_layer = layer;
    DFB_OSD_CHECK(kModule, layer->CreateWindow(layer, &win->window_desc, &win->window));
    DFB_OSD_CHECK(kModule, win->window->GetSurface(win->window, &win->window_surface));
}

void dfb_osd_window_destroy(dfb_osd_window_t* win) {
    if (win->window_surface) win->window_surface->Release(win->window_surface);
    if (win->window) win->window->Release(win->window);
    if (win->font) win->font->Release(win->font);
    win->window_surface = nullptr;
    win->window = nullptr;
    win->font = nullptr;
    win->parent_layer = nullptr;
}

void dfb_osd_window_update(dfb_osd_window_t* win, const void* data) {
    if (win->window_surface && win->update) win->update(win, data);
}

void dfb_osd_window_fill_rectangle(dfb_osd_window_t* win) {
    IDirectFBSurface* s = win->window_surface;
    const dfb_osd_color c = kOsdBackColor;
    s->SetColor(s, c.r, c.g, c.b, win->fill_alpha ? win->fill_alpha : 255);
    s->FillRectangle(s, 0, 0, win->window_desc.width, win->window_desc.height);
    win->window->SetOpacity(win->window, win->opacity ? win->opacity : 255);
    if (win->font) DFB_OSD_CHECK(kModule, s->SetFont(s, win->font));
    dfb_osd_set_color(win, kOsdTextColor);
}

void dfb_osd_window_clear(dfb_osd_window_t* win) {
    IDirectFBSurface* s = win->window_surface;
    if (!s) return;
    const dfb_osd_color c = kOsdBackColor;
    s->Clear(s, c.r, c.g, c.b, 0);
    s->Flip(s, nullptr, static_cast<DFBSurfaceFlipFlags>(0));
    // The window has no alpha channel, so its cleared surface would still
    // cover the windows beneath it; hide it until it is drawn again.
    win->window->SetOpacity(win->window, 0);
}

void dfb_osd_set_color(dfb_osd_window_t* win, dfb_osd_color c) {
    win->color = c;
    win->window_surface->SetColor(win->window_surface, c.r, c.g, c.b, c.a);
}

void dfb_osd_draw_text(dfb_osd_window_t* win, int x, int y, const char* text, bool centre) {
    IDirectFBSurface* s = win->window_surface;
    s->DrawString(s, text, -1, x, y, centre ? DSTF_TOPCENTER : DSTF_TOPLEFT);
    if (dfb_osd_text_trace) dfb_osd_text_trace->push_back({win, x, y, text, win->color, centre});
}

void dfb_osd_draw_bar(dfb_osd_window_t* win, int x, int y, int w, int h) {
    IDirectFBSurface* s = win->window_surface;
    dfb_osd_set_color(win, kOsdTextColor);
    s->FillRectangle(s, x, y, w, h);
}

void dfb_osd_flip(dfb_osd_window_t* win) {
    win->window_surface->Flip(win->window_surface, nullptr, static_cast<DFBSurfaceFlipFlags>(0));
}

int dfb_osd_line(const dfb_osd_window_t* win) { return win->line_height; }
