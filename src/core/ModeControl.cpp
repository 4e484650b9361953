#include "core/ModeControl.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <string>

#include "core/AppParams.h"
#include "core/AppGlobals.h"
#include "core/CodecManager.h"
#include "core/DR_common.h"
#include "core/DR_shared.h"
#include "core/HostQueue.h"
#include "core/Indicator.h"
#include "osd/dfb_osd_api.h"
#include "platform/BoardPath.h"
#include "platform/Mount.h"
#include "storage/SDFunc.h"
#include "storage/indexf.h"
#include "storage/sdcheck.h"
#include "osd/MediaInfo.h"

namespace {

using BufList = std::initializer_list<DrRingBuffer dr_common_t::*>;

// Buffers emptied before a recording starts.
constexpr BufList kRecordStartBuffers = {
    &dr_common_t::vbs_buf,   &dr_common_t::abs_buf,   &dr_common_t::pts_buf,    &dr_common_t::dv_buf,
    &dr_common_t::rv_buf,    &dr_common_t::ra_buf,    &dr_common_t::tvbs_buf,   &dr_common_t::tabs_buf,
    &dr_common_t::rmc_buf,   &dr_common_t::gsens_buf, &dr_common_t::pulse_buf,  &dr_common_t::contin_buf,
    &dr_common_t::fnum_buf,  &dr_common_t::vinfo_buf, &dr_common_t::ainfo_buf};
// After a recording: the same but the GPS and G-sensor records.
constexpr BufList kRecordStopBuffers = {
    &dr_common_t::rv_buf,   &dr_common_t::ra_buf,   &dr_common_t::vbs_buf,   &dr_common_t::abs_buf,
    &dr_common_t::pts_buf,  &dr_common_t::dv_buf,   &dr_common_t::tvbs_buf,  &dr_common_t::tabs_buf,
    &dr_common_t::fnum_buf, &dr_common_t::vinfo_buf, &dr_common_t::ainfo_buf, &dr_common_t::pulse_buf,
    &dr_common_t::contin_buf};
// Before playback or preview, and after a mode that was waited for.
constexpr BufList kPlaybackBuffers = {
    &dr_common_t::vbs_buf,  &dr_common_t::abs_buf,  &dr_common_t::pts_buf,   &dr_common_t::dv_buf,
    &dr_common_t::rv_buf,   &dr_common_t::ra_buf,   &dr_common_t::tvbs_buf,  &dr_common_t::tabs_buf,
    &dr_common_t::fnum_buf, &dr_common_t::vinfo_buf, &dr_common_t::ainfo_buf};

void Flush(BufList list) {
    for (auto member : list) DR_FlushRingBuffer(&(drc->*member));
}

void ClearScreenInfo() {
    ClearMediaInfo();
    ClearSDCInfo();
    ClearFileList();
}

// Capture size from the format selector: 0 = 640x480, other = 352x288.
void SetCaptureFormat(int vfmt) {
    codec_config_t* cfg = drc->pCodecCfg;
    cfg->vfmt = vfmt;
    cfg->width = vfmt == 0 ? 640 : 352;
    cfg->height = vfmt == 0 ? 480 : 288;
}

// Stops the codec manager: raise REQ_CLOSE every half second until it ends.
void StopCodecManagerAndWait() {
    drc->REQ_CLOSE = 1;
    if (drc->CM_ALIVE.load()) {
        std::printf("DiViv : Wait until Thread Finishing1\n");
        while (drc->CM_ALIVE.load()) {
            drc->REQ_CLOSE = 1;
            dr_usleep(500000);
        }
    }
}

int StartRecording() {
    ClearScreenInfo();
    // A start while a mode runs is refused below; the running capture reads
    // the configuration, so it is left alone then.
    if (!drc->CM_ALIVE.load()) SetCaptureFormat(app::VideoMode.load());
    if (drc->SDErrorState.load() != 0) {
        std::printf("DiViv : Error :: Can not start recording[%d]\n", drc->SDErrorState.load());
        return -1;
    }
    drc->AppState = STATE_REC;
    SetLED(1, 1, 0);
    dr_usleep(500000);
    drc->MuxReady = 0;
    drc->RestartRec = 0;
    drc->EncodeStartReady = 0;
    drc->EncodeStart = 0;
    // A card record without a usable card is -1 as well as 0.
    if (drc->sdinfo == nullptr || drc->sdinfo->index <= 0) {
        std::printf("DiViv : SD CARD IS NOT FOUND !\n");
        return -1;
    }
    if (drc->CM_ALIVE.load()) return -2;
    codec_config_t* cfg = drc->pCodecCfg;
    SelectParam(cfg);
    if (drc->TargetHW) SetCameraMode(drc->CAM_MODE);
    SetCaptureFormat(cfg->vfmt);
    drc->SizeOfASF = 0;
    drc->count = static_cast<int32_t>(cfg->enc_fps) * cfg->rectime;
    drc->sec = 999;
    drc->APP_MODE = APP_MODE_RECORD;
    drc->REQ_CLOSE = 0;
    drc->CaptureStart = 0;
    Flush(kRecordStartBuffers);
    MSG_Clear(drc->VE_QID);
    drc->CM_ALIVE = 1;
    if (!StartCodecManager(drc)) {
        std::printf("DiViv : Error :: Can not start recording[%d]\n", -2);
        return -1;
    }
    drc->GPSWriteRmcData = 1;
    std::printf("DiViv : Start Recording\n");
    SetBUZZER(50, 50, drc->audio_mute.load() ? 2 : 3);
    return 0;
}

void ClearRecordingRequests(bool with_req_close) {
    drc->REQ_AM_CLOSE = 0;
    if (with_req_close) drc->REQ_CLOSE = 0;
    drc->REQ_VC_CLOSE = 0;
    drc->REQ_AC_CLOSE = 0;
    drc->REQ_VE_CLOSE = 0;
    drc->REQ_AE_CLOSE = 0;
}

int StopRecording() {
    if (drc->AppState.load() != STATE_REC) {
        std::printf("DiViv : Recording is not started\n");
        return 0;
    }
    SetLED(1, 2, 0);
    std::printf("DiViv : Stop Recording\n");
    drc->GPSWriteRmcData = 0;
    if (drc->CM_ALIVE.load()) {
        drc->REQ_AM_CLOSE = 1;
        std::printf("DiViv : CM is still alive \n");
        bool unmounted = false;
        while (drc->CM_ALIVE.load()) {
            if (!unmounted && drc->PWR_DET_State.load() == 0 && drc->AM_ALIVE.load() == 0 &&
                drc->PWR_OFF_READY.load() == 0) {
                // Power went while the writer was finishing: the card is
                // unmounted here before the board loses power.
                diviv::SyncDisks();
                if (chdir("/") != 0) std::perror("chdir");
                if (CheckSDStatus() == 1) UnmountCardPartitions();
                std::printf("DiViv : SD CARD UMOUNT COMPLETED ! (Detect PWR_DET=OFF)\n");
                StopGpsReceiver(6);
                unmounted = true;
                DR_SYSLOG(DR_ERR_SURVIVABLE, "Detect power down during rec stop sequence.", 1);
            }
            sched_yield();
            dr_usleep(100000);
            drc->REQ_AM_CLOSE = 1;
        }
        drc->AppState = STATE_IDLE;
        std::printf("DiViv : Stop Recording[CM is finished]\n");
        ClearRecordingRequests(true);
        Flush(kRecordStopBuffers);
        ClearWorkerQueues();
    } else {
        std::printf("DiViv : Stop Recording [CodecManager is already stopped]\n");
        drc->AppState = STATE_IDLE;
        ClearRecordingRequests(false);
    }
    SetCaptureFormat(drc->pCodecCfg->vfmt);
    if (drc->PWR_DET_State.load()) SetLED(1, 0, 0);
    else if (!drc->PWR_OFF_READY.load()) SetLED(1, 2, 0);
    return 0;
}

int StartPlayOrPreview(int listnum, bool preview) {
    drc->MediaInfoReady = 0;
    if (listnum < 0) return -2;
    const IndexFileStr* entry = drc->sdinfo ? drc->sdinfo->CurrentSelectedIndex : nullptr;
    if (entry == nullptr) return -2;
    char fullpath[kSDPathMax];
    MakeSDfilePath(fullpath, "/mnt/mmc0_p1", entry->FileName, sizeof fullpath);
    const std::string path = fullpath;
    struct stat st{};
    if (stat(path.c_str(), &st) != 0 || st.st_size < kMinPlayableFileSize) {
        std::printf("DiViv : Selected file size is too small ! [PreView/Play stopped]\n");
        return -4;
    }
    // A start while a mode runs is refused; the running mode reads the
    // names, so they are left alone then.
    if (drc->CM_ALIVE.load()) return -3;
    std::snprintf(drc->playback_asf_name, sizeof drc->playback_asf_name, "%s", entry->FileName);
    std::snprintf(drc->playback_fullpath_fname, sizeof drc->playback_fullpath_fname, "%s", path.c_str());
    if (!preview) ClearScreenInfo();
    drc->VideoOnlyMode = 0;
    drc->DispSize = preview ? 1 : 0;
    drc->pCodecCfg->overlay_mode = 1;
    drc->APP_MODE = preview ? APP_MODE_PREVIEW : APP_MODE_PLAYBACK;
    drc->REQ_CLOSE = 0;
    drc->DecodeStart = 0;
    drc->PlaybackStart = 0;
    drc->CaptureStart = 0;
    Flush(kPlaybackBuffers);
    drc->CM_ALIVE = 1;
    if (!StartCodecManager(drc)) return -3;
    std::printf(preview ? "DiViv : Start PreView [%s]\n" : "DiViv : Start Playback [%s]\n", drc->playback_asf_name);
    drc->AppState = preview ? STATE_PREVIEW : STATE_PLAY;
    dr_usleep(1000000);
    if (drc->MediaInfoReady.load() && drc->asfinfo) {
        const MediaInfo_t& m = *drc->asfinfo;
        std::printf("DiVIV : Get Media Info Succeed\n");
        std::printf("            Video    %ld x %ld \n", static_cast<long>(m.width), static_cast<long>(m.height));
        std::printf("            Bitrate  %ld [kbps]\n", static_cast<long>(m.bitrate / 1000));
        std::printf("            Duration %ld [sec]\n", static_cast<long>(m.duration / 1000));
        std::printf("            Avg.Frame Interval %d [msec]\n", m.TimeParFrame);
    }
    return 0;
}

}  // namespace

bool StartRecordingFromIdle() {
    if (RecordControl(DRA_DOWN_QID, DRA_UP_QID, 1) != 0) return false;
    drc->AppState = STATE_REC;
    app::SetCursolFirstTime = 1;
    return true;
}

void UnmountCardPartitions() {
    if (diviv::UnmountCard("/mnt/mmc0_p1") == 0) std::printf("DiViv : Unmount SD done\n");
    else std::printf("DiViv : Error :: Can not Unmount SD !!\n");
    if (diviv::UnmountCard("/mnt/mmc0_p2") == 0) std::printf("DiViv : Unmount SD[Partition 2] done\n");
    else std::printf("DiViv : Error :: Can not Unmount SD [Partition 2]!!\n");
}

void StopGpsReceiver(int rounds) {
    for (int i = 0; i < rounds && drc->GPS_ALIVE.load(); ++i) {
        drc->REQ_GPS_CLOSE = 1;
        dr_usleep(500000);
    }
}

void ClearWorkerQueues() {
    for (int32_t qid : {drc->APP_QID, drc->CM_QID, drc->AC_QID, drc->AE_QID, drc->VC_QID, drc->VE_QID,
                        drc->AD_QID, drc->VD_QID}) {
        if (qid != 0) MSG_Clear(qid);
    }
}

int RecordControl(int32_t /*DownQID*/, int32_t /*UpQID*/, int mode) {
    return mode == 1 ? StartRecording() : StopRecording();
}

int MonitorControl(int flag) {
    ClearScreenInfo();
    if (flag == 1) {
        drc->DispSize = 0;
        drc->pCodecCfg->overlay_mode = 0;
        drc->APP_MODE = APP_MODE_MONITOR;
        drc->REQ_CLOSE = 0;
        drc->CM_ALIVE = 1;
        SetCaptureFormat(0);
        if (!StartCodecManager(drc)) {
            std::printf("DiViv : Error :: Can not start monitor\n");
            return 0;
        }
        std::printf("DiViv : Start Monitor\n");
        drc->MonitorStart = 1;
        drc->AppState = STATE_IDLE;
        dr_usleep(1000000);
        return 0;
    }
    StopCodecManagerAndWait();
    drc->MonitorStart = 0;
    drc->AppState = STATE_IDLE;
    dr_usleep(1000000);
    std::printf("DiViv : Monitor Stopped\n");
    return 0;
}

int PlaybackControl(int listnum) { return StartPlayOrPreview(listnum, false); }
int PreViewControl(int listnum) { return StartPlayOrPreview(listnum, true); }

int PlaybackStop() {
    std::printf("DiViv : Playback Stopped\n");
    drc->REQ_CLOSE = 1;
    return 0;
}

int PreViewStop() {
    std::printf("DiViv : PreView Stopped\n");
    drc->REQ_CLOSE = 1;
    return 0;
}

int CheckThreadStop() {
    std::printf("DiViv : Check Thread Stop\n");
    for (int i = 0; i < 101; ++i) {
        if (drc->CM_ALIVE.load() == 0) {
            Flush(kPlaybackBuffers);
            ClearWorkerQueues();
            std::printf("DiViv : All Thread Stopped\n");
            drc->AppState = STATE_LIST;
            return 1;
        }
        dr_usleep(500000);
    }
    std::printf("DiViv : Check Thread Stop Exit [CM is ALIVE]\n");
    return -1;
}

namespace {

// Conversion for mobile phones does not run in this recorder. These are the
// least pieces of its bookkeeping the mode control needs: an output folder
// per carrier on the microSD card, the next file to convert (there never is
// one) and the carrier's table, which has nothing to save.
int GetTranscodeOutputFolder(MobileType type, char* path, size_t size) {
    static constexpr const char* kFolders[] = {"3GP", "DOCOMO", "AU", "SOFTBANK"};
    const int i = (type >= MOBILE_DOCOMO && type <= MOBILE_SOFTBANK) ? type : 0;
    const std::string dir = BoardPath("/mnt/mmc1_p1") + "/" + kFolders[i];
    struct stat st{};
    if (stat(dir.c_str(), &st) != 0 && mkdir(dir.c_str(), 0700) != 0) return -1;
    std::snprintf(path, size, "%s", dir.c_str());
    return 0;
}

int GetNextTranscodeFile() { return -2; }

void SaveTranscodeTable(MobileType /*type*/) {}

}  // namespace

int TranscodeControl(int32_t /*DownQID*/, int32_t /*UpQID*/, int flag) {
    if (flag == 1) {
        // The microSD card must have room for a converted file.
        SDC_Info_t* micro = drc->micro_sdinfo;
        if (micro && CheckSD(2) == 1 && GetSDCap("/mnt/mmc1_p1", micro) > 0 && micro->availablesize <= 9) {
            std::printf("DiViv : Not enough free space in the microSD card\n");
            std::printf("DiViv : Stop transcoding [microSD full]\n");
            micro->diskspace = 0;
            micro->availablesize = 0;
            SaveTranscodeTable(drc->MobileInfo);
            return -1;
        }
        if (drc->transcode_3gp_path[0] == '\0' &&
            GetTranscodeOutputFolder(drc->MobileInfo, drc->transcode_3gp_path, sizeof drc->transcode_3gp_path) < 0) {
            std::printf("3GP : Error to get 3gp output folder\n");
            drc->microSD_Full = 1;
        }
        const int rc = GetNextTranscodeFile();
        if (rc == -2) std::printf("DiViv : File to be transcoded is not found !\n");
        else if (rc == -3) std::printf("DiViv : Number of files in a folder of microSD is full !\n");
        else std::printf("DiViv : GetNextTranscodeFile returns %d \n", rc);
        drc->AppState = STATE_IDLE;
        drc->MonitorStart = 0;
        drc->TranscodeRequest = 0;
        ClearMenu();
        SaveTranscodeTable(drc->MobileInfo);
        return rc;
    }
    drc->RsvParam_1 = 0;
    StopCodecManagerAndWait();
    SaveTranscodeTable(drc->MobileInfo);
    drc->TranscodeRequest = 0;
    drc->transcode_3gp_path[0] = '\0';
    drc->transcode_fullpath3gp_fname[0] = '\0';
    drc->MonitorStart = 0;
    drc->AppState = STATE_IDLE;
    ClearMenu();
    dr_usleep(1000000);
    std::printf("DiViv : Stop Transcoding\n");
    drc->RsvParam_1 = 1;
    return 0;
}
