#include "core/HostCommand.h"

#include <cstdio>

#include "config/daytime_menu.h"
#include "config/param_ini.h"
#include "config/setup_ini.h"
#include "core/AppParams.h"
#include "core/DR_shared.h"
#include "core/FileListScreen.h"
#include "core/HostQueue.h"
#include "core/HostReports.h"
#include "core/HostSetters.h"
#include "core/KeyCommand.h"
#include "core/ModeControl.h"
#include "storage/SDFunc.h"
#include "storage/indexf.h"

namespace {

// Command 9: recording on (1) or off (0), as the REC and STOP keys do. A
// start is taken only while idle (the live monitor is stopped first): in
// another mode the recording start would claim the recording state and then
// find the codec manager busy.
void RecordingCommand(int param) {
    if (param == 1) {
        if (drc->AppState.load() != STATE_IDLE) return;
        if (drc->MonitorStart.load()) MonitorControl(0);
        if (StartRecordingFromIdle()) {
            std::printf("DiViv : Recording Start\n");
        } else {
            std::printf("DiViv : Error :: Could not start recording\n");
        }
    } else if (param == 0) {
        const bool recording = drc->AppState.load() == STATE_REC;
        const int rc = RecordControl(DRA_DOWN_QID, DRA_UP_QID, 0);
        if (!recording) return;  // "Recording is not started" was printed
        if (rc == 0) std::printf("DiViv : Recording Stop\n");
        else std::printf("DiViv : Error :: Could not stop recording\n");
    }
}

// The index-th recording of the list, newest first (as the recording list
// numbers them), or null.
IndexFileStr* ListEntry(int index) {
    if (index < 0 || drc->sdinfo == nullptr || drc->sdinfo->index <= 0) return nullptr;
    IndexFileStr* e = GetMostRecentIndex();
    for (int i = 0; e != nullptr && i < index; ++i) e = e->next;
    return e;
}

// Command 14: plays the recording at list index `index`, from the idle state
// (the live monitor is stopped first) or the file list.
void PlaybackCommand(int index) {
    const DrState state = drc->AppState.load();
    // Elsewhere: -3 while another mode runs, -2 where no list can be had.
    int rc = drc->CM_ALIVE.load() ? -3 : -2;
    if (state == STATE_IDLE || state == STATE_LIST) {
        IndexFileStr* entry = ListEntry(index);
        rc = -2;
        if (entry != nullptr) {
            if (drc->MonitorStart.load()) MonitorControl(0);
            drc->sdinfo->CurrentSelectedIndex = entry;
            FileListSel = GetIndexNum(entry->FileName);
            rc = PlaybackControl(index);
        }
    }
    if (rc == 0) {
        std::printf("DiViv : Playback Start\n");
        drc->AppState = STATE_PLAY;
    } else {
        std::printf("DiViv : Error :: Could not play file[index=%d] ret=%d\n", index, rc);
    }
}

// Command 20: the file list on (1, from the idle state) or off (0).
void FileListCommand(int param) {
    const DrState state = drc->AppState.load();
    if (param == 1 && state == STATE_IDLE) {
        if (drc->MonitorStart.load()) MonitorControl(0);
        if (FileListMode(1) < 0) {
            std::printf("DiViv : Error :: Could not disp file list\n");
            return;
        }
        std::printf("DiViv : File List Mode Start\n");
        drc->AppState = STATE_LIST;
    } else if (param == 0 && state == STATE_LIST) {
        FileListMode(0);
        std::printf("DiViv : File List Mode Stop\n");
    }
}

// Command 54: opens the date and time menu when idle, closes it (setting the
// clock when its confirm item is selected) when open.
void DateMenuCommand() {
    std::printf("DiViv : Enter Day time settin menu\n");
    const DrState state = drc->AppState.load();
    if (state == STATE_IDLE) {
        if (drc->MonitorStart.load()) MonitorControl(0);
        if (SetDayTimeMenu(0, 0) == 1) {
            drc->AppState = STATE_CFG;
        } else {
            std::printf("DiViv : Error :: SetDayTimeMenu() failed !\n");
            drc->AppState = STATE_IDLE;
        }
    } else if (state == STATE_CFG) {
        SetDayTimeMenu(0, 1);
        if (!drc->MonitorStart.load()) MonitorControl(1);
        drc->AppState = STATE_IDLE;
    }
}

// Command 53: test functions.
void TestFunction(int param) {
    std::printf("DiViv : Debug Execute Selected [%d] OK\n", param);
    switch (param) {
        case 0:
            std::printf("DiViv : Set Event For Debug\n");
            drc->eventinfo.drv_alert = 1;
            break;
        case 1: drc->GPSReceiveError = drc->GPSReceiveError.load() ? 0 : 1; break;
        case 2:
            drc->dummyGPSReceiveError = drc->dummyGPSReceiveError.load() ? 0 : 1;
            std::printf("DiViv : Set dummyGPSReceiveError=%d\n", drc->dummyGPSReceiveError.load());
            break;
        case 3:
        case 4:
            drc->VideoOnlyMode = param == 3 ? 1 : 0;
            std::printf("DiViv : Set VideoOnlyMode=%d\n", drc->VideoOnlyMode.load());
            break;
        case 6:
            std::printf("DiViv : Dump EEPROM\n");
            dump_eeprom();
            break;
        case 7:
            std::printf("DiViv : FILL ALL FF into EEPROM\n");
            SetFF_EepParam();
            break;
        default: break;
    }
}

// After a save or a reset of the parameter record: the setup file on the
// card shows the new EEPROM contents.
void RewriteSetupIni() {
    std::printf("DiViv : Update setup.ini\n");
    CreateSetupIni(SetupIniPath().c_str());
}

// Commands 24, 25, 26 and 55: the parameter record and the EEPROM.
void ParameterCommand(int command) {
    switch (command) {
        case 24: {
            const int rc = load_eeprom_param(&eepd);
            if (rc != 0) std::printf("DiViv : EEPROM READ ERROR [%d]\n", rc);
            else ShowEepParam(&eepd);
            break;
        }
        case 25:
            if (SetEepParam(&eepd) == 0) RewriteSetupIni();
            break;
        case 26: ShowParameters(); break;
        case 55:
            // The defaults are applied to the shared record, which the live
            // monitor reads while it runs: it is stopped first and started
            // again by the main loop with the new settings.
            if (drc->AppState.load() == STATE_IDLE && drc->MonitorStart.load()) MonitorControl(0);
            if (SetDefaultEepParam(&eepd) == 0) RewriteSetupIni();
            break;
        default: break;
    }
}

// Commands 60..68: the three presets' frame rate, bit rate and GOP seconds.
void PresetCommand(int command, int param) {
    using Setter = int (*)(int);
    static constexpr Setter kSetters[9] = {SetVideoFrameRateH, SetVideoBitRateH, SetVideoGOPH,
                                           SetVideoFrameRateM, SetVideoBitRateM, SetVideoGOPM,
                                           SetVideoFrameRateL, SetVideoBitRateL, SetVideoGOPL};
    kSetters[command - 60](param);
}

}  // namespace

int MonCommand(int command, int param, const char* ComStrBuf) {
    switch (command) {
        case 0:
            if (drc->MonitorStart.load()) MonitorControl(0);
            return 0;
        case 1: PrintStatusReport(); break;
        case 8: SetRecordingTime(param); break;
        case 9: RecordingCommand(param); break;
        case 12: PrintRecordingList(); break;
        case 13: PrintCardInformation(); break;
        case 14: PlaybackCommand(param); break;
        case 19: PrintRingBufferReport(); break;
        case 20: FileListCommand(param); break;
        case 21: SetCameraMode(param); break;
        case 24: case 25: case 26: case 55: ParameterCommand(command); break;
        case 27: SetAutoRecMode(param); break;
        case 28: SetProtectEV(param); break;
        case 29: SetRecStopTime(param); break;
        case 30: case 31: case 32: case 33: case 34: KeyInputHandler(command); break;
        case 53: TestFunction(param); break;
        case 54: DateMenuCommand(); break;
        default:
            if (command >= 60 && command <= 68) {
                PresetCommand(command, param);
            } else {
                // Field settings; anything else (40 among them) is only
                // acknowledged.
                RunFieldCommand(command, param, ComStrBuf);
            }
            break;
    }
    return 1;
}
