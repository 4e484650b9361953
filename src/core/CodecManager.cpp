#include "core/CodecManager.h"

#include <sys/syscall.h>
#include <unistd.h>

#include <cstdio>
#include <mutex>
#include <string>

#include "core/DR_common.h"
#include "core/WorkerHandshake.h"
#include "platform/Board.h"
#include "platform/Mount.h"
#include "platform/VideoCodec.h"
#include "playback/AsfDemuxThread.h"
#include "playback/AudioDecoderThread.h"
#include "playback/AudioOutputThread.h"
#include "playback/MonitorThread.h"
#include "playback/PlaybackManagerThread.h"
#include "playback/VideoDecoderThread.h"
#include "playback/VideoDispThread.h"
#include "recording/AsfMuxThread.h"
#include "recording/AudioCaptureThread.h"
#include "recording/AudioEncoderThread.h"
#include "recording/VideoCaptureEncoderThread.h"
#include "sensors/GssReceiveThread.h"
#include "sensors/PulseAndContReceiveThread.h"

namespace diviv {

namespace {

std::mutex g_settings_mutex;
CodecManagerSettings g_settings;  // guarded by g_settings_mutex

}  // namespace

void SetCodecManagerSettings(const CodecManagerSettings& settings) {
    std::lock_guard<std::mutex> lock(g_settings_mutex);
    g_settings = settings;
}

CodecManagerSettings GetCodecManagerSettings() {
    std::lock_guard<std::mutex> lock(g_settings_mutex);
    return g_settings;
}

bool CloseWorker(dr_flag& alive, dr_flag& request, const char* name, const char* error_name,
                 bool repeat_request, bool unbounded, const CodecManagerSettings& settings) {
    std::printf("CM : Close %s\n", name);
    request = 1;
    int waits = 0;
    while (alive.load() == 1) {
        if (!unbounded && waits >= settings.close_waits) {
            std::printf("CM : Error :: Can not close %s\n", error_name);
            DR_SYSLOG(DR_ERR_SURVIVABLE, "Fatal error of thread control.", 0);
            return false;
        }
        if (repeat_request) request = 1;
        dr_usleep(settings.wait_step_us);
        ++waits;
    }
    std::printf("CM : Close %s OK \n", error_name);
    return true;
}

}  // namespace diviv

namespace {

long ThreadId() { return static_cast<long>(syscall(SYS_gettid)); }

void ClearRequestsAndCounters(dr_common_t* dr) {
    for (dr_flag* f : {&dr->REQ_VC_CLOSE, &dr->REQ_VE_CLOSE, &dr->REQ_AC_CLOSE, &dr->REQ_AE_CLOSE,
                       &dr->REQ_AM_CLOSE, &dr->REQ_AD_CLOSE, &dr->REQ_VD_CLOSE, &dr->REQ_ADC_CLOSE,
                       &dr->REQ_AO_CLOSE, &dr->REQ_PM_CLOSE, &dr->REQ_MON_CLOSE, &dr->REQ_DISP_CLOSE,
                       &dr->REQ_VS_CLOSE, &dr->REQ_VTE_CLOSE, &dr->REQ_ATE_CLOSE, &dr->REQ_3GP_CLOSE,
                       &dr->REQ_VT_CLOSE, &dr->REQ_GSS_CLOSE, &dr->REQ_VCE_CLOSE, &dr->REQ_PAC_CLOSE}) {
        *f = 0;
    }
    for (std::atomic<int32_t>* c : {&dr->VC_rvbuf_W_wait, &dr->VE_rvbuf_R_wait, &dr->VC_VCQ_W_wait,
                                    &dr->VE_VCQ_R_wait, &dr->AC_rabuf_W_wait, &dr->AE_rabuf_R_wait,
                                    &dr->VE_vbsbuf_W_wait, &dr->AM_vbsbuf_R_wait, &dr->VE_VEQ_W_wait,
                                    &dr->AM_VEQ_R_wait, &dr->AE_absbuf_W_wait, &dr->AM_absbuf_R_wait}) {
        *c = 0;
    }
}

// Opens the codec unit for a mode; a failure is reported and the mode goes on.
void InitCodec(const char* failure_line) {
    std::printf("CM : Debug  CodecMutex is 0x%08x\n",
                static_cast<unsigned>(reinterpret_cast<uintptr_t>(&drc->codec_mutex)));
    int rc = diviv::VpuSystemInit();
    if (rc < -1) rc = -1;
    if (rc < 0) {
        std::printf(failure_line, rc);
        DR_SYSLOG(DR_ERR_FATAL, "Failure of initialization.", 0);
    }
    const std::string version = diviv::VpuVersion();
    std::printf("CM : VPU Version %s\n", version.c_str());
}

// Whether this mode started the G-sensor receiver: the setting may change
// while the mode runs, the stop follows what was started.
bool g_gss_started = false;

void StartRecordingWorkers(dr_common_t* dr) {
    dr->CaptureStart = 0;
    InitCodec("CM : Fatal Error : vpu_SystemInit() failed [%d] @ CM\n");
    dr->sec = 888;
    dr->EncodeStart = 0;
    dr->EncodeStartReady = 0;
    if (g_gss_started) {
        dr->GSensorEventFlag = 0;
        std::printf("CM : Exec G Sensor Receiver\n");
        diviv::StartWorker(dr, dr->GSS_ALIVE, dr->REQ_GSS_CLOSE, GssReceiveThread);
    }
    std::printf("CM : Exec Pulse and Contact-in Receiver\n");
    diviv::StartWorker(dr, dr->PAC_ALIVE, dr->REQ_PAC_CLOSE, PulseAndContReceiveThread);
    diviv::StartWorker(dr, dr->VCE_ALIVE, dr->REQ_VCE_CLOSE, VideoCaptureEncoderThread);
    diviv::StartWorker(dr, dr->AM_ALIVE, dr->REQ_AM_CLOSE, AsfMuxThread);
    diviv::StartWorker(dr, dr->AC_ALIVE, dr->REQ_AC_CLOSE, AudioCaptureThread);
    diviv::StartWorker(dr, dr->AE_ALIVE, dr->REQ_AE_CLOSE, AudioEncoderThread);
}

void StartPlaybackWorkers(dr_common_t* dr) {
    InitCodec("CM : VPU error : vpu_SystemInit() failed [%d]\n");
    dr->DecodeInfoReady = 0;
    dr->DecodeStart = 0;
    const long pm = diviv::StartWorker(dr, dr->PM_ALIVE, dr->REQ_PM_CLOSE, PlaybackManagerThread);
    const long ad = diviv::StartWorker(dr, dr->AD_ALIVE, dr->REQ_AD_CLOSE, AsfDemuxThread);
    std::printf("CM : Create AsfDemuxThread         [thread_id=%ld]\n", ad);
    const long vd = diviv::StartWorker(dr, dr->VD_ALIVE, dr->REQ_VD_CLOSE, VideoDecoderThread);
    std::printf("CM : Create VideoDecoderThread     [thread_id=%ld]\n", vd);
    const long adc = diviv::StartWorker(dr, dr->ADC_ALIVE, dr->REQ_ADC_CLOSE, AudioDecoderThread);
    std::printf("CM : Create AudioDecoderThread     [thread_id=%ld]\n", adc);
    const long ao = diviv::StartWorker(dr, dr->AO_ALIVE, dr->REQ_AO_CLOSE, AudioOutputThread);
    std::printf("CM : Create AudioOutputThread      [thread_id=%ld]\n", ao);
    std::printf("CM : Create PlaybackManagerThread  [thread_id=%ld]\n", pm);
}

void StopRecordingWorkers(dr_common_t* dr, const diviv::CodecManagerSettings& s) {
    using diviv::CloseWorker;
    CloseWorker(dr->VCE_ALIVE, dr->REQ_VCE_CLOSE, "VideoCaptureEncoderThread", "VideoCaptureEncoderThread", false,
                false, s);
    CloseWorker(dr->AE_ALIVE, dr->REQ_AE_CLOSE, "AudioEncoderThread", "AudioEncoderThread", false, false, s);
    CloseWorker(dr->AM_ALIVE, dr->REQ_AM_CLOSE, "ASFMuxThread", "ASFMuxThread", false, false, s);
    CloseWorker(dr->AC_ALIVE, dr->REQ_AC_CLOSE, "AudioCapture", "AudioCaptureThread", true, false, s);
    if (g_gss_started) {
        CloseWorker(dr->GSS_ALIVE, dr->REQ_GSS_CLOSE, "GssReceiveThread", "GssReceiveThread", true, false, s);
    }
    CloseWorker(dr->PAC_ALIVE, dr->REQ_PAC_CLOSE, "Pulse and Contact-in", "PulseAndContReceiveThread", true, false,
                s);
}

void StopPlaybackWorkers(dr_common_t* dr, const diviv::CodecManagerSettings& s) {
    using diviv::CloseWorker;
    CloseWorker(dr->AD_ALIVE, dr->REQ_AD_CLOSE, "ASFDemuxThread", "ASFDemuxThread", false, false, s);
    CloseWorker(dr->VD_ALIVE, dr->REQ_VD_CLOSE, "VideDecoderThread", "VideDecoderThread", false, false, s);
    CloseWorker(dr->ADC_ALIVE, dr->REQ_ADC_CLOSE, "AudioDecoderThread", "AudioDecoderThread", false, false, s);
    CloseWorker(dr->AO_ALIVE, dr->REQ_AO_CLOSE, "AudioOutputThread", "AudioOutputThread", false, false, s);
    // The playback manager owns the display output: it is always waited for.
    CloseWorker(dr->PM_ALIVE, dr->REQ_PM_CLOSE, "PlaybackManagerThread", "PlaybackManagerThread", false, true, s);
}

void StopMonitorWorkers(dr_common_t* dr, const diviv::CodecManagerSettings& s) {
    // A display or monitor thread that does not end is left behind; the
    // worker stays detached and ends on its own once it sees its request.
    diviv::CloseWorker(dr->DISP_ALIVE, dr->REQ_DISP_CLOSE, "VideoDispThread", "VideoDispThread", false, false, s);
    diviv::CloseWorker(dr->MON_ALIVE, dr->REQ_MON_CLOSE, "MonitorThread", "MonitorThread", false, false, s);
}

}  // namespace

void CodecManager(dr_common_t* dr) {
    if (dr == nullptr) {
        std::printf("CM : ARG is NULL!!\n");
        return;
    }
    // Every thread keeps the record in drc; it is set once by the main thread
    // before any other thread exists, so only a different record is stored.
    if (drc != dr) drc = dr;
    const diviv::CodecManagerSettings settings = diviv::GetCodecManagerSettings();
    const int mode = dr->APP_MODE.load();
    std::printf("CM : Codec Manager Thread Start [MODE=%d ppid=%d pid=%ld] ###\n", mode,
                static_cast<int>(getppid()), ThreadId());
    dr->dec_info = {};
    dr->enc_info = {};
    ClearRequestsAndCounters(dr);

    switch (mode) {
        case APP_MODE_RECORD:
            g_gss_started = dr->gsens_enable != 0;
            StartRecordingWorkers(dr);
            break;
        case APP_MODE_PLAYBACK:
        case APP_MODE_PREVIEW:
            StartPlaybackWorkers(dr);
            break;
        default:  // live monitor, transcode and anything else
            diviv::StartWorker(dr, dr->MON_ALIVE, dr->REQ_MON_CLOSE, MonitorThread);
            diviv::StartWorker(dr, dr->DISP_ALIVE, dr->REQ_DISP_CLOSE, VideoDispThread);
            break;
    }
    std::printf("CM : Thread Started\n");
    std::printf("CM : Wait REQ_CLOSE = %d\n", dr->REQ_CLOSE.load());
    std::fflush(stdout);
    while (dr->REQ_CLOSE.load() == 0) dr_usleep(settings.close_poll_us);
    std::printf("CM : Get Close Request \n\n");

    switch (mode) {
        case APP_MODE_RECORD:
            StopRecordingWorkers(dr, settings);
            break;
        case APP_MODE_PLAYBACK:
        case APP_MODE_PREVIEW:
            StopPlaybackWorkers(dr, settings);
            break;
        default:
            StopMonitorWorkers(dr, settings);
            break;
    }

    // codec_mutex needs no re-initialisation: no thread of the mode holds it
    // any more, and a std::mutex is usable again once unlocked.
    std::printf("CM : Call sync;echo 1 > /proc/sys/vm/drop_caches\n");
    for (int i = 0; i < 3; ++i) diviv::SyncDisks();
    if (diviv::TheBoard().Card().DropPageCache() != 0) std::printf("CM : Drop Cache Memory Failed\n");
    std::printf("CM : Codec Manager Thread End \n\n");
    std::fflush(stdout);
    // Clearing CM_ALIVE hands the record back: the main thread may release it
    // at once, so nothing of it is read afterwards.
    const bool power_going = dr->PWR_OFF_READY.load() != 0;
    dr->CM_ALIVE = 0;
    // The board is about to lose power: this thread stays until it does.
    while (power_going) dr_usleep(500000);
}

bool StartCodecManager(dr_common_t* dr) {
    try {
        std::thread(CodecManager, dr).detach();
    } catch (...) {
        dr->CM_ALIVE = 0;
        return false;
    }
    return true;
}
