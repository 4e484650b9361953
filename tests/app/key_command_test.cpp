// Key commands in the recorder's states: which state a press leads to and
// which presses are refused.
#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <memory>

#include "config/daytime_menu.h"
#include "core/CodecManager.h"
#include "core/DR_shared.h"
#include "core/InputHandler.h"
#include "core/KeyCommand.h"
#include "platform/Clock.h"
#include "sim/SimBoard.h"
#include "storage/indexf.h"
#include "RecorderStateTest.h"

namespace {

class KeyCommandStates : public RecorderStateTest {
protected:
    void SetUp() override {
        RecorderStateTest::SetUp();
        sdinfo_.index = -1;
        ResetDateScreenRecord();
        ClearKeyLatches();
    }
    void HoldKeys(uint32_t held) { diviv::sim::WriteInputWord(root_, diviv::sim::kInputIdle | held); }
};

TEST_F(KeyCommandStates, StopWithSelectHeldThreeSecondsOpensTheDateMenuOnlyWhenIdle) {
    dr_->AppState = STATE_IDLE;
    HoldKeys(kHeldSTOP | kHeldSELECT);
    const int64_t start = diviv::MonotonicMs();
    KeyCommand(CFG_CMD);
    EXPECT_GE(diviv::MonotonicMs() - start, 2900);
    EXPECT_EQ(dr_->AppState.load(), STATE_CFG);
    EXPECT_EQ(DateScreenShowCount(), 1);

    // Stepping and leaving: SELECT moves through the items, STOP leaves
    // without setting the clock.
    KeyCommand(SEL_CMD);
    EXPECT_EQ(GetDateData()->nSel, 1);
    KeyCommand(STOP_CMD);
    EXPECT_EQ(dr_->AppState.load(), STATE_IDLE);
    EXPECT_EQ(Read("/sim/calls.log"), "");

    ResetDateScreenRecord();
    dr_->AppState = STATE_REC;
    KeyCommand(CFG_CMD);
    EXPECT_EQ(dr_->AppState.load(), STATE_REC);
    EXPECT_EQ(DateScreenShowCount(), 0);
}

TEST_F(KeyCommandStates, AShortStopSelectChordIsDropped) {
    dr_->AppState = STATE_IDLE;
    HoldKeys(kHeldSTOP);  // SELECT already let go: the chord is no longer held
    KeyCommand(CFG_CMD);
    EXPECT_EQ(dr_->AppState.load(), STATE_IDLE);
    EXPECT_EQ(DateScreenShowCount(), 0);
}

TEST_F(KeyCommandStates, ConfirmingTheDateMenuSetsTheClockOnTheBoard) {
    dr_->AppState = STATE_IDLE;
    HoldKeys(kHeldSTOP | kHeldSELECT);
    KeyCommand(CFG_CMD);
    ASSERT_EQ(dr_->AppState.load(), STATE_CFG);
    HoldKeys(0);
    for (int i = 0; i < 5; ++i) KeyCommand(SEL_CMD);  // year .. minute, then the confirm item
    ASSERT_EQ(GetDateData()->nSel, 6);
    const DATE_DATA_t d = *GetDateData();
    dr_->MonitorStart = 1;  // the live monitor is not restarted in this test
    KeyCommand(SEL_CMD);
    char expected[64];
    std::snprintf(expected, sizeof expected, "date %02d%02d%02d%02d%04d\nhwclock -w\n", d.nMonth, d.nDay, d.nHour,
                  d.nMinute, d.nYear);
    EXPECT_EQ(Read("/sim/calls.log"), expected);
    EXPECT_EQ(dr_->AppState.load(), STATE_IDLE);
}

TEST_F(KeyCommandStates, RecordingDoesNotStartWithoutACard) {
    dr_->AppState = STATE_IDLE;
    std::filesystem::remove_all(Path("/sys/bus/mmc/devices/mmc0:0001"));
    testing::internal::CaptureStdout();
    KeyCommand(REC_CMD);
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("DiViv : SD Card is not exist ###"), std::string::npos);
    EXPECT_EQ(dr_->AppState.load(), STATE_IDLE);
    EXPECT_EQ(dr_->CM_ALIVE.load(), 0);
}

TEST_F(KeyCommandStates, HostKeyEmulationSetsTheLatchesAsAPressWould) {
    dr_->AppState = STATE_IDLE;
    dr_->SysConfig = 1;  // STOP starts recording when idle
    EXPECT_EQ(KeyInputHandler(31), 0);
    EXPECT_EQ(BtnREC.load(), 1);
    EXPECT_EQ(BtnSTOP.load(), 0);
    ClearKeyLatches();
    dr_->SysConfig = 0;
    KeyInputHandler(31);
    EXPECT_EQ(BtnSTOP.load(), 1);
    EXPECT_EQ(KeyInputHandler(35), -1);
}

}  // namespace
