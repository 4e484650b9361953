#include "core/DriveRecorderApp.h"

#include <sys/stat.h>
#include <sys/time.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include "config/daytime_menu.h"
#include "core/AppParams.h"
#include "config/param_ini.h"
#include "core/AppGlobals.h"
#include "core/CardEvent.h"
#include "core/DR_common.h"
#include "core/DR_shared.h"
#include "core/FileListScreen.h"
#include "core/HostCommand.h"
#include "core/HostQueue.h"
#include "core/Indicator.h"
#include "core/InputHandler.h"
#include "core/KeyCommand.h"
#include "core/ModeControl.h"
#include "osd/DateSettingView.h"
#include "osd/dfb_osd_api.h"
#include "osd/MediaInfo.h"
#include "osd/font.h"
#include "osd/osd.h"
#include "osd/osd_screenshot.h"
#include "core/WorkerHandshake.h"
#include "platform/PowerPort.h"
#include "platform/Board.h"
#include "platform/BoardPath.h"
#include "platform/Mount.h"
#include "platform/RunProgram.h"
#include "sensors/GpsReceiveThread.h"
#include "storage/SDFunc.h"
#include "storage/indexf.h"
#include "storage/sdcheck.h"

namespace app {
std::atomic<int> ExitByACC{0}, ExitByPWR_DET{0}, AutoRecodeEnable{0}, SetCursolFirstTime{0};
std::atomic<int> DispNoSD_Done{1}, print_error_state{1}, first_time_transcode{1}, skip_microSD_event{0};
std::atomic<int> VideoMode{0};
char ComStrBuf[64];
}  // namespace app

using namespace app;

[[noreturn]] void LogDumpMode();

std::string AppVersionText() {
    char text[32];
    std::snprintf(text, sizeof text, "%d.%d.%d.%d", (nCurrentAppVersion >> 24) & 0xff,
                  (nCurrentAppVersion >> 16) & 0xff, (nCurrentAppVersion >> 8) & 0xff,
                  nCurrentAppVersion & 0xff);
    return text;
}

void GetSystemLines(std::string* system_line, std::string* release_line) {
    utsname u{};
    uname(&u);
    char line[512];
    std::snprintf(line, sizeof line, "  >>> %s %s", u.sysname, u.release);
    *system_line = line;
    const char* version = std::strlen(u.version) > 11 ? u.version + 11 : "";
    std::snprintf(line, sizeof line, "     (%s)", version);
    *release_line = line;
}

namespace {

std::unique_ptr<dr_common_t> g_dr;
std::unique_ptr<codec_config_t> g_cfg;
SDC_Info_t g_sdcinfo{};
SDC_Info_t g_micro_sdinfo{};
MediaInfo_t g_mediainfo{};
std::unique_ptr<SDC_Files_t[]> g_files;
INITDISP_DATA_t g_initdisp{};
bool g_ring_buffers_made = false;

// Seconds of the ignition-off waits (tests shorten them through the
// parameter record; these are the real units).
constexpr int kSecPerMinute = 60;

// Serves what the board asks of the recorder (screenshots on the simulated
// board). The main thread owns the display, so this runs in its loops.
void ServeBoardRequests() {
    diviv::TheBoard().ServeBoardRequests([](const std::string& png) { OSDScreenshot(png.c_str()); });
}

// Reads a camera driver file ("maxdevices") through the scratch copy "/var/tmp/videoinfo",
// removed after each read (the driver's files are read once, whole).
std::string ReadDriverFile(const char* name) {
    const std::string scratch = BoardPath("/var/tmp/videoinfo");
    std::string text;
    const std::string driver_text = diviv::TheBoard().Camera().ReadFile(name);
    if (!driver_text.empty()) {
        if (FILE* out = std::fopen(scratch.c_str(), "w")) {
            std::fwrite(driver_text.data(), 1, driver_text.size(), out);
            std::fclose(out);
        }
    }
    if (FILE* f = std::fopen(scratch.c_str(), "r")) {
        char buf[128];
        const size_t n = std::fread(buf, 1, sizeof buf - 1, f);
        text.assign(buf, n);
        std::fclose(f);
    }
    std::remove(scratch.c_str());
    return text;
}

void CheckVideoInput() {
    const std::string maxdev = ReadDriverFile("maxdevices");
    const int num = (!maxdev.empty() && maxdev[0] >= '0' && maxdev[0] <= '9') ? maxdev[0] - '0' : 0;
    std::printf("DiViv : Found %d Video Input\n", num);
    int st[4] = {0, 0, 0, 0};
    std::sscanf(ReadDriverFile("video_input_status").c_str(), "%d %d %d %d", &st[0],
                &st[1], &st[2], &st[3]);
    std::printf("DiViv : Video Input is %d %d %d %d\n", st[0], st[1], st[2], st[3]);
    const std::string fmt = ReadDriverFile("video_format");
    if (fmt.rfind("NTSC", 0) == 0) std::printf("DiViv : Video System is NTSC\n");
    else if (fmt.rfind("PAL", 0) == 0) std::printf("DiViv : Video System is PAL\n");
    else std::printf("DiViv : Video System is INVALID\n");
    drc->InputVideoNum = (num >= 1 && num <= 4) ? num : 0;
    for (int i = 0; i < 4; ++i) {
        if (st[i] >= -1 && st[i] <= 1) drc->VideoInputStatus[i] = st[i];
    }
}

void ShowNoCardScreen() {
    INITDISP_DATA_t d = g_initdisp;
    d.flag = 1;
    DispMenu(&d);
}

std::string g_version_line, g_system_line, g_release_line;

INITDISP_DATA_t MakeStartScreen(const std::string& version, const std::string& system_line,
                                const std::string& release_line) {
    static char version_line[64];
    std::snprintf(version_line, sizeof version_line, "               (%s)", version.c_str());
    g_system_line = system_line;
    g_release_line = release_line;
    INITDISP_DATA_t d{};
    d.flag = DISP_START;
    d.Title1 = "   DiViv  DRIVE RECORDER";
    d.Title2 = "        Application Software";
    d.Title3 = g_system_line.c_str();
    d.Title4 = g_release_line.c_str();
    d.Title5 = "";
    d.VersionInfo = version_line;
    d.CompanyInfo = "   DiViv Recorder Works";
    return d;
}

// The five caption places and their fonts (font 7) stamped into pictures.
struct CaptionLayer {
    osd_session* dr_common_t::*session;
    font_type* dr_common_t::*font;
    int width, height, x, y;
};
constexpr CaptionLayer kCaptionLayers[] = {
    {&dr_common_t::osd_caption, &dr_common_t::font_caption, 640, 480, 160, 440},
    {&dr_common_t::osd_qvga_caption, &dr_common_t::font_qvga_caption, 320, 240, 40, 220},
    {&dr_common_t::osd_time_right, &dr_common_t::font_time_right, 640, 480, 365, 5},
    {&dr_common_t::osd_time_left, &dr_common_t::font_time_left, 640, 480, 45, 5},
    {&dr_common_t::osd_camno, &dr_common_t::font_camno, 640, 480, 300, 220},
};

void CreateCaptionLayers(dr_common_t* dr) {
    for (const auto& l : kCaptionLayers) {
        dr->*l.session = osd_init(l.width, l.height, l.x, l.y);
        if (dr->*l.session == nullptr) continue;  // a layer that failed gets no font
        dr->*l.font = font_init(7);
        if (dr->*l.font) osd_install_font(dr->*l.session, dr->*l.font);
    }
}

void ReleaseCaptionLayers(dr_common_t* dr) {
    int n = 0;
    for (const auto& l : kCaptionLayers) {
        // A session owns its installed font and releases it with itself.
        if (dr->*l.session) osd_deinit(dr->*l.session);
        else if (dr->*l.font) font_deinit(dr->*l.font);
        dr->*l.session = nullptr;
        dr->*l.font = nullptr;
        if (++n == 2) dr_usleep(1000000);
    }
}

// Takes the card into use after a usable check: capacity, version file,
// file list and the full test.
void TakeCardIntoUse() {
    if (GetSDCap("/mnt/mmc0_p1", drc->sdinfo) < 1) {
        drc->sdinfo->index = -1;
        std::printf("DiViv : SD CARD IS NOT FOUND !\n");
        return;
    }
    VersionFileCheck();
    GetFileList("/mnt/mmc0_p1", drc->sdinfo, "");
    const uint8_t full = static_cast<uint8_t>(isSD_Full());
    drc->SDErrorState = full;
    drc->SD_Full = full;
}

// The card check of start-up. Returns false when the ignition went off.
bool CheckCardAtStartup() {
    const int mounted = CheckSD(1);
    if (mounted == 1) {
        std::printf("DiViv : Found SD Card in mount list\n");
        if (diviv::RunProgram({"./NandLogCk.sh"}) == 1) LogDumpMode();
        if (drc->sdinfo->index == 1) {
            std::printf("DiViv : SD Info and Index Info Already Exist.\n");
            return true;
        }
        if (!drc->ACC_IN_State.load()) return false;
        const int rc = CheckSDC();
        if (rc >= 4 && rc <= 6) {
            std::printf("DiViv : Read INI File\n");
            ReadINIFile();
        }
        switch (rc & 3) {
            case 1:
                DR_SYSLOG(DR_ERR_FATAL, "Fatal error is found in SD memory card.", 0);
                drc->sdinfo->index = -1;
                std::printf("DiViv : SD CARD Error! (before set parameters)\n");
                drc->SDErrorState = 1;
                drc->SD_Full = 1;
                drc->AppState = STATE_NOSD;
                break;
            case 2:
                std::printf("DiViv : Formatting SD CARD!\n");
                SetLED(3, 3, 0);
                diviv::RunProgram({"./formatsd.sh"});
                SetLED(1, 0, 0);
                TakeCardIntoUse();
                break;
            default:
                TakeCardIntoUse();
                break;
        }
    } else if (mounted < 0) {
        std::printf("DiViv : Can not find SD card\n");
        ShowNoCardScreen();
        drc->sdinfo->index = -1;
        if (drc->SDErrorState.load() == 1) SetLED(1, 3, 3);
        else SetLED(1, 0, 3);
    } else {
        std::printf("DiViv : SD card is read only\n");
        ShowNoCardScreen();
    }
    return true;
}

}  // namespace

// A card that carries "NAND.log" asks for the board's log: dump it, then
// wait for the ignition or power to go and switch the board off.
void LogDumpMode() {
    std::printf("DiViv : Found a file whose name is NAND.log on SD memory card!\n");
    SetLED(3, 3, 3);
    diviv::RunProgram({"./tacl", "/dev/mtd5", "/mnt/mmc0_p1/NAND.log"});
    dr_usleep(3000000);
    SetLED(1, 0, 0);
    while (true) {
        dr_usleep(1000000);
        GetPortStat(0);
        const bool acc = drc->ACC_IN_State.load(), pwr = drc->PWR_DET_State.load();
        if (acc && pwr) continue;
        if (!acc) std::printf("DiViv : ACC OFF detected!!\n");
        if (!pwr) std::printf("DiViv : Power_DET OFF detected!!\n");
        dr_usleep(2000000);
        std::printf("DiViv : Reset System (set 2 -> power)\n");
        if (!diviv::WritePowerCommand("2\n")) {
            std::printf("DiViv : Can not open /proc/driver/power\n");
            DR_SYSLOG(DR_ERR_FATAL, "Failure of opening the file.", 1);
        }
        std::fflush(stdout);
    }
}

namespace {

void SyncAndUnmount() {
    for (int i = 0; i < 3; ++i) diviv::SyncDisks();
    if (chdir("/") != 0) std::perror("chdir");
    if (CheckSDStatus() != 1) return;
    std::printf("DiViv : Umount SD\n");
    UnmountCardPartitions();
}

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
        if (nCheckPollEvent.exchange(0)) poll_event(0);
        EventInformation();
        std::fflush(stdout);
    }
}

bool AnyThreadAlive(dr_common_t* dr) {
    for (const dr_flag* f : {&dr->CM_ALIVE, &dr->VCE_ALIVE, &dr->AC_ALIVE, &dr->AE_ALIVE, &dr->AM_ALIVE,
                             &dr->GSS_ALIVE, &dr->PAC_ALIVE, &dr->PM_ALIVE, &dr->AD_ALIVE, &dr->VD_ALIVE,
                             &dr->ADC_ALIVE, &dr->AO_ALIVE, &dr->MON_ALIVE, &dr->DISP_ALIVE, &dr->GPS_ALIVE}) {
        if (f->load()) return true;
    }
    return false;
}

void StopCodecManager() {
    if (!drc->CM_ALIVE.load()) return;
    drc->REQ_CLOSE = 1;
    while (drc->CM_ALIVE.load()) dr_usleep(1000000);
}

[[noreturn]] void PowerLossShutdown() {
    if (!drc->PWR_OFF_READY.load()) SyncAndUnmount();
    std::printf("Exit by detect PWR_DET off after %d[sec] later.\n", drc->PowerRstTimer);
    StopGpsReceiver(6);
    GetElapsedTime(1);
    while (GetElapsedTime(0) < drc->PowerRstTimer) dr_usleep(500000);
    std::printf("System shutdown now !\n");
    std::fflush(stdout);
    dr_usleep(500000);
    PowerControl(2);
    while (true) dr_usleep(100000);
}

int OrderlyEnd() {
    drc->AppState = STATE_IDLE;
    StopCodecManager();
    StopGpsReceiver(8);
    drc->AppState = STATE_CLOSE;
    for (int32_t qid : {drc->APP_QID, drc->CM_QID, drc->VC_QID, drc->VE_QID, drc->AD_QID, drc->VD_QID}) {
        if (qid != 0) g_MSG_Delete(qid);
    }
    StopTimer();
    const bool inputs_stopped = StopInputThreads();
    // A thread left behind (a worker that did not end, the GPS receiver, an
    // input thread on a real device) still reads the record and its buffers:
    // they are then kept for the process's last moments instead of freed.
    const bool all_ended = inputs_stopped && !AnyThreadAlive(drc);
    if (g_ring_buffers_made && all_ended) FreeSharedRingBuffers(drc);
    if (all_ended) DeleteAllIndex();
    ClearClock();
    OSDClose();
    ReleaseCaptionLayers(drc);
    std::printf("DiViv : OSD DEINIT DONE ! \n");
    const std::string hashes(52, '#');
    std::printf("%s\n### Varnex Drive Recorder Application End        ###\n%s\n", hashes.c_str(), hashes.c_str());
    std::fflush(stdout);
    if (all_ended) {
        drc = nullptr;
        g_dr.reset();
        g_cfg.reset();
        g_files.reset();
    }
    return 0;
}

int Shutdown() {
    drc->REQ_GPS_CLOSE = 1;
    drc->REQ_GSS_CLOSE = 1;
    StopCodecManager();
    if (ExitByPWR_DET.load()) PowerLossShutdown();
    if (ExitByACC.load()) {
        std::printf("DiViv : Umount SD and PWR_CNT->0\n");
        SyncAndUnmount();
        StopGpsReceiver(8);
        std::printf("System shutdown now !\n");
        std::fflush(stdout);
        dr_usleep(500000);
        PowerControl(2);
    }
    return OrderlyEnd();
}

int32_t HexArg(const char* s) { return static_cast<int32_t>(std::strtol(s, nullptr, 16)); }

}  // namespace

int DriveRecorderMain(int argc, char** argv) {
    std::printf("Let's hold out today. ENJOY DRIVE ＼(^o^)／ RECORDER !\n");
    std::memset(ComStrBuf, 0, sizeof ComStrBuf);
    first_time_transcode = 1;
    nCheckPollEvent = 0;
    std::string system_line, release_line;
    GetSystemLines(&system_line, &release_line);
    std::printf("DiViv : System :: %s\n", system_line.c_str());
    std::printf("DiViv : Release:: %s\n", release_line.c_str());
    const std::string version = AppVersionText();
    std::printf("DiViv : Current Application Version is %s\n", version.c_str());

    ExitByACC = 0;
    ExitByPWR_DET = 0;
    SetLEDInit();
    SetLED(1, 3, 0);
    PowerControl(1);

    g_cfg = NewCodecConfig();
    g_dr = NewDrCommon();
    g_files.reset(new (std::nothrow) SDC_Files_t[10000]());
    if (!g_cfg || !g_dr || !g_files) {
        DR_SYSLOG(DR_ERR_FATAL, "Failure of memory allocation.", 1);
        std::printf("%s:%d：%s\n", __FILE__, __LINE__, __func__);
        std::printf("Fatal Error : Failed to malloc [%d]\n", __LINE__);
        SetLED(1, 0, 2);
        return -1;
    }
    drc = g_dr.get();
    drc->AppState = STATE_INIT;

    std::printf("OSD INIT\n");
    OSDInit();
    // Screenshots compose the board's video plane (the camera's overlay)
    // under the graphics plane.
    OSDSetVideoPlaneSource([](uint8_t* rgb, int w, int h) { return diviv::TheBoard().Display().VideoPlane(rgb, w, h); });
    std::printf("DiViv : System :: %s\n", system_line.c_str());
    std::printf("DiViv : Release:: %s\n", release_line.c_str());
    g_initdisp = MakeStartScreen(version, system_line, release_line);
    DispMenu(&g_initdisp);
    DispClock(nullptr);
    SetDateScreenHooks(
        [](DATE_DATA_t* d) {
            DateSettingView v{d->nSel, d->nYear, d->nMonth, d->nDay, d->nHour, d->nMinute, d->nSecond, {}};
            static_assert(sizeof v.DayWeek == sizeof d->DayWeek);
            std::memcpy(v.DayWeek, d->DayWeek, sizeof v.DayWeek);
            DispSetDate(&v);
        },
        [] { ClearSetDate(); });

    ClearKeyLatches();
    std::printf("Exec Timer Handler\n");
    StartTimer();
    std::printf("Exec Key Event Handler\n");
    StartKeyEventHandler();
    drc->PWR_DET_State = 1;
    std::printf("Exec Power Event Handler\n");
    StartPowerEventHandler();
    std::printf("Get Port Stat\n");
    GetPortStat(1);
    CheckVideoInput();
    for (const char* d : {"/var/tmp/msgque1", "/var/tmp/msgque2", "/var/tmp/msgque3", "/var/tmp/msgque4",
                          "/var/tmp/msgque5", "/var/tmp/msgque6", "/var/tmp/printque"}) {
        mkdir(BoardPath(d).c_str(), 0700);
    }

    drc->transcode_3gp_path[0] = '\0';
    drc->transcode_fullpath3gp_fname[0] = '\0';
    g_sdcinfo = SDC_Info_t{};
    g_sdcinfo.index = -1;
    drc->SDErrorState = drc->SD_Full = drc->microSD_Full = 0;
    drc->pCodecCfg = g_cfg.get();
    drc->ACC_IN_State = CurrentACCState.load();
    drc->TargetHW = 1;
    drc->micro_sdinfo = &g_micro_sdinfo;
    drc->sdfile = g_files.get();
    drc->asfinfo = &g_mediainfo;
    drc->sdinfo = &g_sdcinfo;

    bool bad_queue_ids = false;
    auto startup = [&]() -> bool {
        if (!drc->ACC_IN_State.load()) return false;
        std::printf("DiViv : Debug : CurrentPWR_DETState = %d\n", CurrentPWR_DETState.load());
        drc->PWR_DET_State = CurrentPWR_DETState.load();
        if (!drc->PWR_DET_State.load()) {
            ExitByPWR_DET = 1;
            return false;
        }
        drc->RsvParam_1 = 1;
        int failed = 0;
        if (CreateSharedRingBuffers(drc, &failed) != 0) {
            DR_SYSLOG(DR_ERR_FATAL, "Failure of memory allocation.", 1);
            std::printf("DIViv Error : Failed to init ring bufer [%d]\n", __LINE__);
            SetLED(1, 0, 2);
        }
        g_ring_buffers_made = true;
        SetupMessageQue();
        char cwd[256] = {};
        if (getcwd(cwd, sizeof cwd)) std::snprintf(drc->application_path_name, sizeof drc->application_path_name, "%s", cwd);
        drc->MobileInfo = static_cast<MobileType>(-1);
        dr_usleep(1000000);

        std::printf("DiViv : Debug :: Poll Event in Init Sequence\n");
        drc->SDErrorState = drc->SD_Full = 0;
        print_error_state = 1;
        DeleteAllIndex();
        g_sdcinfo.index = -1;
        g_sdcinfo.CurrentSelectedIndex = nullptr;
        g_sdcinfo.MostRecentIndex = g_sdcinfo.OldestIndex = nullptr;
        g_sdcinfo.NumOfFiles = 0;
        g_sdcinfo.EventFiles = 0;
        for (int ev; (ev = poll_event(0)) != -1;) std::printf("DiViv : polling event[%d]\n", ev);
        drc->VIN_MODE = 0;
        if (!CheckCardAtStartup()) return false;
        if (!drc->ACC_IN_State.load()) return false;

        drc->TranscodeRequest = 0;
        const int use_setup_file = argc > 5 ? HexArg(argv[5]) : 0;
        // The card is asked only when the setup file is to be used.
        LoadStartupParams(use_setup_file,
                          use_setup_file == 1 && CheckSD(1) != 0 && drc->SDErrorState.load() == 0);
        VideoMode = 0;
        SetLocalParams();
        const std::string line(55, '#');
        std::printf("%s\n### Varnex Drive Recorder Application Ver %s    \n%s\n", line.c_str(), version.c_str(), line.c_str());

        if (argc > 1) {
            DRM_DOWN_QID = HexArg(argv[1]);
            DRM_UP_QID = argc > 2 ? HexArg(argv[2]) : 0;
            DRA_DOWN_QID = argc > 3 ? HexArg(argv[3]) : 0;
            DRA_UP_QID = argc > 4 ? HexArg(argv[4]) : 0;
            if (DRM_DOWN_QID == -1 || DRM_UP_QID == -1 || DRA_UP_QID == -1) {
                std::printf("DiViv : Error: Application can not get MasgQue ID\n");
                bad_queue_ids = true;
                return false;
            }
        }
        // The start screen stays 3 s; a screenshot asked for meanwhile is served.
        for (int i = 0; i < 30; ++i) {
            ServeBoardRequests();
            dr_usleep(100000);
        }
        ClearMenu();
        std::printf("OSD_CLOSE\n");

        if (g_sdcinfo.index < 0) {
            const int rc = CheckSD(1);
            if (rc == 0) {
                std::printf("DiViv :: DEBUG CheckSD(1) returns 0 sdcinfo.index=%d [Read Only]\n", g_sdcinfo.index);
                drc->SD_Full = drc->SDErrorState = 1;
                drc->AppState = STATE_NOSD;
                ShowNoCardScreen();
                DR_SYSLOG(DR_ERR_SURVIVABLE, "SD memory card is not found.", 0);
            } else if (rc < 0) {
                std::printf("DiViv :: DEBUG CheckSD(1) returns %d sdcinfo.index=%d [No SD]\n", rc, g_sdcinfo.index);
                drc->AppState = STATE_NOSD;
                ShowNoCardScreen();
                DR_SYSLOG(DR_ERR_SURVIVABLE, "SD memory card is not found.", 0);
            } else {
                std::printf("DiViv :: DEBUG else CheckSD(1) sdcinfo.index=%d\n", g_sdcinfo.index);
                const DrState s = drc->AppState.load();
                if (s == STATE_INIT || s == STATE_NOSD) {
                    if (poll_event(0) < 0) {
                        std::printf("DiViv :: DEBUG poll_event(0) returns < 0 \n");
                        drc->AppState = STATE_NOSD;
                    } else {
                        drc->AppState = STATE_IDLE;
                        if (g_sdcinfo.index != 1) {
                            if (!drc->ACC_IN_State.load()) return false;
                            TakeCardIntoUse();
                        }
                    }
                }
            }
        } else {
            drc->AppState = STATE_IDLE;
        }
        AutoRecodeEnable = drc->auto_rec == 0 ? 1 : 0;
        if (drc->gps_enable) {
            drc->GPSWriteRmcData = 0;
            std::printf("DiViv : Exec GPS Receiver\n");
            diviv::StartWorker(drc, drc->GPS_ALIVE, drc->REQ_GPS_CLOSE, GpsReceiveThread);
        }
        skip_microSD_event = 0;
        ShowEepParam(&eepd);
        CreateCaptionLayers(drc);
        if (g_sdcinfo.index == 1 && drc->event_num_info != 0 &&
            g_sdcinfo.EventFiles >= static_cast<int>(drc->event_num_info)) {
            SetBUZZERS(50, 50, 50, 350, 0, 0, 0, 0, 3);
            SetLED_BLINK_SEQ(REC, 1);
        }
        if (drc->AppState.load() == STATE_NOSD) SetLED(1, drc->SDErrorState.load() ? 3 : 0, 3);
        else SetLED(1, 0, 0);
        return true;
    };

    if (startup()) {
        MainLoop();
    } else if (bad_queue_ids) {
        return OrderlyEnd();  // status 0, the board stays on
    } else if (!ExitByPWR_DET.load()) {
        ExitByACC = 1;
    }
    return Shutdown();
}
