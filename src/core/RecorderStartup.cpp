#include "core/RecorderRun.h"

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
#include "core/AppGlobals.h"
#include "core/CardEvent.h"
#include "core/HostQueue.h"
#include "core/Indicator.h"
#include "core/KeyCommand.h"
#include "osd/DateSettingView.h"
#include "osd/dfb_osd_api.h"
#include "osd/osd_screenshot.h"
#include "core/WorkerHandshake.h"
#include "platform/PowerPort.h"
#include "platform/Board.h"
#include "platform/BoardPath.h"
#include "platform/RunProgram.h"
#include "sensors/GpsReceiveThread.h"
#include "storage/sdcheck.h"

using namespace app;

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

namespace app {

namespace {

int32_t HexArg(const char* s) { return static_cast<int32_t>(std::strtol(s, nullptr, 16)); }

}  // namespace

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

std::string PrintBanner(std::string* system_line, std::string* release_line) {
    std::printf("Let's hold out today. ENJOY DRIVE ＼(^o^)／ RECORDER !\n");
    std::memset(ComStrBuf, 0, sizeof ComStrBuf);
    first_time_transcode = 1;
    nCheckPollEvent = 0;
    GetSystemLines(system_line, release_line);
    std::printf("DiViv : System :: %s\n", system_line->c_str());
    std::printf("DiViv : Release:: %s\n", release_line->c_str());
    std::string version = AppVersionText();
    std::printf("DiViv : Current Application Version is %s\n", version.c_str());
    return version;
}

bool AllocateSharedRecords() {
    g_cfg = NewCodecConfig();
    g_dr = NewDrCommon();
    g_files.reset(new (std::nothrow) SDC_Files_t[10000]());
    if (!g_cfg || !g_dr || !g_files) {
        DR_SYSLOG(DR_ERR_FATAL, "Failure of memory allocation.", 1);
        std::printf("%s:%d：%s\n", __FILE__, __LINE__, __func__);
        std::printf("Fatal Error : Failed to malloc [%d]\n", __LINE__);
        SetLED(1, 0, 2);
        return false;
    }
    drc = g_dr.get();
    drc->AppState = STATE_INIT;
    return true;
}

void StartDisplay(const std::string& version, const std::string& system_line, const std::string& release_line) {
    std::printf("OSD INIT\n");
    OSDInit();
    // Screenshots compose the board's video plane (the camera's overlay)
    // under the graphics plane.
    OSDSetVideoPlaneSource([](uint8_t* rgb, int w, int h) { return diviv::TheBoard().Display().VideoPlane(rgb, w, h); });
    // The camera's live overlay is written over the screen while it is on.
    OSDSetOverlaySource([](uint8_t* rgb, uint8_t* mask, int w, int h) {
        return diviv::TheBoard().Display().CaptureOverlay(rgb, mask, w, h);
    });
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
}

void StartInputs() {
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
}

void LinkSharedRecords() {
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
}

namespace {

// Ignition and supply power must both be on to go further; supply power off
// takes the power-loss road.
bool PowerAllowsStart() {
    if (!drc->ACC_IN_State.load()) return false;
    std::printf("DiViv : Debug : CurrentPWR_DETState = %d\n", CurrentPWR_DETState.load());
    drc->PWR_DET_State = CurrentPWR_DETState.load();
    if (!drc->PWR_DET_State.load()) {
        ExitByPWR_DET = 1;
        return false;
    }
    return true;
}

// Ring buffers, worker queues, card events and the application folder.
void PrepareBuffersAndQueues() {
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
}

// The first card check, with formatting or the log dump the card asks for.
bool CheckCardFirst() {
    std::printf("DiViv : Debug :: Poll Event in Init Sequence\n");
    drc->SDErrorState = drc->SD_Full = 0;
    print_error_state = 1;
    ClearCardRecord();
    for (int ev; (ev = poll_event(0)) != -1;) {
        std::printf("DiViv : polling event[%d]\n", ev);
        if (ev == -2) break;  // no card-event queue: nothing to drain, and asking again never ends
    }
    drc->VIN_MODE = 0;
    if (!CheckCardAtStartup()) return false;
    if (!drc->ACC_IN_State.load()) return false;

    return true;
}

// The parameters from the EEPROM, or from the card's setup file when the
// command line asks for it.
void LoadParameters(int argc, char** argv) {
    drc->TranscodeRequest = 0;
    const int use_setup_file = argc > 5 ? HexArg(argv[5]) : 0;
    // The card is asked only when the setup file is to be used.
    LoadStartupParams(use_setup_file,
                      use_setup_file == 1 && CheckSD(1) != 0 && drc->SDErrorState.load() == 0);
    VideoMode = 0;
    SetLocalParams();
    const std::string line(55, '#');
    std::printf("%s\n### Varnex Drive Recorder Application Ver %s    \n%s\n", line.c_str(), AppVersionText().c_str(), line.c_str());
}

// The host's queue ids from the command line (hexadecimal).
bool TakeQueueIds(int argc, char** argv, bool* bad_queue_ids) {
    if (argc > 1) {
        DRM_DOWN_QID = HexArg(argv[1]);
        DRM_UP_QID = argc > 2 ? HexArg(argv[2]) : 0;
        DRA_DOWN_QID = argc > 3 ? HexArg(argv[3]) : 0;
        DRA_UP_QID = argc > 4 ? HexArg(argv[4]) : 0;
        if (DRM_DOWN_QID == -1 || DRM_UP_QID == -1 || DRA_UP_QID == -1) {
            std::printf("DiViv : Error: Application can not get MasgQue ID\n");
            *bad_queue_ids = true;
            return false;
        }
    }
    return true;
}

// The start screen stays 3 s; a screenshot asked for meanwhile is served.
void HoldStartScreen() {
    for (int i = 0; i < 30; ++i) {
        ServeBoardRequests();
        dr_usleep(100000);
    }
    ClearMenu();
    std::printf("OSD_CLOSE\n");
}

// The second card check decides between idle and the no-card state.
bool CheckCardSecond() {
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
    return true;
}

// Automatic recording, the GPS receiver, the caption layers and the LEDs.
void StartServices() {
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
}

}  // namespace

bool StartRecorder(int argc, char** argv, bool* bad_queue_ids) {
    if (!PowerAllowsStart()) return false;
    PrepareBuffersAndQueues();
    if (!CheckCardFirst()) return false;
    LoadParameters(argc, argv);
    if (!TakeQueueIds(argc, argv, bad_queue_ids)) return false;
    HoldStartScreen();
    if (!CheckCardSecond()) return false;
    StartServices();
    return true;
}

}  // namespace app
