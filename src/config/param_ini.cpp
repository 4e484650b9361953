#include "config/param_ini.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <vector>

#include "config/eeprom_lib.h"

Eep_data EepData{};
int LoadEepDone = 0;

namespace {

unsigned char* Bytes(Eep_data* eep) { return reinterpret_cast<unsigned char*>(eep); }
const unsigned char* Bytes(const Eep_data* eep) { return reinterpret_cast<const unsigned char*>(eep); }

void PutText(uint8_t* field, const char* text, size_t n) { std::memcpy(field, text, n); }

const char* EnableWord(unsigned v) { return v ? "Enable" : "Disable"; }
const char* QualityWord(unsigned v) {
    switch (v) {
    case 0: return "High";
    case 1: return "Middle";
    case 2: return "Low";
    default: return "Unknown";
    }
}
const char* CameraWord(unsigned v) {
    static constexpr const char* kWords[] = {"4window", "Camera1", "Camera2", "Camera3", "Camera4"};
    return v < std::size(kWords) ? kWords[v] : "Unknown";
}

void PrintVersion(const char* label, uint32_t v) {
    std::printf("%s : %02u-%02u-%02u-%02u\n", label, (v >> 24) & 0xffu, (v >> 16) & 0xffu, (v >> 8) & 0xffu,
                v & 0xffu);
}

// Fixed-width text fields; a byte that is not printable (a blank part
// reads 0xFF) shows as '.', so the console never receives raw bytes.
void PrintText(const char* label, const uint8_t* text, int n) {
    char shown[64];
    int len = 0;
    for (; len < n && len < static_cast<int>(sizeof shown) - 1 && text[len] != 0; ++len) {
        shown[len] = (text[len] >= 0x20 && text[len] < 0x7f) ? static_cast<char>(text[len]) : '.';
    }
    shown[len] = '\0';
    std::printf("%s : %s\n", label, shown);
}

}  // namespace

int load_eeprom_param(Eep_data* eep) {
    if (eeprom_open() != 0) return -1;
    std::printf("eeprom size = %d\n\n", eeprom_geteepromsize());
    const int rc = eeprom_read_block(0, sizeof(Eep_data), Bytes(eep));
    if (rc != 0) {
        std::printf("eeprom read error %d\n", rc);
        eeprom_close();
        return rc;
    }
    EepData = *eep;
    eeprom_close();
    LoadEepDone = 1;
    return 0;
}

int save_eeprom_param(const Eep_data* eep) {
    if (eeprom_open() != 0) {
        std::printf("Fatal Error : Can not open EEPROM device\n");
        return -1;
    }
    eeprom_write_protect_disable();
    std::printf("eeprom size = %d\n\n", eeprom_geteepromsize());
    const int rc = eeprom_write_block(0, sizeof(Eep_data), Bytes(eep));
    if (rc != 0) std::printf("eeprom write error %d\n", rc);
    eeprom_write_protect_enable();
    eeprom_close();
    if (rc == 0) std::memmove(&EepData, eep, sizeof EepData);  // eep may be &EepData
    return rc;
}

int EepIniChk() { return EepData.cammode == 255 ? 1 : 0; }

void SetupIniDefault(Eep_data* eep) {
    eep->vrate_h = 2048;
    eep->frate_h = 30;
    eep->gopn_h = 1;
    eep->vrate_m = 1024;
    eep->frate_m = 20;
    eep->gopn_m = 1;
    eep->vrate_l = 512;
    eep->frate_l = 10;
    eep->gopn_l = 1;
    eep->vemode = 0;
    eep->duration = 60;
    eep->vqsel = 0;
    eep->cammode = 0;
    eep->mon_osd = 0;
    eep->rec_osd = 0;
    eep->audio_mute = 0;
    eep->auto_rec = 0;
    eep->protect_ev = 1;
    eep->rec_stop = 0;
    eep->pwr_rst_timer = 10;
    eep->steering_limit = 5;
    eep->brake_limit = 5;
    eep->accel_limit = 5;
    eep->speed_limit = 0;
    eep->engine_rot_limit = 0;
    eep->idling_limit = 0;
    eep->ext_event_enable = 0;
    eep->ext_event_logic = 0;
    eep->event_num_info = 30;
    eep->drive_alert = 0;
    PutText(eep->id1, "00000000", 8);
    PutText(eep->id2, "00000000", 8);
    PutText(eep->id3, "00000040", 8);
    PutText(eep->id4, "00000020", 8);
    PutText(eep->pcode_new, "9274", 4);
    eep->uart3_mode = 0;
    eep->flip = 0;
    eep->mirror = 0;
    eep->gps_enable = 1;
    eep->gss_enable = 1;
    eep->gss_offset_x = 0;
    eep->gss_offset_y = 0;
    eep->gss_offset_z = 0;
    eep->system_version = 0;
    eep->kernel_version = 0;
    eep->rootfs_version = 0;
    eep->app_version = 0;
    eep->gss_position = 1;
}

void ShowEepParam(const Eep_data* e) {
    std::printf("\n######## Current EEPROM Setup param #######\n");
    std::printf(" Video Bitrate H     : %u [kbps]\n", e->vrate_h);
    std::printf(" Video Framerate H   : %u [fps]\n", e->frate_h);
    std::printf(" GOP H               : %u [sec]\n", e->gopn_h);
    std::printf(" Video Bitrate M     : %u [kbps]\n", e->vrate_m);
    std::printf(" Video Framerate M   : %u [fps]\n", e->frate_m);
    std::printf(" GOP M               : %u [sec]\n", e->gopn_m);
    std::printf(" Video Bitrate L     : %u [kbps]\n", e->vrate_l);
    std::printf(" Video Framerate L   : %u [fps]\n", e->frate_l);
    std::printf(" GOP L               : %u [sec]\n", e->gopn_l);
    std::printf(" Video Control       : %s\n", e->vemode ? "VBR" : "CBR");
    std::printf(" Recording Duration  : %u [sec]\n", e->duration);
    std::printf(" Video Quality       : %s\n", QualityWord(e->vqsel));
    std::printf(" Camera Mode         : %s\n", CameraWord(e->cammode));
    std::printf(" Monitor OSD         : %s\n", EnableWord(e->mon_osd));
    std::printf(" Record OSD          : %s\n", EnableWord(e->rec_osd));
    std::printf(" Audio Mute          : %s\n", EnableWord(e->audio_mute));
    std::printf(" Auto Record         : %s\n", EnableWord(e->auto_rec));
    std::printf(" Protect Event File  : %s\n", EnableWord(e->protect_ev));
    std::printf(" Rec Stop Timer      : %u [min]\n", e->rec_stop);
    std::printf(" Power Reset Timer   : %u [sec]\n", e->pwr_rst_timer);
    std::printf(" Steering Limit      : %u\n", e->steering_limit);
    std::printf(" Brake Limit         : %u\n", e->brake_limit);
    std::printf(" Accel Limit         : %u\n", e->accel_limit);
    std::printf(" Speed Limit         : %u\n", e->speed_limit);
    std::printf(" Engine Rot Limit    : %u\n", e->engine_rot_limit);
    std::printf(" Idling Limit        : %u\n", e->idling_limit);
    std::printf(" Ext Event Input     : %s\n", EnableWord(e->ext_event_enable));
    std::printf(" Ext Event Logic     : %s\n", e->ext_event_logic ? "Negative" : "Positive");
    std::printf(" Event File Number   : %u\n", e->event_num_info);
    std::printf(" Drive Alert         : %s\n", EnableWord(e->drive_alert));
    PrintText(" ID1                ", e->id1, 8);
    PrintText(" ID2                ", e->id2, 8);
    PrintText(" ID3                ", e->id3, 8);
    PrintText(" ID4                ", e->id4, 8);
    PrintText(" Pass Code (old)    ", e->pcode_old, 4);
    PrintText(" Pass Code (new)    ", e->pcode_new, 4);
    std::printf(" UART3 Mode          : %u\n", e->uart3_mode);
    std::printf(" Flip                : %s\n", EnableWord(e->flip));
    std::printf(" Mirror              : %s\n", EnableWord(e->mirror));
    std::printf(" GPS                 : %s\n", EnableWord(e->gps_enable));
    std::printf(" G-Sensor            : %s\n", EnableWord(e->gss_enable));
    std::printf(" G-Sensor Offset X   : %u\n", e->gss_offset_x);
    std::printf(" G-Sensor Offset Y   : %u\n", e->gss_offset_y);
    std::printf(" G-Sensor Offset Z   : %u\n", e->gss_offset_z);
    std::printf(" G-Sensor Position   : %u\n", e->gss_position);
    PrintVersion(" System Version     ", e->system_version);
    PrintVersion(" Kernel Version     ", e->kernel_version);
    PrintVersion(" RootFS Version     ", e->rootfs_version);
    PrintVersion(" App Version        ", e->app_version);
}

int dump_eeprom() {
    if (const int rc = eeprom_open(); rc != 0) return rc;
    const int size = eeprom_geteepromsize();
    std::vector<unsigned char> data(static_cast<size_t>(std::max(size, 0)));
    const int rc = eeprom_read_block(0, size, data.data());
    eeprom_close();
    if (rc != 0) {
        std::printf("eeprom read error %d\n", rc);
        return rc;
    }
    std::printf("EEPROM DATA is\n");
    std::printf("Address : 00 01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E 0F \n");
    std::printf("----------------------------------------------------------\n");
    const size_t shown = std::min<size_t>(data.size(), sizeof(Eep_data));
    for (size_t line = 0; line < shown; line += 16) {
        std::printf("0x%04X  : ", static_cast<unsigned>(line));
        for (size_t i = line; i < std::min(line + 16, shown); ++i) std::printf("%02X ", data[i]);
        std::printf("\n");
    }
    return 0;
}
