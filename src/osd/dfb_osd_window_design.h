// The eight windows of the on-screen display: their places, sizes, fonts and
// the drawing routines that fill them from the application's records.
#pragma once

#include <cstdint>

#include "osd/FileListView.h"
#include "osd/dfb_osd_core.h"

struct MediaInfo_t;
struct DateSettingView;

// Start screen and notices (menu list window).
struct INITDISP_DATA_t {
    int32_t flag;  // 0 start screen, 1 no card, 2 card fault, 3 converting
    const char* Title1;       // product title
    const char* Title2;       // "        Application Software"
    const char* Title3;       // operating system name and release
    const char* Title4;       // kernel version
    const char* Title5;       // not shown
    const char* VersionInfo;  // application version line
    const char* CompanyInfo;  // maker's line
};

// Menu list screens (INITDISP_DATA_t::flag).
enum : int32_t { DISP_START = 0, DISP_NOSD = 1, DISP_SDC_FAULT = 2, DISP_CONVERTING = 3 };

// Video parameters of one quality set on the configuration screen.
struct EEPROM_VIDEO_PARAM_t {
    int32_t PicSize;    // 0 VGA, other CIF
    int32_t BitRate;    // kbit/s
    int32_t RateCtrl;   // 0 CBR, other VBR
    int32_t FrameRate;  // frames per second
    int32_t GOPN;       // GOP length; 1: every picture a key picture
};

// The configuration screen's record.
struct EEPROM_DATA_t {
    EEPROM_VIDEO_PARAM_t High, Middle, Low;
    int32_t Duration;  // seconds per recording file
    int32_t Reserve1;  // selected row, 1..19
};

// Drawing routines (data may be nullptr where noted in the source).
void nosd_update(dfb_osd_window_t* win, const void* data);
void menulist_update(dfb_osd_window_t* win, const void* data);   // INITDISP_DATA_t
void clock_update(dfb_osd_window_t* win, const void* data);      // time_t
void sdinfo_update(dfb_osd_window_t* win, const void* data);     // SDC_InfoView
void mediainfo_update(dfb_osd_window_t* win, const void* data);  // MediaInfo_t
void filelist_update(dfb_osd_window_t* win, const void* data);   // SDC_FileList_t
void configmenu_update(dfb_osd_window_t* win, const void* data); // EEPROM_DATA_t
void setdate_update(dfb_osd_window_t* win, const void* data);    // DateSettingView

extern dfb_osd_window_t nosd_window;
extern dfb_osd_window_t menulist_window;
extern dfb_osd_window_t clock_window;
extern dfb_osd_window_t sdinfo_window;
extern dfb_osd_window_t mediainfo_window;
extern dfb_osd_window_t filelist_window;
extern dfb_osd_window_t configmenu_window;
extern dfb_osd_window_t setdate_window;

// The windows in creation order.
inline constexpr int kOsdWindowCount = 8;
extern dfb_osd_window_t* const kOsdWindows[kOsdWindowCount];

// Puts every window record into its designed state (places, sizes, font
// files resolved through the board root), without DirectFB objects.
void dfb_osd_design_windows();

// Texts shared with the caller and the tests.
inline constexpr const char* kNoCardLine = "      SD MEMORY CARD IS NOT FOUND";
inline constexpr const char* kClockPlaceholder = "--- --- -- --:--:-- ----";
