#include "core/AppParams.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "config/setup_ini.h"
#include "core/DR_shared.h"
#include "core/DriveRecorderApp.h"
#include "platform/Board.h"
#include "platform/BoardPath.h"

Eep_data eepd{};
int EepROM_OK = 0;

namespace {

// One quality preset as stored in the record.
struct Preset {
    int bps;      // kbit/s
    int fps;      // frames/s
    int gopsec;   // seconds
};

Preset PresetOf(int vqsel) {
    if (vqsel == 0) return {eepd.vrate_h, eepd.frate_h, eepd.gopn_h};
    if (vqsel == 1) return {eepd.vrate_m, eepd.frate_m, eepd.gopn_m};
    return {eepd.vrate_l, eepd.frate_l, eepd.gopn_l};
}

// Loads eepd. A blank part (all 0xFF, cammode 255) would otherwise be applied
// as settings and written back; it gets the factory defaults instead.
int LoadEepd() {
    const int rc = load_eeprom_param(&eepd);
    if (rc != 0 || eepd.cammode != 255) return rc;
    std::printf("### Set and save default values to EepRom ###\n");
    SetupIniDefault(&eepd);
    save_eeprom_param(&eepd);
    return 0;
}

void UseDefaultsAfterLoadFailure() {
    drc->HW_Error = 1;
    std::printf("Error : Can't open EEPROM device for read\n");
    std::printf("DiViv : Use default parameters :: Please check EEPROM !!\n");
    SetupIniDefault(&eepd);
    EepROM_OK = 0;
}

void MergeOrCreateSetupIni() {
    const std::string path = SetupIniPath();
    if (SetupIniChk(path.c_str(), &eepd) < 0) {
        std::printf("Setup.ini file is not found [%s] -> Make Setup.ini\n", path.c_str());
        CreateSetupIni(path.c_str());
    }
}

void CopyText(char* to, const char* from, size_t n) { std::memcpy(to, from, n); }

}  // namespace

int SetLocalParams() {
    codec_config_t* cfg = drc->pCodecCfg;

    // 1. The three presets.
    cfg->h_bps = eepd.vrate_h;
    cfg->h_fps = eepd.frate_h;
    cfg->h_gopsec = eepd.gopn_h;
    cfg->h_gop = static_cast<uint32_t>(eepd.frate_h) * eepd.gopn_h;
    cfg->m_bps = eepd.vrate_m;
    cfg->m_fps = eepd.frate_m;
    cfg->m_gopsec = eepd.gopn_m;
    cfg->m_gop = static_cast<uint32_t>(eepd.frate_m) * eepd.gopn_m;
    cfg->l_bps = eepd.vrate_l;
    cfg->l_fps = eepd.frate_l;
    cfg->l_gopsec = eepd.gopn_l;
    cfg->l_gop = static_cast<uint32_t>(eepd.frate_l) * eepd.gopn_l;

    // 2. Identifiers and drive-alert limits.
    std::memcpy(drc->id1, eepd.id1, sizeof drc->id1);
    std::memcpy(drc->id2, eepd.id2, sizeof drc->id2);
    std::memcpy(drc->id3, eepd.id3, sizeof drc->id3);
    std::memcpy(drc->id4, eepd.id4, sizeof drc->id4);
    drc->steering_limit = eepd.steering_limit;
    drc->brake_limit = eepd.brake_limit;
    drc->accel_limit = eepd.accel_limit;
    drc->speed_limit = eepd.speed_limit;
    drc->engine_rot_limit = eepd.engine_rot_limit;
    drc->idling_limit = eepd.idling_limit;
    drc->ext_event_enable = eepd.ext_event_enable;
    drc->ext_event_logic = eepd.ext_event_logic;
    drc->drive_alert = eepd.drive_alert;
    drc->event_num_info = eepd.event_num_info;

    // 3. Codec configuration and the active preset (0 high, 1 middle, any
    // other value low).
    cfg->width = 640;
    cfg->height = 480;
    cfg->mode = 2;
    cfg->vemode = eepd.vemode;
    std::printf("eepd.vqsel = %d\n", eepd.vqsel);
    cfg->vqsel = eepd.vqsel;
    const Preset p = PresetOf(eepd.vqsel);
    SetSharedSetting(cfg->bps, p.bps);
    cfg->gopsec = static_cast<uint32_t>(p.gopsec);
    SetSharedSetting(cfg->gop, p.fps * p.gopsec);
    SetSharedSetting(cfg->fps, p.fps);
    SetSharedSetting(cfg->enc_fps, p.fps);
    cfg->fpsx10 = 10 * p.fps;
    cfg->overlay_mode = 0;
    cfg->overlay = 1;
    cfg->src = 0;
    std::snprintf(cfg->src_name, sizeof cfg->src_name, "%s", "./DR_TEST.264");
    std::snprintf(cfg->dst_name, sizeof cfg->dst_name, "%s", "./DR_TEST.264");

    // 4. Recording and device settings.
    drc->count = 20;
    drc->nCapVideoOut = 0;
    SetSharedSetting(cfg->rectime, eepd.duration);
    drc->DispSize = 0;
    drc->VideoOnlyMode = 1;
    cfg->vfmt = 0;
    SetSharedSetting(drc->CAM_MODE, eepd.cammode);
    SetSharedSetting(cfg->cammode, eepd.cammode);
    SetSharedSetting(drc->mon_osd, eepd.mon_osd);
    SetSharedSetting(drc->rec_osd, eepd.rec_osd);
    drc->auto_rec = eepd.auto_rec;
    drc->rec_stop = eepd.rec_stop;
    SetSharedSetting(drc->protect_ev, eepd.protect_ev);
    drc->SysConfig = 1;
    drc->PowerRstTimer = eepd.pwr_rst_timer;
    SetSharedSetting(cfg->flipmode, eepd.flip);
    SetSharedSetting(cfg->mirrormode, eepd.mirror);
    SetSharedSetting(drc->gps_enable, eepd.gps_enable);
    drc->audio_mute = eepd.audio_mute;
    drc->gsens_enable = eepd.gss_enable;
    SetSharedSetting(drc->gss_offset_x, static_cast<int8_t>(eepd.gss_offset_x));
    SetSharedSetting(drc->gss_offset_y, static_cast<int8_t>(eepd.gss_offset_y));
    SetSharedSetting(drc->gss_offset_z, static_cast<int8_t>(eepd.gss_offset_z));
    SetSharedSetting(drc->gss_position, eepd.gss_position);
    // The GPS thread reads uart3_mode from the shared state, and SetEepParam
    // takes it from there: without this copy the stored mode would be ignored
    // and overwritten by the next save.
    SetSharedSetting(drc->uart3_mode, eepd.uart3_mode);
    // The pass codes go in before the version rewrite below, which saves
    // pcode_old from the shared state.
    CopyText(reinterpret_cast<char*>(drc->pcode_new), reinterpret_cast<const char*>(eepd.pcode_new), 4);
    CopyText(reinterpret_cast<char*>(drc->pcode_old), reinterpret_cast<const char*>(eepd.pcode_old), 4);

    // 5. Camera mode.
    SetCameraMode(drc->CAM_MODE);
    if (drc->CAM_MODE == 0) {
        std::printf("DiViv : 4 Camera mode selected\n");
    } else if (drc->CAM_MODE >= 1 && drc->CAM_MODE <= 4) {
        std::printf("DiViv : Camera %d selected\n", drc->CAM_MODE);
    } else {
        std::printf("DiViv : Camera mode error [%d]\n", drc->CAM_MODE);
    }

    // 6. A record written by another application version is stamped once.
    if (eepd.app_version != nCurrentAppVersion) {
        std::printf("DiViv : Debug :: eepd.app_version[0x%08x] nCurrentAppVersion[0x%08x]\n", eepd.app_version,
                    nCurrentAppVersion);
        if (SetEepParam(&eepd) == 0) {
            std::printf("DiViv : AppVersion in EEPROM is updated [%s]\n", AppVersionText().c_str());
        }
    }

    // 7. Recordings are always scrambled.
    drc->ASF_Encrypt = 1;
    return 1;
}

int SetEepParam(Eep_data* eep) {
    const codec_config_t* cfg = drc->pCodecCfg;
    eep->vrate_h = static_cast<uint16_t>(cfg->h_bps);
    eep->frate_h = static_cast<uint8_t>(cfg->h_fps);
    eep->gopn_h = static_cast<uint8_t>(cfg->h_gopsec);
    eep->vrate_m = static_cast<uint16_t>(cfg->m_bps);
    eep->frate_m = static_cast<uint8_t>(cfg->m_fps);
    eep->gopn_m = static_cast<uint8_t>(cfg->m_gopsec);
    eep->vrate_l = static_cast<uint16_t>(cfg->l_bps);
    eep->frate_l = static_cast<uint8_t>(cfg->l_fps);
    eep->gopn_l = static_cast<uint8_t>(cfg->l_gopsec);
    eep->vqsel = static_cast<uint8_t>(cfg->vqsel);
    eep->duration = static_cast<uint16_t>(SharedSetting(cfg->rectime));
    eep->cammode = static_cast<uint8_t>(drc->CAM_MODE);
    eep->mon_osd = static_cast<uint8_t>(drc->mon_osd);
    eep->rec_osd = static_cast<uint8_t>(drc->rec_osd);
    eep->audio_mute = drc->audio_mute.load();
    eep->auto_rec = static_cast<uint8_t>(drc->auto_rec);
    eep->protect_ev = static_cast<uint8_t>(drc->protect_ev);
    eep->pwr_rst_timer = static_cast<uint8_t>(drc->PowerRstTimer);
    eep->steering_limit = drc->steering_limit;
    eep->brake_limit = drc->brake_limit;
    eep->accel_limit = drc->accel_limit;
    eep->speed_limit = drc->speed_limit;
    eep->engine_rot_limit = drc->engine_rot_limit;
    eep->idling_limit = drc->idling_limit;
    eep->ext_event_enable = drc->ext_event_enable;
    eep->ext_event_logic = drc->ext_event_logic;
    eep->drive_alert = drc->drive_alert;
    eep->event_num_info = drc->event_num_info;
    std::memcpy(eep->id1, drc->id1, sizeof eep->id1);
    std::memcpy(eep->id2, drc->id2, sizeof eep->id2);
    std::memcpy(eep->id3, drc->id3, sizeof eep->id3);
    std::memcpy(eep->id4, drc->id4, sizeof eep->id4);
    eep->gss_offset_x = static_cast<uint8_t>(drc->gss_offset_x);
    eep->gss_offset_y = static_cast<uint8_t>(drc->gss_offset_y);
    eep->gss_offset_z = static_cast<uint8_t>(drc->gss_offset_z);
    std::memcpy(eep->pcode_old, drc->pcode_old, sizeof eep->pcode_old);
    eep->uart3_mode = drc->uart3_mode;
    eep->flip = static_cast<uint8_t>(cfg->flipmode);
    eep->mirror = static_cast<uint8_t>(cfg->mirrormode);
    eep->gps_enable = drc->gps_enable;
    eep->gss_enable = drc->gsens_enable;
    eep->gss_position = drc->gss_position;
    eep->system_version = 0;
    eep->kernel_version = 0;
    eep->rootfs_version = 0;
    eep->app_version = nCurrentAppVersion;

    std::printf("DiViv : Write EEPROM....\n");
    const int rc = save_eeprom_param(eep);
    if (rc == 0) {
        std::printf("DiViv : Write EEPROM done \n");
        EepROM_OK = 1;
    } else {
        std::printf("DiViv : Error Fail to update EEPROM [%d]\n", rc);
        EepROM_OK = 0;
        drc->HW_Error = 1;
    }
    return rc;
}

int SetDefaultEepParam(Eep_data* eep) {
    SetupIniDefault(eep);
    eep->app_version = nCurrentAppVersion;
    eep->system_version = 0;
    eep->kernel_version = 0;
    eep->rootfs_version = 0;
    std::printf("DiViv : Save default EEPROM params ....\n");
    const int rc = save_eeprom_param(eep);
    if (rc != 0) {
        std::printf("DiViv : Error Fail to save EEPROM [%d]\n", rc);
        EepROM_OK = 0;
        drc->HW_Error = 1;
    } else {
        std::printf("DiViv : Save EEPROM done \n");
        EepROM_OK = 1;
    }
    SetSharedSetting(drc->pCodecCfg->flipmode, 0);
    SetSharedSetting(drc->pCodecCfg->mirrormode, 0);
    eep->flip = 0;
    eep->mirror = 0;
    SetLocalParams();
    return rc;
}

int SetFF_EepParam() {
    Eep_data blank;
    std::memset(&blank, 0xff, sizeof blank);
    std::printf("DiViv : Save FF into EEPROM ....\n");
    const int rc = save_eeprom_param(&blank);
    if (rc == 0) std::printf("DiViv : Set FF into EEPROM done \n");
    return rc;
}

int ReadINIFile() {
    const std::string path = SetupIniPath();
    if (EepROM_OK) {
        if (SetupIniChk(path.c_str(), &eepd) < 0) {
            std::printf("Error : Can't open INI file [%s]\n", path.c_str());
            return -1;
        }
        SetLocalParams();
        return 0;
    }
    if (LoadEepd() != 0) {
        UseDefaultsAfterLoadFailure();
        return 0;
    }
    std::printf("Load EEPROM\n");
    MergeOrCreateSetupIni();
    return 0;
}

int LoadStartupParams(int param_source, bool card_ready) {
    const int rc = LoadEepd();
    if (rc != 0) {
        UseDefaultsAfterLoadFailure();
        return rc;
    }
    std::printf("Load EEPROM\n");
    if (param_source != 1) {
        std::printf("Use Params from EEPROM :: argv[5] is %d\n", param_source);
    } else if (card_ready) {
        MergeOrCreateSetupIni();
    }
    EepROM_OK = 1;
    return 0;
}

namespace {

// Makes the selected preset the current video settings. A field is written
// only when it changes: the parameter print comes from the host at any time,
// and while recording the capture thread reads these fields.
void ApplyPreset(codec_config_t* cfg, int32_t bps, int32_t fps, uint32_t gop) {
    if (cfg->bps != bps) cfg->bps = bps;
    const float rate = static_cast<float>(fps);
    if (cfg->fps != rate) cfg->fps = rate;
    if (cfg->enc_fps != rate) cfg->enc_fps = rate;
    if (cfg->gop != gop) cfg->gop = gop;
}

}  // namespace

int ShowParameters() {
    codec_config_t* cfg = drc->pCodecCfg;
    switch (cfg->vqsel) {
    case 0:
        std::printf("DiViv : Param Heigh is selected\n");
        ApplyPreset(cfg, cfg->h_bps, cfg->h_fps, cfg->h_gop);
        break;
    case 1:
        std::printf("DiViv : Param Mid is selected\n");
        ApplyPreset(cfg, cfg->m_bps, cfg->m_fps, cfg->m_gop);
        break;
    case 2:
        std::printf("DiViv : Param Low is selected\n");
        ApplyPreset(cfg, cfg->l_bps, cfg->l_fps, cfg->l_gop);
        break;
    default: std::printf("DiViv : SEL SW is unknown state [%d]\n", cfg->vqsel); break;
    }
    std::printf("\n######## Current Parameter Settings #######\n");
    std::printf(" Video Bitrate       : %d [kbps]\n", cfg->bps);
    std::printf(" Video Control Mode  : %s\n", cfg->vemode ? "VBR" : "CBR");
    std::printf(" Video Framerate     : %3.2f [fps]\n", static_cast<double>(cfg->enc_fps));
    std::printf(" GOP                 : %u\n", cfg->gop);
    std::printf(" Recording Duration  : %d [sec]\n", SharedSetting(cfg->rectime));
    std::printf(" Camera Mode         : %d\n", drc->CAM_MODE);
    std::printf(" Monitor OSD         : %d\n", drc->mon_osd);
    std::printf(" Record OSD          : %d\n", drc->rec_osd);
    std::printf(" Flip                : %d\n", cfg->flipmode);
    std::printf(" Mirror              : %d\n", cfg->mirrormode);
    std::printf(" Rec Stop Timer      : %d [min]\n", drc->rec_stop);
    std::printf(" SysConfig           : %u\n", drc->SysConfig.load());
    std::printf(" GPS                 : %d\n", drc->gps_enable);
    std::printf(" Audio Mute          : %d\n", drc->audio_mute.load());
    std::printf(" Power Off Delay     : %d\n", drc->PowerOffDelay);
    std::printf(" Power Reset Timer   : %d [sec]\n", drc->PowerRstTimer);
    std::printf(" G-Sensor            : %d\n", drc->gsens_enable.load());
    std::printf(" G-Sensor Offset     : %d %d %d\n", drc->gss_offset_x, drc->gss_offset_y, drc->gss_offset_z);
    std::printf(" G-Sensor Position   : %d\n", drc->gss_position);
    return 1;
}

int SetCameraMode(int c) {
    if (c < 0 || c > 4) {
        std::printf("DiViv : Error Cam Mode [%d]\n", c);
        return -1;
    }
    char mode[16];
    if (c == 0) {
        std::snprintf(mode, sizeof mode, "4:0\n");
    } else {
        std::snprintf(mode, sizeof mode, "1:%d\n", c);
    }
    if (diviv::TheBoard().Camera().WriteVideoMode(mode) != 0) {
        std::printf("DiViv : Can not set camera mode [%d]\n", c);
        return -1;
    }
    SetSharedSetting(drc->CAM_MODE, c);
    SetSharedSetting(drc->pCodecCfg->cammode, c);
    return 1;
}
