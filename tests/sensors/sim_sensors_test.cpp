// The simulated vehicle sensors on their own, driven by the requests the
// board's drivers take: what a driver does before it is started, how the
// pulse counter follows the scripted drive and holds its records, and how
// the G-sensor's buffer overruns.
#include <fcntl.h>

#include <cmath>

#include "SensorTestKit.h"
#include "platform/Board.h"
#include "sim/SimGsensor.h"
#include "sim/SimPulse.h"

namespace diviv {
namespace {

using test::Micros;
using test::WaitFor;
using namespace std::chrono_literals;

class SimSensorsTest : public SensorTest {};

gsensor_buffer ReadSample(Device& dev) {
    gsensor_buffer s{};
    EXPECT_EQ(dev.Ioctl(kGsensorRead, &s), 0);
    return s;
}

pulse_input_buffer ReadRecord(Device& dev) {
    pulse_input_buffer r{};
    EXPECT_EQ(dev.Ioctl(kPulseRead, &r), 0);
    return r;
}

TEST_F(SimSensorsTest, DriversAnswerNoDataBeforeTheyAreStartedAndRefuseUnknownRequests) {
    int error = 0;
    auto g = TheBoard().OpenDevice(sim::kGsensorDevicePath, O_RDWR, &error);
    ASSERT_NE(g, nullptr);
    auto p = TheBoard().OpenDevice(sim::kPulseDevicePath, O_RDWR, &error);
    ASSERT_NE(p, nullptr);
    std::this_thread::sleep_for(30ms);
    EXPECT_EQ(ReadSample(*g).flag, kGsensorNoData);
    EXPECT_EQ(ReadRecord(*p).flag, kPulseNoData);
    EXPECT_EQ(g->Ioctl(0x4799, nullptr), -ENOTTY);
    EXPECT_EQ(p->Ioctl(0x5099, nullptr), -ENOTTY);
    EXPECT_EQ(g->Ioctl(kGsensorRead, nullptr), -EFAULT);
}

TEST_F(SimSensorsTest, GsensorSamplesEveryTenMillisecondsAndMarksTheFirstAfterAnOverrun) {
    sim::SimGsensor g(sim::kGsensorDevicePath, O_RDWR);
    const dr_timeval before = Now();
    ASSERT_EQ(g.Ioctl(kGsensorStart, nullptr), 0);
    std::this_thread::sleep_for(50ms);
    gsensor_buffer first = ReadSample(g);
    ASSERT_EQ(first.flag, 0u);
    EXPECT_GE(Micros(first.timestamp), Micros(before) + sim::kGsensorPeriodMs * 1000);
    EXPECT_EQ(first.zaxis, sim::kGsensorUnitsPerG) << "position 1 unless the world says otherwise";
    int64_t last = Micros(first.timestamp);
    for (gsensor_buffer s = ReadSample(g); (s.flag & kGsensorNoData) == 0; s = ReadSample(g)) {
        EXPECT_EQ(Micros(s.timestamp) - last, sim::kGsensorPeriodMs * 1000);
        last = Micros(s.timestamp);
    }
    // Not read for a second: 100 samples into a buffer of 64.
    std::this_thread::sleep_for(1000ms);
    const gsensor_buffer after = ReadSample(g);
    EXPECT_EQ(after.flag, kGsensorOverrun);
    EXPECT_GT(Micros(after.timestamp) - last, 300000);
    int held = 1;
    for (gsensor_buffer s = ReadSample(g); (s.flag & kGsensorNoData) == 0 && held < 200; s = ReadSample(g)) {
        EXPECT_EQ(s.flag, 0u);
        ++held;
    }
    EXPECT_GE(held, sim::kGsensorBufferSamples);
    EXPECT_LE(held, sim::kGsensorBufferSamples + 2);
    EXPECT_GE(g.Counters().lost, 30u);
}

TEST_F(SimSensorsTest, PulseCounterFollowsTheDriveAndKeepsSixteenRecords) {
    ASSERT_TRUE(World().VehicleSpeed(72));    // 50.96 pulses per second
    ASSERT_TRUE(World().EngineSpeed(1800));   // 60 pulses per second
    sim::SimPulse p(sim::kPulseDevicePath, O_RDWR, 50);
    ASSERT_EQ(p.Ioctl(kPulseStart, nullptr), 0);
    // 20 intervals of 50 ms pass unread: the oldest four are pushed out.
    std::this_thread::sleep_for(1020ms);
    std::vector<pulse_input_buffer> records;
    for (pulse_input_buffer r = ReadRecord(p); (r.flag & kPulseNoData) == 0; r = ReadRecord(p)) records.push_back(r);
    ASSERT_EQ(records.size(), static_cast<size_t>(sim::kPulseQueueRecords));
    EXPECT_GE(p.lost(), 4u);
    for (size_t i = 0; i < records.size(); ++i) {
        EXPECT_EQ(records[i].flag, i + 1 < records.size() ? kPulseMoreData : 0u) << i;
        EXPECT_LE(std::abs(records[i].count_gpt1 - 72 * sim::kSpeedPulsesPerKm / 3600 * 0.05), 1.0);
        EXPECT_LE(std::abs(records[i].count_gpt2 - 1800 * sim::kEnginePulsesPerRevolution / 60 * 0.05), 1.0);
        if (i > 0) {
            EXPECT_EQ(Micros(records[i].timestamp) - Micros(records[i - 1].timestamp), 50000);
        }
    }
    // Stop keeps what was measured, release drops it.
    std::this_thread::sleep_for(120ms);
    ASSERT_EQ(p.Ioctl(kPulseStop, nullptr), 0);
    const uint64_t made = p.made();
    std::this_thread::sleep_for(120ms);
    EXPECT_EQ(p.made(), made) << "nothing is measured after the stop";
    EXPECT_EQ(ReadRecord(p).flag, kPulseMoreData);
    ASSERT_EQ(p.Ioctl(kPulseRelease, nullptr), 0);
    EXPECT_EQ(ReadRecord(p).flag, kPulseNoData);
}

TEST_F(SimSensorsTest, PulseCountsOfAStandingVehicleAreZeroAndASpeedChangeSplitsItsInterval) {
    sim::SimPulse p(sim::kPulseDevicePath, O_RDWR, 200);
    ASSERT_EQ(p.Ioctl(kPulseStart, nullptr), 0);
    std::this_thread::sleep_for(300ms);
    ASSERT_TRUE(World().VehicleSpeed(100));  // 70.8 pulses per second
    std::this_thread::sleep_for(500ms);
    // Read late: the records of the intervals before the change stay at 0,
    // the one the change fell in holds only its part.
    std::vector<pulse_input_buffer> r;
    for (pulse_input_buffer x = ReadRecord(p); (x.flag & kPulseNoData) == 0; x = ReadRecord(p)) r.push_back(x);
    ASSERT_GE(r.size(), 4u);
    EXPECT_EQ(r[0].count_gpt1, 0u);
    EXPECT_GT(r[1].count_gpt1, 0u);
    EXPECT_LT(r[1].count_gpt1, 12u) << "about 100 ms of the 200 ms interval";
    EXPECT_LE(std::abs(r[2].count_gpt1 - sim::SpeedPulsesPerSecond(100) * 0.2), 1.0);
    EXPECT_EQ(r[0].count_gpt2, 0u);
}

}  // namespace
}  // namespace diviv
