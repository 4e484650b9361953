#include "core/RecorderRun.h"

#include <sys/stat.h>
#include <sys/time.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include "core/AppGlobals.h"
#include "core/CardEvent.h"
#include "core/FileListScreen.h"
#include "core/HostCommand.h"
#include "core/HostQueue.h"
#include "core/Indicator.h"
#include "core/KeyCommand.h"
#include "core/ModeControl.h"
#include "osd/dfb_osd_api.h"
#include "core/WorkerHandshake.h"

namespace app {

namespace {

// Seconds of the ignition-off waits (tests shorten them through the
// parameter record; these are the real units).
constexpr int kSecPerMinute = 60;

// Fetches and acknowledges a host command without running it (used during
// the ignition-off waits).
void AcknowledgeHostCommand() {
    int command = 0, param = 0;
    GetHostCommand(&command, &param, ComStrBuf);
}

enum class LoopExit { kContinue, kLeave };

// Ignition off while recording: the recording-stop timer, the stop and the
// power-off delay. Returns kLeave when the process is to shut down.
LoopExit IgnitionOffWhileRecording() {
    const bool transcoding = drc->AppState.load() == STATE_TRANSCODE;
    const int rec_stop = drc->rec_stop;
    std::printf(transcoding ? "Detect ACC=OFF : Transcoding will be stopped in %d sec.\n"
                            : "Detect ACC=OFF : Recording will be stopped in %d sec.\n",
                rec_stop * kSecPerMinute);
    bool ended_by_key_or_power = false;
    if (rec_stop != 0) {
        GetElapsedTime(1);
        SetLED(3, 1, 0);
        while (GetElapsedTime(0) < rec_stop * kSecPerMinute) {
            dr_usleep(100000);
            GetPortStat(0);
            if (drc->ACC_IN_State.load()) {
                SetLED(1, 1, 0);
                std::printf("Detect ACC=ON\n");
                return LoopExit::kContinue;
            }
            if (CheckButtonState() == STOP_CMD) {
                ended_by_key_or_power = true;
                break;
            }
            if (drc->PWR_DET_State.load() == 0) {
                std::printf("DiViv : Detect PWR_DET=OFF during Rec Stop Timer\n");
                ExitByPWR_DET = 1;
                ended_by_key_or_power = true;
                break;
            }
            EventInformation();
            AcknowledgeHostCommand();
        }
    }
    if (transcoding) {
        if (TranscodeControl(DRA_DOWN_QID, DRA_UP_QID, 0) == 0) std::printf("DiViv : Transcoding Stop\n");
        else std::printf("DiViv : Error :: Could not stop transcoding\n");
    } else {
        if (RecordControl(DRA_DOWN_QID, DRA_UP_QID, 0) == 0) std::printf("DiViv : Recording Stop\n");
        else std::printf("DiViv : Error :: Could not stop recording\n");
    }
    drc->AppState = STATE_IDLE;
    if (ended_by_key_or_power) {
        if (!ExitByPWR_DET.load()) ExitByACC = 1;
        return LoopExit::kLeave;
    }
    if (drc->PowerOffDelay != 0) {
        std::printf("Detect ACC=OFF : System will shutdown in %d sec.\n", drc->PowerOffDelay * 10);
        GetElapsedTime(1);
        while (GetElapsedTime(0) < drc->PowerOffDelay * 10) {
            dr_usleep(100000);
            AcknowledgeHostCommand();
            GetPortStat(0);
            if (drc->ACC_IN_State.load()) {
                // The ignition is back: the board stays on and records again.
                std::printf("Detect ACC=ON\n");
                if (StartRecordingFromIdle()) std::printf("DiViv :Restart recording\n");
                else std::printf("DiViv : Error :: Could not restart recording\n");
                return LoopExit::kContinue;
            }
        }
        ExitByACC = 1;
        return LoopExit::kLeave;
    }
    std::printf("Detect ACC=OFF : The system will shutdown immediately\n");
    ExitByACC = 1;
    return LoopExit::kLeave;
}

// Supply power lost. Returns kLeave always.
LoopExit SupplyPowerLost() {
    const DrState state = drc->AppState.load();
    if (state == STATE_REC || state == STATE_TRANSCODE) {
        std::printf("DiViv : Detect PWR_DET=OFF : Stop Recording immediatly [%s]\n",
                    diviv::LocalTimeStampMs().c_str());
        if (state == STATE_REC) {
            drc->REQ_AM_CLOSE = 1;
            SetLED(1, 2, 0);
        } else {
            drc->REQ_3GP_CLOSE = 1;
        }
        drc->REQ_CLOSE = 1;
        // The writer unmounts the card and raises PWR_OFF_READY. In transcode
        // mode nothing raises it, so that wait is bounded by the reset time.
        const int64_t limit_ms = state == STATE_REC ? -1 : static_cast<int64_t>(drc->PowerRstTimer) * 1000;
        int64_t waited = 0;
        // A writer that has already ended (card full) raises nothing: the
        // wait then ends with the mode, and shutdown unmounts the card.
        while (!drc->PWR_OFF_READY.load() && (limit_ms < 0 || waited < limit_ms) &&
               (drc->AM_ALIVE.load() || drc->CM_ALIVE.load())) {
            dr_usleep(100000);
            waited += 100;
        }
    } else if (state == STATE_LIST || state == STATE_PREVIEW || state == STATE_PLAY) {
        std::printf("Detect PWR_DET=OFF : Stop Recording immediatly\n");
        drc->REQ_AD_CLOSE = 1;
    }
    ExitByPWR_DET = 1;
    return LoopExit::kLeave;
}

void Recover() {
    const DrState state = drc->AppState.load();
    if (drc->CM_ALIVE.load() != 0 || state == STATE_IDLE || state == STATE_LIST) return;
    for (const auto& spec : kSharedRingBuffers) {
        if (spec.member != &dr_common_t::tpts_buf) DR_FlushRingBuffer(&(drc->*spec.member));
    }
    ClearWorkerQueues();
    if (state == STATE_REC || state == STATE_TRANSCODE) {
        drc->AppState = STATE_IDLE;
    } else if (state == STATE_PLAY || state == STATE_PREVIEW) {
        drc->AppState = STATE_LIST;
        FileListMode(1);
    }
    GetElapsedTime(1);
}

void NoCardAndWarnings() {
    const DrState state = drc->AppState.load();
    if (state == STATE_NOSD && DispNoSD_Done.load() == 0) {
        ClearMediaInfo();
        ClearSDCInfo();
        ClearFileList();
        ShowNoCardScreen();
        DispNoSD_Done = 1;
        if (drc->SDErrorState.load()) SetLED(1, 3, 3);
        else SetLED(1, 0, 3);
    }
    if (!print_error_state.load() || !drc->SD_Full.load() || !drc->SDErrorState.load()) return;
    if (state == STATE_NOSD) {
        std::printf("DiViv : Error : SD Card is [Not Found] or [Read Only] or [Illegal Partition Type]\n");
    } else if (state == STATE_IDLE) {
        std::printf("DiViv : Error : SD Card is [Full] or [Read Only] or [Illegal Partition Type]\n");
    } else {
        return;
    }
    SetLED(1, 3, 3);
    print_error_state = 0;
}

void IdleStep(bool keep_running) {
    if (drc->AppState.load() != STATE_IDLE || !keep_running) return;
    if (drc->TranscodeRequest.load()) {
        if (drc->microSD_Full.load()) {
            std::printf("DiViv : Error :: microSD is full or ...\n");
            drc->TranscodeRequest = 0;
        } else {
            if (drc->MonitorStart.load()) {
                MonitorControl(0);
                GetElapsedTime(1);
            }
            const int rc = TranscodeControl(DRA_DOWN_QID, DRA_UP_QID, 1);
            if (rc >= 0) {
                INITDISP_DATA_t d = g_initdisp;
                d.flag = 3;
                DispMenu(&d);
            } else if (rc == -4) {
                std::printf("DiViv : Skip Transcoding [%d]\n", rc);
            } else {
                if (rc == -2) std::printf("DiViv : Transcode Finished [%d]\n", rc);
                else if (rc == -5) std::printf("DiViv : Error :: Can not create folder in microSD[%d]\n", rc);
                else std::printf("DiViv : Error :: TranscodeControl returns [%d]\n", rc);
                drc->TranscodeRequest = 0;
            }
        }
    }
    if (drc->AppState.load() == STATE_IDLE && !drc->MonitorStart.load() && !drc->TranscodeRequest.load()) {
        MonitorControl(1);
    }
}

}  // namespace

// The main loop. Returns when the recorder is to shut down.
void MainLoop() {
    bool keep_running = true;
    while (keep_running) {
        if (drc->FatalError.load()) {
            std::printf("DiViv : Found fatal error ! --> Reboot the system\n");
            DR_SYSLOG(DR_ERR_FATAL, "Fatal error is found.", 1);
        }
        if (drc->HW_Error.load()) {
            std::printf("DiViv : Found hardware error ! \n");
            DR_SYSLOG(DR_ERR_FATAL, "Fatal error is found.", 0);
            drc->HW_Error = 0;
            SetLED(1, 0, 2);
        }
        GetPortStat(0);
        int command = 0, param = 0;
        if (GetHostCommand(&command, &param, ComStrBuf) == 1) {
            keep_running = MonCommand(command, param, ComStrBuf) != 0;
        } else {
            KeyCommand(CheckButtonState());
        }
        ServeBoardRequests();
        Recover();

        if (!drc->SD_Full.load() && drc->auto_rec == 0 && drc->AppState.load() == STATE_IDLE &&
            AutoRecodeEnable.load() == 1 && drc->PWR_DET_State.load()) {
            if (drc->MonitorStart.load()) MonitorControl(0);
            if (!drc->ACC_IN_State.load()) {
                ExitByACC = 1;
                break;
            }
            if (StartRecordingFromIdle()) {
                std::printf("DiViv : Start auto recoding ### [%d]\n", drc->AppState.load());
                AutoRecodeEnable = 0;
            } else {
                std::printf("DiViv : Error :: Can not start recording\n");
            }
        }
        if (drc->RestartRec.load() && drc->AppState.load() == STATE_REC) drc->REQ_AM_CLOSE = 1;

        const DrState state = drc->AppState.load();
        if (state == STATE_LIST || state == STATE_PREVIEW) drc->MediaInfoReady = 0;
        if ((state == STATE_LIST || state == STATE_PLAY || state == STATE_CFG || state == STATE_PREVIEW ||
             state == STATE_NOSD || state == STATE_TRANSCODE) &&
            nTimeUpdate.exchange(0)) {
            time_t now = time(nullptr);
            DispClock(&now);
        }
        IdleStep(keep_running);
        NoCardAndWarnings();

        if (drc->PWR_DET_State.load() == 0) {
            SupplyPowerLost();
            break;
        }
        if (drc->ACC_IN_State.load() == 0) {
            const DrState s = drc->AppState.load();
            if (s == STATE_IDLE || s == STATE_NOSD) {
                std::printf("Detect ACC=OFF : The system will shutdown immediately\n");
                ExitByACC = 1;
                break;
            }
            if ((s == STATE_REC || s == STATE_TRANSCODE) && IgnitionOffWhileRecording() == LoopExit::kLeave) break;
        }
        if (nCheckPollEvent.exchange(0)) PollCardEvent();
        EventInformation();
        std::fflush(stdout);
    }
}

}  // namespace app
