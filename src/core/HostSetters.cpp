#include "core/HostSetters.h"

#include <cstdint>
#include <cstdio>
#include <cstring>

#include "core/AppParams.h"
#include "core/DR_shared.h"

namespace {

// One quality preset of the codec configuration and its fallbacks.
struct Preset {
    int32_t codec_config_t::*fps;
    int32_t codec_config_t::*bps;
    uint32_t codec_config_t::*gop;     // frames
    uint32_t codec_config_t::*gopsec;  // seconds
    int default_fps;
    int default_bps;  // 0: a bad bit rate keeps the old one
};

constexpr Preset kHigh{&codec_config_t::h_fps, &codec_config_t::h_bps, &codec_config_t::h_gop,
                       &codec_config_t::h_gopsec, 30, 2048};
constexpr Preset kMiddle{&codec_config_t::m_fps, &codec_config_t::m_bps, &codec_config_t::m_gop,
                         &codec_config_t::m_gopsec, 20, 1024};
constexpr Preset kLow{&codec_config_t::l_fps, &codec_config_t::l_bps, &codec_config_t::l_gop,
                      &codec_config_t::l_gopsec, 10, 0};

int SetFrameRate(const Preset& p, int fps) {
    codec_config_t* cfg = drc->pCodecCfg;
    const bool ok = fps > 0;
    cfg->*p.fps = ok ? fps : p.default_fps;
    cfg->*p.gop = static_cast<uint32_t>(cfg->*p.fps) * (cfg->*p.gopsec);
    return ok ? 0 : -1;
}

int SetBitRate(const Preset& p, int kbps) {
    codec_config_t* cfg = drc->pCodecCfg;
    if (kbps > 0) {
        cfg->*p.bps = kbps;
        return 0;
    }
    if (p.default_bps != 0) cfg->*p.bps = p.default_bps;
    return -1;
}

int SetGop(const Preset& p, int sec) {
    if (sec < 0) return -1;
    codec_config_t* cfg = drc->pCodecCfg;
    cfg->*p.gopsec = static_cast<uint32_t>(sec);
    cfg->*p.gop = static_cast<uint32_t>(sec) * static_cast<uint32_t>(cfg->*p.fps);
    return 0;
}

const char* OnOff(int zero_is_on) { return zero_is_on == 0 ? "ON" : "OFF"; }

// A field kept in the shared record and in the parameter record alike.
template <typename Shared, typename Stored>
void Store(Shared dr_common_t::*shared, Stored Eep_data::*stored, int value) {
    SetSharedSetting(drc->*shared, value);
    eepd.*stored = static_cast<Stored>(value);
}

// The first `n` characters of a text parameter (zero bytes after a short
// one); the text buffer always holds 64 bytes.
void StoreText(uint8_t* shared, uint8_t* stored, const char* text, size_t n) {
    std::memcpy(shared, text, n);
    std::memcpy(stored, text, n);
}

// The limits and flags: command, maximum, console line, store.
struct LimitCommand {
    int command;
    int max;
    const char* line;
    void (*store)(int);
};

template <auto Shared, auto Stored>
void StoreField(int value) {
    Store(Shared, Stored, value);
}

constexpr LimitCommand kLimitCommands[] = {
    {102, 255, "DiViv : Set Steering Rotation Limit : %d\n",
     StoreField<&dr_common_t::steering_limit, &Eep_data::steering_limit>},
    {103, 255, "DiViv : Set Brake Limit : %d\n", StoreField<&dr_common_t::brake_limit, &Eep_data::brake_limit>},
    {104, 255, "DiViv : Set Accel Limit : %d\n", StoreField<&dr_common_t::accel_limit, &Eep_data::accel_limit>},
    {105, 1129, "DiViv : Set Spped Limit : %d\n", StoreField<&dr_common_t::speed_limit, &Eep_data::speed_limit>},
    {106, 17476, "DiViv : Set Engine Rotation Limit : %d\n",
     StoreField<&dr_common_t::engine_rot_limit, &Eep_data::engine_rot_limit>},
    {107, 1440, "DiViv : Set Idling Time Limit : %d\n",
     StoreField<&dr_common_t::idling_limit, &Eep_data::idling_limit>},
    {108, 1, "DiViv : Set External Event Input Enable : %d\n",
     StoreField<&dr_common_t::ext_event_enable, &Eep_data::ext_event_enable>},
    {109, 1, "DiViv : Set External Event Input Logic : %d\n",
     StoreField<&dr_common_t::ext_event_logic, &Eep_data::ext_event_logic>},
    {110, 1, "DiViv : Set Drive Alert : %d\n", StoreField<&dr_common_t::drive_alert, &Eep_data::drive_alert>},
    {111, 8000, "DiViv : Set Event File Number : %d\n",
     StoreField<&dr_common_t::event_num_info, &Eep_data::event_num_info>},
};

// A limit or flag of at most its maximum. Negative values are refused as
// well: the fields are unsigned, and a negative limit would be stored as a
// large one. A refused value keeps the old one and is not reported.
bool RunLimitCommand(int command, int value) {
    for (const LimitCommand& l : kLimitCommands) {
        if (l.command != command) continue;
        if (value >= 0 && value <= l.max) {
            l.store(value);
            std::printf(l.line, value);
        }
        return true;
    }
    return false;
}

bool RunTextCommand(int command, const char* text) {
    static constexpr char kNoText[64] = {};
    if (text == nullptr) text = kNoText;
    switch (command) {
        case 72: case 73: case 74: case 75: {
            std::printf("DiViv : Set ID\n");
            uint8_t (*const shared[4])[8] = {&drc->id1, &drc->id2, &drc->id3, &drc->id4};
            uint8_t (*const stored[4])[8] = {&eepd.id1, &eepd.id2, &eepd.id3, &eepd.id4};
            StoreText(*shared[command - 72], *stored[command - 72], text, 8);
            return true;
        }
        case 115:
            std::printf("DiViv : Set Passwrod[OLD]\n");
            StoreText(drc->pcode_old, eepd.pcode_old, text, 4);
            return true;
        case 116:
            std::printf("DiViv : Set Passwrod[NEW]\n");
            StoreText(drc->pcode_new, eepd.pcode_new, text, 4);
            std::printf("copy pcode to eeprom\n");
            return true;
        default:
            return false;
    }
}

}  // namespace

int SetRecordingTime(int n) {
    codec_config_t* cfg = drc->pCodecCfg;
    if (n < 0) {
        SetSharedSetting(cfg->rectime, 60);
        return -1;
    }
    SetSharedSetting(cfg->rectime, n);
    if (n == 0) cfg->recmode = 1;
    return 0;
}

int SetVideoFrameRateH(int fps) { return SetFrameRate(kHigh, fps); }
int SetVideoFrameRateM(int fps) { return SetFrameRate(kMiddle, fps); }
int SetVideoFrameRateL(int fps) { return SetFrameRate(kLow, fps); }
int SetVideoBitRateH(int kbps) { return SetBitRate(kHigh, kbps); }
int SetVideoBitRateM(int kbps) { return SetBitRate(kMiddle, kbps); }
int SetVideoBitRateL(int kbps) { return SetBitRate(kLow, kbps); }
int SetVideoGOPH(int sec) { return SetGop(kHigh, sec); }
int SetVideoGOPM(int sec) { return SetGop(kMiddle, sec); }
int SetVideoGOPL(int sec) { return SetGop(kLow, sec); }

int SetAutoRecMode(int m) {
    if (m != 0 && m != 1) return -1;
    Store(&dr_common_t::auto_rec, &Eep_data::auto_rec, m);
    std::printf("DiViv : Set Auto Record : %s\n", OnOff(m));
    return 0;
}

int SetProtectEV(int m) {
    if (m != 0 && m != 1) return -1;
    Store(&dr_common_t::protect_ev, &Eep_data::protect_ev, m);
    std::printf("DiViv : Set Event File Protection : %s\n", OnOff(m));
    return 0;
}

int SetRecStopTime(int m) {
    if (m < 0 || m > 90) return -1;
    Store(&dr_common_t::rec_stop, &Eep_data::rec_stop, m);
    std::printf("DiViv : Set Recording Stop Timer : %d [min]\n", m);
    return 0;
}

bool RunFieldCommand(int command, int param, const char* text) {
    codec_config_t* cfg = drc->pCodecCfg;
    if (RunLimitCommand(command, param) || RunTextCommand(command, text)) return true;
    switch (command) {
        case 17: SetSharedSetting(cfg->flipmode, param); return true;
        case 18: SetSharedSetting(cfg->mirrormode, param); return true;
        case 22: SetSharedSetting(drc->mon_osd, param != 0 ? 1 : 0); return true;
        case 23: SetSharedSetting(drc->rec_osd, param != 0 ? 1 : 0); return true;
        case 37: drc->PowerRstTimer = param < 0 ? 0 : param; return true;
        case 81:
            std::printf("DiViv : Set GPS %d\n", param);
            Store(&dr_common_t::gps_enable, &Eep_data::gps_enable, param);
            return true;
        case 82:
            std::printf("DiViv : Set Mute %d\n", param);
            drc->audio_mute = static_cast<uint8_t>(param);
            eepd.audio_mute = static_cast<uint8_t>(param);
            std::printf("DiViv : Set Audio Mute OK [Mute is %s]\n", param == 1 ? "ON" : "OFF");
            return true;
        case 83:
            std::printf("DiViv : Set GSS %d\n", param);
            drc->gsens_enable = static_cast<uint8_t>(param);
            eepd.gss_enable = static_cast<uint8_t>(param);
            return true;
        case 101: SetSharedSetting(cfg->vqsel, param); return true;
        case 112: Store(&dr_common_t::gss_offset_x, &Eep_data::gss_offset_x, param); return true;
        case 113: Store(&dr_common_t::gss_offset_y, &Eep_data::gss_offset_y, param); return true;
        case 114: Store(&dr_common_t::gss_offset_z, &Eep_data::gss_offset_z, param); return true;
        case 117: Store(&dr_common_t::uart3_mode, &Eep_data::uart3_mode, param); return true;
        case 118: Store(&dr_common_t::gss_position, &Eep_data::gss_position, param); return true;
        default: return false;
    }
}
