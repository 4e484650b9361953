#include <gtest/gtest.h>

#include <filesystem>

#include "SpineFixture.h"

namespace {

class LedTest : public SpineTest {};

TEST_F(LedTest, WritesEachModeThroughTheLedClassFiles) {
    EXPECT_EQ(SetLED(1, 3, 2), 1);
    EXPECT_EQ(Led(1, "brightness"), "1");
    EXPECT_EQ(Led(2, "trigger"), "timer");
    EXPECT_EQ(Led(2, "delay_on"), "500");
    EXPECT_EQ(Led(2, "delay_off"), "500");
    EXPECT_EQ(Led(2, "sync"), "1");
    EXPECT_EQ(Led(3, "trigger"), "timer");
    EXPECT_EQ(Led(3, "delay_on"), "200");
    EXPECT_EQ(Led(3, "delay_off"), "200");

    // Leaving a mode undoes it: the blinking LED stops, the lit one goes dark.
    EXPECT_EQ(SetLED(0, 1, 0), 1);
    EXPECT_EQ(Led(1, "brightness"), "0");
    EXPECT_EQ(Led(2, "trigger"), "none");
    EXPECT_EQ(Led(2, "brightness"), "1");
    EXPECT_EQ(Led(3, "trigger"), "none");
}

TEST_F(LedTest, RepeatedTripleWritesNothingAndKeepLeavesAnLedAlone) {
    ASSERT_EQ(SetLED(1, 1, 0), 1);
    WriteCounter led1(Path("/sys/class/leds/LED1/brightness"));
    WriteCounter led2(Path("/sys/class/leds/LED2/brightness"));
    WriteCounter trig2(Path("/sys/class/leds/LED2/trigger"));
    EXPECT_EQ(SetLED(1, 1, 0), 0);
    EXPECT_EQ(led1.Count() + led2.Count() + trig2.Count(), 0);

    EXPECT_EQ(SetLED(5, 0, 5), 1);
    EXPECT_EQ(led1.Count(), 0) << "a kept LED was written";
    EXPECT_EQ(Led(2, "brightness"), "0");
    EXPECT_EQ(LedMode[0], 5);
}

TEST_F(LedTest, InitDarkensAllAndForgetsTheRememberedModes) {
    ASSERT_EQ(SetLED(1, 1, 0), 1);
    SetLEDInit();
    EXPECT_EQ(Led(1, "brightness"), "0");
    EXPECT_EQ(Led(1, "trigger"), "none");
    // The LEDs are dark now, so asking for the old triple must light them again.
    EXPECT_EQ(SetLED(1, 1, 0), 1);
    EXPECT_EQ(Led(1, "brightness"), "1");
}

TEST_F(LedTest, BlinkSequenceBlinksTheChosenLedThenRestoresTheTriple) {
    ASSERT_EQ(SetLED(1, 1, 3), 1);
    WriteCounter rec(Path("/sys/class/leds/LED2/brightness"));
    int64_t ms = TimedMs([] { EXPECT_EQ(SetLED_BLINK_SEQ(REC, 1), 1); });
    // Off, five times on and off, then lit again.
    EXPECT_EQ(rec.WaitFor(1 + 10 + 1), 1 + 10 + 1);
    EXPECT_EQ(Led(1, "brightness"), "1");
    EXPECT_GE(ms, 2200);
    EXPECT_EQ(Led(2, "brightness"), "1");
    EXPECT_EQ(Led(3, "trigger"), "timer");
    EXPECT_EQ(LedMode, (std::array<uint8_t, 3>{1, 1, 3}));

    WriteCounter pwr2(Path("/sys/class/leds/LED1/brightness"));
    ms = TimedMs([] { EXPECT_EQ(SetLED_BLINK_SEQ(PWR, 2), 1); });
    EXPECT_EQ(pwr2.WaitFor(1 + 4 + 1), 1 + 4 + 1);
    EXPECT_LT(ms, 5200);  // two blinks take 1.03 s
    EXPECT_EQ(Led(1, "brightness"), "1");
}

TEST_F(LedTest, BlinkSequenceRefusesOtherLedsAndModesWithoutTouchingAnything) {
    ASSERT_EQ(SetLED(1, 1, 0), 1);
    WriteCounter rec(Path("/sys/class/leds/LED2/brightness"));
    EXPECT_EQ(SetLED_BLINK_SEQ(ERROR, 1), -1);
    EXPECT_EQ(SetLED_BLINK_SEQ(REC, 3), -1);
    EXPECT_EQ(rec.Count(), 0);
    EXPECT_EQ(Led(2, "brightness"), "1");
    EXPECT_EQ(LedMode, (std::array<uint8_t, 3>{1, 1, 0}));
}

class BuzzerTest : public SpineTest {};

TEST_F(BuzzerTest, SinglePatternAndRefusedRepetitions) {
    EXPECT_EQ(SetBUZZER(250, 250, 2), 1);
    EXPECT_EQ(Buzzer("trigger"), "pattern");
    EXPECT_EQ(Buzzer("delay1_on"), "250");
    EXPECT_EQ(Buzzer("delay1_off"), "250");
    EXPECT_EQ(Buzzer("times"), "2");

    WriteCounter times(Path("/sys/class/leds/BUZZER/times"));
    EXPECT_EQ(SetBUZZER(50, 50, 0), -1);
    EXPECT_EQ(SetBUZZER(50, 50, -3), -1);
    EXPECT_EQ(times.Count(), 0);
    EXPECT_EQ(Buzzer("delay1_on"), "250");
}

TEST_F(BuzzerTest, SeveralPairsWriteOnlyPairsWithAnOnTime) {
    Write("/sys/class/leds/BUZZER/delay3_on", "x");
    Write("/sys/class/leds/BUZZER/delay4_on", "x");
    EXPECT_EQ(SetBUZZERS(50, 50, 50, 350, 0, 0, 0, 0, 3), 1);
    EXPECT_EQ(Buzzer("delay1_on"), "50");
    EXPECT_EQ(Buzzer("delay1_off"), "50");
    EXPECT_EQ(Buzzer("delay2_on"), "50");
    EXPECT_EQ(Buzzer("delay2_off"), "350");
    EXPECT_EQ(Buzzer("delay3_on"), "x");
    EXPECT_EQ(Buzzer("delay4_on"), "x");
    EXPECT_EQ(Buzzer("times"), "3");
}

class PowerControlTest : public SpineTest {};

TEST_F(PowerControlTest, WritesHoldSwitchOffAndRelease) {
    testing::internal::CaptureStdout();
    PowerControl(1);
    PowerControl(2);
    PowerControl(7);
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(Read("/proc/driver/power_cmd"), "1\n2\n0\n");
    EXPECT_EQ(out, "DiViv : SET POWER CNT ON\nDiViv : SET POWER CNT 2\nDiViv : SET POWER CNT OFF\n");
}

TEST_F(PowerControlTest, UnwritableControllerIsReportedAndLoggedAsFatal) {
    std::filesystem::remove_all(Path("/proc/driver"));
    testing::internal::CaptureStdout();
    PowerControl(2);
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("DiViv : Can not open /proc/driver/power\n"), std::string::npos) << out;
    EXPECT_NE(Read(diviv::sim::kLogRecordFile).find("0xf0000000,Fatal error of power control."),
              std::string::npos);
}

class EventIndicationTest : public SpineTest {};

TEST_F(EventIndicationTest, EventWithAlertBeepsBlinksAndIsShownOnce) {
    ASSERT_EQ(SetLED(1, 1, 0), 1);
    drc->eventinfo.event_led = 1;
    drc->eventinfo.drv_alert = 1;
    WriteCounter rec(Path("/sys/class/leds/LED2/brightness"));
    testing::internal::CaptureStdout();
    EventInformation();
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out, "DiViv : Drive ALERT !!\nDiViv : Event Detected !!\n");
    EXPECT_EQ(Buzzer("delay1_on"), "250");
    EXPECT_EQ(Buzzer("times"), "2");
    EXPECT_EQ(rec.WaitFor(1 + 4 + 1), 1 + 4 + 1);  // the two-blink sequence
    EXPECT_EQ(drc->eventinfo.event_led.load(), 2);
    EXPECT_EQ(drc->eventinfo.drv_alert.load(), 2);

    testing::internal::CaptureStdout();
    EventInformation();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
}

TEST_F(EventIndicationTest, AlertsStaySilentWhenTheDriveAlertIsOff) {
    drc->drive_alert = 1;
    drc->eventinfo.drv_alert = 1;
    WriteCounter times(Path("/sys/class/leds/BUZZER/times"));
    const int64_t ms = TimedMs([] { EventInformation(); });
    EXPECT_EQ(times.Count(), 0);
    EXPECT_LT(ms, 500);
    EXPECT_EQ(drc->eventinfo.drv_alert.load(), 2);

    drc->drive_alert = 0;
    drc->eventinfo.drv_alert = 1;
    testing::internal::CaptureStdout();
    EventInformation();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "DiViv : Drive Warning !!\n");
    EXPECT_EQ(times.WaitFor(1), 1);
}

}  // namespace
