// The on-screen display as the application uses it: start and close, one
// display and one clear function per window.
//
// Everything here runs on the main thread (and the mode-control functions it
// calls), one call at a time.
#pragma once

#include <ctime>

#include "osd/dfb_osd_window_design.h"

struct EEPROM_DATA_t;

// Starts DirectFB ("test --dfb:disable-module=linux_input,no-sighandler"),
// sets up the background layer and creates the eight windows. On the
// simulated board DirectFB runs headless (the dummy system at 640 x 480)
// unless DFBARGS says otherwise. A failing set-up call ends the program.
void OSDInit();
// Destroys the windows and releases the layer objects.
void OSDClose();
// True between OSDInit and OSDClose.
bool OSDIsOpen();

// Redraw one window from a record; 0. The displays take nullptr too (see the
// drawing routines for what each shows then).
int DispMenu(const INITDISP_DATA_t* data);
int DispClock(const time_t* data);
int DispSDCInfo(const SDC_InfoView* data);
int DispFileList(const SDC_FileList_t* data);
int DispSetDate(const DateSettingView* data);
int DispMediaInfo(const MediaInfo_t* data);
int DispConfigMenu(const EEPROM_DATA_t* data);
int DispNoSD(const void* data);

// Erase one window; 0.
int ClearMenu();
int ClearClock();
int ClearSDCInfo();
int ClearFileList();
int ClearSetDate();
int ClearMediaInfo();
int ClearConfigMenu();
int ClearNoSD();
