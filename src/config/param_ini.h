// The parameter record and its store in the EEPROM.
//
// Eep_data is the 512-byte user-settings record at address 0 of the EEPROM,
// little-endian, every field at a fixed offset (checked below). The store
// keeps the copy last read from or written to the part in EepData.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <type_traits>

struct Eep_data {
    uint16_t vrate_h;       // high-quality bit rate, kbit/s
    uint8_t frate_h;        // high-quality frame rate, frames/s
    uint8_t gopn_h;         // high-quality GOP length, seconds
    uint16_t vrate_m;
    uint8_t frate_m;
    uint8_t gopn_m;
    uint16_t vrate_l;
    uint8_t frate_l;
    uint8_t gopn_l;
    uint8_t vemode;         // 0 CBR, 1 VBR
    uint8_t rsv1[3];
    uint16_t duration;      // seconds per recording file
    uint8_t vqsel;          // 0 high, 1 middle, 2 low
    uint8_t cammode;        // 0 four cameras, 1..4 one camera, 255 blank part
    uint8_t mon_osd;
    uint8_t rec_osd;
    uint8_t audio_mute;
    uint8_t auto_rec;
    uint8_t protect_ev;     // 0: event files protected from rotation
    uint8_t rsv2;
    uint16_t rec_stop;      // minutes of recording after ignition off
    uint8_t pwr_rst_timer;  // seconds
    uint8_t steering_limit;
    uint8_t brake_limit;
    uint8_t accel_limit;
    uint16_t speed_limit;
    uint16_t engine_rot_limit;
    uint16_t idling_limit;
    uint8_t ext_event_enable;
    uint8_t ext_event_logic;  // 0 positive, 1 negative
    uint16_t event_num_info;
    uint8_t drive_alert;      // 0 alerts sound, 1 silent
    uint8_t rsv3[5];
    uint8_t id1[8];           // no terminator
    uint8_t id2[8];
    uint8_t id3[8];
    uint8_t id4[8];
    uint8_t rsv[4];
    uint8_t pcode_old[4];
    uint8_t pcode_new[4];     // four ASCII digits, no terminator
    uint8_t uart3_mode;
    uint8_t flip;
    uint8_t mirror;
    uint8_t gps_enable;
    uint8_t gss_enable;
    uint8_t reserve1[9];
    uint8_t gss_offset_x;
    uint8_t gss_offset_y;
    uint8_t gss_offset_z;
    uint8_t reserve3[147];
    uint32_t system_version;  // one byte per component, most significant first
    uint32_t kernel_version;
    uint32_t rootfs_version;
    uint32_t app_version;     // application that last wrote the record
    uint8_t gss_position;     // G-sensor mounting position 1..24
    uint8_t reserve2[239];
};

// The record is copied byte for byte to and from the part.
static_assert(std::endian::native == std::endian::little, "the record is stored little-endian");
static_assert(std::is_trivially_copyable_v<Eep_data> && std::is_standard_layout_v<Eep_data>);
static_assert(sizeof(Eep_data) == 512);
static_assert(offsetof(Eep_data, vrate_h) == 0 && offsetof(Eep_data, frate_h) == 2 &&
              offsetof(Eep_data, gopn_h) == 3 && offsetof(Eep_data, vrate_m) == 4 &&
              offsetof(Eep_data, frate_m) == 6 && offsetof(Eep_data, gopn_m) == 7 &&
              offsetof(Eep_data, vrate_l) == 8 && offsetof(Eep_data, frate_l) == 10 &&
              offsetof(Eep_data, gopn_l) == 11 && offsetof(Eep_data, vemode) == 12 &&
              offsetof(Eep_data, rsv1) == 13);
static_assert(offsetof(Eep_data, duration) == 16 && offsetof(Eep_data, vqsel) == 18 &&
              offsetof(Eep_data, cammode) == 19 && offsetof(Eep_data, mon_osd) == 20 &&
              offsetof(Eep_data, rec_osd) == 21 && offsetof(Eep_data, audio_mute) == 22 &&
              offsetof(Eep_data, auto_rec) == 23 && offsetof(Eep_data, protect_ev) == 24 &&
              offsetof(Eep_data, rsv2) == 25 && offsetof(Eep_data, rec_stop) == 26 &&
              offsetof(Eep_data, pwr_rst_timer) == 28 && offsetof(Eep_data, steering_limit) == 29 &&
              offsetof(Eep_data, brake_limit) == 30 && offsetof(Eep_data, accel_limit) == 31);
static_assert(offsetof(Eep_data, speed_limit) == 32 && offsetof(Eep_data, engine_rot_limit) == 34 &&
              offsetof(Eep_data, idling_limit) == 36 && offsetof(Eep_data, ext_event_enable) == 38 &&
              offsetof(Eep_data, ext_event_logic) == 39 && offsetof(Eep_data, event_num_info) == 40 &&
              offsetof(Eep_data, drive_alert) == 42 && offsetof(Eep_data, rsv3) == 43);
static_assert(offsetof(Eep_data, id1) == 48 && offsetof(Eep_data, id2) == 56 &&
              offsetof(Eep_data, id3) == 64 && offsetof(Eep_data, id4) == 72 &&
              offsetof(Eep_data, rsv) == 80 && offsetof(Eep_data, pcode_old) == 84 &&
              offsetof(Eep_data, pcode_new) == 88 && offsetof(Eep_data, uart3_mode) == 92 &&
              offsetof(Eep_data, flip) == 93 && offsetof(Eep_data, mirror) == 94 &&
              offsetof(Eep_data, gps_enable) == 95 && offsetof(Eep_data, gss_enable) == 96 &&
              offsetof(Eep_data, reserve1) == 97);
static_assert(offsetof(Eep_data, gss_offset_x) == 106 && offsetof(Eep_data, gss_offset_y) == 107 &&
              offsetof(Eep_data, gss_offset_z) == 108 && offsetof(Eep_data, reserve3) == 109 &&
              offsetof(Eep_data, system_version) == 256 && offsetof(Eep_data, kernel_version) == 260 &&
              offsetof(Eep_data, rootfs_version) == 264 && offsetof(Eep_data, app_version) == 268 &&
              offsetof(Eep_data, gss_position) == 272 && offsetof(Eep_data, reserve2) == 273);

// The store's copy: the record last loaded from or saved to the EEPROM.
extern Eep_data EepData;
// Set by the first successful load since start; never cleared.
extern int LoadEepDone;

// Reads the record at address 0 into *eep (partly filled on failure).
// Returns 0 or an EEPROM library code; -1 when the part cannot be opened.
int load_eeprom_param(Eep_data* eep);
// Writes the whole record with write protection lifted for the write only.
// Returns 0 or the write's code (-1 when the part cannot be opened).
int save_eeprom_param(const Eep_data* eep);
// 1 when EepData shows a blank (all 0xFF) part, recognised by cammode 255.
int EepIniChk();
// Fills the factory defaults into *eep; fields without a default keep theirs.
void SetupIniDefault(Eep_data* eep);
// Prints every field with a label.
void ShowEepParam(const Eep_data* eep);
// Prints the first 512 bytes of the part as a hex table. Returns 0 or a code.
int dump_eeprom();
