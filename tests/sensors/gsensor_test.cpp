// The G-sensor receiver against the simulated G-sensor: thresholds by
// mounting position, the offsets file, samples with gravity where the
// mounting puts it, jolts marked by the driver's event bits, the recording
// start, a writer that falls behind, a recorder too slow for the driver, and
// every failure road.
#include <fcntl.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdlib>
#include <set>

#include "SensorTestKit.h"
#include "platform/Board.h"
#include "platform/Clock.h"
#include "sensors/GssReceiveThread.h"
#include "sim/SimGsensor.h"

namespace diviv {
namespace {

using test::Micros;
using test::TakeRecords;
using test::WaitFor;
using namespace std::chrono_literals;

bool SameThresholds(const gsensor_threshold_axis& a, const gsensor_threshold_axis& b) {
    return std::memcmp(&a, &b, sizeof a) == 0;
}

TEST(GssThresholds, FollowTheMountingPositionTable) {
    // Position 1: braking X-, acceleration X+, steering on Y, Z vertical.
    gsensor_threshold_axis t = GssThresholds(1, 5, 6, 7);
    EXPECT_EQ(t.x_positive, 6u);
    EXPECT_EQ(t.x_negative, 5u);
    EXPECT_EQ(t.y_positive, 7u);
    EXPECT_EQ(t.y_negative, 7u);
    EXPECT_EQ(t.z_positive, 0u);
    EXPECT_EQ(t.z_negative, 0u);
    // Position 20: braking Y-, acceleration Y+, steering on Z, X vertical.
    t = GssThresholds(20, 5, 6, 7);
    EXPECT_EQ(t.y_negative, 5u);
    EXPECT_EQ(t.y_positive, 6u);
    EXPECT_EQ(t.z_positive, 7u);
    EXPECT_EQ(t.z_negative, 7u);
    EXPECT_EQ(t.x_positive, 0u);
    EXPECT_EQ(t.x_negative, 0u);
    // Position 11: braking Z+, acceleration Z-, steering on X, Y vertical.
    t = GssThresholds(11, 5, 6, 7);
    EXPECT_TRUE(SameThresholds(t, {7, 7, 0, 0, 5, 6}));
    // Positions p and p + 4 mount alike.
    for (int p : {1, 2, 3, 4, 9, 10, 11, 12, 17, 18, 19, 20}) {
        EXPECT_TRUE(SameThresholds(GssThresholds(p, 5, 6, 7), GssThresholds(p + 4, 5, 6, 7))) << p;
    }
    // No position, or one beyond the table: no thresholds at all.
    for (int p : {0, 25, 255}) EXPECT_TRUE(SameThresholds(GssThresholds(p, 5, 6, 7), {})) << p;
}

// The event bits the recording writer takes for acceleration, braking and
// steering, by mounting position (bit 0/1 X+/X-, 2/3 Y+/Y-, 4/5 Z+/Z-).
struct DrivingBits {
    int accel, brake;
    int steer_axis;  // 0 X, 1 Y, 2 Z
};
DrivingBits WriterBits(int p) {
    auto in = [p](std::initializer_list<int> set) { return std::find(set.begin(), set.end(), p) != set.end(); };
    DrivingBits b{};
    if (in({1, 5, 9, 13})) b = {0, 1, 0};
    if (in({2, 6, 10, 14})) b = {1, 0, 0};
    if (in({3, 7, 19, 23})) b = {3, 2, 0};
    if (in({4, 8, 20, 24})) b = {2, 3, 0};
    if (in({11, 15, 17, 21})) b = {5, 4, 0};
    if (in({12, 16, 18, 22})) b = {4, 5, 0};
    b.steer_axis = in({1, 2, 5, 6, 17, 18, 21, 22}) ? 1 : in({3, 4, 7, 8, 11, 12, 15, 16}) ? 0 : 2;
    return b;
}

class SimGsensorMounting : public SensorTest {
protected:
    // One sample of a freshly started sensor mounted in `position`, with the
    // receiver's thresholds for that position (brake 5, accel 6, steering 7)
    // while the vehicle accelerates by (fb, lr, ud) g.
    gsensor_buffer SampleAt(int position, double fb, double lr, double ud) {
        sim::WorldWriter w = World();
        EXPECT_TRUE(w.GsensorPosition(position));
        EXPECT_TRUE(w.Acceleration(fb, lr, ud));
        int error = 0;
        auto dev = TheBoard().OpenDevice(kGsensorDevice, O_RDWR, &error);
        EXPECT_NE(dev, nullptr);
        gsensor_threshold_axis t = GssThresholds(position, 5, 6, 7);
        EXPECT_EQ(dev->Ioctl(kGsensorSetThreshold, &t), 0);
        EXPECT_EQ(dev->Ioctl(kGsensorStart, nullptr), 0);
        gsensor_buffer s{};
        s.flag = kGsensorNoData;
        WaitFor([&] { return dev->Ioctl(kGsensorRead, &s) == 0 && (s.flag & kGsensorNoData) == 0; }, 2000ms);
        return s;
    }
};

TEST_F(SimGsensorMounting, EveryPositionPutsBrakingAccelerationAndSteeringOnTheWritersBits) {
    // The sensor model's axes and the receiver's thresholds must meet the
    // writer's reading of the event bits in every mounting position.
    for (int p = 1; p <= 24; ++p) {
        const DrivingBits want = WriterBits(p);
        const gsensor_buffer rest = SampleAt(p, 0, 0, 0);
        EXPECT_EQ(rest.event, 0) << "position " << p << ": gravity lies on the axis without thresholds";
        EXPECT_EQ(std::abs(rest.xaxis) + std::abs(rest.yaxis) + std::abs(rest.zaxis), 16) << p;
        EXPECT_EQ(SampleAt(p, -1, 0, 0).event, 1 << want.brake) << "position " << p << " braking";
        EXPECT_EQ(SampleAt(p, 1, 0, 0).event, 1 << want.accel) << "position " << p << " accelerating";
        const int steer = SampleAt(p, 0, 1, 0).event;
        EXPECT_TRUE(steer == 1 << (2 * want.steer_axis) || steer == 1 << (2 * want.steer_axis + 1))
            << "position " << p << " steering: " << steer;
        EXPECT_EQ(SampleAt(p, 0, -1, 0).event | steer, 3 << (2 * want.steer_axis)) << p;
    }
}

// A receiver thread on the simulated G-sensor, mounted as the recorder is
// told (position 1 unless a test says otherwise), limits brake 5, accel 6,
// steering 7.
class GssReceiveTest : public SensorTest {
protected:
    void SetUp() override {
        SensorTest::SetUp();
        dr()->gsens_enable = 1;
        dr()->gss_position = 1;
        dr()->brake_limit = 5;
        dr()->accel_limit = 6;
        dr()->steering_limit = 7;
        board().Devices().Register(sim::kGsensorDevicePath,
                                   [this](const std::string& path, int flags, int* error) -> std::unique_ptr<Device> {
                                       auto m = std::make_unique<sim::SimGsensor>(path, flags);
                                       for (const sim::Fault& f : faults_at_open_) m->InjectFault(f);
                                       model_ = m.get();
                                       *error = 0;
                                       return m;
                                   });
    }

    void Mount(int position) {
        dr()->gss_position = static_cast<uint8_t>(position);
        ASSERT_TRUE(World().GsensorPosition(position));
    }
    void StartReceiver() { Start(GssReceiveThread, dr()->GSS_ALIVE, dr()->REQ_GSS_CLOSE); }
    // What the video capture does when its first frame is in.
    void StartCapture() {
        dr()->RecStartTime = Now();
        dr()->CaptureStart = 1;
    }
    // Takes what reached gsens_buf until `n` samples are in (or the limit).
    std::vector<gsensor_buffer> Collect(size_t n, std::chrono::milliseconds limit = 5000ms) {
        WaitFor(
            [&] {
                for (const auto& s : TakeRecords<gsensor_buffer>(&dr()->gsens_buf)) taken_.push_back(s);
                return taken_.size() >= n;
            },
            limit);
        return taken_;
    }

    std::vector<sim::Fault> faults_at_open_;
    std::atomic<sim::SimGsensor*> model_{nullptr};  // valid while the receiver has the device open
    std::vector<gsensor_buffer> taken_;
};

// Consecutive samples are one sampling period apart.
void ExpectContiguous(const std::vector<gsensor_buffer>& s) {
    for (size_t i = 1; i < s.size(); ++i) {
        ASSERT_EQ(Micros(s[i].timestamp) - Micros(s[i - 1].timestamp), sim::kGsensorPeriodMs * 1000) << "sample " << i;
    }
}

TEST_F(GssReceiveTest, OpeningWritesTheOffsetsAndHandsTheDriverThePositionsThresholds) {
    dr()->gss_offset_x = -1;
    dr()->gss_offset_y = 2;
    dr()->gss_offset_z = 127;
    StartReceiver();
    ASSERT_TRUE(WaitFor([&] { return model_.load() != nullptr && model_.load()->Counters().delivered > 0; }, 5000ms));
    EXPECT_TRUE(SameThresholds(model_.load()->Thresholds(), GssThresholds(1, 5, 6, 7)));
    const std::string console = Stop();
    EXPECT_EQ(Read(kGsensorOffsetFile), "ff 02 7f");
    EXPECT_NE(console.find("GSS : GssReceiveThread start [ppid="), std::string::npos);
    EXPECT_EQ(test::CountLines(console, "GSS: Threshhold_axis(xn=05,xp=06,yn=07,yp=07,zn=00,zp=00"), 1) << console;
    EXPECT_EQ(test::CountLines(console, "GSS : Close :0"), 1);
    EXPECT_EQ(test::CountLines(console, "GSS : GssReceiveThread End "), 1);
    EXPECT_EQ(dr()->GSS_ALIVE.load(), 0);
}

class GssGravityTest : public GssReceiveTest, public testing::WithParamInterface<std::array<int, 4>> {};

TEST_P(GssGravityTest, SamplesAtRestReadGravityOnTheMountingsVerticalAxis) {
    const auto [position, x, y, z] = GetParam();
    Mount(position);
    StartReceiver();
    ASSERT_TRUE(WaitFor([&] { return dr()->GSensorDataValid.load() == 1; }, 5000ms));
    EXPECT_EQ(DR_GetRingBufferReadAvailable(&dr()->gsens_buf), 0) << "nothing is forwarded before capture starts";
    StartCapture();
    const dr_timeval start = dr()->RecStartTime;
    const auto samples = Collect(30);
    Stop();
    ASSERT_GE(samples.size(), 30u);
    EXPECT_GE(Micros(samples.front().timestamp), Micros(start));
    ExpectContiguous(samples);
    for (const gsensor_buffer& s : samples) {
        ASSERT_EQ(s.xaxis, x);
        ASSERT_EQ(s.yaxis, y);
        ASSERT_EQ(s.zaxis, z);
        ASSERT_EQ(s.event, 0);
        ASSERT_EQ(s.flag, 0u);
    }
    EXPECT_EQ(dr()->GSensorError.load(), 0);
}

// Position, then X, Y, Z at rest (16 = 1 g up).
INSTANTIATE_TEST_SUITE_P(Positions, GssGravityTest,
                         testing::Values(std::array<int, 4>{1, 0, 0, 16}, std::array<int, 4>{5, 0, 0, -16},
                                         std::array<int, 4>{11, 0, -16, 0}, std::array<int, 4>{16, 0, 16, 0},
                                         std::array<int, 4>{20, -16, 0, 0}, std::array<int, 4>{24, 16, 0, 0}));

TEST_F(GssReceiveTest, JoltsBeyondTheThresholdsSetTheirDirectionsEventBits) {
    StartReceiver();
    StartCapture();
    Collect(5);
    sim::WorldWriter w = World();
    ASSERT_TRUE(w.Shock(-0.8, 0, 0));  // hard braking: X -13, beyond brake 5
    Collect(taken_.size() + 30);
    ASSERT_TRUE(w.Shock(0, 0.6, 0));   // steering: Y +10, beyond 7
    Collect(taken_.size() + 30);
    ASSERT_TRUE(w.Shock(0.3, 0, 0));   // X +5: not beyond accel 6
    Collect(taken_.size() + 30);
    ASSERT_TRUE(w.Acceleration(0.5, 0, 0));  // held: X +8, beyond accel 6
    const auto samples = Collect(taken_.size() + 30);
    Stop();
    ExpectContiguous(samples);

    int braking = 0, steering = 0, mild = 0, accelerating = 0;
    for (const gsensor_buffer& s : samples) {
        ASSERT_EQ(s.zaxis, 16);
        if (s.xaxis == -13) {
            ++braking;
            EXPECT_EQ(s.event, kGsensorEventXNegative);
        } else if (s.yaxis == 10) {
            ++steering;
            EXPECT_EQ(s.event, kGsensorEventYPositive);
        } else if (s.xaxis == 5) {
            ++mild;
            EXPECT_EQ(s.event, 0);
        } else if (s.xaxis == 8) {
            ++accelerating;
            EXPECT_EQ(s.event, kGsensorEventXPositive);
        } else {
            EXPECT_EQ(s.xaxis, 0);
            EXPECT_EQ(s.yaxis, 0);
            EXPECT_EQ(s.event, 0);
        }
    }
    // A jolt lasts 100 ms: ten samples (one may be taken while the step is
    // being written).
    EXPECT_GE(braking, 9);
    EXPECT_LE(braking, 10);
    EXPECT_GE(steering, 9);
    EXPECT_LE(steering, 10);
    EXPECT_GE(mild, 9);
    EXPECT_LE(mild, 10);
    EXPECT_GE(accelerating, 25);
}

TEST_F(GssReceiveTest, NothingFromBeforeTheRecordingStartIsForwarded) {
    StartReceiver();
    ASSERT_TRUE(WaitFor([&] { return dr()->GSensorDataValid.load() == 1; }, 5000ms));
    std::this_thread::sleep_for(200ms);  // pre-reading keeps only the newest sample
    StartCapture();
    const dr_timeval start = dr()->RecStartTime;
    const auto samples = Collect(10);
    Stop();
    ASSERT_FALSE(samples.empty());
    EXPECT_GE(Micros(samples.front().timestamp), Micros(start));
    EXPECT_LE(Micros(samples.front().timestamp), Micros(start) + sim::kGsensorPeriodMs * 1000)
        << "the first sample after the start is not lost";
    ExpectContiguous(samples);
}

TEST_F(GssReceiveTest, TheNewestPreReadSampleIsForwardedWhenTheRecordingStartedBeforeIt) {
    const dr_timeval before = Now();
    StartReceiver();
    ASSERT_TRUE(WaitFor([&] { return dr()->GSensorDataValid.load() == 1; }, 5000ms));
    std::this_thread::sleep_for(100ms);
    dr()->RecStartTime = before;
    const dr_timeval capture = Now();
    dr()->CaptureStart = 1;
    const auto samples = Collect(10);
    Stop();
    ASSERT_FALSE(samples.empty());
    EXPECT_LT(Micros(samples.front().timestamp), Micros(capture)) << "the pre-read sample leads";
    EXPECT_GT(Micros(samples.front().timestamp), Micros(before) + 80000) << "and it is the newest one";
    ExpectContiguous(samples);
}

TEST_F(GssReceiveTest, AWriterFallingBehindIsAbsorbedByTheLocalRing) {
    ResizeBuffer(&dr()->gsens_buf, 256);  // 16 samples
    StartReceiver();
    StartCapture();
    // Nobody reads gsens_buf: it fills, the receiver keeps the rest.
    ASSERT_TRUE(WaitFor([&] { return dr()->GSensorError.load() == 1; }, 5000ms));
    std::this_thread::sleep_for(700ms);
    const auto samples = Collect(150);
    ASSERT_TRUE(WaitFor([&] {
        Collect(0, 0ms);
        return dr()->GSensorError.load() == 0;
    }, 5000ms)) << "the error clears once there is room again";
    const std::string console = Stop();
    ASSERT_GE(samples.size(), 150u);
    ExpectContiguous(samples);
    for (const gsensor_buffer& s : samples) ASSERT_EQ(s.flag & kGsensorOverrun, 0u);
    EXPECT_LE(test::CountLines(console, "GSS : #### GSensor Buffer is FULL !! ###"), 1) << "once per process";
}

TEST_F(GssReceiveTest, ARecorderTooSlowForTheDriverFindsTheOverrunBit) {
    StartReceiver();
    StartCapture();
    Collect(10);
    // The receiver's next read takes a second: the driver's 64 samples do
    // not hold that.
    sim::Fault slow{};
    slow.op = sim::FaultOp::kIoctl;
    slow.request = kGsensorRead;
    slow.stall_ms = 1000;
    model_.load()->InjectFault(slow);
    std::vector<gsensor_buffer> samples;
    ASSERT_TRUE(WaitFor([&] {
        samples = Collect(0, 0ms);
        return std::any_of(samples.begin(), samples.end(), [](const auto& s) { return s.flag & kGsensorOverrun; });
    }, 10000ms));
    Collect(samples.size() + 20);
    const std::string console = Stop();
    samples = taken_;
    const auto flagged = std::find_if(samples.begin(), samples.end(), [](const auto& s) { return s.flag & kGsensorOverrun; });
    ASSERT_NE(flagged, samples.begin());
    const int64_t gap = Micros(flagged->timestamp) - Micros((flagged - 1)->timestamp);
    EXPECT_GE(gap, (1000 - sim::kGsensorBufferSamples * sim::kGsensorPeriodMs - 50) * 1000) << "samples were lost";
    EXPECT_EQ(std::count_if(samples.begin(), samples.end(), [](const auto& s) { return s.flag & kGsensorOverrun; }), 1);
    ExpectContiguous(std::vector<gsensor_buffer>(flagged, samples.end()));
    EXPECT_EQ(test::CountLines(console, "GSS: Buffer overrun detected in Valid data !"), 1) << console;
    EXPECT_EQ(dr()->GSensorError.load(), 0);
}

TEST_F(GssReceiveTest, AMissingDeviceDisablesTheSensor) {
    board().Devices().Register(sim::kGsensorDevicePath, [](const std::string&, int, int* error) {
        *error = -ENOENT;
        return std::unique_ptr<Device>();
    });
    StartReceiver();
    ASSERT_TRUE(WaitFor([&] { return Ended(); }, 5000ms));
    const std::string console = Stop();
    EXPECT_EQ(dr()->gsens_enable.load(), 0);
    EXPECT_EQ(dr()->GSensorError.load(), 1);
    EXPECT_TRUE(Logged("Failure of opening the device.")) << testing::PrintToString(LogCalls());
    EXPECT_EQ(test::CountLines(console, "GSS : GssReceiveThread End "), 1);
    EXPECT_EQ(console.find("GSS : Close"), std::string::npos) << "nothing was open";
}

TEST_F(GssReceiveTest, AFailingReadDisablesTheSensorAndClosesTheDriver) {
    StartReceiver();
    StartCapture();
    Collect(5);
    ASSERT_EQ(dr()->GSensorDataValid.load(), 1);
    sim::Fault eio{};
    eio.op = sim::FaultOp::kIoctl;
    eio.request = kGsensorRead;
    eio.error = EIO;
    model_.load()->InjectFault(eio);
    ASSERT_TRUE(WaitFor([&] { return Ended(); }, 5000ms));
    const std::string console = Stop();
    EXPECT_EQ(dr()->gsens_enable.load(), 0);
    EXPECT_EQ(dr()->GSensorDataValid.load(), 0);
    EXPECT_EQ(dr()->GSensorError.load(), 1);
    EXPECT_EQ(test::CountLines(console, "GSS : Close :0"), 1);
    EXPECT_EQ(test::CountLines(console, "GSS : GssReceiveThread End "), 1);
}

TEST_F(GssReceiveTest, AFailingReadBeforeCaptureDisablesTheSensorToo) {
    sim::Fault eio{};
    eio.op = sim::FaultOp::kIoctl;
    eio.request = kGsensorRead;
    eio.error = EIO;
    faults_at_open_.push_back(eio);
    StartReceiver();
    ASSERT_TRUE(WaitFor([&] { return Ended(); }, 5000ms));
    Stop();
    EXPECT_EQ(dr()->gsens_enable.load(), 0);
    EXPECT_EQ(dr()->GSensorError.load(), 1);
}

TEST_F(GssReceiveTest, AFailedStartIsLoggedAndMarkedAndTheThreadGoesOn) {
    sim::Fault eio{};
    eio.op = sim::FaultOp::kIoctl;
    eio.request = kGsensorStart;
    eio.error = EIO;
    faults_at_open_.push_back(eio);
    StartReceiver();
    ASSERT_TRUE(WaitFor([&] { return Logged("Failure of device initialization."); }, 5000ms));
    std::this_thread::sleep_for(100ms);  // a sensor without samples is polled without errors
    EXPECT_FALSE(Ended());
    const std::string console = Stop();
    EXPECT_EQ(dr()->gsens_enable.load(), 0);
    EXPECT_EQ(dr()->GSensorError.load(), 1);
    EXPECT_EQ(dr()->GSensorDataValid.load(), 0);
    EXPECT_EQ(test::CountLines(console, "GSS : Close :0"), 1);
}

TEST_F(GssReceiveTest, AStopBeforeCaptureEverStartedEndsTheThread) {
    StartReceiver();
    ASSERT_TRUE(WaitFor([&] { return dr()->GSensorDataValid.load() == 1; }, 5000ms));
    dr()->REQ_GSS_CLOSE = 1;
    ASSERT_TRUE(WaitFor([&] { return Ended(); }, 2000ms)) << "the pre-read loop must see the close request";
    const std::string console = Stop();
    EXPECT_EQ(dr()->gsens_enable.load(), 1) << "a stop is no failure";
    EXPECT_EQ(dr()->GSensorError.load(), 0);
    EXPECT_EQ(DR_GetRingBufferReadAvailable(&dr()->gsens_buf), 0);
    EXPECT_EQ(test::CountLines(console, "GSS : Close :0"), 1);
}

TEST_F(GssReceiveTest, NothingIsWrittenOnceTheCloseIsRequested) {
    dr()->REQ_GSS_CLOSE = 1;
    gsensor_buffer s{};
    EXPECT_EQ(put_gss(dr(), s), 0);
    EXPECT_EQ(DR_GetRingBufferReadAvailable(&dr()->gsens_buf), 0);
    dr()->REQ_GSS_CLOSE = 0;
    EXPECT_EQ(put_gss(dr(), s), kGsensorRecordSize);
}

}  // namespace
}  // namespace diviv
