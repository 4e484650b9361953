// The host's parameter commands against the simulated board's EEPROM and
// card: save with the setup file rewritten, reload and print, defaults, the
// EEPROM test functions, and the camera mode.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <string>

#include "host_fixture.h"
#include "sim/SimBoard.h"

namespace {

class HostParamsTest : public HostCommandTest {
protected:
    void SetUp() override {
        HostCommandTest::SetUp();
        std::filesystem::create_directories(Path("/mnt/mmc0_p1"));
    }
    std::string Image() const { return Read(diviv::sim::kEepromImage); }
    std::string SetupIni() const { return Read("/mnt/mmc0_p1/setup.ini"); }
    static std::string Host(int command, int param = 0) { return Run(command, param, nullptr); }
};

TEST_F(HostParamsTest, SaveWritesRecordAndSetupFileAndReloadPrintsWhatThePartHolds) {
    Host(102, 200);
    Host(29, 45);
    Host(8, 20);
    EXPECT_EQ(static_cast<uint8_t>(Image()[29]), 0xFF);  // nothing reaches the part before the save
    const std::string saved = Host(25);
    EXPECT_NE(saved.find("DiViv : Write EEPROM done \nDiViv : Update setup.ini\n"), std::string::npos) << saved;
    const std::string image = Image();
    ASSERT_GE(image.size(), sizeof(Eep_data));
    Eep_data stored{};
    std::memcpy(&stored, image.data(), sizeof stored);
    EXPECT_EQ(stored.steering_limit, 200);
    EXPECT_EQ(stored.rec_stop, 45);
    EXPECT_EQ(stored.duration, 20);
    EXPECT_NE(SetupIni().find("STEERING_LIMIT=200\n"), std::string::npos) << SetupIni();
    EXPECT_NE(SetupIni().find("REC_STOP_TIMER=45\n"), std::string::npos) << SetupIni();

    eepd.steering_limit = 1;  // the reload replaces the working copy
    const std::string printed = Host(24);
    EXPECT_NE(printed.find("######## Current EEPROM Setup param #######"), std::string::npos) << printed;
    EXPECT_NE(printed.find(" Steering Limit      : 200\n"), std::string::npos) << printed;
    EXPECT_EQ(eepd.steering_limit, 200);
}

TEST_F(HostParamsTest, AMissingPartIsReportedAndASaveThatFailsLeavesTheSetupFile) {
    Write("/mnt/mmc0_p1/setup.ini", "[HOLMAX]\nCAM_MODE=2\n");
    std::filesystem::remove(Path(diviv::sim::kEepromImage));
    EXPECT_NE(Host(24).find("DiViv : EEPROM READ ERROR [-1]\n"), std::string::npos);
    const std::string out = Host(25);
    EXPECT_EQ(out.find("Update setup.ini"), std::string::npos) << out;
    EXPECT_EQ(SetupIni(), "[HOLMAX]\nCAM_MODE=2\n");
    EXPECT_EQ(Host(55).find("Update setup.ini"), std::string::npos);
}

TEST_F(HostParamsTest, DefaultsAreSavedAppliedAndShownInTheSetupFile) {
    Host(102, 99);
    Host(28, 0);
    const std::string out = Host(55);
    EXPECT_NE(out.find("DiViv : Save EEPROM done \n"), std::string::npos) << out;
    EXPECT_NE(out.find("DiViv : Update setup.ini\n"), std::string::npos) << out;
    EXPECT_EQ(drc->steering_limit, 5);
    EXPECT_EQ(drc->protect_ev, 1);
    EXPECT_EQ(static_cast<uint8_t>(Image()[29]), 5);
    EXPECT_NE(SetupIni().find("STEERING_LIMIT=5\n"), std::string::npos) << SetupIni();
    EXPECT_NE(SetupIni().find("PROTECT_EVFILE=1\n"), std::string::npos) << SetupIni();
}

TEST_F(HostParamsTest, EepromTestFunctionsDumpAndBlankThePart) {
    Host(25);
    const std::string dump = Host(53, 6);
    EXPECT_EQ(dump.rfind("DiViv : Debug Execute Selected [6] OK\nDiViv : Dump EEPROM\nEEPROM DATA is\n", 0), 0u)
        << dump;
    EXPECT_NE(dump.find("0x01F0  : "), std::string::npos) << dump;
    EXPECT_NE(Host(53, 7).find("DiViv : FILL ALL FF into EEPROM\n"), std::string::npos);
    EXPECT_EQ(Image().substr(0, 512), std::string(512, '\xff'));
}

TEST_F(HostParamsTest, CameraModeDrivesTheCameraAndRefusesUnknownModes) {
    EXPECT_EQ(Host(21, 3), "");
    EXPECT_EQ(drc->CAM_MODE, 3);
    EXPECT_EQ(cfg_->cammode, 3);
    EXPECT_EQ(Read("/proc/driver/camera/video_mode"), "1:3\n");
    EXPECT_EQ(Host(21, 5), "DiViv : Error Cam Mode [5]\n");
    EXPECT_EQ(drc->CAM_MODE, 3);
    Host(21, 0);
    EXPECT_EQ(Read("/proc/driver/camera/video_mode"), "4:0\n");
    EXPECT_EQ(eepd.cammode, 0);  // the shared record only
}

}  // namespace
