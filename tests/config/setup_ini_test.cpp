// The setup file: lookup rules, the merge with each key's rule and change
// marker, the writer's exact text, and a round trip through the EEPROM.
#include <filesystem>

#include "ConfigFixture.h"
#include "config/setup_ini.h"

using diviv::sim::SimEepromControl;

namespace {

class SetupIniTest : public ConfigTest {
protected:
    void SetUp() override {
        ConfigTest::SetUp();
        path_ = SetupIniPath();
        eep_ = Defaults();
    }
    void File(const std::string& text) { ASSERT_TRUE(diviv::sim::WriteTextFile(path_, text)); }
    std::string Lookup(const char* key, int* rc = nullptr, int len = 100) {
        char buf[100];
        const int r = GetPrivateProfileString("HOLMAX", key, "dflt", buf, len, path_.c_str());
        if (rc) *rc = r;
        return buf;
    }
    // Merges the file into eep_ and returns what was printed.
    std::string Merge() {
        return Captured([&] { EXPECT_EQ(SetupIniChk(path_.c_str(), &eep_), 1); });
    }
    std::string path_;
    Eep_data eep_{};
};

TEST_F(SetupIniTest, LookupRules) {
    int rc = 0;
    File("junk before\n  x[holmax] trailing\n\n ; not a comment start\nCam_Mode = 3 \n");
    EXPECT_EQ(Lookup("CAM_MODE", &rc), "dflt");  // the spaced ';' line has no '=': search ends
    EXPECT_EQ(rc, 0);

    File("[holmax]\r\n;CAM_MODE=1\r\n\r\n\tcam_mode\t=  3 \r\nCAM_MODE=4\r\n");
    EXPECT_EQ(Lookup("CAM_MODE", &rc), "3");  // case, CR LF, tabs; the first key wins
    EXPECT_EQ(rc, 1);

    File("[OTHER]\nCAM_MODE=1\n[HOLMAX]\nID1=\nVIDEO_QSEL=2\n[HOLMAX]\nREC_OSD=1\n");
    EXPECT_EQ(Lookup("VIDEO_QSEL"), "2");
    EXPECT_EQ(Lookup("ID1", &rc), "");  // found but empty
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(Lookup("REC_OSD", &rc), "dflt");  // the next header ends the section
    EXPECT_EQ(rc, 0);

    File("[HOLMAX]\nID2=ABCDEFGHIJ\n");
    EXPECT_EQ(Lookup("ID2", &rc, 5), "ABCD");  // cut to the buffer
    EXPECT_EQ(rc, 4);

    std::filesystem::remove(path_);
    EXPECT_EQ(Lookup("CAM_MODE", &rc), "dflt");
    EXPECT_EQ(rc, -1);
    char buf[4];
    EXPECT_EQ(GetPrivateProfileString("HOLMAX", "K", "toolongdefault", buf, sizeof buf, nullptr), -1);
    EXPECT_STREQ(buf, "too");  // the default never overruns the buffer

    EXPECT_STREQ(trim(" \t a b \n\t"), "a b");
    EXPECT_STREQ(trim("x\r"), "x\r");  // CR is left to the line-end rule
}

TEST_F(SetupIniTest, LowerCaseKeySetsCameraModeAndWritesTheRecord) {
    File("[holmax]\n  cam_mode  =  3\n");
    Merge();
    EXPECT_EQ(eep_.cammode, 3);
    EXPECT_EQ(ImageRecord().cammode, 3);
    EXPECT_EQ(std::memcmp(&EepData, &eep_, sizeof eep_), 0);
}

TEST_F(SetupIniTest, ChangeMarkerRules) {
    File("[HOLMAX]\nPROTECT_EVFILE=1\n");  // already 1
    Merge();
    EXPECT_EQ(WritesLogged(), 0);
    File("[HOLMAX]\nID1=ABC\nPCODE_NEW=12a4\n");  // rejected texts raise nothing
    Merge();
    EXPECT_EQ(WritesLogged(), 0);

    File("[HOLMAX]\nPROTECT_EVFILE=0\n");
    Merge();
    EXPECT_EQ(eep_.protect_ev, 0);
    EXPECT_EQ(ImageRecord().protect_ev, 0);

    SimEepromControl::ClearTransactions();
    File("[HOLMAX]\nGPOSITION=30\n");
    const std::string out = Merge();
    EXPECT_EQ(out.find("Setup Ini data error GPOSITION\n"), 0u);
    EXPECT_EQ(eep_.gss_position, 1);
    EXPECT_GT(WritesLogged(), 0);  // found, so the record is written anyway

    SimEepromControl::ClearTransactions();
    File("[HOLMAX]\nVIDEO_CTRL=7\n");  // an invalid value still marks a change
    Merge();
    EXPECT_GT(WritesLogged(), 0);
}

TEST_F(SetupIniTest, ValueRules) {
    File("[HOLMAX]\r\nVIDEO_FRATE_H=30\r\nVIDEO_FRATE_M=030\r\nVIDEO_BITRATE_L=100\r\n"
         "REC_STOP_TIMER=12min\r\nPWR_RST_TIMER=61\r\nSPEED_LIMIT=1129\r\nENGINE_ROT_LIMIT=99999999999999999999\r\n"
         "ID1=ABCDEFG\r\nID2=AZ09AZ09\r\nID3=0000004A\r\nID4=12345678\r\nPCODE_NEW=0042\r\nGSS_OFFSETX=255\r\n");
    eep_.frate_h = 5;
    const std::string out = Merge();
    EXPECT_EQ(eep_.frate_h, 30);
    EXPECT_EQ(eep_.frate_m, 20);
    EXPECT_EQ(eep_.vrate_l, 512);
    EXPECT_EQ(eep_.rec_stop, 12);  // trailing text ignored
    EXPECT_EQ(eep_.pwr_rst_timer, 10);
    EXPECT_EQ(eep_.speed_limit, 1129);
    EXPECT_EQ(eep_.engine_rot_limit, 0);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(eep_.id1), 8), "00000000");
    EXPECT_EQ(std::string(reinterpret_cast<char*>(eep_.id2), 8), "AZ09AZ09");
    EXPECT_EQ(std::string(reinterpret_cast<char*>(eep_.id3), 8), "00000040");
    EXPECT_EQ(std::string(reinterpret_cast<char*>(eep_.id4), 8), "12345678");
    EXPECT_EQ(std::string(reinterpret_cast<char*>(eep_.pcode_new), 4), "0042");
    EXPECT_EQ(eep_.gss_offset_x, 255);
    EXPECT_EQ(out.substr(0, out.find("eeprom size")),
              "Setup Ini data error VIDEO_FRATE_M\n"
              "Setup Ini data error VIDEO_BITRATE_L 100\n"
              "Setup Ini data error PWR_RST_TIMER\n"
              "Setup Ini data error ENGINE_ROT_LIMIT\n"
              "Setup Ini data error ID1\n"
              "Setup Ini data error ID3\n");
}

TEST_F(SetupIniTest, StrayLineHidesLaterKeysAndMissingFileIsNotMerged) {
    File("[HOLMAX]\nVIDEO_QSEL=2\nthis line has no equals\nCAM_MODE=3\n");
    Merge();
    EXPECT_EQ(eep_.vqsel, 2);
    EXPECT_EQ(eep_.cammode, 0);

    std::filesystem::remove(path_);
    EXPECT_EQ(SetupIniChk(path_.c_str(), &eep_), -1);
}

// The merge reads the file once and looks every key up in its text: it must
// find what a lookup in the file finds, line pieces of an overlong line and
// bytes after a NUL included.
TEST_F(SetupIniTest, MergeFindsWhatTheLookupFindsInOverlongAndNulLines) {
    std::string text = "[HOLMAX]\n;" + std::string(498, 'x') + "CAM_MODE=3\n";  // the piece after 499 bytes
    text += std::string("VIDEO_QSEL=2\0junk\n", 18);
    text += "[HOLMAX]" + std::string(600, ' ') + "\nREC_OSD=1\n";
    File(text);
    EXPECT_EQ(Lookup("CAM_MODE"), "3");
    EXPECT_EQ(Lookup("VIDEO_QSEL"), "2");
    Merge();
    EXPECT_EQ(eep_.cammode, 3);
    EXPECT_EQ(eep_.vqsel, 2);

    File(std::string("[HOLMAX]\nCAM_MODE=2"));  // no line end at the end of the file
    Merge();
    EXPECT_EQ(eep_.cammode, 2);
}

TEST_F(SetupIniTest, WriterInitialisesABlankPartOnce) {
    File("old text");
    std::string out = Captured([&] { EXPECT_EQ(CreateSetupIni(path_.c_str()), 0); });
    EXPECT_NE(out.find("Load EepRom First Time\n"), std::string::npos);
    EXPECT_NE(out.find("### Set and save default values to EepRom ###\n"), std::string::npos);
    EXPECT_EQ(diviv::sim::ReadTextFile(path_), kDefaultSetupIni);
    const Eep_data stored = ImageRecord();
    EXPECT_EQ(std::memcmp(&stored, &EepData, sizeof EepData), 0);
    EXPECT_EQ(stored.cammode, 0);

    // A record filled with 0xFF later (maintenance) is replaced again.
    Eep_data blank;
    std::memset(&blank, 0xff, sizeof blank);
    ASSERT_EQ(save_eeprom_param(&blank), 0);
    out = Captured([&] { EXPECT_EQ(CreateSetupIni(path_.c_str()), 0); });
    EXPECT_NE(out.find("Load EepRom already done"), std::string::npos);
    EXPECT_EQ(ImageRecord().cammode, 0);
    EXPECT_EQ(diviv::sim::ReadTextFile(path_), kDefaultSetupIni);
}

TEST_F(SetupIniTest, WriterLeavesTheFileWhenTheRecordCannotBeRead) {
    File("kept");
    SimEepromControl::FailNextTransactions(1000);
    const std::string out = Captured([&] { EXPECT_EQ(CreateSetupIni(path_.c_str()), -1); });
    EXPECT_NE(out.find("\nEeprom param can not read\n"), std::string::npos);
    EXPECT_EQ(diviv::sim::ReadTextFile(path_), "kept");
    EXPECT_EQ(LoadEepDone, 0);
}

TEST_F(SetupIniTest, FileToEepromToFileRoundTrip) {
    const std::string text =
        "[HOLMAX]\nVIDEO_QSEL=2\nCAM_MODE=4\nAUDIO_REC=1\nPROTECT_EVFILE=0\nREC_STOP_TIMER=1440\n"
        "STEERING_LIMIT=255\nBRAKE_LIMIT=0\nACCEL_LIMIT=17\nSPEED_LIMIT=1129\nENGINE_ROT_LIMIT=17476\n"
        "IDLING_LIMIT=1440\nEXT_EVENT_ENABLE=1\nEXT_EVENT_LOGIC=1\nDRIVE_ALERT=1\nEVENT_NUM_INFO=8000\n"
        "ID2=ZZ00AA99\nID3=87654321\nID4=00000001\nGPOSITION=24\n";
    File(text);
    SetImageRecord(Defaults());
    Merge();
    EepData = Eep_data{};
    LoadEepDone = 0;  // as after a restart
    std::filesystem::remove(path_);
    Captured([&] { EXPECT_EQ(CreateSetupIni(path_.c_str()), 0); });
    EXPECT_EQ(diviv::sim::ReadTextFile(path_), text);
}

}  // namespace
