#include "core/HostReports.h"

#include <atomic>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <iterator>

#include "core/DR_shared.h"
#include "core/DriveRecorderApp.h"
#include "osd/MediaInfo.h"
#include "storage/SDFunc.h"
#include "storage/indexf.h"

namespace {

const char* StateName(DrState s) {
    static constexpr const char* kNames[] = {"STATE_ERROR", "STATE_INIT",  "STATE_IDLE",      "STATE_REC",
                                             "STATE_LIST",  "STATE_PLAY",  "STATE_CFG",       "STATE_PREVIEW",
                                             "STATE_CLOSE", "STATE_NOSD",  "STATE_TRANSCODE"};
    const int i = static_cast<int>(s) + 1;
    return i >= 0 && i < static_cast<int>(std::size(kNames)) ? kNames[i] : "UNKNOWN";
}

const char* Alive(const dr_flag& f) { return f.load() ? "Thread Alive" : "Thread Not Alive"; }
const char* OnWhenSet(int v) { return v ? "ON" : "OFF"; }

void Divider() { std::printf("--------------------------------------------\n"); }

// ctime text of a time, with its own line end.
const char* TimeText(time_t t) {
    const char* s = std::ctime(&t);
    return s != nullptr ? s : "?\n";
}

void PrintVideoSection(const codec_config_t& cfg) {
    std::printf(" Capture Size        : %u x %u\n", cfg.width, cfg.height);
    std::printf(" Video Codec         : H.264\n");
    std::printf(" Video Bitrate       : %d [kbps]\n", cfg.bps);
    std::printf(" Video Framerate     : %3.2f [fps]\n", static_cast<double>(cfg.enc_fps));
    std::printf(" Video Control Mode  : %s\n", cfg.vemode ? "VBR" : "CBR");
    std::printf(" GOP                 : %u\n", cfg.gop);
    std::printf(" Camera Mode         : %s\n", drc->CAM_MODE == 0 ? "4 Cam mode" : "Single Cam");
    std::printf(" Monitor OSD         : %s\n", OnWhenSet(drc->mon_osd));
    std::printf(" Flip                : %s\n", OnWhenSet(cfg.flipmode));
    std::printf(" Mirror              : %s\n", OnWhenSet(cfg.mirrormode));
}

void PrintRecordingSection(const codec_config_t& cfg) {
    std::printf(" Auto Recording      : %s\n", drc->auto_rec == 0 ? "ON" : "OFF");
    std::printf(" Recording Mode      : %d\n", cfg.recmode);
    std::printf(" Recording Time      : %d [sec]\n", SharedSetting(cfg.rectime));
    std::printf(" Record OSD          : %s\n", OnWhenSet(drc->rec_osd));
    std::printf(" Audio Mute          : %s\n", OnWhenSet(drc->audio_mute.load()));
    std::printf(" Scrambling          : %s\n", OnWhenSet(drc->ASF_Encrypt));
}

void PrintModeSection(DrState state) {
    if (state == STATE_REC) {
        std::printf(" Current File Size   : %lld [byte]\n", static_cast<long long>(drc->SizeOfASF.load()));
        return;
    }
    if (state != STATE_PLAY && state != STATE_PREVIEW) return;
    std::printf(" Playback File       : %s\n", drc->playback_asf_name);
    if (drc->MediaInfoReady.load() && drc->asfinfo != nullptr) {
        const MediaInfo_t& m = *drc->asfinfo;
        std::printf(" Video Size          : %u x %u\n", m.width, m.height);
        std::printf(" Bitrate             : %d [kbps]\n", m.bitrate / 1000);
        std::printf(" Duration            : %d [sec]\n", m.duration);
    }
    std::printf(" Playback Manager    : %s\n", Alive(drc->PM_ALIVE));
    std::printf(" ASF Demuxer         : %s\n", Alive(drc->AD_ALIVE));
    std::printf(" Video Decoder       : %s\n", Alive(drc->VD_ALIVE));
    std::printf(" Audio Decoder       : %s\n", Alive(drc->ADC_ALIVE));
    std::printf(" Audio Output        : %s\n", Alive(drc->AO_ALIVE));
    Divider();
}

}  // namespace

void PrintStatusReport() {
    const codec_config_t& cfg = *drc->pCodecCfg;
    const DrState state = drc->AppState.load();
    std::printf("\n######## Application Version is %s\n", AppVersionText().c_str());
    std::printf("######## Current Application Status #######\n");
    std::printf(" Apllication State is [ %s ]\n", StateName(state));
    Divider();
    PrintVideoSection(cfg);
    Divider();
    PrintRecordingSection(cfg);
    Divider();
    std::printf(" Live Monitor        : %s\n", Alive(drc->MON_ALIVE));
    std::printf(" GPS Receiver        : %s\n", Alive(drc->GPS_ALIVE));
    std::printf(" G-Sensor Receiver   : %s\n", Alive(drc->GSS_ALIVE));
    Divider();
    PrintModeSection(state);
}

int FillFileTable(SDC_Files_t* table, int rows) {
    int n = 0;
    for (const IndexFileStr* e = GetMostRecentIndex(); e != nullptr && n < rows; e = e->next, ++n) {
        SDC_Files_t& r = table[n];
        r.index = n;
        r.size = e->FileSize;
        r.dt = static_cast<time_t>(e->Time);
        std::snprintf(r.file_name, sizeof r.file_name, "%.13s", e->FileName);
    }
    for (int i = n; i < rows; ++i) table[i].index = -1;
    return n;
}

void PrintRecordingList() {
    // The recording writer changes the index and the card record without a
    // lock (it deletes the oldest recordings to make room): both are read
    // only while it is stopped. A recording runs on a usable card.
    const bool writing = drc->AM_ALIVE.load() != 0;
    if (!writing && (drc->sdinfo == nullptr || drc->sdinfo->index <= 0)) {
        std::printf("Can not find SD card !\n");
        return;
    }
    std::printf("ASF File List in %s\n", "/mnt/mmc0_p1");
    if (writing) {
        std::printf("DiViv : File list is not available while recording\n");
        return;
    }
    SDC_Files_t* table = drc->sdfile;
    if (table == nullptr) return;
    FillFileTable(table, kFileTableRows);
    int count = 0;
    for (int i = 0; i < kFileTableRows && table[i].index >= 0; ++i, ++count) {
        std::printf("Index=%d %s size=%d time=%s", table[i].index, table[i].file_name, table[i].size,
                    TimeText(table[i].dt));
    }
    if (count > 0) {
        std::printf("\nTotal %d Files : Latest File is %s:%s", count, table[0].file_name, TimeText(table[0].dt));
    }
}

void PrintCardInformation() {
    const SDC_Info_t* info = drc->sdinfo;
    // While recording, the writer refreshes the card record when it makes
    // room; the figures are then read from the card into a record of our own.
    SDC_Info_t fresh{};
    if (drc->AM_ALIVE.load()) {
        if (GetSDCap("/mnt/mmc0_p1", &fresh) < 0) fresh.index = -1;
        info = &fresh;
    }
    if (info == nullptr || info->index <= 0) {
        std::printf("SD CARD IS NOT FOUND !\n");
        return;
    }
    std::printf("\n############### SD Card Information ##############\n");
    std::printf("SD Card is mounted on %s\n", info->path_name);
    std::printf("Capacity is %d[MByte] Available is %d[MByte]\n", info->diskspace, info->availablesize);
    std::printf("####################################################\n");
}

void PrintRingBufferReport() {
    struct Line {
        DrRingBuffer dr_common_t::*buffer;
        const char* label;
    };
    static constexpr Line kLines[] = {
        {&dr_common_t::rv_buf, "Raw Video Buffer"},          {&dr_common_t::ra_buf, "Raw Audio Buffer"},
        {&dr_common_t::vbs_buf, "Video BitStream Buffer"},   {&dr_common_t::abs_buf, "Audio BitStream Buffer"},
        {&dr_common_t::pts_buf, "Play TimeStamp Buffer"},    {&dr_common_t::dv_buf, "Display Video Buffer"},
        {&dr_common_t::tvbs_buf, "Transcode Video Buffer"},  {&dr_common_t::tabs_buf, "Transcode Audio Buffer"},
        {&dr_common_t::tpts_buf, "Transcode TimeStamp Buffer"}, {&dr_common_t::rmc_buf, "GPS Data Buffer"},
        {&dr_common_t::gsens_buf, "G-Sensor Data Buffer"},   {&dr_common_t::fnum_buf, "Frame Number Buffer"},
        {&dr_common_t::vinfo_buf, "Video Info Buffer"},      {&dr_common_t::ainfo_buf, "Audio Info Buffer"},
        {&dr_common_t::pulse_buf, "Pulse Data Buffer"},      {&dr_common_t::contin_buf, "Contact Input Buffer"},
    };
    std::printf("\n######## Current RingBuffer Status #######\n");
    for (const Line& l : kLines) {
        DrRingBuffer& rb = drc->*l.buffer;
        std::printf(" %s[%d] WriteAvailable is %ld\n", l.label, rb.bufferSize,
                    static_cast<long>(DR_GetRingBufferWriteAvailable(&rb)));
    }
}
