// Driving events over recorded sensor records: the mounting positions'
// axes, shocks, speed, engine speed and idling, the external input, what
// makes an event file, and the summaries written at a file's end.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "core/DR_shared.h"
#include "core/Indicator.h"
#include "recording/EventDetect.h"
#include "sensors/GssReceiveThread.h"
#include "support/SimBoardFixture.h"

namespace {

gsensor_buffer Sample(int8_t x, int8_t y, int8_t z, uint8_t event = 0, int32_t sec = 100, int32_t usec = 0) {
    gsensor_buffer s{};
    s.timestamp = dr_timeval{sec, usec};
    s.xaxis = x;
    s.yaxis = y;
    s.zaxis = z;
    s.event = event;
    return s;
}

pulse_input_buffer Pulses(uint32_t speed, uint32_t engine) {
    pulse_input_buffer p{};
    p.count_gpt1 = speed;
    p.count_gpt2 = engine;
    return p;
}

cont_input_buffer Contact(uint32_t sigin) {
    cont_input_buffer c{};
    c.sigin = sigin;
    return c;
}

struct EventInfo {
    event_info_forAfile info{};
    EventInfo() { ClearEventState(&info); }
};

// The mounting table as the vehicle's installer reads it: which sensor axis,
// with which sign, lies front/back, left/right and up/down.
struct MountingRow {
    int position;
    const char* fb;
    const char* lr;
    const char* ud;
};
const MountingRow kMountingTable[] = {
    {1, "x", "y", "z"},    {2, "-x", "-y", "z"},  {3, "-y", "x", "z"},   {4, "y", "-x", "z"},
    {5, "x", "-y", "-z"},  {6, "-x", "y", "-z"},  {7, "-y", "-x", "-z"}, {8, "y", "x", "-z"},
    {9, "x", "z", "-y"},   {10, "-x", "-z", "-y"}, {11, "-z", "x", "-y"}, {12, "z", "-x", "-y"},
    {13, "x", "-z", "y"},  {14, "-x", "z", "y"},  {15, "-z", "-x", "y"},  {16, "z", "x", "y"},
    {17, "-z", "-y", "-x"}, {18, "z", "y", "-x"}, {19, "-y", "z", "-x"},  {20, "y", "-z", "-x"},
    {21, "-z", "y", "x"},  {22, "z", "-y", "x"},  {23, "-y", "-z", "x"},  {24, "y", "z", "x"},
};

int AxisIndex(const char* pick) { return pick[pick[0] == '-' ? 1 : 0] - 'x'; }
bool Negated(const char* pick) { return pick[0] == '-'; }

uint8_t Expected(const char* pick, const int8_t v[3]) {
    const auto u = static_cast<uint8_t>(v[AxisIndex(pick)]);
    return Negated(pick) ? static_cast<uint8_t>(-u) : u;
}

// Event bit of a sensor axis direction: bit 2*axis for +, 2*axis+1 for -.
uint8_t DirectionBit(int axis, bool negative) { return static_cast<uint8_t>(1u << (2 * axis + (negative ? 1 : 0))); }

TEST(EventAxes, EveryMountingPositionMapsTheSensorAxesToTheVehicle) {
    const int8_t v[3] = {5, -16, 100};  // distinct magnitudes and signs per axis
    for (const MountingRow& row : kMountingTable) {
        SCOPED_TRACE(row.position);
        GssAxes a{};
        ASSERT_TRUE(MapGssAxes(Sample(v[0], v[1], v[2]), row.position, &a));
        EXPECT_EQ(a.fb, Expected(row.fb, v));
        EXPECT_EQ(a.lr, Expected(row.lr, v));
        EXPECT_EQ(a.ud, Expected(row.ud, v));
        char text[kGssTextSize];
        char expected[kGssTextSize];
        std::snprintf(expected, sizeof expected, "$FB,%02X,$LR,%02X,$UD,%02X\r\n", Expected(row.fb, v),
                      Expected(row.lr, v), Expected(row.ud, v));
        EXPECT_EQ(Map_GSS(Sample(v[0], v[1], v[2]), row.position, text), 22);
        EXPECT_STREQ(text, expected);
    }
}

TEST(EventAxes, TextRecordIsTwoUpperCaseHexDigitsPerAxisWithEightBitNegation) {
    char text[kGssTextSize];
    ASSERT_EQ(Map_GSS(Sample(-1, 10, -128), 1, text), 22);
    EXPECT_STREQ(text, "$FB,FF,$LR,0A,$UD,80\r\n");
    // Position 2 negates x and y: -(-1) is 1, -(10) is 0xF6; -(-128) stays 0x80.
    ASSERT_EQ(Map_GSS(Sample(-1, 10, -128), 2, text), 22);
    EXPECT_STREQ(text, "$FB,01,$LR,F6,$UD,80\r\n");
    ASSERT_EQ(Map_GSS(Sample(0, 0, -128), 5, text), 22);
    EXPECT_STREQ(text, "$FB,00,$LR,00,$UD,80\r\n");
}

TEST(EventAxes, PositionOutsideTheTableKeepsThePreviousTextAndRaisesNoEvents) {
    char text[kGssTextSize];
    ASSERT_EQ(Map_GSS(Sample(1, 2, 3), 1, text), 22);
    for (int position : {0, 25, 255, -1}) {
        SCOPED_TRACE(position);
        EXPECT_EQ(Map_GSS(Sample(9, 9, 9), position, text), 0);
        EXPECT_STREQ(text, "$FB,01,$LR,02,$UD,03\r\n");
        EventInfo e;
        EXPECT_EQ(GssEvent(&e.info, position, Sample(0, 0, 0, 0x3F)), 0);
        EXPECT_EQ(e.info.in_event, 0);
        EXPECT_EQ(e.info.cnt_steer + e.info.cnt_accel + e.info.cnt_break, 0);
        EXPECT_EQ(e.info.event_led.load(), 0);
    }
}

// Acceleration is the direction of the sensor axis that points to the
// vehicle's front, braking the opposite one, steering both directions of
// the axis across it: derived here from the mounting table, and matching
// the thresholds the G-sensor receiver gives the driver for that position.
TEST(EventAxes, EventBitsFollowTheMountingOfEveryPosition) {
    for (const MountingRow& row : kMountingTable) {
        SCOPED_TRACE(row.position);
        const GssEventBits bits = GssEventBitsFor(row.position);
        const int fb = AxisIndex(row.fb);
        EXPECT_EQ(bits.accel, DirectionBit(fb, Negated(row.fb)));
        EXPECT_EQ(bits.brake, DirectionBit(fb, !Negated(row.fb)));
        const int lr = AxisIndex(row.lr);
        EXPECT_EQ(bits.steer, DirectionBit(lr, false) | DirectionBit(lr, true));

        const gsensor_threshold_axis t = GssThresholds(row.position, /*brake*/ 5, /*accel*/ 6, /*steering*/ 7);
        const uint32_t by_bit[6] = {t.x_positive, t.x_negative, t.y_positive, t.y_negative, t.z_positive, t.z_negative};
        for (int b = 0; b < 6; ++b) {
            const uint8_t bit = static_cast<uint8_t>(1u << b);
            const uint32_t want = bit == bits.accel ? 6u : bit == bits.brake ? 5u : (bits.steer & bit) ? 7u : 0u;
            EXPECT_EQ(by_bit[b], want) << "event bit " << b;
        }
    }
    EXPECT_EQ(GssEventBitsFor(0).steer | GssEventBitsFor(0).accel | GssEventBitsFor(0).brake, 0);
}

TEST(GsensorEvents, PositionOneBitZeroAccelerationBitOneBrakingBitsTwoThreeSteering) {
    struct Case {
        uint8_t event;
        uint8_t flag;
        int32_t event_info_forAfile::*counter;
        const char* line;
    } cases[] = {
        {0x01, kEventAccel, &event_info_forAfile::cnt_accel, "AM: Sudden acceleration event detected!!\n"},
        {0x02, kEventBrake, &event_info_forAfile::cnt_break, "AM: Sudden braking event detected!!\n"},
        {0x04, kEventSteer, &event_info_forAfile::cnt_steer, "AM: Steering event detected!!\n"},
        {0x08, kEventSteer, &event_info_forAfile::cnt_steer, "AM: Steering event detected!!\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(int{c.event});
        EventInfo e;
        testing::internal::CaptureStdout();
        EXPECT_EQ(GssEvent(&e.info, 1, Sample(0, 0, 16, c.event)), c.flag);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), c.line);
        EXPECT_EQ(e.info.in_event, c.flag);
        EXPECT_EQ(e.info.*c.counter, 1);
        EXPECT_EQ(e.info.cnt_steer + e.info.cnt_accel + e.info.cnt_break, 1);
        EXPECT_EQ(e.info.drv_alert.load(), 1);
        EXPECT_EQ(e.info.event_led.load(), 1);
        EXPECT_TRUE(IsEventFile(e.info));
    }
    // Up/down beyond its threshold is no driving event.
    EventInfo e;
    EXPECT_EQ(GssEvent(&e.info, 1, Sample(0, 0, 100, 0x30)), 0);
    EXPECT_EQ(e.info.in_event, 0);
}

// A recorded shock: quiet, four samples of hard braking, quiet again, with
// the indicator logic taking the requests over in between.
TEST(GsensorEvents, ShockCountsOnceRaisesTheIndicatorsAndClearsThem) {
    EventInfo e;
    std::vector<gsensor_buffer> drive = {Sample(0, 0, 16), Sample(-3, 1, 16, 0)};
    for (int i = 0; i < 4; ++i) drive.push_back(Sample(-40, 2, 16, kGsensorEventXNegative));
    testing::internal::CaptureStdout();
    for (const auto& s : drive) GssEvent(&e.info, 1, s);
    EXPECT_EQ(e.info.cnt_break, 1);
    EXPECT_EQ(e.info.in_event, kEventBrake);
    // Taken over by the indicators, then the shock ends.
    e.info.event_led = 2;
    e.info.drv_alert = 2;
    GssEvent(&e.info, 1, Sample(0, 0, 16));
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out, "AM: Sudden braking event detected!!\nAM: Sudden braking event cleared!!\n");
    EXPECT_EQ(e.info.in_event, 0);
    EXPECT_EQ(e.info.event_led.load(), 0);
    EXPECT_EQ(e.info.drv_alert.load(), 0);
    EXPECT_EQ(e.info.cnt_break, 1);
}

TEST(GsensorEvents, PendingRequestIsNeitherRepeatedNorCancelled) {
    EventInfo e;
    testing::internal::CaptureStdout();
    GssEvent(&e.info, 1, Sample(0, 0, 0, kGsensorEventYPositive));  // steering; not yet shown
    GssEvent(&e.info, 1, Sample(0, 0, 0, 0));                       // ends before the indicators ran
    EXPECT_EQ(e.info.event_led.load(), 1);
    EXPECT_EQ(e.info.drv_alert.load(), 1);
    e.info.event_led = 2;  // shown
    e.info.drv_alert = 2;
    GssEvent(&e.info, 1, Sample(0, 0, 0, kGsensorEventXPositive));  // acceleration: a new request
    EXPECT_EQ(e.info.event_led.load(), 1);
    EXPECT_EQ(e.info.drv_alert.load(), 1);
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(e.info.cnt_steer, 1);
    EXPECT_EQ(e.info.cnt_accel, 1);
}

TEST(GsensorEvents, BrakingAcrossAFileChangeCountsOnceInTheFileWhereItBegan) {
    EventInfo e;
    testing::internal::CaptureStdout();
    GssEvent(&e.info, 1, Sample(-50, 0, 16, kGsensorEventXNegative));
    GssEvent(&e.info, 1, Sample(-50, 0, 16, kGsensorEventXNegative));
    EXPECT_EQ(e.info.cnt_break, 1);
    EXPECT_TRUE(IsEventFile(e.info));

    ResetFileEventInfo(&e.info);  // the next file starts while still braking
    EXPECT_EQ(e.info.in_event, kEventBrake);
    GssEvent(&e.info, 1, Sample(-50, 0, 16, kGsensorEventXNegative));
    GssEvent(&e.info, 1, Sample(0, 0, 16));
    EXPECT_EQ(e.info.cnt_break, 0);
    EXPECT_FALSE(IsEventFile(e.info));
    // A new braking in that file counts there.
    GssEvent(&e.info, 1, Sample(-50, 0, 16, kGsensorEventXNegative));
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(e.info.cnt_break, 1);
}

// ---- Pulses ------------------------------------------------------------------

struct FakeClock {
    static inline int64_t now_ms = 0;
    static inline bool fail = false;
    static int Now(int64_t* ms) {
        if (fail) return -1;
        *ms = now_ms;
        return 0;
    }
};

class PulseEvents : public testing::Test {
protected:
    void SetUp() override {
        FakeClock::now_ms = 1'000'000;
        FakeClock::fail = false;
        limits.acc_in = 1;
    }
    uint8_t Feed(uint32_t speed, uint32_t engine = 0) { return PulseEvent(&e.info, limits, Pulses(speed, engine), &timer); }

    EventInfo e;
    EventLimits limits;
    IdleTimer timer{FakeClock::Now};
};

TEST_F(PulseEvents, SpeedAndEngineStartAboveTheLimitNotAtIt) {
    limits.speed_limit = 30;
    limits.engine_rot_limit = 100;
    testing::internal::CaptureStdout();
    EXPECT_EQ(Feed(30, 100), 0);
    EXPECT_EQ(e.info.in_event, 0);
    EXPECT_EQ(Feed(31, 100), kEventSpeed);
    EXPECT_EQ(Feed(31, 101), kEventEngine);
    EXPECT_EQ(Feed(40, 150), 0);  // still over: not counted again
    EXPECT_EQ(e.info.cnt_speed, 1);
    EXPECT_EQ(e.info.cnt_espeed, 1);
    EXPECT_EQ(e.info.in_event, kEventSpeed | kEventEngine);
    // Speed requests the LED only; engine speed the buzzer too.
    EXPECT_EQ(e.info.event_led.load(), 1);
    EXPECT_EQ(e.info.drv_alert.load(), 1);
    e.info.event_led = 2;
    e.info.drv_alert = 2;
    Feed(30, 100);  // exactly at the limits: both end
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(e.info.in_event, 0);
    EXPECT_EQ(e.info.event_led.load(), 0);
    EXPECT_EQ(e.info.drv_alert.load(), 0);
    EXPECT_NE(out.find("AM : Speed over event detected! (PLS:31,FLG:8)\n"), std::string::npos) << out;
    EXPECT_NE(out.find("AM : Engine speed over event detected! (PLS:101,FLG:24)\n"), std::string::npos) << out;
    EXPECT_NE(out.find("AM : Speed over event cleared! (PLS:30,"), std::string::npos) << out;
    EXPECT_NE(out.find("AM : Engine speed over event cleared! (PLS:100,FLG:0)\n"), std::string::npos) << out;
}

TEST_F(PulseEvents, SpeedRequestDoesNotSoundTheBuzzer) {
    limits.speed_limit = 30;
    testing::internal::CaptureStdout();
    Feed(50);
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(e.info.event_led.load(), 1);
    EXPECT_EQ(e.info.drv_alert.load(), 0);
}

TEST_F(PulseEvents, WithoutLimitsNoEventsButTripValuesAreKept) {
    for (uint32_t p : {10u, 55u, 0u, 20u}) EXPECT_EQ(Feed(p, 9999), 0);
    EXPECT_EQ(e.info.in_event, 0);
    EXPECT_EQ(e.info.cnt_speed + e.info.cnt_espeed + e.info.cnt_idle, 0);
    EXPECT_EQ(e.info.max_speed, 55);
    EXPECT_EQ(e.info.distance, 85);
}

TEST_F(PulseEvents, IdlingCountsOncePerFullPeriodAfterTheLimitIsExceeded) {
    limits.idling_limit = 2;  // minutes
    testing::internal::CaptureStdout();
    EXPECT_EQ(Feed(0), 0);  // starts the timer
    EXPECT_EQ(e.info.in_event, kEventIdle);
    EXPECT_EQ(e.info.event_led.load(), 0);
    FakeClock::now_ms += 120'000;  // exactly the limit
    EXPECT_EQ(Feed(0), 0);
    FakeClock::now_ms += 1;
    EXPECT_EQ(Feed(0), kEventIdle);
    EXPECT_EQ(e.info.cnt_idle, 1);
    EXPECT_EQ(e.info.event_led.load(), 1);
    EXPECT_EQ(e.info.drv_alert.load(), 0);
    FakeClock::now_ms += 60'000;  // half a period more: nothing
    EXPECT_EQ(Feed(0), 0);
    FakeClock::now_ms += 60'001;
    EXPECT_EQ(Feed(0), kEventIdle);
    EXPECT_EQ(e.info.cnt_idle, 2);
    e.info.event_led = 2;
    FakeClock::now_ms += 5'000;
    Feed(0);
    Feed(3);  // moving again
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(e.info.in_event, 0);
    EXPECT_EQ(e.info.event_led.load(), 0);
    EXPECT_NE(out.find("AM : Idling event detected! (120001:120)\n"), std::string::npos) << out;
    EXPECT_NE(out.find("AM : Idling event cleared! (5000:5)\n"), std::string::npos) << out;
    EXPECT_FALSE(IsEventFile(e.info));
}

TEST_F(PulseEvents, IdlingWithTheIgnitionOffIsClearedOrDropped) {
    limits.idling_limit = 1;
    testing::internal::CaptureStdout();
    limits.acc_in = 0;
    Feed(0);
    limits.acc_in = 1;
    Feed(0);
    limits.acc_in = 0;
    Feed(0);
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out,
              "AM : Idling event with ACC OFF is dropped!!\n"
              "AM : Idling event was cleared due to ACC OFF!!\n");
    EXPECT_EQ(e.info.in_event, 0);
    EXPECT_EQ(e.info.cnt_idle, 0);
}

TEST_F(PulseEvents, BrokenClockNeverCompletesAnIdlingPeriod) {
    limits.idling_limit = 1;
    testing::internal::CaptureStdout();
    Feed(0);
    FakeClock::fail = true;
    FakeClock::now_ms += 3'600'000;
    EXPECT_EQ(Feed(0), 0);
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("AM : failed to gettimeofday\n"), std::string::npos);
    EXPECT_EQ(e.info.cnt_idle, 0);
}

TEST_F(PulseEvents, GarbledCountsSaturateTheTripValues) {
    Feed(0xFFFFFFF0u);
    Feed(100);
    EXPECT_EQ(e.info.max_speed, INT32_MAX);
    EXPECT_EQ(e.info.distance, INT32_MAX);
}

TEST(IdleClock, DefaultTimerCountsForwardFromItsReset) {
    IdleTimer timer;
    EXPECT_EQ(timer.GetIdleElapsedMilliTime(1), 0);
    const long a = timer.GetIdleElapsedMilliTime(0);
    const long b = timer.GetIdleElapsedMilliTime(0);
    EXPECT_GE(a, 0);
    EXPECT_GE(b, a);
    EXPECT_LT(b, 5000);
}

// Speed, engine speed and idling are recorded in the counters but do not
// make an event file; a shock or the external input does.
TEST_F(PulseEvents, SpeedEngineAndIdlingAloneDoNotMakeAnEventFile) {
    limits.speed_limit = 30;
    limits.engine_rot_limit = 100;
    limits.idling_limit = 1;
    testing::internal::CaptureStdout();
    Feed(0);
    FakeClock::now_ms += 60'001;
    Feed(0);
    Feed(80, 300);
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(e.info.cnt_speed, 1);
    EXPECT_EQ(e.info.cnt_espeed, 1);
    EXPECT_EQ(e.info.cnt_idle, 1);
    EXPECT_FALSE(IsEventFile(e.info));
}

// ---- External input ----------------------------------------------------------

TEST(ExternalInput, ActiveHighAndActiveLowOnBitThree) {
    EXPECT_TRUE(ExternalInputActive(0x08, 0));
    EXPECT_FALSE(ExternalInputActive(0x00, 0));
    EXPECT_FALSE(ExternalInputActive(0x08, 1));
    EXPECT_TRUE(ExternalInputActive(0x00, 1));
    EXPECT_TRUE(ExternalInputActive(0x77, 1));  // other inputs do not matter
    EXPECT_FALSE(ExternalInputActive(0x77, 0));
}

TEST(ExternalInput, EachActivationCountsOnceAndMakesAnEventFile) {
    for (int logic : {0, 1}) {
        SCOPED_TRACE(logic);
        const uint32_t on = logic == 0 ? 0x08 : 0x00;
        const uint32_t off = logic == 0 ? 0x00 : 0x08;
        EventInfo e;
        EventLimits limits;
        limits.ext_event_enable = 1;
        limits.ext_event_logic = logic;
        testing::internal::CaptureStdout();
        EXPECT_EQ(ContactEvent(&e.info, limits, Contact(off)), 0);
        EXPECT_EQ(ContactEvent(&e.info, limits, Contact(on)), kEventExternal);
        EXPECT_EQ(ContactEvent(&e.info, limits, Contact(on)), 0);
        EXPECT_EQ(e.info.event_led.load(), 1);
        EXPECT_EQ(e.info.drv_alert.load(), 0);
        e.info.event_led = 2;
        ContactEvent(&e.info, limits, Contact(off));
        EXPECT_EQ(e.info.event_led.load(), 0);
        ContactEvent(&e.info, limits, Contact(on));
        const std::string out = testing::internal::GetCapturedStdout();
        EXPECT_EQ(e.info.cnt_contactin, 2);
        EXPECT_TRUE(IsEventFile(e.info));
        const std::string pin = logic == 0 ? "1" : "0";
        EXPECT_NE(out.find("AM : PIN4 event detected! (PIN:" + pin + ",FLG:64)\n"), std::string::npos) << out;
        EXPECT_NE(out.find("AM : PIN4 event cleared! (PIN:"), std::string::npos) << out;
    }
}

TEST(ExternalInput, DisabledInputIsIgnored) {
    EventInfo e;
    EventLimits limits;
    limits.ext_event_logic = 1;
    for (int enable : {0, 2}) {
        limits.ext_event_enable = enable;
        EXPECT_EQ(ContactEvent(&e.info, limits, Contact(0)), 0);
    }
    EXPECT_EQ(e.info.cnt_contactin, 0);
    EXPECT_EQ(e.info.in_event, 0);
}

// ---- Shared record, sample selection and summaries -----------------------------

class SharedRecordEvents : public testing::Test {
protected:
    void SetUp() override {
        dr = NewDrCommon();
        ASSERT_EQ(DR_InitRingBuffer(&dr->gsens_buf, 1024), 0);
        dr->gsens_enable = 1;
        dr->GSS_ALIVE = 1;
        dr->gss_position = 1;
    }
    void Put(int32_t sec, int32_t usec, int8_t x) {
        const gsensor_buffer s = Sample(x, 0, 0, 0, sec, usec);
        ASSERT_EQ(DR_WriteRingBuffer(&dr->gsens_buf, &s, sizeof s), 16);
    }
    std::unique_ptr<dr_common_t> dr;
    GssSlotState st;
};

TEST_F(SharedRecordEvents, OneSamplePerSlotAndNoneWhenTheBufferIsEmpty) {
    Put(10, 0, 1);
    Put(10, 10'000, 2);
    gsensor_buffer s{};
    ASSERT_EQ(Get_GSS(dr.get(), &st, dr_timeval{10, 0}, &s), 1);
    EXPECT_EQ(s.xaxis, 1);
    ASSERT_EQ(Get_GSS(dr.get(), &st, dr_timeval{10, 0}, &s), 1);
    EXPECT_EQ(s.xaxis, 2);
    EXPECT_EQ(st.CurrentGssTime.tv_usec, 10'000);
    EXPECT_EQ(Get_GSS(dr.get(), &st, dr_timeval{10, 0}, &s), 0);
}

TEST_F(SharedRecordEvents, FileStartSkipsSamplesOlderThanThePicture) {
    Put(10, 0, 1);
    Put(10, 10'000, 2);
    Put(10, 20'000, 3);
    Put(10, 30'000, 4);
    const dr_timeval picture{10, 24'000};
    EXPECT_EQ(GssStartAdjustment(st, picture), 1);
    st.nAdjustGss = 1;
    gsensor_buffer s{};
    ASSERT_EQ(Get_GSS(dr.get(), &st, picture, &s), 1);
    EXPECT_EQ(s.xaxis, 3);  // 4 ms before the picture: close enough
    EXPECT_EQ(st.nAdjustGss, 0);
    ASSERT_EQ(Get_GSS(dr.get(), &st, picture, &s), 1);
    EXPECT_EQ(s.xaxis, 4);
}

TEST_F(SharedRecordEvents, SkippingUsesTheNewestSampleWhenAllAreOld) {
    Put(10, 0, 1);
    Put(10, 10'000, 2);
    st.nAdjustGss = 1;
    gsensor_buffer s{};
    ASSERT_EQ(Get_GSS(dr.get(), &st, dr_timeval{11, 0}, &s), 1);
    EXPECT_EQ(s.xaxis, 2);
    EXPECT_EQ(DR_GetRingBufferReadAvailable(&dr->gsens_buf), 0);
}

TEST_F(SharedRecordEvents, SensorAheadOfThePictureRepeatsThePreviousSampleOnce) {
    Put(10, 0, 1);
    gsensor_buffer s{};
    ASSERT_EQ(Get_GSS(dr.get(), &st, dr_timeval{10, 0}, &s), 1);
    Put(10, 10'000, 2);
    const dr_timeval picture{10, 3'000};  // 3 ms after the latest sample
    EXPECT_EQ(GssStartAdjustment(st, picture), -1);
    st.nAdjustGss = -1;
    ASSERT_EQ(Get_GSS(dr.get(), &st, picture, &s), 1);
    EXPECT_EQ(s.xaxis, 1);
    ASSERT_EQ(Get_GSS(dr.get(), &st, picture, &s), 1);
    EXPECT_EQ(s.xaxis, 2);
}

TEST_F(SharedRecordEvents, SensorThreadNotAliveIsReportedOnce) {
    Put(10, 0, 1);
    dr->GSS_ALIVE = 0;
    gsensor_buffer s{};
    testing::internal::CaptureStdout();
    EXPECT_EQ(Get_GSS(dr.get(), &st, dr_timeval{10, 0}, &s), 0);
    EXPECT_EQ(Get_GSS(dr.get(), &st, dr_timeval{10, 0}, &s), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "AM : G Sensor Thread is not alive !\n");
    EXPECT_EQ(DR_GetRingBufferReadAvailable(&dr->gsens_buf), 16);
}

TEST_F(SharedRecordEvents, RulesReadTheSettingsOfTheSharedRecord) {
    dr->gss_position = 3;  // acceleration is Y negative
    dr->speed_limit = 20;
    dr->ext_event_enable = 1;
    dr->ext_event_logic = 1;
    ClearEventState(&dr->eventinfo);
    testing::internal::CaptureStdout();
    EXPECT_EQ(GssEvent(dr.get(), Sample(0, -40, 0, kGsensorEventYNegative)), kEventAccel);
    EXPECT_EQ(PulseEvent(dr.get(), Pulses(21, 0)), kEventSpeed);
    EXPECT_EQ(ContactEvent(dr.get(), Contact(0x00)), kEventExternal);
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(dr->eventinfo.cnt_accel, 1);
    EXPECT_EQ(dr->eventinfo.cnt_speed, 1);
    EXPECT_EQ(dr->eventinfo.cnt_contactin, 1);
    ClearEventState(&dr->eventinfo);
    EXPECT_EQ(dr->eventinfo.in_event, 0);
    EXPECT_EQ(dr->eventinfo.event_led.load(), 0);
    EXPECT_EQ(dr->eventinfo.cnt_accel, 0);
}

TEST(EventSummaries, TripAndEventRecordsHaveTheirFixedLengths) {
    EventInfo e;
    e.info.max_speed = 57;
    e.info.distance = 1234;
    e.info.cnt_steer = 1;
    e.info.cnt_accel = 2;
    e.info.cnt_break = 3;
    e.info.cnt_speed = 4;
    e.info.cnt_espeed = 5;
    char out[kSummaryTextSize];
    ASSERT_EQ(FormatTripSummary(e.info, out), 32);
    EXPECT_STREQ(out, "$MAXSP,00000057,$TRIP,00001234\r\n");
    ASSERT_EQ(FormatEventSummary(e.info, 10, out), 26);
    EXPECT_STREQ(out, "$EVENT,01,02,03,04,05,00\r\n");
    e.info.cnt_idle = 1;  // the idling field then holds the limit in minutes
    ASSERT_EQ(FormatEventSummary(e.info, 10, out), 26);
    EXPECT_STREQ(out, "$EVENT,01,02,03,04,05,10\r\n");
}

TEST(EventSummaries, LargeCountsKeepEveryFieldInItsPlace) {
    EventInfo e;
    e.info.cnt_steer = 150;
    e.info.cnt_espeed = 7;
    e.info.cnt_idle = 2;
    char out[kSummaryTextSize];
    ASSERT_EQ(FormatEventSummary(e.info, 120, out), 26);
    EXPECT_STREQ(out, "$EVENT,99,00,00,00,07,99\r\n");
}

// The requests as the indicator logic on the main thread takes them: a
// shock sounds the buzzer and blinks the recording LED once; a speed event
// only blinks it; a new request after a shown one is shown again.
class EventIndicators : public SimBoardTest {
protected:
    void SetUp() override {
        SimBoardTest::SetUp();
        record_ = NewDrCommon();
        drc = record_.get();
        drc->gss_position = 1;
        drc->speed_limit = 30;
        ClearEventState(&drc->eventinfo);
    }
    void TearDown() override {
        drc = nullptr;
        SimBoardTest::TearDown();
    }
    std::string Shown() {
        testing::internal::CaptureStdout();
        EventInformation();
        return testing::internal::GetCapturedStdout();
    }
    std::unique_ptr<dr_common_t> record_;
};

TEST_F(EventIndicators, ShockSoundsTheBuzzerOnceAndSpeedOnlyBlinks) {
    testing::internal::CaptureStdout();
    GssEvent(drc, Sample(-60, 0, 16, kGsensorEventXNegative));
    GssEvent(drc, Sample(-60, 0, 16, kGsensorEventXNegative));
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(Shown(), "DiViv : Drive ALERT !!\nDiViv : Event Detected !!\n");
    EXPECT_EQ(Read("/sys/class/leds/BUZZER/times"), "2");
    EXPECT_EQ(Shown(), "");  // still braking: nothing new to show

    testing::internal::CaptureStdout();
    GssEvent(drc, Sample(0, 0, 16));
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(drc->eventinfo.event_led.load(), 0);
    EXPECT_EQ(drc->eventinfo.drv_alert.load(), 0);

    Write("/sys/class/leds/BUZZER/times", "0");
    testing::internal::CaptureStdout();
    PulseEvent(drc, Pulses(31, 0));
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(Shown(), "DiViv : Event Detected !!\n");
    EXPECT_EQ(Read("/sys/class/leds/BUZZER/times"), "0");
    EXPECT_EQ(drc->eventinfo.cnt_break, 1);
    EXPECT_EQ(drc->eventinfo.cnt_speed, 1);
}

}  // namespace
