// The recorder's shared state: one dr_common_t and one codec_config_t per
// process, allocated by the main thread before any other thread exists and
// handed to every thread as its start argument.
//
// Threads touch the record without a lock, one writer per transition. Every
// flag, state word and counter that more than one thread touches is a
// std::atomic of the stated width (sequentially consistent, so a stopper that
// sees ALIVE == 0 also sees everything the worker wrote before it). Settings
// that only the main thread writes while the workers are stopped stay plain.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <mutex>

#include "core/dr_ringbuffer.h"
#include "platform/Clock.h"

struct SDC_Info_t;
struct SDC_Files_t;
struct MediaInfo_t;
struct osd_session;
struct font_type;

using dr_flag = std::atomic<int32_t>;

// A plain setting of the shared records that the main thread may change
// (host commands, keys, a parameter load) while a worker reads it: the
// limits, captions, camera mode, flip and the file length. It is read and
// written whole, with relaxed order; nothing else is ordered by it.
template <typename T>
T SharedSetting(const T& field) {
    return std::atomic_ref<T>(const_cast<T&>(field)).load(std::memory_order_relaxed);
}
template <typename T, typename V>
void SetSharedSetting(T& field, V value) {
    std::atomic_ref<T>(field).store(static_cast<T>(value), std::memory_order_relaxed);
}

// Operating state (AppState).
enum DrState : int32_t {
    STATE_ERROR = -1,     // declared; the core never enters it
    STATE_INIT = 0,       // start-up, before the first card check decided
    STATE_IDLE = 1,       // idle; also while the live monitor runs
    STATE_REC = 2,        // recording
    STATE_LIST = 3,       // the file list is shown
    STATE_PLAY = 4,       // playing a recording
    STATE_CFG = 5,        // a settings screen is shown
    STATE_PREVIEW = 6,    // previewing a recording
    STATE_CLOSE = 7,      // set once at the end of shutdown
    STATE_NOSD = 8,       // no usable SD card
    STATE_TRANSCODE = 9,  // transcode mode
};

// Values of APP_MODE: which threads the codec manager runs.
enum : int32_t {
    APP_MODE_MONITOR = 1,
    APP_MODE_RECORD = 2,
    APP_MODE_PLAYBACK = 4,
    APP_MODE_PREVIEW = 6,
    APP_MODE_TRANSCODE = 9,
};

// Handset family of a transcode request.
enum MobileType : int32_t { MOBILE_NONE = 0, MOBILE_DOCOMO = 1, MOBILE_AU = 2, MOBILE_SOFTBANK = 3 };

// Per-file event counters; also carries the LED and buzzer requests.
struct event_info_forAfile {
    int32_t cnt_steer;
    int32_t cnt_accel;
    int32_t cnt_break;
    int32_t cnt_speed;
    int32_t cnt_espeed;
    int32_t cnt_idle;
    int32_t max_speed;   // largest pulse count of one record
    int32_t distance;    // sum of pulse counts
    uint8_t in_event;    // bit set of events active now
    int32_t cnt_contactin;
    std::atomic<int32_t> drv_alert;  // 0 idle, 1 requested, 2 taken by the indicators
    std::atomic<int32_t> event_led;  // as drv_alert
    int32_t idummy1, idummy2, idummy3, idummy4, idummy5;
};

// Video coding and recording configuration, with the presets H, M and L.
struct codec_config_t {
    uint32_t index, src;
    char src_name[80];
    uint32_t dst;
    char dst_name[80];
    uint32_t enc_flag;
    float fps;       // frame rate of the camera
    float enc_fps;   // encoding frame rate
    int32_t fpsx10;  // encoding frame rate in tenths
    int32_t vemode;
    int32_t bps;     // active bit rate, kbit/s
    int32_t overlay_mode;
    int32_t overlay;
    int32_t recmode;
    int32_t rectime;  // seconds per recording file; the writer stores the running file's (shared setting)
    int32_t flipmode, mirrormode;
    uint32_t mode;
    uint32_t width, height;
    uint32_t gop;     // active GOP length, frames
    uint32_t gopsec;  // active GOP length, seconds
    uint32_t frame_count, rot_angle, out_ratio, mirror_angle;
    char asf_name[80], rec_name[80];
    int32_t vfmt;  // 0: 640x480, other: 352x288
    int32_t cammode;
    int32_t h_fps, h_bps;
    uint32_t h_gop, h_gopsec;
    int32_t m_fps, m_bps;
    uint32_t m_gop, m_gopsec;
    int32_t l_fps, l_bps;
    uint32_t l_gop, l_gopsec;
    int32_t tran_fps, tran_bps;
    uint32_t tran_gop, tran_gopsec;
    int32_t vqsel;  // 0 H, 1 M, 2 L
};

// Opaque codec instance records of the video codec layer.
struct dr_codec_instance {
    void* handle;
};

struct dr_common_t {
    // 1. Diagnostics.
    std::atomic<int32_t> sec;
    FILE* fp;
    char msg[256];
    // 2. Configuration link.
    codec_config_t* pCodecCfg;
    // 3. Message queue ids.
    int32_t APP_QID, CM_QID, AC_QID, AE_QID, VC_QID, VE_QID, AD_QID, VD_QID;
    // 4. Thread handshake: ALIVE flag and close request per worker.
    dr_flag CM_ALIVE, REQ_CLOSE;
    dr_flag VCE_ALIVE, REQ_VCE_CLOSE;
    dr_flag AC_ALIVE, REQ_AC_CLOSE;
    dr_flag AE_ALIVE, REQ_AE_CLOSE;
    dr_flag AM_ALIVE, REQ_AM_CLOSE;
    dr_flag GSS_ALIVE, REQ_GSS_CLOSE;
    dr_flag PAC_ALIVE, REQ_PAC_CLOSE;
    dr_flag PM_ALIVE, REQ_PM_CLOSE;
    dr_flag AD_ALIVE, REQ_AD_CLOSE;
    dr_flag VD_ALIVE, REQ_VD_CLOSE;
    dr_flag ADC_ALIVE, REQ_ADC_CLOSE;
    dr_flag AO_ALIVE, REQ_AO_CLOSE;
    dr_flag MON_ALIVE, REQ_MON_CLOSE;
    dr_flag DISP_ALIVE, REQ_DISP_CLOSE;
    dr_flag GPS_ALIVE, REQ_GPS_CLOSE;
    // Threads this system never starts; their requests are still cleared.
    dr_flag VC_ALIVE, REQ_VC_CLOSE;
    dr_flag VE_ALIVE, REQ_VE_CLOSE;
    dr_flag VS_ALIVE, REQ_VS_CLOSE;
    dr_flag VTE_ALIVE, REQ_VTE_CLOSE;
    dr_flag ATE_ALIVE, REQ_ATE_CLOSE;
    dr_flag TGP_ALIVE, REQ_3GP_CLOSE;
    dr_flag VT_ALIVE, REQ_VT_CLOSE;
    // 5. Progress of the running mode.
    std::atomic<int32_t> count;  // frames per recording file
    dr_flag CaptureStart, EncodeStart, DecodeStart, PlaybackStart;
    dr_flag EncodeStartReady, DecodeInfoReady, MediaInfoReady;
    dr_flag MuxReady, RestartRec;
    std::atomic<int32_t> APP_MODE;
    std::atomic<int32_t> DispSize;  // 1 preview, 0 otherwise
    dr_flag MonitorStart;
    dr_flag VideoOnlyMode;
    std::atomic<int64_t> SizeOfASF, SizeOf3GP;
    std::atomic<int32_t> DemuxedAudioBitRate;
    // 6. Ring buffers, in this order.
    DrRingBuffer ra_buf, rv_buf, dv_buf, vbs_buf, abs_buf, pts_buf, qv_buf;
    DrRingBuffer tvbs_buf, tabs_buf, tpts_buf, fnum_buf, vinfo_buf, ainfo_buf;
    DrRingBuffer rmc_buf, gsens_buf, pulse_buf, contin_buf;
    // 7. Capture output count.
    int32_t nCapVideoOut;
    // 8. File names.
    char playback_asf_name[256];
    char playback_fullpath_fname[256];
    char application_path_name[256];
    // 9. Storage links (owned by the main thread).
    SDC_Info_t* sdinfo;
    SDC_Files_t* sdfile;  // 10000 entries
    MediaInfo_t* asfinfo;
    SDC_Info_t* micro_sdinfo;
    // 10. Operating state.
    std::atomic<DrState> AppState;
    std::atomic<uint32_t> SysConfig;  // bit 0: STOP starts recording when idle (read by the key thread)
    int32_t TargetHW;
    int32_t CAM_MODE;
    int32_t VIN_MODE;
    int32_t InputVideoNum;
    int32_t VideoInputStatus[4];
    // 11. Working copy of user settings.
    int32_t mon_osd, rec_osd;
    int32_t auto_rec;    // 0: record by itself when idle with a card
    int32_t protect_ev;  // 0: event files are protected
    int32_t date_mode;
    int32_t rec_stop;       // minutes of recording after ignition off
    int32_t PowerOffDelay;  // tens of seconds
    int32_t PowerRstTimer;  // seconds
    int32_t GSensorEventThreshold;
    int32_t MotionDetectThreshold;
    int32_t ASF_Encrypt;
    uint8_t timezone, mode, gps_enable;
    std::atomic<uint8_t> audio_mute;
    std::atomic<uint8_t> gsens_enable;  // cleared by the G-sensor receiver when its device fails
    std::atomic<uint8_t> GSensorEventFlag;
    uint8_t GSensorEventEnable, gss_position, uart3_mode;
    uint8_t steering_limit, brake_limit, accel_limit;
    uint8_t ext_event_enable, ext_event_logic, drive_alert;
    uint8_t MobileFileFormat;
    uint8_t MotionDetectEnable, MotionDetectMode, MotionDetectEvent, MotionDetectEventEnable;
    int8_t gss_offset_x, gss_offset_y, gss_offset_z;
    uint16_t max_log_size, speed_limit, engine_rot_limit, idling_limit, event_num_info;
    uint8_t id1[8], id2[8], id3[8], id4[8];
    uint8_t pcode_old[4], pcode_new[4];
    // 12. Power inputs.
    dr_flag PWR_DET_State, ACC_IN_State, PWRSW_IN_State, PWR_OFF_READY;
    // 13. Events.
    std::mutex event_mutex;  // exists; never locked
    dr_flag EventFlag, EventActive;
    event_info_forAfile eventinfo;
    // 14. Sensor status.
    dr_flag GPSWriteRmcData, GPSReceiveDataValid, GPSReceiveError, dummyGPSReceiveError;
    dr_flag GSensorError, GSensorDataValid;
    // 15. Card and error state.
    std::atomic<uint8_t> SDErrorState, SD_Full, microSD_Full;
    dr_flag FatalError, HW_Error;
    // 16. Time stamps.
    dr_timeval RecStartTime, AudioRecStartTime;
    // 17. Transcode bookkeeping.
    MobileType MobileInfo;
    char transcode_asf_name[256], transcode_fullpathasf_fname[256];
    char transcode_3gp_path[256], transcode_3gp_name[256], transcode_fullpath3gp_fname[256];
    int32_t transcode_event;
    int32_t transcode_time;
    dr_flag TranscodeRequest, TranscodeComplete;
    // 18. Hardware codec.
    dr_codec_instance dec_info, enc_info;
    std::mutex codec_mutex;
    // 19. Buffer wait counters.
    std::atomic<int32_t> VC_rvbuf_W_wait, VE_rvbuf_R_wait, VC_VCQ_W_wait, VE_VCQ_R_wait;
    std::atomic<int32_t> AC_rabuf_W_wait, AE_rabuf_R_wait, VE_vbsbuf_W_wait, AM_vbsbuf_R_wait;
    std::atomic<int32_t> VE_VEQ_W_wait, AM_VEQ_R_wait, AE_absbuf_W_wait, AM_absbuf_R_wait;
    // 20. Reserved words; RsvParam_1 enables key input.
    dr_flag RsvParam_1;
    // 21. Caption layers.
    osd_session* osd_caption;
    font_type* font_caption;
    osd_session* osd_qvga_caption;
    font_type* font_qvga_caption;
    osd_session* osd_time_right;
    font_type* font_time_right;
    osd_session* osd_time_left;
    font_type* font_time_left;
    osd_session* osd_camno;
    font_type* font_camno;
};

// The process-wide pointer every thread keeps.
extern dr_common_t* drc;

// Allocates a value-initialised (all zero) record.
std::unique_ptr<dr_common_t> NewDrCommon();
std::unique_ptr<codec_config_t> NewCodecConfig();

// Copies the preset named by vqsel into the active fields and applies the
// fallback (GOP 1, 1024 kbit/s, 15 frames per second) when any is zero.
// Called when recording starts.
void SelectParam(codec_config_t* cfg);

// System V message: type 1 and a 64-byte body.
union commsg_t {
    char MsgData[64];
    int32_t MsgLong[16];  // [0] command, [1] integer parameter
};
static_assert(sizeof(commsg_t) == 64);

struct msg_t {
    long MsgType;  // always 1
    commsg_t md;
};

// Ring-buffer record sizes fixed by their producers.
inline constexpr int kGpsRecordSize = 108;
inline constexpr int kGsensorRecordSize = 16;
inline constexpr int kPulseRecordSize = 28;
inline constexpr int kContactRecordSize = 12;
inline constexpr int kVideoInfoRecordSize = 24;
inline constexpr int kAudioStampRecordSize = 8;
inline constexpr int kPlayStampRecordSize = 4;

// The sixteen ring buffers, created in start-up order with their capacities.
// Returns 0, or -1 after the first buffer that could not be created (the
// rest are skipped); *failed_index receives its position.
int CreateSharedRingBuffers(dr_common_t* dr, int* failed_index = nullptr);
void FreeSharedRingBuffers(dr_common_t* dr);

struct RingBufferSpec {
    DrRingBuffer dr_common_t::*member;
    const char* name;
    int capacity;
};
// Start-up order and capacities.
extern const RingBufferSpec kSharedRingBuffers[16];
