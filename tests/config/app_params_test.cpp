// The application's parameter operations on a simulated board: applying the
// record to the shared state, saving it back, defaults, the version stamp, the
// camera mode and the start-up and card paths through the setup file.
#include <filesystem>

#include "ConfigFixture.h"
#include "config/setup_ini.h"
#include "core/AppParams.h"
#include "core/DriveRecorderApp.h"

using diviv::sim::SimEepromControl;

namespace {

class AppParamsTest : public ConfigTest {
protected:
    void SetUp() override {
        ConfigTest::SetUp();
        eepd = Defaults();
        eepd.app_version = nCurrentAppVersion;
        EepROM_OK = 0;
    }
    std::string Apply() {
        return Captured([] { EXPECT_EQ(SetLocalParams(), 1); });
    }
};

TEST_F(AppParamsTest, AppliesTheRecordAndTheChosenPreset) {
    eepd.vqsel = 1;
    eepd.cammode = 2;
    eepd.duration = 120;
    eepd.gopn_m = 2;
    std::memcpy(eepd.pcode_new, "1357", 4);
    const std::string out = Apply();
    EXPECT_NE(out.find("eepd.vqsel = 1\n"), std::string::npos);
    EXPECT_NE(out.find("DiViv : Camera 2 selected\n"), std::string::npos);
    EXPECT_EQ(cfg_->fpsx10, 200);
    EXPECT_EQ(cfg_->bps, 1024);
    EXPECT_EQ(cfg_->gop, 40u);
    EXPECT_EQ(cfg_->enc_fps, 20.0f);
    EXPECT_EQ(cfg_->h_gop, 30u);
    EXPECT_EQ(cfg_->rectime, 120);
    EXPECT_STREQ(cfg_->dst_name, "./DR_TEST.264");
    EXPECT_EQ(dr_->CAM_MODE, 2);
    EXPECT_EQ(Read("/proc/driver/camera/video_mode"), "1:2\n");
    EXPECT_EQ(dr_->ASF_Encrypt, 1);
    EXPECT_EQ(dr_->event_num_info, 30);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(dr_->pcode_new), 4), "1357");
    EXPECT_EQ(WritesLogged(), 0);  // same version: nothing saved

    // vqsel beyond 2 means the low preset here, but leaves the active values
    // alone when the settings are shown.
    eepd.vqsel = 7;
    Apply();
    EXPECT_EQ(cfg_->bps, 512);
    EXPECT_EQ(cfg_->fpsx10, 100);
    cfg_->bps = 333;
    const std::string shown = Captured([] { EXPECT_EQ(ShowParameters(), 1); });
    EXPECT_NE(shown.find("DiViv : SEL SW is unknown state [7]\n"), std::string::npos);
    EXPECT_EQ(cfg_->bps, 333);
    cfg_->vqsel = 0;
    Captured([] { ShowParameters(); });
    EXPECT_EQ(cfg_->bps, 2048);
}

TEST_F(AppParamsTest, OtherVersionIsStampedOnceWithoutLosingSettings) {
    eepd.app_version = 0;  // as the defaults leave it
    eepd.uart3_mode = 1;
    std::memcpy(eepd.pcode_old, "2468", 4);
    std::memcpy(eepd.id2, "CAR00042", 8);
    eepd.rec_stop = 45;
    std::string out = Apply();
    EXPECT_NE(out.find("DiViv : Debug :: eepd.app_version[0x00000000] nCurrentAppVersion[0x03010103]\n"),
              std::string::npos);
    EXPECT_NE(out.find("DiViv : AppVersion in EEPROM is updated [3.1.1.3]\n"), std::string::npos);
    const Eep_data stored = ImageRecord();
    EXPECT_EQ(stored.app_version, nCurrentAppVersion);
    EXPECT_EQ(stored.uart3_mode, 1);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(stored.pcode_old), 4), "2468");
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(stored.id2), 8), "CAR00042");
    EXPECT_EQ(stored.rec_stop, 45);
    EXPECT_EQ(stored.vrate_h, 2048);
    EXPECT_EQ(dr_->uart3_mode, 1);
    EXPECT_EQ(EepROM_OK, 1);

    SimEepromControl::ClearTransactions();
    Apply();
    EXPECT_EQ(WritesLogged(), 0);  // once only
}

TEST_F(AppParamsTest, FailedSavesAreReportedNotClaimed) {
    eepd.app_version = 0;
    SimEepromControl::FailNextTransactions(100000);
    std::string out = Apply();
    EXPECT_NE(out.find("DiViv : Error Fail to update EEPROM [-1]\n"), std::string::npos);
    EXPECT_EQ(out.find("is updated"), std::string::npos);
    EXPECT_EQ(dr_->HW_Error.load(), 1);
    EXPECT_EQ(EepROM_OK, 0);

    out = Captured([] { EXPECT_EQ(SetDefaultEepParam(&eepd), -1); });
    EXPECT_NE(out.find("DiViv : Error Fail to save EEPROM [-1]\n"), std::string::npos);
}

TEST_F(AppParamsTest, DefaultsAndBlankRecord) {
    cfg_->flipmode = 1;
    eepd.mirror = 1;
    eepd.vrate_h = 128;
    std::string out = Captured([] { EXPECT_EQ(SetDefaultEepParam(&eepd), 0); });
    EXPECT_NE(out.find("DiViv : Save EEPROM done \n"), std::string::npos);
    Eep_data expect = Defaults();
    expect.app_version = nCurrentAppVersion;
    const Eep_data stored = ImageRecord();
    EXPECT_EQ(std::memcmp(&stored, &expect, sizeof expect), 0);
    EXPECT_EQ(cfg_->flipmode, 0);
    EXPECT_EQ(cfg_->mirrormode, 0);
    EXPECT_EQ(cfg_->h_bps, 2048);
    EXPECT_EQ(EepROM_OK, 1);

    out = Captured([] { EXPECT_EQ(SetFF_EepParam(), 0); });
    EXPECT_NE(out.find("DiViv : Set FF into EEPROM done \n"), std::string::npos);
    EXPECT_EQ(Image().substr(0, 512), std::string(512, '\xff'));
}

TEST_F(AppParamsTest, CameraModeSetter) {
    EXPECT_EQ(SetCameraMode(0), 1);
    EXPECT_EQ(Read("/proc/driver/camera/video_mode"), "4:0\n");
    EXPECT_EQ(SetCameraMode(4), 1);
    EXPECT_EQ(Read("/proc/driver/camera/video_mode"), "1:4\n");
    const std::string out = Captured([] { EXPECT_EQ(SetCameraMode(5), -1); });
    EXPECT_EQ(out, "DiViv : Error Cam Mode [5]\n");
    EXPECT_EQ(dr_->CAM_MODE, 4);
    EXPECT_EQ(cfg_->cammode, 4);
    EXPECT_EQ(Read("/proc/driver/camera/video_mode"), "1:4\n");
}

TEST_F(AppParamsTest, NewBoardFirstStartGetsDefaultsAndASetupFile) {
    // Blank EEPROM (the simulated board's new part), no setup file on the card.
    ASSERT_FALSE(std::filesystem::exists(SetupIniPath()));
    std::string out = Captured([] {
        EXPECT_EQ(LoadStartupParams(1, true), 0);
        SetLocalParams();
    });
    EXPECT_NE(out.find("Setup.ini file is not found"), std::string::npos);
    Eep_data expect;
    std::memset(&expect, 0xff, sizeof expect);  // reserved bytes keep what was read
    SetupIniDefault(&expect);
    expect.app_version = nCurrentAppVersion;
    const Eep_data stored = ImageRecord();
    EXPECT_EQ(std::memcmp(&stored, &expect, sizeof expect), 0);
    EXPECT_EQ(diviv::sim::ReadTextFile(SetupIniPath()), kDefaultSetupIni);
    EXPECT_EQ(dr_->CAM_MODE, 0);
    EXPECT_EQ(cfg_->h_bps, 2048);
    EXPECT_EQ(EepROM_OK, 1);
}

TEST_F(AppParamsTest, StartupAndCardPathsThroughTheSetupFile) {
    SetImageRecord(Defaults());
    std::string out = Captured([] { EXPECT_EQ(LoadStartupParams(0, true), 0); });
    EXPECT_NE(out.find("Use Params from EEPROM :: argv[5] is 0\n"), std::string::npos);
    EXPECT_FALSE(std::filesystem::exists(SetupIniPath()));

    // Card found with a setup file while the EEPROM is good: merged and applied.
    ASSERT_TRUE(diviv::sim::WriteTextFile(SetupIniPath(), "[HOLMAX]\nCAM_MODE=3\nVIDEO_QSEL=2\n"));
    Captured([] { EXPECT_EQ(ReadINIFile(), 0); });
    EXPECT_EQ(dr_->CAM_MODE, 3);
    EXPECT_EQ(cfg_->bps, 512);
    EXPECT_EQ(ImageRecord().cammode, 3);

    std::filesystem::remove(SetupIniPath());
    out = Captured([] { EXPECT_EQ(ReadINIFile(), -1); });
    EXPECT_NE(out.find("Error : Can't open INI file ["), std::string::npos);

    // EEPROM unreadable: defaults in the working copy, the failure flagged.
    EepROM_OK = 0;
    eepd.vrate_h = 1;
    SimEepromControl::FailNextTransactions(100000);
    out = Captured([] { EXPECT_EQ(ReadINIFile(), 0); });
    EXPECT_NE(out.find("DiViv : Use default parameters :: Please check EEPROM !!\n"), std::string::npos);
    EXPECT_EQ(eepd.vrate_h, 2048);
    EXPECT_EQ(dr_->HW_Error.load(), 1);
    EXPECT_EQ(EepROM_OK, 0);
}

}  // namespace
