#include "core/KeyCommand.h"

#include <cstdio>

#include "config/daytime_menu.h"
#include "core/AppGlobals.h"
#include "core/CardEvent.h"
#include "core/DR_common.h"
#include "core/DR_shared.h"
#include "core/FileListScreen.h"
#include "core/HostQueue.h"
#include "core/Indicator.h"
#include "core/ModeControl.h"
#include "osd/dfb_osd_api.h"
#include "storage/SDFunc.h"
#include "storage/indexf.h"
#include "storage/sdcheck.h"

namespace {

void MonitorBack() {
    if (!drc->MonitorStart.load()) MonitorControl(1);
    drc->AppState = STATE_IDLE;
}

void StopMonitorIfRunning() {
    if (drc->MonitorStart.load()) MonitorControl(0);
}

bool ShowFileList() {
    if (FileListMode(1) < 0) {
        std::printf("DiViv : Error :: Could not disp file list\n");
        return false;
    }
    std::printf("DiViv : File List Mode Start\n");
    drc->AppState = STATE_LIST;
    return true;
}

void PlaySelected() {
    const int sel = FileListSel;
    if (sel < 0 || drc->sdinfo == nullptr || drc->sdinfo->CurrentSelectedIndex == nullptr) return;
    const int rc = PlaybackControl(sel);
    if (rc == 0) {
        std::printf("DiViv : Playback Start\n");
        drc->AppState = STATE_PLAY;
    } else {
        std::printf("DiViv : Error :: Could not play file[index=%d] ret=%d\n", sel, rc);
    }
}

// The STOP+SELECT and STOP+UP commands run only when still held after 3 s.
bool HoldCheck(KEY_CMD cmd) {
    GetElapsedTime(1);
    return CheckKeyHold(cmd) == 1 && drc->AppState.load() == STATE_IDLE;
}

void OnRec() {
    PollCardEvent();
    if (drc->AppState.load() != STATE_IDLE) return;
    if (CheckSDStatus() == 1) {
        std::printf("DiViv : SD Card is exist ###\n");
        StopMonitorIfRunning();
        if (StartRecordingFromIdle()) {
            std::printf("DiViv : Recording Start\n");
        } else {
            std::printf("DiViv : Error :: Could not start recording\n");
        }
    } else {
        std::printf("DiViv : SD Card is not exist ###\n");
    }
}

void OnStop() {
    switch (drc->AppState.load()) {
        case STATE_REC:
            if (RecordControl(DRA_DOWN_QID, DRA_UP_QID, 0) != 0) {
                std::printf("DiViv : Error :: Could not stop recording\n");
                return;
            }
            std::printf("DiViv : Recording Stop\n");
            MonitorBack();
            break;
        case STATE_LIST:
            if (FileListMode(0) >= 0) {
                std::printf("DiViv : File List Mode Stop\n");
                GetElapsedTime(1);
            } else {
                std::printf("DiViv : Error :: Could not stop file list mode\n");
            }
            break;
        case STATE_PLAY:
            PlaybackStop();
            if (CheckThreadStop() == 1) std::printf("DiViv : Playback Stop\n");
            else std::printf("DiViv : Error :: Thread is still alive !\n");
            ShowFileList();
            drc->AppState = STATE_LIST;
            GetElapsedTime(1);
            break;
        case STATE_CFG:
            // Leaves the date and time menu without setting the clock.
            ClearSetDate();
            MonitorBack();
            break;
        case STATE_PREVIEW:
            PreViewStop();
            if (CheckThreadStop() != 1) std::printf("DiViv : Error :: Thread is still alive !\n");
            if (FileListMode(0) < 0) {
                std::printf("DiViv : Error :: Could not stop  preview mode\n");
                return;
            }
            std::printf("DiViv : File List Mode Stop\n");
            MonitorBack();
            break;
        case STATE_TRANSCODE:
            TranscodeControl(DRA_DOWN_QID, DRA_UP_QID, 0);
            std::printf("DiViv : Transcoding Stop\n");
            break;
        default:
            break;
    }
}

void OnSelect() {
    switch (drc->AppState.load()) {
        case STATE_IDLE:
            if (drc->MonitorStart.load()) {
                MonitorControl(0);
                GetElapsedTime(1);
            }
            if (app::SetCursolFirstTime.exchange(0) && drc->sdinfo) {
                // The first list after a recording start shows the newest file.
                IndexFileStr* newest = GetMostRecentIndex();
                drc->sdinfo->CurrentSelectedIndex = newest;
                CursorSet(newest ? GetIndexNum(newest->FileName) : -1);
            }
            ShowFileList();
            break;
        case STATE_LIST:
            PlaySelected();
            break;
        case STATE_CFG:
            // SELECT steps through the items; on the confirm item it sets
            // the clock and closes the menu.
            if (GetDateData()->nSel == 6) {
                SetDayTimeMenu(0, 1);
                MonitorBack();
            } else {
                SetDayTimeMenu(0, 0);
            }
            break;
        case STATE_PREVIEW:
            PreViewStop();
            if (CheckThreadStop() != 1) {
                std::printf("DiViv : Can not stop preview \n");
                return;
            }
            PlaySelected();
            break;
        default:
            break;
    }
}

void OnUpDown(KEY_CMD cmd) {
    const int dir = cmd == UP_CMD ? CUR_UP : CUR_DOWN;
    switch (drc->AppState.load()) {
        case STATE_LIST:
            CursorMove(dir);
            break;
        case STATE_PREVIEW:
            PreViewStop();
            CursorMove(dir);
            break;
        case STATE_CFG:
            SetDayTimeMenu(cmd == UP_CMD ? 1 : -1, 0);
            break;
        default:
            break;
    }
    GetElapsedTime(1);
}

}  // namespace

int KeyCommand(KEY_CMD cmd) {
    switch (cmd) {
        case REC_CMD:
            std::printf("REC\n");
            OnRec();
            break;
        case STOP_CMD:
            std::printf("STOP\n");
            OnStop();
            break;
        case SEL_CMD:
            std::printf("SELECT\n");
            OnSelect();
            break;
        case UP_CMD:
            std::printf("UP\n");
            OnUpDown(cmd);
            break;
        case DOWN_CMD:
            std::printf("DOWN\n");
            OnUpDown(cmd);
            break;
        case CFG_CMD:
            std::printf("CFG\n");
            if (drc->AppState.load() == STATE_IDLE && HoldCheck(cmd)) {
                StopMonitorIfRunning();
                if (SetDayTimeMenu(0, 0) == 1) {
                    drc->AppState = STATE_CFG;
                } else {
                    std::printf("DiViv : Error :: SetDayTimeMenu() failed !\n");
                    drc->AppState = STATE_IDLE;
                }
            }
            break;
        case TRANS_CMD:
            std::printf("TRANSCODE\n");
            if (drc->AppState.load() == STATE_IDLE && HoldCheck(cmd)) {
                StopMonitorIfRunning();
                const int rc = TranscodeControl(DRA_DOWN_QID, DRA_UP_QID, 1);
                if (rc < 0) {
                    std::printf("DiViv : Error :: TranscodeControl returns [%d]\n", rc);
                    drc->TranscodeRequest = 0;
                }
            }
            break;
        case MUTE_CMD:
            std::printf("SET AUDIO MUTE\n");
            SetAudioMute();
            break;
        case NULL_CMD:
            break;
        default:
            std::printf("DiViv : Illegal Button %d\n", static_cast<int>(cmd));
            break;
    }
    return 1;
}

int KeyInputHandler(int key) {
    switch (key) {
        case 30:
            std::printf("DiViv : REC key pressed\n");
            BtnREC = 1;
            return 0;
        case 31:
            std::printf("DiViv : STOP key pressed\n");
            if ((drc->SysConfig & 1u) && drc->AppState.load() == STATE_IDLE) {
                std::printf("DiViv : PKEY1 -> REC\n");
                BtnREC = 1;
            } else {
                std::printf("DiViv : PKEY1 -> STOP\n");
                BtnSTOP = 1;
            }
            return 0;
        case 32:
            std::printf("DiViv : SELECT key pressed\n");
            BtnSEL = 1;
            return 0;
        case 33:
            std::printf("DiViv : UP key pressed\n");
            BtnUP = 1;
            return 0;
        case 34:
            std::printf("DiViv : DOWN key pressed\n");
            BtnDOWN = 1;
            return 0;
        default:
            return -1;
    }
}
