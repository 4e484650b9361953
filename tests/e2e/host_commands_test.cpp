// The supervising host drives a running recorder over its queues: settings
// with their limits and fallbacks, what a save leaves in the EEPROM and the
// setup file, the reports for a card with known recordings, and the modes
// the host starts and stops.
#include <cstring>
#include <filesystem>
#include <sstream>
#include <string>

#include "CardRecordings.h"
#include "ScenarioFixture.h"
#include "storage/indexf.h"

namespace {

namespace fs = std::filesystem;
using diviv::sim::WriteTextFile;

class HostCommands : public RecorderScenario {
protected:
    Eep_data Eeprom() const {
        const std::string image = Board(diviv::sim::kEepromImage);
        Eep_data e{};
        EXPECT_GE(image.size(), sizeof e);
        if (image.size() >= sizeof e) std::memcpy(&e, image.data(), sizeof e);
        return e;
    }
    // Puts recordings on the card and their index (newest last in `names`),
    // one minute apart; each file holds size_kib KiB.
    void PlaceRecordings(const std::vector<std::string>& names, int size_kib) {
        fs::create_directories(dir_ + "/mnt/mmc0_p1/DATA/00");
        fs::create_directories(dir_ + "/mnt/mmc0_p2/DATA");
        std::string index;
        for (size_t i = 0; i < names.size(); ++i) {
            IndexFileStr e{};
            std::snprintf(e.FileName, sizeof e.FileName, "%s", names[i].c_str());
            e.FileSize = size_kib;
            e.Time = kFirstTime + 60 * static_cast<int64_t>(i);
            const std::string path = dir_ + "/mnt/mmc0_p1/DATA/00/" + names[i];
            WriteTextFile(path, std::string(static_cast<size_t>(size_kib) * 1024, 'x'));
            char line[kIndexLineLength + 1];
            FormatIndexLine(e, line);
            index = line + index;  // newest first
        }
        WriteTextFile(dir_ + "/mnt/mmc0_p2/DATA/.INDEXFILE3", index + "END\n");
        WriteTextFile(dir_ + "/mnt/mmc0_p1/DiVivVer.ini", "DIVIV_VERSION=03.01.01.03\n");
    }
    // The recorder's console without the board's own lines between.
    std::string Console() const {
        std::istringstream in(output_);
        std::string out;
        for (std::string line; std::getline(in, line);) {
            if (line.rfind("boardsim:", 0) != 0) out += line + "\n";
        }
        return out;
    }
    static std::string Ctime(int64_t t) {
        const time_t tt = static_cast<time_t>(t);
        return std::ctime(&tt);
    }
    static constexpr int64_t kFirstTime = 1700000000;
};

// Every setter's boundaries through the queues of an idle recorder; the next
// parameter print, the EEPROM after a save and the rewritten setup file.
TEST_F(HostCommands, SettingsTakeTheirLimitsRefuseBeyondAndReachTheEepromOnlyWhenSaved) {
    MakeBoard({}, [](Eep_data* e) { e->auto_rec = 1; });  // stay idle
    const std::string long_id(59, 'L');                      // longer than any field, the most a message holds
    ASSERT_EQ(Run("0 wait line \"Start Monitor\" within 30\n"
                  "+0 host 102 255\n+0 host 103 256\n+0 host 104 -1\n"
                  "+0 host 105 1129\n+0 host 106 17476\n+0 host 107 1441\n+0 host 107 1440\n"
                  "+0 host 111 8001\n+0 host 111 8000\n"
                  "+0 host 108 2\n+0 host 109 1\n"
                  "+0 host 53 0\n"  // a driving alert, sounded while alerts are on
                  "+0 expect line \"DiViv : Drive Warning !!\" within 5\n"
                  "+1 host 110 1\n"
                  "+0 host 8 10\n+0 host 8 -5\n"        // recording time falls back to 60 s
                  "+0 host 60 15\n+0 host 61 512\n"
                  "+0 host 60 0\n+0 host 62 2\n+0 host 61 -1\n"  // H falls back: 30 fps, 2048 kbit/s
                  "+0 host 63 12\n+0 host 65 -3\n"       // a negative GOP length changes nothing
                  "+0 host 27 0\n+0 host 27 7\n+0 host 28 0\n+0 host 29 91\n+0 host 29 90\n"
                  "+0 host 37 -4\n"
                  "+0 host 72 " + long_id + "\n+0 host 73 ABCDEFGHIJ\n+0 host 73 XY\n"
                  "+0 host 115 98765\n+0 host 116 4321xyz\n"
                  "+0 host 82 1\n+0 host 112 -3\n+0 host 118 7\n"
                  "+0 host 40\n+0 host 99 3\n"
                  "+0 host 26\n"
                  "+0 wait line \"SysConfig\" within 10\n"
                  "+0 host 53 7\n"                       // the part blank, until the save below
                  "+0 host 25\n"
                  "+0 wait line \"DiViv : Update setup.ini\" within 10\n"
                  "+0 host 24\n"
                  "+0 wait line \"App Version\" within 10\n"
                  "+0 host 0\n"
                  "+0 expect exit 0 within 30\n"),
              0)
        << output_;

    // Console lines of the setters: taken values printed, refused ones not.
    for (const char* line :
         {"DiViv : Set Steering Rotation Limit : 255", "DiViv : Set Spped Limit : 1129",
          "DiViv : Set Engine Rotation Limit : 17476", "DiViv : Set Idling Time Limit : 1440",
          "DiViv : Set Event File Number : 8000", "DiViv : Set External Event Input Logic : 1",
          "DiViv : Set Drive Alert : 1", "DiViv : Set Auto Record : ON", "DiViv : Set Event File Protection : ON",
          "DiViv : Set Recording Stop Timer : 90 [min]",
          "DiViv : Set Passwrod[NEW]", "copy pcode to eeprom", "DiViv : Set Audio Mute OK [Mute is ON]",
          "DiViv : Debug Execute Selected [7] OK", "DiViv : FILL ALL FF into EEPROM"}) {
        EXPECT_TRUE(Printed(line)) << line;
    }
    EXPECT_TRUE(Printed("Receive ID = " + long_id + "\n")) << output_;
    for (const char* line : {"Brake Limit : 256", "Accel Limit : -1", "Idling Time Limit : 1441",
                             "Event File Number : 8001", "Input Enable : 2", "Recording Stop Timer : 91",
                             "Auto Record : OFF"}) {
        EXPECT_FALSE(Printed(line)) << line;
    }
    // The parameter print right after the settings: the H preset's fallback
    // and its GOP in frames (30 frames/s x 2 s), the recording time's fallback.
    EXPECT_TRUE(Printed(" Video Bitrate       : 2048 [kbps]")) << output_;
    EXPECT_TRUE(Printed(" GOP                 : 60\n")) << output_;
    EXPECT_TRUE(Printed(" Recording Duration  : 60 [sec]")) << output_;
    EXPECT_TRUE(Printed(" Rec Stop Timer      : 90 [min]")) << output_;
    EXPECT_TRUE(Printed(" Audio Mute          : 1")) << output_;
    // The reload after the save prints what the part now holds.
    EXPECT_TRUE(Printed(" Steering Limit      : 255")) << output_;
    EXPECT_TRUE(Printed(" Event File Number   : 8000")) << output_;

    const Eep_data e = Eeprom();
    EXPECT_EQ(e.steering_limit, 255);
    EXPECT_EQ(e.brake_limit, 5);  // 256 refused, the default kept
    EXPECT_EQ(e.accel_limit, 5);  // -1 refused
    EXPECT_EQ(e.speed_limit, 1129);
    EXPECT_EQ(e.engine_rot_limit, 17476);
    EXPECT_EQ(e.idling_limit, 1440);
    EXPECT_EQ(e.event_num_info, 8000);
    EXPECT_EQ(e.ext_event_enable, 0);
    EXPECT_EQ(e.ext_event_logic, 1);
    EXPECT_EQ(e.drive_alert, 1);
    EXPECT_EQ(e.duration, 60);
    EXPECT_EQ(e.frate_h, 30);
    EXPECT_EQ(e.gopn_h, 2);
    EXPECT_EQ(e.vrate_h, 2048);
    EXPECT_EQ(e.frate_m, 12);
    EXPECT_EQ(e.gopn_m, 1);  // the negative length left the default
    EXPECT_EQ(e.auto_rec, 0);
    EXPECT_EQ(e.protect_ev, 0);
    EXPECT_EQ(e.rec_stop, 90);
    EXPECT_EQ(e.pwr_rst_timer, 0);
    EXPECT_EQ(std::memcmp(e.id1, "LLLLLLLL", 8), 0);
    EXPECT_EQ(std::memcmp(e.id2, "XY\0\0\0\0\0\0", 8), 0);  // nothing left of ABCDEFGHIJ
    EXPECT_EQ(std::memcmp(e.id3, "00000040", 8), 0);
    EXPECT_EQ(std::memcmp(e.pcode_old, "9876", 4), 0);
    EXPECT_EQ(std::memcmp(e.pcode_new, "4321", 4), 0);
    EXPECT_EQ(e.audio_mute, 1);
    EXPECT_EQ(e.gss_offset_x, 253);
    EXPECT_EQ(e.gss_position, 7);
    EXPECT_EQ(e.cammode, 0);  // not 255: the save replaced the blank part
    EXPECT_EQ(e.app_version, nCurrentAppVersion);

    const std::string setup = Board("/mnt/mmc0_p1/setup.ini");
    for (const char* line : {"[HOLMAX]\n", "PROTECT_EVFILE=0\n", "REC_STOP_TIMER=90\n", "STEERING_LIMIT=255\n",
                             "BRAKE_LIMIT=5\n", "SPEED_LIMIT=1129\n", "EVENT_NUM_INFO=8000\n", "ID2=XY",
                             "GPOSITION=7\n"}) {
        EXPECT_NE(setup.find(line), std::string::npos) << line << "\n" << setup;
    }
}

// The reports for a card with known recordings, the file list, playback of a
// list index, the date menu, recording on and off, and the defaults.
TEST_F(HostCommands, ReportsShowTheCardsRecordingsAndTheModesTheHostStarts) {
    MakeBoard({}, [](Eep_data* e) {
        e->auto_rec = 1;
        e->duration = 10;
    });
    PlaceRecordings({"FILE00001.ASF", "SAV200002.ASF", "FILE00003.ASF"}, 200);
    ASSERT_EQ(Run("0 wait line \"Start Monitor\" within 30\n"
                  "+0 host 12\n+0 host 13\n+0 host 19\n+0 host 1\n"
                  "+0 wait line \"G-Sensor Receiver\" within 10\n"
                  "+0 host 20 1\n"
                  "+0 wait line \"DiViv : File List Mode Start\" within 10\n"
                  "+0 host 14 7\n"
                  "+0 wait line \"Could not play file[index=7] ret=-2\" within 10\n"
                  "+0 host 14 1\n"
                  "+0 wait line \"DiViv : Start Playback [SAV200002.ASF]\" within 10\n"
                  // The file is no recording: its playback ends by itself, back to the list.
                  "+0 wait line \"Debug :NumOfFiles=3\" within 30\n"
                  "+1 host 20 0\n"
                  "+0 wait line \"DiViv : File List Mode Stop\" within 10\n"
                  "+1 host 54\n"
                  "+0 wait line \"DiViv : Enter Day time settin menu\" within 10\n"
                  "+0 host 1\n"
                  "+0 wait line \"[ STATE_CFG ]\" within 10\n"
                  "+0 host 54\n"
                  "+0 wait line \"DiViv : Start Monitor\" within 10\n"
                  "+0 host 9 1\n"
                  "+0 wait line \"VCE : Set EncodeStart=1\" within 30\n"
                  "+2 host 12\n+0 host 1\n"
                  "+0 wait line \"Current File Size\" within 10\n"
                  // Settings the running workers read, changed under them.
                  "+0 host 23 1\n+0 host 118 3\n+0 host 105 100\n+0 host 107 5\n+0 host 17 1\n+0 host 28 0\n"
                  "+0 wait line \"DiViv : Set Idling Time Limit : 5\" within 10\n"
                  "+1 host 23 0\n+0 host 17 0\n"
                  "+0 host 9 0\n"
                  "+0 wait line \"DiViv : Recording Stop\" within 30\n"
                  "+0 host 12\n"
                  "+0 wait line \"Total 4 Files\" within 10\n"
                  "+0 host 55\n"
                  "+0 wait line \"DiViv : Update setup.ini\" within 10\n"
                  "+0 host 0\n"
                  "+0 expect exit 0 within 30\n",
                  150),
              0)
        << output_;

    // The list of the placed recordings, newest first, with their index times.
    const std::string list = "ASF File List in /mnt/mmc0_p1\n"
                             "Index=0 FILE00003.ASF size=200 time=" + Ctime(kFirstTime + 120) +
                             "Index=1 SAV200002.ASF size=200 time=" + Ctime(kFirstTime + 60) +
                             "Index=2 FILE00001.ASF size=200 time=" + Ctime(kFirstTime) +
                             "\nTotal 3 Files : Latest File is FILE00003.ASF:" + Ctime(kFirstTime + 120);
    EXPECT_NE(Console().find(list), std::string::npos) << output_;
    EXPECT_TRUE(Printed("\n############### SD Card Information ##############\n"
                        "SD Card is mounted on /mnt/mmc0_p1\n"
                        "Capacity is "))
        << output_;
    EXPECT_TRUE(Printed(std::string(52, '#').append("\n"))) << output_;
    EXPECT_TRUE(Printed("\n######## Current RingBuffer Status #######\n Raw Video Buffer[4194304] WriteAvailable is "))
        << output_;
    EXPECT_TRUE(Printed(" Contact Input Buffer[1024] WriteAvailable is 1024\n")) << output_;
    EXPECT_TRUE(Printed(" Apllication State is [ STATE_IDLE ]\n")) << output_;
    EXPECT_TRUE(Printed(" Live Monitor        : Thread Alive\n")) << output_;
    EXPECT_TRUE(Printed(" Recording Time      : 10 [sec]\n")) << output_;
    // While recording the list is not walked; the status shows the file.
    EXPECT_TRUE(Printed("DiViv : File list is not available while recording")) << output_;
    EXPECT_TRUE(Printed(" Apllication State is [ STATE_REC ]\n")) << output_;
    EXPECT_TRUE(Printed("DiViv : Set Spped Limit : 100\n")) << output_;

    // After the stop the new recording heads the list, as on the card.
    const auto recordings = e2e::CardRecordings(dir_ + "/mnt/mmc0_p1");
    ASSERT_EQ(recordings.size(), 4u);
    EXPECT_EQ(recordings.back().name, "FILE00004.ASF");
    EXPECT_TRUE(Printed("Index=0 FILE00004.ASF size=")) << output_;
    EXPECT_TRUE(Printed("Index=3 FILE00001.ASF size=200")) << output_;
    EXPECT_TRUE(Printed("Total 4 Files : Latest File is FILE00004.ASF:")) << output_;

    // The defaults reached the EEPROM and the setup file.
    const Eep_data e = Eeprom();
    EXPECT_EQ(e.duration, 60);
    EXPECT_EQ(e.auto_rec, 0);
    EXPECT_NE(Board("/mnt/mmc0_p1/setup.ini").find("PROTECT_EVFILE=1\n"), std::string::npos);
}

}  // namespace
