#include "osd/dfb_osd_window_design.h"

#include <cstdio>
#include <cstring>
#include <ctime>

#include "osd/DateSettingView.h"
#include "osd/MediaInfo.h"
#include "platform/BoardPath.h"

dfb_osd_window_t nosd_window;
dfb_osd_window_t menulist_window;
dfb_osd_window_t clock_window;
dfb_osd_window_t sdinfo_window;
dfb_osd_window_t mediainfo_window;
dfb_osd_window_t filelist_window;
dfb_osd_window_t configmenu_window;
dfb_osd_window_t setdate_window;

dfb_osd_window_t* const kOsdWindows[kOsdWindowCount] = {
    &nosd_window,      &menulist_window, &clock_window,      &sdinfo_window,
    &mediainfo_window, &filelist_window, &configmenu_window, &setdate_window,
};

namespace {

constexpr const char* kOsdFont = "/usr/local/font/osd_font.ttf";
constexpr const char* kClockFont = "/usr/local/font/osd_clock_font.ttf";

struct WindowDesign {
    dfb_osd_window_t* win;
    dfb_osd_update_fn update;
    int x, y, width, height;
    const char* font;
    int font_height;
    int line_height;
};

const WindowDesign kDesigns[kOsdWindowCount] = {
    {&nosd_window, nosd_update, 0, 0, 640, 440, kOsdFont, 28, 24},
    {&menulist_window, menulist_update, 0, 0, 640, 440, kOsdFont, 28, 24},
    {&clock_window, clock_update, 0, 440, 640, 40, kClockFont, 20, 20},
    {&sdinfo_window, sdinfo_update, 0, 0, 640, 240, kOsdFont, 24, 20},
    {&mediainfo_window, mediainfo_update, 0, 0, 640, 150, kOsdFont, 24, 20},
    {&filelist_window, filelist_update, 0, 240, 640, 200, kOsdFont, 24, 22},
    {&configmenu_window, configmenu_update, 20, 30, 600, 396, kOsdFont, 20, 18},
    {&setdate_window, setdate_update, 0, 0, 640, 440, kOsdFont, 24, 22},
};

// Draws text in the text colour, or in black on a selection bar of w x h at
// (bar_x, bar_y) when selected.
void DrawItem(dfb_osd_window_t* win, int x, int y, const char* text, bool selected, int bar_x, int bar_y,
              int bar_w, int bar_h) {
    if (selected) {
        dfb_osd_draw_bar(win, bar_x, bar_y, bar_w, bar_h);
        dfb_osd_set_color(win, kOsdSelTextColor);
    }
    dfb_osd_draw_text(win, x, y, text);
    if (selected) dfb_osd_set_color(win, kOsdTextColor);
}

void DrawIfSet(dfb_osd_window_t* win, int x, int y, const char* text) {
    if (text) dfb_osd_draw_text(win, x, y, text);
}

}  // namespace

void dfb_osd_design_windows() {
    for (const WindowDesign& d : kDesigns) {
        dfb_osd_window_t& w = *d.win;
        w = dfb_osd_window_t{};
        w.window_desc.flags = static_cast<DFBWindowDescriptionFlags>(DWDESC_CAPS | DWDESC_WIDTH | DWDESC_HEIGHT |
                                                                     DWDESC_POSX | DWDESC_POSY);
        w.window_desc.caps = DWCAPS_NONE;
        w.window_desc.width = d.width;
        w.window_desc.height = d.height;
        w.window_desc.posx = d.x;
        w.window_desc.posy = d.y;
        w.use_font = 1;
        std::snprintf(w.font_name, sizeof w.font_name, "%s", BoardPath(d.font).c_str());
        w.font_desc.flags = DFDESC_HEIGHT;
        w.font_desc.height = d.font_height;
        w.line_height = d.line_height;
        w.update = d.update;
    }
}

// No-card notice; data is not used.
void nosd_update(dfb_osd_window_t* win, const void*) {
    std::printf("DFB : nosd_update()\n");
    const int L = dfb_osd_line(win);
    dfb_osd_window_fill_rectangle(win);
    dfb_osd_draw_text(win, 10, 2 * L, "  ");
    dfb_osd_draw_text(win, 10, 8 * L, kNoCardLine);
    dfb_osd_flip(win);
    std::printf("DFB : nosd_update() done\n");
}

// Start screen and notices; no record shows the no-card notice.
void menulist_update(dfb_osd_window_t* win, const void* data) {
    const auto* d = static_cast<const INITDISP_DATA_t*>(data);
    const int flag = d ? d->flag : DISP_NOSD;
    const int L = dfb_osd_line(win);
    dfb_osd_window_fill_rectangle(win);
    switch (flag) {
    case DISP_START:
        // The product title is centred on the screen; the other lines stand
        // at the left margin.
        if (d->Title1) dfb_osd_draw_text(win, win->window_desc.width / 2, L, d->Title1, true);
        DrawIfSet(win, 10, 3 * L, d->Title2);
        DrawIfSet(win, 10, 4 * L, d->VersionInfo);
        DrawIfSet(win, 10, 6 * L, d->Title3);
        DrawIfSet(win, 10, 7 * L, d->Title4);
        DrawIfSet(win, 10, 12 * L, d->CompanyInfo);
        break;
    case DISP_NOSD:
        dfb_osd_draw_text(win, 10, 5 * L, kNoCardLine);
        break;
    case DISP_SDC_FAULT:
        dfb_osd_draw_text(win, 10, 5 * L, "     ! SYSTEM ERROR OCCURRED !");
        dfb_osd_draw_text(win, 10, 8 * L, "        PLEASE REBOOT NOW >>>>");
        break;
    case DISP_CONVERTING:
        dfb_osd_draw_text(win, 10, 5 * L, "               Converting...");
        break;
    default:
        dfb_osd_draw_text(win, 10, 5 * L, "      ");
        break;
    }
    dfb_osd_flip(win);
}

// The time as ctime gives it, without its newline; no record shows dashes.
void clock_update(dfb_osd_window_t* win, const void* data) {
    char text[64];
    std::snprintf(text, sizeof text, "%s", kClockPlaceholder);
    if (const auto* t = static_cast<const time_t*>(data)) {
        char buf[64];
        if (ctime_r(t, buf)) {
            buf[strcspn(buf, "\n")] = '\0';
            std::snprintf(text, sizeof text, "%s", buf);
        }
    }
    dfb_osd_window_fill_rectangle(win);
    dfb_osd_draw_text(win, 350, 0, text);
    dfb_osd_flip(win);
}

// Card summary; no record shows the no-card variant.
void sdinfo_update(dfb_osd_window_t* win, const void* data) {
    const auto* info = static_cast<const SDC_InfoView*>(data);
    const int L = dfb_osd_line(win);
    char rows[10][48] = {" ", " ", "", "", "", "", " ", "", "", ""};
    if (info) {
        std::snprintf(rows[2], sizeof rows[2], "SD CARD INFO");
        std::snprintf(rows[3], sizeof rows[3], " USED     :%5dMB", info->diskspace - info->availablesize);
        std::snprintf(rows[4], sizeof rows[4], " AVAILABLE:%5dMB", info->availablesize);
        std::snprintf(rows[5], sizeof rows[5], " TOTAL    :%5dMB", info->diskspace);
        std::snprintf(rows[7], sizeof rows[7], "TOTAL FILE:%5dFILES", info->NumOfFiles);
        std::snprintf(rows[8], sizeof rows[8], "EVENT FILE:%5dFILES", info->EventFiles);
    } else {
        std::snprintf(rows[2], sizeof rows[2], "NO SD CARD");
        std::snprintf(rows[3], sizeof rows[3], " USED     : ----");
        std::snprintf(rows[4], sizeof rows[4], " AVIALABLE: ----");
        std::snprintf(rows[5], sizeof rows[5], " TOTAL    : ----");
        std::snprintf(rows[7], sizeof rows[7], "TOTAL FILE: 0 FILES");
        std::snprintf(rows[8], sizeof rows[8], "EVENT FILE: 0 FILES");
    }
    dfb_osd_window_fill_rectangle(win);
    for (int i = 0; i < 10; ++i) {
        if (rows[i][0] != '\0') dfb_osd_draw_text(win, 330, i * L, rows[i]);
    }
    dfb_osd_flip(win);
}

// Media information of the file being played; no record shows the labels.
void mediainfo_update(dfb_osd_window_t* win, const void* data) {
    static const char* const kAudio[] = {"G726", "MP3", "AAC", "Not Defined"};
    static const char* const kVideo[] = {"H264", "H263", "MPEG4", "Not Defined"};
    const auto* m = static_cast<const MediaInfo_t*>(data);
    const int L = dfb_osd_line(win);
    char rows[6][300];
    if (m) {
        const unsigned a = static_cast<unsigned>(m->audioformat);
        const unsigned v = static_cast<unsigned>(m->videoformat);
        std::snprintf(rows[0], sizeof rows[0], "%s", m->filename[0] ? m->filename : "File is ....");
        std::snprintf(rows[1], sizeof rows[1], "Audio    : %s", kAudio[a < 4 ? a : 3]);
        std::snprintf(rows[2], sizeof rows[2], "Video    : %s", kVideo[v < 4 ? v : 3]);
        std::snprintf(rows[3], sizeof rows[3], "Bitrate  : %ld[kbps]", static_cast<long>(m->bitrate) / 1000);
        std::snprintf(rows[4], sizeof rows[4], "SIZE     : %ldx%ld", static_cast<long>(m->width),
                      static_cast<long>(m->height));
        std::snprintf(rows[5], sizeof rows[5], "Duration : %ld[sec]", static_cast<long>(m->duration));
    } else {
        const char* labels[6] = {"File is ....", "Audio    :", "Video    :", "Bitrate  :", "SIZE     :", "Duration :"};
        for (int i = 0; i < 6; ++i) std::snprintf(rows[i], sizeof rows[i], "%s", labels[i]);
    }
    dfb_osd_window_fill_rectangle(win);
    for (int i = 0; i < 6; ++i) dfb_osd_draw_text(win, 330, (i + 1) * L, rows[i]);
    dfb_osd_flip(win);
}

// File list rows; no record or no files leaves the window empty.
void filelist_update(dfb_osd_window_t* win, const void* data) {
    const auto* list = static_cast<const SDC_FileList_t*>(data);
    const int L = dfb_osd_line(win);
    const int w = win->window_desc.width;
    dfb_osd_window_fill_rectangle(win);
    if (list && list->valid_file_count > 0) {
        const int rows = list->list_count < kFileListRows ? list->list_count : kFileListRows;
        for (int i = 1; i <= rows; ++i) {
            const SDC_FileRowView* f = &list->fileinfo[i - 1];
            const time_t t = f->dt;
            struct tm tm {};
            localtime_r(&t, &tm);
            char text[96];
            std::snprintf(text, sizeof text, "%12.13s %4d/%2d/%2d %02d:%02d:%02d %5dkB", f->file_name,
                          tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec,
                          f->size);
            DrawItem(win, 25, i * L + 25, text, i == list->selected_row, 20, i * L + 28, 600, L);
        }
        IDirectFBSurface* s = win->window_surface;
        dfb_osd_set_color(win, kOsdTextColor);
        if (list->draw_upper_allow) s->FillTriangle(s, w / 2, 38, w / 2 - 10, 48, w / 2 + 10, 48);
        if (list->draw_lower_allow) s->FillTriangle(s, w / 2, 175, w / 2 - 10, 165, w / 2 + 10, 165);
    }
    dfb_osd_flip(win);
}

namespace {

// Configuration rows 1..19 for one record.
int ConfigRows(const EEPROM_DATA_t& e, char (*rows)[48]) {
    struct Set {
        const EEPROM_VIDEO_PARAM_t* p;
        const char* heading;
        bool low;  // the low set's lines have one space less after the label
    };
    const Set sets[3] = {{&e.High, "  VIDEO PARAMETER  (H) ", false},
                         {&e.Middle, "  VIDEO PARAMETER  (M)", false},
                         {&e.Low, "  VIDEO PARAMETER  (L)", true}};
    int n = 0;
    for (const Set& s : sets) {
        const EEPROM_VIDEO_PARAM_t& p = *s.p;
        std::snprintf(rows[n++], 48, "%s", s.heading);
        if (!s.low) {
            std::snprintf(rows[n++], 48, "    SIZE           %s", p.PicSize == 0 ? "VGA" : "CIF");
            std::snprintf(rows[n++], 48, "    BIT RATE      %dkbps", p.BitRate);
            std::snprintf(rows[n++], 48, "    BITRATE CTRL   %s", p.RateCtrl == 0 ? "CBR" : "VBR");
            std::snprintf(rows[n++], 48, "    FRAME RATE     %dFPS", p.FrameRate);
            if (p.GOPN == 1) {
                std::snprintf(rows[n++], 48, "    GOP            ALL I");
            } else {
                std::snprintf(rows[n++], 48, "    GOP            %d", p.GOPN);
            }
        } else {
            std::snprintf(rows[n++], 48, "    SIZE          %s", p.PicSize == 0 ? "VGA" : "CIF");
            std::snprintf(rows[n++], 48, "    BIT RATE     %dkbps", p.BitRate);
            std::snprintf(rows[n++], 48, "    BITRATE CTRL  %s", p.RateCtrl == 0 ? "CBR" : "VBR");
            std::snprintf(rows[n++], 48, "    FRAME RATE    %dFPS", p.FrameRate);
            if (p.GOPN == 1) {
                std::snprintf(rows[n++], 48, "    GOP           ALL I");
            } else {
                std::snprintf(rows[n++], 48, "    GOP           %d", p.GOPN);
            }
        }
    }
    std::snprintf(rows[n++], 48, "  DURATION        %dsec", e.Duration);
    return n;
}

}  // namespace

// Configuration menu; no record says the EEPROM is not available.
void configmenu_update(dfb_osd_window_t* win, const void* data) {
    const auto* e = static_cast<const EEPROM_DATA_t*>(data);
    const int L = dfb_osd_line(win);
    dfb_osd_window_fill_rectangle(win);
    dfb_osd_draw_text(win, 10, 0, "  ==== CONFIG MENU ====");
    if (e) {
        char rows[19][48];
        const int n = ConfigRows(*e, rows);
        for (int i = 1; i <= n; ++i) {
            DrawItem(win, 25, i * L + 15, rows[i - 1], i == e->Reserve1, 20, i * L + 18, 350, L);
        }
        dfb_osd_draw_text(win, 425, 20 * L, "EEPROM WRITE");
    } else {
        dfb_osd_draw_text(win, 25, L + 15, "EEPROM is not available");
        dfb_osd_draw_text(win, 425, L, "EEPROM WRITE");
    }
    dfb_osd_flip(win);
}

// Date and time setting; the field nSel selects carries the bar.
void setdate_update(dfb_osd_window_t* win, const void* data) {
    const auto* d = static_cast<const DateSettingView*>(data);
    const int L = dfb_osd_line(win);
    dfb_osd_window_fill_rectangle(win);
    dfb_osd_draw_text(win, 10, 2 * L, "  DATE AND TIME SETTING");
    if (d) {
        struct Field {
            int sel, x, width;
            char text[16];
        };
        Field f[] = {{0, 140, 60, {}}, {-1, 200, 30, "/"}, {1, 215, 30, {}}, {-1, 245, 30, "/"},
                     {2, 260, 30, {}}, {-1, 290, 30, {}},  {3, 365, 30, {}}, {-1, 395, 30, ":"},
                     {4, 410, 30, {}}, {-1, 440, 30, ":"}, {5, 455, 30, {}}};
        std::snprintf(f[0].text, sizeof f[0].text, "%04d", d->nYear);
        std::snprintf(f[2].text, sizeof f[2].text, "%02d", d->nMonth);
        std::snprintf(f[4].text, sizeof f[4].text, "%02d", d->nDay);
        std::snprintf(f[5].text, sizeof f[5].text, "%.7s ", d->DayWeek);
        std::snprintf(f[6].text, sizeof f[6].text, "%02d", d->nHour);
        std::snprintf(f[8].text, sizeof f[8].text, "%02d", d->nMinute);
        std::snprintf(f[10].text, sizeof f[10].text, "%02d", d->nSecond);
        for (const Field& fl : f) {
            const bool sel = fl.sel >= 0 && fl.sel == d->nSel;
            DrawItem(win, fl.x, 10 * L, fl.text, sel, fl.x, 10 * L, fl.width, L);
        }
        DrawItem(win, 450, 18 * L, "[SET DATE]", d->nSel == 6, 450, 18 * L, 140, L);
    }
    dfb_osd_flip(win);
}
