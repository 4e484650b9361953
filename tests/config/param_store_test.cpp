// The parameter record's store: byte layout in the part, load and save with
// their failure paths, blank detection, defaults and the printed views.
#include "ConfigFixture.h"
#include "config/eeprom_lib.h"

using diviv::sim::SimEepromControl;

namespace {

class ParamStoreTest : public ConfigTest {};

Eep_data Sample() {
    Eep_data e{};
    SetupIniDefault(&e);
    e.vrate_h = 0x0102;
    e.speed_limit = 1129;
    e.cammode = 3;
    std::memcpy(e.id2, "AB12CD34", 8);
    std::memcpy(e.rsv1, "\x11\x22\x33", 3);  // reserved bytes go through unchanged
    e.app_version = 0x03010103;
    e.gss_position = 24;
    return e;
}

TEST_F(ParamStoreTest, SavedRecordLandsAtItsOffsetsAndLoadsBack) {
    const Eep_data e = Sample();
    ASSERT_EQ(save_eeprom_param(&e), 0);
    const std::string img = Image();
    EXPECT_EQ(img.substr(0, 2), "\x02\x01");               // little-endian rate
    EXPECT_EQ(img[19], 3);                                  // cammode
    EXPECT_EQ(img.substr(32, 2), "\x69\x04");              // 1129
    EXPECT_EQ(img.substr(56, 8), "AB12CD34");
    EXPECT_EQ(img.substr(268, 4), "\x03\x01\x01\x03");     // version, stored little-endian
    EXPECT_EQ(img[272], 24);
    EXPECT_EQ(img.substr(512), std::string(512, '\xff'));  // beyond the record: untouched
    EXPECT_EQ(Read("/proc/driver/eeprom_wp"), std::string("1\0", 2));  // protection back on
    EXPECT_EQ(std::memcmp(&EepData, &e, sizeof e), 0);

    EepData = Eep_data{};
    Eep_data back{};
    ASSERT_EQ(load_eeprom_param(&back), 0);
    EXPECT_EQ(std::memcmp(&back, &e, sizeof e), 0);
    EXPECT_EQ(std::memcmp(&EepData, &e, sizeof e), 0);
    EXPECT_EQ(LoadEepDone, 1);
}

TEST_F(ParamStoreTest, FailedTransfersKeepTheStoreConsistent) {
    // A bus that never answers: the load reports, closes the library and
    // leaves LoadEepDone clear.
    SimEepromControl::FailNextTransactions(1000);
    Eep_data e{};
    std::string out = Captured([&] { EXPECT_EQ(load_eeprom_param(&e), EEPROM_ERR_IO); });
    EXPECT_NE(out.find("eeprom read error -1\n"), std::string::npos);
    EXPECT_EQ(LoadEepDone, 0);
    SimEepromControl::Reset();
    ASSERT_EQ(eeprom_open(), 0);
    eeprom_close();

    // A read-back mismatch: -4, EepData unchanged, write protection on.
    const Eep_data sample = Sample();
    SimEepromControl::CorruptNextReadAt(40);
    out = Captured([&] { EXPECT_EQ(save_eeprom_param(&sample), EEPROM_ERR_VERIFY); });
    EXPECT_NE(out.find("eeprom write error -4\n"), std::string::npos);
    EXPECT_EQ(EepData.vrate_h, 0);
    EXPECT_EQ(Read("/proc/driver/eeprom_wp"), std::string("1\0", 2));

    // The library busy with another use: the save refuses at once.
    ASSERT_EQ(eeprom_open(), 0);
    out = Captured([&] { EXPECT_EQ(save_eeprom_param(&sample), -1); });
    EXPECT_NE(out.find("Fatal Error : Can not open EEPROM device"), std::string::npos);
    eeprom_close();
}

TEST_F(ParamStoreTest, BlankPartAndDefaults) {
    Eep_data e{};
    ASSERT_EQ(load_eeprom_param(&e), 0);  // the new board's part is all 0xFF
    EXPECT_EQ(EepIniChk(), 1);
    EepData.cammode = 0;
    EXPECT_EQ(EepIniChk(), 0);

    std::memset(&e, 0xAA, sizeof e);
    SetupIniDefault(&e);
    EXPECT_EQ(e.vrate_h, 2048);
    EXPECT_EQ(e.frate_m, 20);
    EXPECT_EQ(e.vrate_l, 512);
    EXPECT_EQ(e.protect_ev, 1);
    EXPECT_EQ(e.pwr_rst_timer, 10);
    EXPECT_EQ(e.event_num_info, 30);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(e.id3), 8), "00000040");
    EXPECT_EQ(std::string(reinterpret_cast<char*>(e.id4), 8), "00000020");
    EXPECT_EQ(std::string(reinterpret_cast<char*>(e.pcode_new), 4), "9274");
    EXPECT_EQ(e.gps_enable, 1);
    EXPECT_EQ(e.gss_position, 1);
    EXPECT_EQ(e.app_version, 0u);
    EXPECT_EQ(e.pcode_old[0], 0xAA);  // no default: kept
    EXPECT_EQ(e.reserve2[0], 0xAA);
}

TEST_F(ParamStoreTest, PrintedViews) {
    Eep_data e = Sample();
    e.vemode = 1;
    e.vqsel = 1;
    e.cammode = 0;
    e.ext_event_logic = 1;
    e.gps_enable = 0;
    std::string out = Captured([&] { ShowEepParam(&e); });
    EXPECT_EQ(out.rfind("\n######## Current EEPROM Setup param #######\n", 0), 0u);
    for (const char* word : {"VBR", "Middle", "4window", "Negative", "Disable", "AB12CD34", "03-01-01-03"}) {
        EXPECT_NE(out.find(word), std::string::npos) << word;
    }

    ASSERT_EQ(save_eeprom_param(&e), 0);
    out = Captured([] { EXPECT_EQ(dump_eeprom(), 0); });
    const std::string head =
        "EEPROM DATA is\n"
        "Address : 00 01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E 0F \n";
    ASSERT_EQ(out.rfind(head, 0), 0u);
    EXPECT_NE(out.find("\n0x0000  : 02 01 1E 01 00 04 14 01 00 02 0A 01 01 11 22 33 \n"), std::string::npos);
    EXPECT_NE(out.find("\n0x01F0  : "), std::string::npos);
    EXPECT_EQ(out.find("0x0200"), std::string::npos);  // only the record's 512 bytes
}

}  // namespace
