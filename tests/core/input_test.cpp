#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/input.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <thread>

#include "SpineFixture.h"
#include "core/DR_common.h"

namespace {

using diviv::sim::kInputIdle;

class PortTest : public SpineTest {};

TEST_F(PortTest, DecodesHeldKeysGpsWakeUpAndPowerWord) {
    HoldKeys(kHeldSTOP | kHeldSELECT | (1u << 19));
    ASSERT_TRUE(diviv::sim::WritePowerState(root_, /*supply_power=*/false, /*ignition=*/true));
    testing::internal::CaptureStdout();
    GetPortStat(1);
    std::fflush(stdout);
    const std::string out = testing::internal::GetCapturedStdout();

    EXPECT_EQ(PushKey.load(), kHeldSTOP | kHeldSELECT);
    EXPECT_EQ(GPS_WAKEUP.load(), 1u);
    EXPECT_EQ(PowerState.load(), 3u);
    EXPECT_EQ(CurrentACCState.load(), 1);
    EXPECT_EQ(CurrentPWR_DETState.load(), 0);
    // The held keys are latched; the others are not.
    EXPECT_EQ(BtnSTOP.load(), 1);
    EXPECT_EQ(BtnSEL.load(), 1);
    EXPECT_EQ(BtnREC.load(), 0);
    EXPECT_NE(out.find("Detected GPIO Values : [0x00081e05]\n"), std::string::npos) << out;
    EXPECT_NE(out.find("   PWR_DET   = OFF \n"), std::string::npos) << out;
    EXPECT_NE(out.find("   ACC_IN-N  = ON \n"), std::string::npos) << out;
    EXPECT_NE(out.find("   PWRSW_IN  = OFF \n"), std::string::npos) << out;
}

TEST_F(PortTest, ShortOrMissingFilesLeaveTheReadingsAlone) {
    HoldKeys(kHeldUP);
    GetPortStat(0);
    ClearKeyLatches();
    ASSERT_EQ(CurrentACCState.load(), 1);

    Write("/proc/driver/input", "12");
    Write("/proc/driver/power", "3");
    testing::internal::CaptureStdout();
    GetPortStat(0);
    std::fflush(stdout);
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("DiViv : Device Read Error @ GetPortStat() [2]"), std::string::npos) << out;
    EXPECT_NE(out.find("DiViv : Device Read Error[POWER] @ GetPortStat() [1]\n33 \n"), std::string::npos) << out;
    EXPECT_EQ(PushKey.load(), kHeldUP);
    EXPECT_EQ(BtnUP.load(), 0) << "a short read latched a key";
    EXPECT_EQ(CurrentACCState.load(), 1);
    EXPECT_EQ(CurrentPWR_DETState.load(), 1);

    std::filesystem::remove(Path("/proc/driver/input"));
    testing::internal::CaptureStderr();
    GetPortStat(0);
    EXPECT_NE(testing::internal::GetCapturedStderr().find("DiViv : File Open Error @ GetPortStat()"),
              std::string::npos);
}

class KeyCommandTest : public SpineTest {};

TEST_F(KeyCommandTest, LatchesAndHeldKeysGiveOneCommandAndAreCleared) {
    struct Case {
        std::atomic<uint8_t>* latch;
        uint32_t held;
        KEY_CMD expected;
    };
    const Case cases[] = {
        {&BtnREC, 0, REC_CMD},
        {&BtnSTOP, 0, STOP_CMD},
        {&BtnSTOP, kHeldSELECT, CFG_CMD},
        {&BtnSTOP, kHeldUP, TRANS_CMD},
        {&BtnSEL, 0, SEL_CMD},
        {&BtnSEL, kHeldSTOP, CFG_CMD},
        {&BtnUP, 0, UP_CMD},
        {&BtnUP, kHeldSTOP, TRANS_CMD},
        {&BtnDOWN, 0, DOWN_CMD},
    };
    for (const Case& c : cases) {
        HoldKeys(c.held);
        *c.latch = 1;
        EXPECT_EQ(CheckButtonState(), c.expected) << "held 0x" << std::hex << c.held;
        EXPECT_EQ(BtnREC + BtnSTOP + BtnSEL + BtnUP + BtnDOWN, 0);
    }
    HoldKeys(0);
    EXPECT_EQ(CheckButtonState(), NULL_CMD);

    // REC comes first; a pending EVENT waits for the next call.
    BtnREC = 1;
    BtnEVENT = 1;
    EXPECT_EQ(CheckButtonState(), REC_CMD);
    EXPECT_EQ(BtnEVENT.load(), 1);
}

TEST_F(KeyCommandTest, EventAloneIsAnEventAndWithRecHeldTogglesMuteOnlyWhereAllowed) {
    BtnEVENT = 1;
    testing::internal::CaptureStdout();
    int64_t ms = TimedMs([] { EXPECT_EQ(CheckButtonState(), EVENT_CMD); });
    EXPECT_NE(testing::internal::GetCapturedStdout().find("DiViv : Debug :: Detect Event Key !! [0]\n"),
              std::string::npos)
        << "an EVENT press without REC is decided at the first look";
    EXPECT_LT(ms, 2500);  // one look of 0.5 s
    EXPECT_EQ(BtnEVENT.load(), 0);

    HoldKeys(kHeldREC);
    for (DrState s : {STATE_IDLE, STATE_NOSD, STATE_REC}) {
        drc->AppState = s;
        BtnEVENT = 1;
        ms = TimedMs([] { EXPECT_EQ(CheckButtonState(), MUTE_CMD); });
        EXPECT_GE(ms, 1400);
        EXPECT_EQ(BtnEVENT.load(), 0);
        EXPECT_EQ(BtnREC.load(), 0) << "REC held during the looks must not start recording afterwards";
    }
    drc->AppState = STATE_PLAY;
    BtnEVENT = 1;
    EXPECT_EQ(CheckButtonState(), NULL_CMD);
}

TEST_F(KeyCommandTest, HoldCheckPassesOnlyWhenBothKeysStayDownThreeSeconds) {
    HoldKeys(kHeldSTOP | kHeldSELECT);
    int64_t ms = TimedMs([] { EXPECT_EQ(CheckKeyHold(CFG_CMD), 1); });
    EXPECT_GE(ms, 3000);
    EXPECT_LT(ms, 17500);  // 3 to 3.5 s

    // Released after one second and held again before the three seconds are
    // over: the release is seen at the next look and the hold is dropped.
    HoldKeys(kHeldSTOP | kHeldSELECT);
    std::thread release([this] {
        dr_usleep(1000000);
        HoldKeys(0);
        dr_usleep(1700000);
        HoldKeys(kHeldSTOP | kHeldSELECT);
    });
    ms = TimedMs([] { EXPECT_EQ(CheckKeyHold(CFG_CMD), 0) << "a release between two looks was missed"; });
    release.join();
    EXPECT_LT(ms, 7500);  // 1 to 1.5 s
    HoldKeys(0);

    // A second hold is timed from its own start, not from an earlier mark.
    GetElapsedTime(1);
    dr_usleep(1000000);
    HoldKeys(kHeldSTOP | kHeldUP);
    std::thread release2([this] {
        dr_usleep(1700000);
        HoldKeys(0);
    });
    EXPECT_EQ(CheckKeyHold(TRANS_CMD), 0);
    release2.join();
}

// Writes native input events into the simulated device FIFOs; the FIFOs stay
// open for writing as long as this object lives, as the board simulator keeps them.
class EventSender {
public:
    explicit EventSender(const std::string& fifo) : fd_(::open(fifo.c_str(), O_RDWR | O_CLOEXEC)) {}
    ~EventSender() {
        if (fd_ >= 0) ::close(fd_);
    }
    void Send(uint16_t type, uint16_t code, int32_t value) const {
        input_event ev{};
        ev.type = type;
        ev.code = code;
        ev.value = value;
        ASSERT_EQ(::write(fd_, &ev, sizeof ev), static_cast<ssize_t>(sizeof ev));
    }

private:
    int fd_;
};

bool WaitFor(const std::function<bool()>& ok, int ms = 2000) {
    for (int waited = 0; waited < ms; waited += 10) {
        if (ok()) return true;
        dr_usleep(10000);
    }
    return ok();
}

class InputThreadTest : public SpineTest {};

TEST_F(InputThreadTest, KeyEventsBecomeLatches) {
    EventSender keys(Path("/dev/input/event0"));
    drc->RsvParam_1 = 1;
    ASSERT_EQ(StartKeyEventHandler(), 0);

    keys.Send(EV_KEY, 4, 1);
    EXPECT_TRUE(WaitFor([] { return BtnSEL == 1; }));
    keys.Send(EV_KEY, 5, 0);  // a release latches nothing
    keys.Send(EV_KEY, 6, 1);
    EXPECT_TRUE(WaitFor([] { return BtnDOWN == 1; }));
    EXPECT_EQ(BtnUP.load(), 0);
    keys.Send(EV_KEY, 3, 1);
    EXPECT_TRUE(WaitFor([] { return BtnEVENT == 1; }));

    // STOP starts recording from idle when SysConfig bit 0 says so.
    drc->SysConfig = 1;
    keys.Send(EV_KEY, 2, 1);
    EXPECT_TRUE(WaitFor([] { return BtnREC == 1; }));
    EXPECT_EQ(BtnSTOP.load(), 0);
    drc->AppState = STATE_REC;
    keys.Send(EV_KEY, 2, 1);
    EXPECT_TRUE(WaitFor([] { return BtnSTOP == 1; }));
    EXPECT_TRUE(StopInputThreads());
}

TEST_F(InputThreadTest, PowerEventsSetTheInputStates) {
    EventSender power(Path("/dev/input/event1"));
    drc->ACC_IN_State = 1;
    ASSERT_EQ(StartPowerEventHandler(), 0);

    power.Send(EV_SW, 1, 0);
    EXPECT_TRUE(WaitFor([] { return drc->ACC_IN_State == 0; }));
    power.Send(EV_SW, 2, 1);
    EXPECT_TRUE(WaitFor([] { return drc->PWRSW_IN_State == 1; }));
    // Power does not come back within a run: a zero PWR_DET changes nothing.
    power.Send(EV_SW, 0, 0);
    power.Send(EV_SW, 1, 1);
    EXPECT_TRUE(WaitFor([] { return drc->ACC_IN_State == 1; }));
    EXPECT_EQ(drc->PWR_DET_State.load(), 1);
    EXPECT_EQ(IsPowerDown(), 0);
    power.Send(EV_SW, 0, 1);
    EXPECT_TRUE(WaitFor([] { return drc->PWR_DET_State == 0; }));
    EXPECT_EQ(IsPowerDown(), 1);
    EXPECT_TRUE(StopInputThreads());
}

TEST_F(InputThreadTest, StopEndsThreadsBlockedOnAnIdleDevice) {
    EventSender keys(Path("/dev/input/event0"));
    EventSender power(Path("/dev/input/event1"));
    drc->RsvParam_1 = 1;
    ASSERT_EQ(StartKeyEventHandler(), 0);
    ASSERT_EQ(StartPowerEventHandler(), 0);
    dr_usleep(300000);  // both now wait in read()
    const int64_t ms = TimedMs([] { EXPECT_TRUE(StopInputThreads()); });
    EXPECT_LT(ms, 1000);
}

class TimerTest : public SpineTest {};

TEST_F(TimerTest, RaisesClockAndPollFlagsByState) {
    nTimeUpdate = 0;
    nCheckPollEvent = 0;
    drc->AppState = STATE_INIT;
    StartTimer();
    dr_usleep(2300000);
    EXPECT_EQ(nCheckPollEvent.load(), 0) << "polled card events during start-up";
    EXPECT_EQ(nTimeUpdate.load(), 0);

    // Card events are polled every 2 s (at the 40th tick here, 1.7 s on).
    drc->AppState = STATE_REC;
    EXPECT_TRUE(WaitFor([] { return nCheckPollEvent.load() == 1; }, 10000));
    EXPECT_EQ(nTimeUpdate.load(), 0) << "the clock is not redrawn while recording";

    // The clock every 0.4 s on a screen.
    drc->AppState = STATE_LIST;
    EXPECT_TRUE(WaitFor([] { return nTimeUpdate.load() == 1; }, 2000));

    StopTimer();
    nTimeUpdate = 0;
    dr_usleep(600000);
    EXPECT_EQ(nTimeUpdate.load(), 0) << "the timer kept running after StopTimer";
}

}  // namespace
