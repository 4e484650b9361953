#include "core/DriveRecorderApp.h"

#include "core/Indicator.h"
#include "core/RecorderRun.h"

namespace app {
std::atomic<int> ExitByACC{0}, ExitByPWR_DET{0}, AutoRecodeEnable{0}, SetCursolFirstTime{0};
std::atomic<int> DispNoSD_Done{1}, print_error_state{1}, first_time_transcode{1}, skip_microSD_event{0};
std::atomic<int> VideoMode{0};
char ComStrBuf[64];

std::unique_ptr<dr_common_t> g_dr;
std::unique_ptr<codec_config_t> g_cfg;
SDC_Info_t g_sdcinfo{};
SDC_Info_t g_micro_sdinfo{};
MediaInfo_t g_mediainfo{};
std::unique_ptr<SDC_Files_t[]> g_files;
INITDISP_DATA_t g_initdisp{};
bool g_ring_buffers_made = false;
}  // namespace app

using namespace app;

// Start-up in its named steps (RecorderStartup.cpp), the main loop
// (RecorderMainLoop.cpp), then the shutdown road the loop's end names
// (RecorderShutdown.cpp).
int DriveRecorderMain(int argc, char** argv) {
    std::string system_line, release_line;
    const std::string version = PrintBanner(&system_line, &release_line);

    ExitByACC = 0;
    ExitByPWR_DET = 0;
    SetLEDInit();
    SetLED(1, 3, 0);
    PowerControl(1);

    if (!AllocateSharedRecords()) return -1;
    StartDisplay(version, system_line, release_line);
    StartInputs();
    LinkSharedRecords();

    bool bad_queue_ids = false;
    if (StartRecorder(argc, argv, &bad_queue_ids)) {
        MainLoop();
    } else if (bad_queue_ids) {
        return OrderlyEnd();  // status 0, the board stays on
    } else if (!ExitByPWR_DET.load()) {
        ExitByACC = 1;
    }
    return Shutdown();
}
