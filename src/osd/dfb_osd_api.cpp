#include "osd/dfb_osd_api.h"

#include <cstdio>
#include <cstdlib>

#include <string>

#include "platform/Board.h"

namespace {

// Name of this module in failure reports.
constexpr const char* kModule = "dfb_osd_api.c";

// Headless DirectFB for the simulated board, unless the caller chose.

bool osd_open = false;

int Disp(dfb_osd_window_t& win, const void* data) {
    if (osd_open) dfb_osd_window_update(&win, data);
    return 0;
}

int Clear(dfb_osd_window_t& win) {
    if (osd_open) dfb_osd_window_clear(&win);
    return 0;
}

}  // namespace

void OSDInit() {
    if (osd_open) return;
    const std::string board_args = diviv::TheBoard().Display().DirectFbArgs();
    if (!board_args.empty()) setenv("DFBARGS", board_args.c_str(), 0);
    char arg0[] = "test";
    char arg1[] = "--dfb:disable-module=linux_input,no-sighandler";
    char* args[] = {arg0, arg1, nullptr};
    int argc = 2;
    char** argv = args;
    DFB_OSD_CHECK(kModule, DirectFBInit(&argc, &argv));
    bglayer = dfb_osd_bglayer_t{};
    dfb_osd_bglayer_init(&bglayer);
    dfb_osd_design_windows();
    for (dfb_osd_window_t* w : kOsdWindows) dfb_osd_window_create(w, bglayer.layer);
    osd_open = true;
}

void OSDClose() {
    if (!osd_open) return;
    for (dfb_osd_window_t* w : kOsdWindows) dfb_osd_window_destroy(w);
    dfb_osd_bglayer_release(&bglayer);
    osd_open = false;
}

bool OSDIsOpen() { return osd_open; }

int DispMenu(const INITDISP_DATA_t* data) { return Disp(menulist_window, data); }
int DispClock(const time_t* data) { return Disp(clock_window, data); }
int DispSDCInfo(const SDC_InfoView* data) { return Disp(sdinfo_window, data); }
int DispFileList(const SDC_FileList_t* data) { return Disp(filelist_window, data); }
int DispSetDate(const DateSettingView* data) { return Disp(setdate_window, data); }
int DispMediaInfo(const MediaInfo_t* data) { return Disp(mediainfo_window, data); }
int DispConfigMenu(const EEPROM_DATA_t* data) { return Disp(configmenu_window, data); }
int DispNoSD(const void* data) { return Disp(nosd_window, data); }

int ClearMenu() { return Clear(menulist_window); }
int ClearClock() { return Clear(clock_window); }
int ClearSDCInfo() { return Clear(sdinfo_window); }
int ClearFileList() { return Clear(filelist_window); }
int ClearSetDate() { return Clear(setdate_window); }
int ClearMediaInfo() { return Clear(mediainfo_window); }
int ClearConfigMenu() { return Clear(configmenu_window); }
int ClearNoSD() { return Clear(nosd_window); }

