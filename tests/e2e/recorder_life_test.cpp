// The recorder's life on a simulated board: start-up, automatic recording,
// the ignition-off, power-loss and orderly roads, and the event-file warning
// at start-up. Each scenario ends in a checked board state.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "config/param_ini.h"
#include "core/DriveRecorderApp.h"
#include "sim/SimBoard.h"
#include "storage/indexf.h"
#include "support/SimBoardFixture.h"
#include "CardRecordings.h"
#include "ScenarioFixture.h"

namespace {

namespace fs = std::filesystem;
using diviv::sim::ReadTextFile;
using diviv::sim::WriteTextFile;

class RecorderLife : public RecorderScenario {};

TEST_F(RecorderLife, FirstStartOfANewBoardWritesTheDefaultsAndTheSetupFile) {
    std::string error;
    ASSERT_TRUE(diviv::sim::CreateSimBoard(dir_, {}, &error)) << error;  // blank EEPROM, empty card
    ASSERT_EQ(Run("0 wait line \"Start auto recoding\" within 30\n"
                  "+1 host 0\n"
                  "+0 expect exit 0 within 30\n",
                  120, " 1"),  // parameters from the setup file
              0)
        << output_;
    const std::string image = Board(diviv::sim::kEepromImage);
    ASSERT_GE(image.size(), sizeof(Eep_data));
    Eep_data stored{};
    std::memcpy(&stored, image.data(), sizeof stored);
    Eep_data defaults{};
    SetupIniDefault(&defaults);
    EXPECT_EQ(stored.app_version, nCurrentAppVersion);
    EXPECT_EQ(stored.duration, defaults.duration);
    EXPECT_EQ(stored.vrate_h, defaults.vrate_h);
    EXPECT_EQ(std::memcmp(stored.pcode_new, defaults.pcode_new, 4), 0);
    const std::string setup = Board("/mnt/mmc0_p1/setup.ini");
    EXPECT_EQ(setup.rfind("[HOLMAX]", 0), 0u) << setup;
    EXPECT_TRUE(fs::exists(dir_ + "/mnt/mmc0_p1/DiVivVer.ini"));
    EXPECT_TRUE(fs::is_directory(dir_ + "/mnt/mmc0_p1/DATA/99"));
}

TEST_F(RecorderLife, AnUnusableHostQueueIdEndsTheProgramWithoutSwitchingOff) {
    MakeBoard({});
    const std::string cmd = "cd " + dir_ + " && DIVIV_ROOT=" + dir_ + " DIVIV_BOARD=sim timeout 60 " + DIVIV_BIN +
                            " 8001 ffffffff 8001 8002 > " + dir_ + "/sim/run.log 2>&1";
    const int status = std::system(cmd.c_str());
    output_ = ReadTextFile(dir_ + "/sim/run.log");
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << output_;
    EXPECT_TRUE(Printed("DiViv : Error: Application can not get MasgQue ID")) << output_;
    EXPECT_TRUE(Printed("### Varnex Drive Recorder Application End        ###"));
    EXPECT_EQ(Board("/proc/driver/power_cmd"), "1\n");
}

TEST_F(RecorderLife, StartedWithIgnitionOffGoesStraightToSwitchOff) {
    diviv::sim::SimBoardOptions o;
    o.ignition = false;
    MakeBoard(o);
    ASSERT_EQ(Run("0 wait off within 30\n"), 0) << output_;
    EXPECT_FALSE(Printed("Poll Event in Init Sequence")) << "no ring buffers, queues or card check";
    EXPECT_TRUE(Printed("DiViv : Umount SD and PWR_CNT->0"));
    EXPECT_EQ(Board("/proc/driver/power_cmd"), "1\n2\n");
    EXPECT_TRUE(Printed("umount /mnt/mmc0_p1"));
}

TEST_F(RecorderLife, StartedWithoutSupplyPowerTakesThePowerLossRoad) {
    diviv::sim::SimBoardOptions o;
    o.supply_power = false;
    MakeBoard(o, [](Eep_data* e) { e->pwr_rst_timer = 2; });
    ASSERT_EQ(Run("0 wait off within 30\n"), 0) << output_;
    EXPECT_TRUE(Printed("Exit by detect PWR_DET off after"));
    EXPECT_TRUE(Printed("umount /mnt/mmc0_p2"));
    EXPECT_EQ(Board("/proc/driver/power_cmd"), "1\n2\n");
    EXPECT_EQ(Board("/proc/mounts").find("mmcblk0p1"), std::string::npos) << "card unmounted";
}

TEST_F(RecorderLife, HostCommandZeroEndsInOrderWithoutSwitchingOff) {
    MakeBoard({});
    ASSERT_EQ(Run("0 wait line \"Start auto recoding\" within 30\n"
                  "+1 host 0\n"
                  "+0 expect exit 0 within 30\n"),
              0)
        << output_;
    EXPECT_TRUE(Printed("### Varnex Drive Recorder Application End        ###"));
    EXPECT_EQ(Board("/proc/driver/power_cmd"), "1\n") << "the board stays on";
    // The recording writer marked the index complete when the mode ended.
    EXPECT_NE(Board("/mnt/mmc0_p2/DATA/.INDEXFILE3").find("END"), std::string::npos);
}

TEST_F(RecorderLife, SupplyPowerLostWhileRecordingClosesTheFileAndUnmounts) {
    MakeBoard({}, [](Eep_data* e) { e->pwr_rst_timer = 1; });
    ASSERT_EQ(Run("0 wait line \"Start auto recoding\" within 30\n"
                  "+1 power lost\n"
                  "+0 wait off within 30\n"),
              0)
        << output_;
    EXPECT_TRUE(Printed("DiViv : Detect PWR_DET=OFF : Stop Recording immediatly"));
    EXPECT_TRUE(Printed("AM : SD CARD UMOUNT COMPLETED ! (Detect PWR_DET=OFF)"));
    EXPECT_NE(Board("/mnt/mmc0_p2/DATA/.INDEXFILE3").find("END"), std::string::npos);
    EXPECT_EQ(Board("/proc/mounts").find("mmcblk0"), std::string::npos);
    // The file being written was closed: it reads to its end, holds the
    // pictures recorded before the loss, and the index lists it.
    const std::vector<e2e::Recording> files = e2e::CardRecordings(dir_ + "/mnt/mmc0_p1");
    ASSERT_EQ(files.size(), 1u) << output_;
    const e2e::StreamCounts counts = e2e::ReadStreamCounts(DIVIV_MEDIA_BIN, files[0].path);
    EXPECT_TRUE(counts.ok);
    EXPECT_GT(counts.video_objects, 0);
    EXPECT_NE(Board("/mnt/mmc0_p2/DATA/.INDEXFILE3").find(files[0].name), std::string::npos);
    // The file was closed before the card was unmounted.
    EXPECT_LT(output_.find("AM : ASF_Mux_Closed"), output_.find("AM : Unmount SD done"));
    // The camera's video power goes off once when the capture sees the loss,
    // before the board is switched off.
    EXPECT_TRUE(Printed("VCE : Detect Power Down -> Set V_OFF"));
    EXPECT_EQ(Board("/proc/driver/power_cmd"), "1\n3\n2\n");
}

TEST_F(RecorderLife, IgnitionBackDuringTheStopTimerNeverInterruptsRecording) {
    MakeBoard({}, [](Eep_data* e) { e->rec_stop = 1; });
    ASSERT_EQ(Run("0 wait line \"Start auto recoding\" within 30\n"
                  "+1 ignition off\n"
                  "+0 wait line \"Recording will be stopped in 60 sec.\" within 10\n"
                  "+3 ignition on\n"
                  "+0 wait line \"Detect ACC=ON\" within 10\n"
                  "+0 expect led 1 1 0\n"
                  "+2 host 0\n"
                  "+0 expect exit 0 within 30\n"
                  "+0 expect noline \"DiViv : Stop Recording\"\n"),
              0)
        << output_;
}

TEST_F(RecorderLife, IgnitionOffWithAStopTimerRecordsOnThenSwitchesOff) {
    MakeBoard({}, [](Eep_data* e) { e->rec_stop = 1; });
    ASSERT_EQ(Run("0 wait line \"Start auto recoding\" within 30\n"
                  "+1 ignition off\n"
                  "+0 wait line \"Recording will be stopped in 60 sec.\" within 10\n"
                  "+0 expect led 3 1 0 within 5\n"
                  "+50 wait line \"DiViv : Recording Stop\" within 50\n"
                  "+0 wait off within 30\n",
                  180),
              0)
        << output_;
    const size_t stopped_at = output_.find("DiViv : Recording Stop");
    EXPECT_NE(output_.find("The system will shutdown immediately", stopped_at), std::string::npos);
    // The REC LED turns to fast blink when recording stops: a minute after
    // the ignition went off, not before.
    const double off_at = TimelineTime("> ignition off");
    const double stop_led_at = TimelineTime("LED 1,2,0");
    ASSERT_GT(off_at, 0);
    EXPECT_GE(stop_led_at - off_at, 59.0);
    EXPECT_LT(stop_led_at - off_at, 75.0);
}

TEST_F(RecorderLife, CommandZeroComesThroughACommandQueueFilledWithOtherMessages) {
    MakeBoard({});
    ASSERT_EQ(Run("0 wait line \"Start auto recoding\" within 30\n"
                  "+1 host fill 2\n"
                  "+0 host 0\n"  // waits for room in the queue
                  "+0 expect line \"DiViv : Host message of type 2 dropped\"\n"
                  "+0 expect exit 0 within 30\n"),
              0)
        << output_;
    EXPECT_TRUE(Printed("### Varnex Drive Recorder Application End        ###"));
    EXPECT_EQ(Board("/proc/driver/power_cmd").find("2\n"), std::string::npos) << "the board stays on";
}

TEST_F(RecorderLife, AHostThatNeverReadsRepliesCannotKeepTheBoardOnAfterIgnitionOff) {
    MakeBoard({});
    // 300 commands the recorder acknowledges and ignores: more replies than
    // the reply queue holds.
    std::string scenario =
        "0 wait line \"Start auto recoding\" within 30\n"
        "+1 host replies off\n";
    for (int i = 0; i < 300; ++i) scenario += "+0 host 99\n";
    scenario += "+0 wait line \"DiViv : Reply queue full, acknowledgement of command 99 dropped\" within 60\n"
                "+0 ignition off\n"
                "+0 expect off within 120\n";
    ASSERT_EQ(Run(scenario, 240), 0) << output_;
    const std::string power = Board("/proc/driver/power_cmd");
    EXPECT_TRUE(power.size() >= 2 && power.compare(power.size() - 2, 2, "2\n") == 0) << "switched off last: " << power;
    // The recording was closed on the way: the index marks it complete.
    EXPECT_NE(Board("/mnt/mmc0_p2/DATA/.INDEXFILE3").find("END"), std::string::npos);
}

TEST_F(RecorderLife, ACardFullOfEventFilesIsAnnouncedAtStartUp) {
    MakeBoard({}, [](Eep_data* e) {
        e->event_num_info = 2;
        e->auto_rec = 1;  // stay idle
    });
    // A card already in use: folders, two event recordings, the index.
    fs::create_directories(dir_ + "/mnt/mmc0_p1/DATA/00");
    fs::create_directories(dir_ + "/mnt/mmc0_p2/DATA");
    std::string index;
    for (int i = 1; i <= 2; ++i) {
        IndexFileStr e{};
        std::snprintf(e.FileName, sizeof e.FileName, "SAV1%05d.ASF", i);
        e.FileSize = 1;
        e.Time = 1700000000 + i;
        e.Lock = 1;
        WriteTextFile(dir_ + "/mnt/mmc0_p1/DATA/00/" + e.FileName, std::string(1024, 'x'));
        char line[kIndexLineLength + 1];
        FormatIndexLine(e, line);
        index = line + index;  // newest first
    }
    WriteTextFile(dir_ + "/mnt/mmc0_p2/DATA/.INDEXFILE3", index + "END\n");
    WriteTextFile(dir_ + "/mnt/mmc0_p1/DiVivVer.ini", "DIVIV_VERSION=03.01.01.03\n");
    ASSERT_EQ(Run("0 wait line \"Start Monitor\" within 30\n"
                  "+1 host 0\n"
                  "+0 expect exit 0 within 30\n"),
              0)
        << output_;
    EXPECT_TRUE(Printed("buzzer 50/50 50/350 ms x3")) << output_;
}

}  // namespace
