// The settings the host changes: each setter's rule and fallback, the limits,
// the texts, and which record (shared, parameter record) receives the value.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <string>

#include "core/HostSetters.h"
#include "host_fixture.h"

namespace {

class HostSetterTest : public HostCommandTest {
protected:
    void SetUp() override {
        HostCommandTest::SetUp();
        saved_ = eepd;
    }
    std::string Command(int command, int param) { return Run(command, param, text_); }
    // Runs a text command with the text as the host's 64 bytes hold it.
    std::string TextCommand(int command, const char* text) {
        std::memset(text_, 0, sizeof text_);
        std::memcpy(text_, text, std::min(std::strlen(text), sizeof text_));
        return Command(command, 0);
    }
    Eep_data saved_{};
    char text_[64] = {};
};

TEST_F(HostSetterTest, RecordingTimeTakesPositiveAndZeroAndFallsBackToSixtyOnNegative) {
    EXPECT_EQ(SetRecordingTime(120), 0);
    EXPECT_EQ(cfg_->rectime, 120);
    EXPECT_EQ(cfg_->recmode, 0);
    EXPECT_EQ(SetRecordingTime(0), 0);
    EXPECT_EQ(cfg_->rectime, 0);
    EXPECT_EQ(cfg_->recmode, 1);  // one continuous file
    EXPECT_EQ(SetRecordingTime(-1), -1);
    EXPECT_EQ(cfg_->rectime, 60);
    // The shared record only: nothing reaches the parameter record.
    Command(8, 30);
    EXPECT_EQ(cfg_->rectime, 30);
    EXPECT_EQ(eepd.duration, saved_.duration);
}

TEST_F(HostSetterTest, PresetFrameRateFallsBackPerPresetAndKeepsGopFramesInStep) {
    cfg_->h_gopsec = 2;
    cfg_->m_gopsec = 3;
    cfg_->l_gopsec = 1;
    Command(60, 0);  // H frame rate 0
    EXPECT_EQ(cfg_->h_fps, 30);
    EXPECT_EQ(cfg_->h_gop, 60u);
    Command(63, -4);
    EXPECT_EQ(cfg_->m_fps, 20);
    EXPECT_EQ(cfg_->m_gop, 60u);
    Command(66, 0);
    EXPECT_EQ(cfg_->l_fps, 10);
    EXPECT_EQ(cfg_->l_gop, 10u);
    EXPECT_EQ(SetVideoFrameRateH(15), 0);
    EXPECT_EQ(cfg_->h_gop, 30u);
    EXPECT_EQ(SetVideoFrameRateL(-1), -1);
    // GOP seconds change the frames with the preset's own frame rate.
    Command(65, 4);  // M GOP 4 s at 20 frames/s
    EXPECT_EQ(cfg_->m_gopsec, 4u);
    EXPECT_EQ(cfg_->m_gop, 80u);
    Command(62, 0);
    EXPECT_EQ(cfg_->h_gop, 0u);
    EXPECT_EQ(eepd.frate_h, saved_.frate_h);  // presets live in the codec configuration
}

TEST_F(HostSetterTest, PresetBitRateFallsBackForHighAndMiddleAndKeepsLow) {
    cfg_->h_bps = cfg_->m_bps = cfg_->l_bps = 777;
    EXPECT_EQ(SetVideoBitRateH(0), -1);
    EXPECT_EQ(cfg_->h_bps, 2048);
    EXPECT_EQ(SetVideoBitRateM(-5), -1);
    EXPECT_EQ(cfg_->m_bps, 1024);
    EXPECT_EQ(SetVideoBitRateL(0), -1);
    EXPECT_EQ(cfg_->l_bps, 777);
    Command(61, 512);
    Command(64, 256);
    Command(67, 128);
    EXPECT_EQ(cfg_->h_bps, 512);
    EXPECT_EQ(cfg_->m_bps, 256);
    EXPECT_EQ(cfg_->l_bps, 128);
}

TEST_F(HostSetterTest, NegativeGopLengthIsRefusedInsteadOfBecomingAnEndlessGop) {
    cfg_->h_fps = 30;
    ASSERT_EQ(SetVideoGOPH(2), 0);
    EXPECT_EQ(SetVideoGOPH(-1), -1);
    EXPECT_EQ(cfg_->h_gopsec, 2u);
    EXPECT_EQ(cfg_->h_gop, 60u);
}

TEST_F(HostSetterTest, LimitsTakeTheirMaximumAndRefuseMoreOrNegativeKeepingTheOldValue) {
    struct Case {
        int command, max;
        std::function<int()> shared, stored;
        const char* line;
    };
    const Case cases[] = {
        {102, 255, [] { return drc->steering_limit; }, [] { return eepd.steering_limit; },
         "DiViv : Set Steering Rotation Limit : "},
        {103, 255, [] { return drc->brake_limit; }, [] { return eepd.brake_limit; }, "DiViv : Set Brake Limit : "},
        {104, 255, [] { return drc->accel_limit; }, [] { return eepd.accel_limit; }, "DiViv : Set Accel Limit : "},
        {105, 1129, [] { return drc->speed_limit; }, [] { return eepd.speed_limit; }, "DiViv : Set Spped Limit : "},
        {106, 17476, [] { return drc->engine_rot_limit; }, [] { return eepd.engine_rot_limit; },
         "DiViv : Set Engine Rotation Limit : "},
        {107, 1440, [] { return drc->idling_limit; }, [] { return eepd.idling_limit; },
         "DiViv : Set Idling Time Limit : "},
        {108, 1, [] { return drc->ext_event_enable; }, [] { return eepd.ext_event_enable; },
         "DiViv : Set External Event Input Enable : "},
        {109, 1, [] { return drc->ext_event_logic; }, [] { return eepd.ext_event_logic; },
         "DiViv : Set External Event Input Logic : "},
        {110, 1, [] { return drc->drive_alert; }, [] { return eepd.drive_alert; }, "DiViv : Set Drive Alert : "},
        {111, 8000, [] { return drc->event_num_info; }, [] { return eepd.event_num_info; },
         "DiViv : Set Event File Number : "},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.command);
        EXPECT_EQ(Command(c.command, c.max), c.line + std::to_string(c.max) + "\n");
        EXPECT_EQ(c.shared(), c.max);
        EXPECT_EQ(c.stored(), c.max);
        EXPECT_EQ(Command(c.command, c.max + 1), "");
        EXPECT_EQ(Command(c.command, -1), "");
        EXPECT_EQ(Command(c.command, -65536 + c.max), "");  // would truncate to the maximum
        EXPECT_EQ(c.shared(), c.max);
        EXPECT_EQ(c.stored(), c.max);
        Command(c.command, 0);
        EXPECT_EQ(c.shared(), 0);
        EXPECT_EQ(c.stored(), 0);
    }
}

TEST_F(HostSetterTest, OnOffSettersPrintZeroAsOnAndRefuseOtherValues) {
    EXPECT_EQ(Command(27, 0), "DiViv : Set Auto Record : ON\n");
    EXPECT_EQ(drc->auto_rec, 0);
    EXPECT_EQ(Command(27, 1), "DiViv : Set Auto Record : OFF\n");
    EXPECT_EQ(eepd.auto_rec, 1);
    EXPECT_EQ(SetAutoRecMode(2), -1);
    EXPECT_EQ(drc->auto_rec, 1);
    EXPECT_EQ(Command(28, 0), "DiViv : Set Event File Protection : ON\n");
    EXPECT_EQ(drc->protect_ev, 0);
    EXPECT_EQ(eepd.protect_ev, 0);
    EXPECT_EQ(SetProtectEV(-1), -1);
    EXPECT_EQ(eepd.protect_ev, 0);
    EXPECT_EQ(Command(29, 90), "DiViv : Set Recording Stop Timer : 90 [min]\n");
    EXPECT_EQ(drc->rec_stop, 90);
    EXPECT_EQ(eepd.rec_stop, 90);
    EXPECT_EQ(SetRecStopTime(91), -1);
    EXPECT_EQ(SetRecStopTime(-1), -1);
    EXPECT_EQ(eepd.rec_stop, 90);
}

TEST_F(HostSetterTest, TextsKeepTheirFirstCharactersWithoutRemainsOfAnEarlierOne) {
    EXPECT_EQ(TextCommand(72, "ABCDEFGHIJKLMNOP"), "DiViv : Set ID\n");
    EXPECT_EQ(std::memcmp(drc->id1, "ABCDEFGH", 8), 0);
    EXPECT_EQ(std::memcmp(eepd.id1, "ABCDEFGH", 8), 0);
    TextCommand(72, "XY");
    EXPECT_EQ(std::memcmp(drc->id1, "XY\0\0\0\0\0\0", 8), 0);
    EXPECT_EQ(std::memcmp(eepd.id1, "XY\0\0\0\0\0\0", 8), 0);
    TextCommand(75, "12345678");
    EXPECT_EQ(std::memcmp(eepd.id4, "12345678", 8), 0);
    EXPECT_EQ(std::memcmp(eepd.id2, saved_.id2, 8), 0);
    EXPECT_EQ(TextCommand(115, "876543"), "DiViv : Set Passwrod[OLD]\n");
    EXPECT_EQ(std::memcmp(drc->pcode_old, "8765", 4), 0);
    EXPECT_EQ(TextCommand(116, "4321"), "DiViv : Set Passwrod[NEW]\ncopy pcode to eeprom\n");
    EXPECT_EQ(std::memcmp(drc->pcode_new, "4321", 4), 0);
    EXPECT_EQ(std::memcmp(eepd.pcode_new, "4321", 4), 0);
    // A text filling the whole message without a terminator.
    char full[64];
    std::memset(full, 'Q', sizeof full);
    std::memcpy(text_, full, sizeof full);
    Command(73, 0);
    EXPECT_EQ(std::memcmp(eepd.id2, "QQQQQQQQ", 8), 0);
    // Without any text buffer the command stores an empty text.
    Captured([] { MonCommand(74, 0, nullptr); });
    EXPECT_EQ(std::memcmp(eepd.id3, "\0\0\0\0\0\0\0\0", 8), 0);
}

TEST_F(HostSetterTest, FieldCommandsStoreWhereTheyBelong) {
    Command(37, -7);
    EXPECT_EQ(drc->PowerRstTimer, 0);
    Command(37, 25);
    EXPECT_EQ(drc->PowerRstTimer, 25);
    Command(22, 5);
    EXPECT_EQ(drc->mon_osd, 1);
    Command(23, 0);
    EXPECT_EQ(drc->rec_osd, 0);
    Command(17, 1);
    Command(18, 1);
    EXPECT_EQ(cfg_->flipmode, 1);
    EXPECT_EQ(cfg_->mirrormode, 1);
    Command(101, 2);
    EXPECT_EQ(cfg_->vqsel, 2);
    EXPECT_EQ(eepd.vqsel, saved_.vqsel);
    EXPECT_EQ(Command(82, 1), "DiViv : Set Mute 1\nDiViv : Set Audio Mute OK [Mute is ON]\n");
    EXPECT_EQ(drc->audio_mute.load(), 1);
    EXPECT_EQ(eepd.audio_mute, 1);
    EXPECT_EQ(Command(82, 0), "DiViv : Set Mute 0\nDiViv : Set Audio Mute OK [Mute is OFF]\n");
    EXPECT_EQ(Command(81, 0), "DiViv : Set GPS 0\n");
    EXPECT_EQ(eepd.gps_enable, 0);
    EXPECT_EQ(Command(83, 0), "DiViv : Set GSS 0\n");
    EXPECT_EQ(drc->gsens_enable.load(), 0);
    EXPECT_EQ(eepd.gss_enable, 0);
    Command(112, -3);
    Command(113, 200);
    Command(114, 7);
    EXPECT_EQ(drc->gss_offset_x, -3);
    EXPECT_EQ(eepd.gss_offset_x, 253);
    EXPECT_EQ(eepd.gss_offset_y, 200);
    EXPECT_EQ(drc->gss_offset_z, 7);
    Command(117, 1);
    Command(118, 12);
    EXPECT_EQ(eepd.uart3_mode, 1);
    EXPECT_EQ(drc->gss_position, 12);
    EXPECT_EQ(eepd.gss_position, 12);
}

TEST_F(HostSetterTest, UnknownCommandsAndFortyChangeNothing) {
    const Eep_data before = eepd;
    for (int command : {2, 40, 69, 99, 119, 1000, -1}) EXPECT_EQ(Command(command, 5), "");
    EXPECT_EQ(std::memcmp(&before, &eepd, sizeof before), 0);
    EXPECT_EQ(MonCommand(0, 0, text_), 0);  // only command 0 ends the main loop
}

TEST_F(HostSetterTest, TestFunctionsToggleTheirFlagsAndRaiseADrivingAlert) {
    EXPECT_EQ(Command(53, 0), "DiViv : Debug Execute Selected [0] OK\nDiViv : Set Event For Debug\n");
    EXPECT_EQ(drc->eventinfo.drv_alert.load(), 1);
    Command(53, 1);
    EXPECT_EQ(drc->GPSReceiveError.load(), 1);
    Command(53, 1);
    EXPECT_EQ(drc->GPSReceiveError.load(), 0);
    EXPECT_EQ(Command(53, 2), "DiViv : Debug Execute Selected [2] OK\nDiViv : Set dummyGPSReceiveError=1\n");
    EXPECT_EQ(Command(53, 3), "DiViv : Debug Execute Selected [3] OK\nDiViv : Set VideoOnlyMode=1\n");
    EXPECT_EQ(Command(53, 4), "DiViv : Debug Execute Selected [4] OK\nDiViv : Set VideoOnlyMode=0\n");
    EXPECT_EQ(Command(53, 9), "DiViv : Debug Execute Selected [9] OK\n");
}

}  // namespace

namespace {

TEST_F(HostSetterTest, ModeCommandsOutsideTheirStatesOnlySayWhyAndLeaveTheState) {
    drc->AppState = STATE_REC;
    drc->CM_ALIVE = 1;
    EXPECT_EQ(Command(14, 0), "DiViv : Error :: Could not play file[index=0] ret=-3\n");
    EXPECT_EQ(Command(20, 1), "");
    EXPECT_EQ(Command(54, 0), "DiViv : Enter Day time settin menu\n");
    EXPECT_EQ(Command(9, 1), "");  // a recording start only from the idle state
    EXPECT_EQ(drc->AppState.load(), STATE_REC);
    drc->CM_ALIVE = 0;
    drc->AppState = STATE_NOSD;
    EXPECT_EQ(Command(14, 2), "DiViv : Error :: Could not play file[index=2] ret=-2\n");
    EXPECT_EQ(Command(20, 0), "");
    EXPECT_EQ(drc->AppState.load(), STATE_NOSD);
}

}  // namespace
