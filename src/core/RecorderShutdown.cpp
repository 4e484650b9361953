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
#include "core/HostQueue.h"
#include "core/Indicator.h"
#include "core/KeyCommand.h"
#include "core/ModeControl.h"
#include "osd/dfb_osd_api.h"
#include "core/WorkerHandshake.h"
#include "platform/Mount.h"
#include "storage/sdcheck.h"


namespace app {

void SyncAndUnmount() {
    for (int i = 0; i < 3; ++i) diviv::SyncDisks();
    if (chdir("/") != 0) std::perror("chdir");
    if (CheckSDStatus() != 1) return;
    std::printf("DiViv : Umount SD\n");
    UnmountCardPartitions();
}

namespace {

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

}  // namespace

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


}  // namespace app
