// The pulse and contact receiver against the simulated pulse counter and the
// board's input word: records for the scripted speed and engine speed, the
// "one more data" chain, contact bits through the inversion of the lower
// four, nothing before capture, full buffers that never hold a torn record,
// and the failure roads.
#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cmath>
#include <cstdio>

#include "SensorTestKit.h"
#include "sensors/PulseAndContReceiveThread.h"
#include "sim/SimBoard.h"
#include "sim/SimPulse.h"

namespace diviv {
namespace {

using test::Micros;
using test::TakeRecords;
using test::WaitFor;
using namespace std::chrono_literals;

TEST(ContactInputBits, TakeBitsNineToFifteenWithTheLowerFourInverted) {
    EXPECT_EQ(ContactInputBits("0000fe00\n"), 0x70u);  // all seven lines high
    EXPECT_EQ(ContactInputBits("0000FE00\n"), 0x70u);
    EXPECT_EQ(ContactInputBits("00000000\n"), 0x0Fu);  // all low: the active-low four read active
    EXPECT_EQ(ContactInputBits("00001e00\n"), 0x00u);  // the board at rest
    EXPECT_EQ(ContactInputBits("00080e1f\n"), 0x08u);  // keys and the GPS wake-up bit do not count
    EXPECT_EQ(ContactInputBits("0000xe00\n"), 0x08u);  // a stray character counts as 0
    // Anything but exactly nine characters gives 0.
    EXPECT_EQ(ContactInputBits("0000fe00"), 0u);
    EXPECT_EQ(ContactInputBits("00000fe00\n"), 0u);
    EXPECT_EQ(ContactInputBits(""), 0u);
}

// The input word written the way the driver presents it: a reader sees the
// old or the new line, never an empty file.
void WriteInputWord(const std::string& root, uint32_t word) {
    char text[16];
    std::snprintf(text, sizeof text, "%08x\n", word);
    const std::string path = root + "/proc/driver/input";
    ASSERT_TRUE(sim::WriteTextFile(path + ".new", text));
    ASSERT_EQ(std::rename((path + ".new").c_str(), path.c_str()), 0);
}

// A receiver thread on a pulse counter measuring every 100 ms.
class PacReceiveTest : public SensorTest {
protected:
    static constexpr int kIntervalMs = 100;

    void SetUp() override {
        SensorTest::SetUp();
        board().Devices().Register(sim::kPulseDevicePath,
                                   [this](const std::string& path, int flags, int* error) -> std::unique_ptr<Device> {
                                       auto m = std::make_unique<sim::SimPulse>(path, flags, kIntervalMs);
                                       for (const sim::Fault& f : faults_at_open_) m->InjectFault(f);
                                       *error = 0;
                                       opened_ = true;
                                       return m;
                                   });
    }
    void StartReceiver() { Start(PulseAndContReceiveThread, dr()->PAC_ALIVE, dr()->REQ_PAC_CLOSE); }
    void StartCapture() {
        dr()->RecStartTime = Now();
        dr()->CaptureStart = 1;
    }
    std::vector<pulse_input_buffer> CollectPulses(size_t n, std::chrono::milliseconds limit = 5000ms) {
        WaitFor(
            [&] {
                for (const auto& r : TakeRecords<pulse_input_buffer>(&dr()->pulse_buf)) pulses_.push_back(r);
                return pulses_.size() >= n;
            },
            limit);
        return pulses_;
    }
    std::vector<cont_input_buffer> CollectContacts(size_t n, std::chrono::milliseconds limit = 5000ms) {
        WaitFor(
            [&] {
                for (const auto& r : TakeRecords<cont_input_buffer>(&dr()->contin_buf)) contacts_.push_back(r);
                return contacts_.size() >= n;
            },
            limit);
        return contacts_;
    }

    std::vector<sim::Fault> faults_at_open_;
    std::atomic<bool> opened_{false};
    std::vector<pulse_input_buffer> pulses_;
    std::vector<cont_input_buffer> contacts_;
};

TEST_F(PacReceiveTest, NothingReachesEitherBufferBeforeCaptureStarts) {
    StartReceiver();
    ASSERT_TRUE(WaitFor([&] { return opened_.load(); }, 5000ms));
    std::this_thread::sleep_for(600ms);
    EXPECT_EQ(DR_GetRingBufferReadAvailable(&dr()->pulse_buf), 0);
    EXPECT_EQ(DR_GetRingBufferReadAvailable(&dr()->contin_buf), 0);
    StartCapture();
    EXPECT_FALSE(CollectPulses(1).empty());
    EXPECT_FALSE(CollectContacts(1).empty());
    const std::string console = Stop();
    EXPECT_NE(console.find("PAC : PulseAndContReceiveThread start [ppid="), std::string::npos);
    EXPECT_EQ(test::CountLines(console, "PAC : Pulse and Contact-in ReceiveThread End "), 1);
    EXPECT_EQ(dr()->PAC_ALIVE.load(), 0);
}

TEST_F(PacReceiveTest, RecordsCountTheScriptedSpeedAndEngineSpeed) {
    sim::WorldWriter w = World();
    ASSERT_TRUE(w.VehicleSpeed(90));
    ASSERT_TRUE(w.EngineSpeed(3000));
    StartReceiver();
    StartCapture();
    CollectPulses(12);
    const int64_t change_from = Micros(Now());
    ASSERT_TRUE(w.VehicleSpeed(36));
    ASSERT_TRUE(w.EngineSpeed(750));
    const int64_t change_to = Micros(Now());
    CollectPulses(pulses_.size() + 15);
    Stop();

    // Per 100 ms: 90 km/h is 6.37 speed pulses and 3000 rpm 10 engine
    // pulses; 36 km/h 2.55 and 750 rpm 2.5.
    const double per_interval = kIntervalMs / 1000.0;
    int before = 0, after = 0;
    for (const pulse_input_buffer& r : pulses_) {
        EXPECT_EQ(r.elapsed_time.tv_sec, 0);
        EXPECT_EQ(r.elapsed_time.tv_usec, kIntervalMs * 1000);
        const int64_t end = Micros(r.timestamp);
        double kmh = 0, rpm = 0;
        if (end <= change_from) {
            kmh = 90, rpm = 3000, ++before;
        } else if (end - kIntervalMs * 1000 > change_to + 5000) {
            kmh = 36, rpm = 750, ++after;
        } else {
            continue;  // the interval the change fell in
        }
        EXPECT_LE(std::abs(r.count_gpt1 - sim::SpeedPulsesPerSecond(kmh) * per_interval), 1.0) << r.count_gpt1;
        EXPECT_LE(std::abs(r.count_gpt2 - sim::EnginePulsesPerSecond(rpm) * per_interval), 1.0) << r.count_gpt2;
    }
    EXPECT_GE(before, 10);
    EXPECT_GE(after, 10);
    // Fractions carry over: ten intervals hold the whole pulses of a second.
    uint32_t sum = 0;
    for (size_t i = 0; i < 10; ++i) sum += pulses_[i].count_gpt1;
    EXPECT_LE(std::abs(sum - sim::SpeedPulsesPerSecond(90)), 1.0);
    // One record per interval, stamped at its end.
    for (size_t i = 1; i < pulses_.size(); ++i) {
        EXPECT_EQ(Micros(pulses_[i].timestamp) - Micros(pulses_[i - 1].timestamp), kIntervalMs * 1000) << i;
    }
}

TEST_F(PacReceiveTest, RecordsWaitingInTheDriverComeInOneChainMarkedOneMore) {
    ASSERT_TRUE(World().VehicleSpeed(50));
    StartReceiver();
    ASSERT_TRUE(WaitFor([&] { return opened_.load(); }, 5000ms));
    std::this_thread::sleep_for(450ms);  // four or more records pile up in the driver
    StartCapture();
    const auto records = CollectPulses(4);
    std::this_thread::sleep_for(50ms);
    const std::string console = Stop();
    for (const auto& r : TakeRecords<pulse_input_buffer>(&dr()->pulse_buf)) pulses_.push_back(r);

    // The first pass reads until a record says none is behind it.
    ASSERT_GE(pulses_.size(), 4u);
    size_t chain = 0;
    while (chain < pulses_.size() && (pulses_[chain].flag & kPulseMoreData) != 0) ++chain;
    EXPECT_GE(chain, 3u) << "three records in a row say one more waits";
    ASSERT_LT(chain, pulses_.size());
    EXPECT_EQ(pulses_[chain].flag, 0u) << "the last of the chain says none waits";
    const int more = static_cast<int>(
        std::count_if(pulses_.begin(), pulses_.end(), [](const auto& r) { return (r.flag & kPulseMoreData) != 0; }));
    EXPECT_EQ(test::CountLines(console, "PAC: There is one more data to be recieve from driver."), more);
    for (size_t i = 1; i < pulses_.size(); ++i) {
        EXPECT_EQ(Micros(pulses_[i].timestamp) - Micros(pulses_[i - 1].timestamp), kIntervalMs * 1000) << "none lost";
    }
}

TEST_F(PacReceiveTest, ContactSamplesCarryTheInputLinesWithTheLowerFourInverted) {
    WriteInputWord(root_, sim::kInputIdle);
    StartReceiver();
    StartCapture();
    const auto idle = CollectContacts(3);
    WriteInputWord(root_, sim::kInputIdle & ~(1u << 12));  // input 3 pulled low: active
    ASSERT_TRUE(WaitFor([&] { return CollectContacts(0, 0ms).back().sigin == 0x08; }, 5000ms));
    WriteInputWord(root_, sim::kInputIdle | (1u << 14) | 0x1f);  // input 5 high, every key held
    ASSERT_TRUE(WaitFor([&] { return CollectContacts(0, 0ms).back().sigin == 0x20; }, 5000ms));
    WriteInputWord(root_, 0x0000fe00);
    ASSERT_TRUE(WaitFor([&] { return CollectContacts(0, 0ms).back().sigin == 0x70; }, 5000ms));
    Stop();
    for (const cont_input_buffer& c : idle) EXPECT_EQ(c.sigin, 0u);
    for (const cont_input_buffer& c : contacts_) {
        EXPECT_TRUE(c.sigin == 0 || c.sigin == 0x08 || c.sigin == 0x20 || c.sigin == 0x70) << c.sigin;
    }
    // A sample every 200 ms, stamped with the time of day.
    for (size_t i = 1; i < contacts_.size(); ++i) {
        const int64_t step = Micros(contacts_[i].timestamp) - Micros(contacts_[i - 1].timestamp);
        EXPECT_GE(step, 190000) << i;
    }
}

TEST_F(PacReceiveTest, AnUnreadableInputWordIsNoSample) {
    // Read as 0, an unreadable word would be the lines at rest with the
    // active-low inputs active: a false external event on a board wired
    // active-low. It leaves no sample; the next readable word does.
    WriteInputWord(root_, 0);  // would read 0x0F
    ASSERT_EQ(::unlink((root_ + "/proc/driver/input").c_str()), 0);
    StartReceiver();
    StartCapture();
    std::this_thread::sleep_for(700ms);  // three sampling times
    EXPECT_TRUE(CollectContacts(0, 0ms).empty());
    WriteInputWord(root_, sim::kInputIdle & ~(1u << 12));
    ASSERT_TRUE(WaitFor([&] { return !CollectContacts(0, 0ms).empty(); }, 5000ms));
    Stop();
    for (const cont_input_buffer& c : contacts_) EXPECT_EQ(c.sigin, 0x08u);
}

TEST_F(PacReceiveTest, AFullPulseBufferLeavesRecordsInTheDriverAndNeverTearsOne) {
    ResizeBuffer(&dr()->pulse_buf, 32);  // room for one record, not two
    StartReceiver();
    ASSERT_TRUE(WaitFor([&] { return opened_.load(); }, 5000ms));
    std::this_thread::sleep_for(450ms);  // a chain waits in the driver
    StartCapture();
    ASSERT_TRUE(WaitFor([&] { return DR_GetRingBufferReadAvailable(&dr()->pulse_buf) > 0; }, 5000ms));
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(DR_GetRingBufferReadAvailable(&dr()->pulse_buf), kPulseRecordSize) << "one whole record";
    // Taken one by one (one per pass), they come whole and in order; the
    // first ones follow each other without a gap.
    CollectPulses(4);
    const std::string console = Stop();
    ASSERT_GE(pulses_.size(), 4u);
    EXPECT_EQ(Micros(pulses_[1].timestamp) - Micros(pulses_[0].timestamp), kIntervalMs * 1000);
    for (size_t i = 0; i < pulses_.size(); ++i) {
        EXPECT_EQ(pulses_[i].elapsed_time.tv_usec, kIntervalMs * 1000) << i;
        EXPECT_EQ(pulses_[i].flag & ~kPulseMoreData, 0u) << i;
        if (i > 0) {
            const int64_t step = Micros(pulses_[i].timestamp) - Micros(pulses_[i - 1].timestamp);
            EXPECT_GT(step, 0) << i;
            EXPECT_EQ(step % (kIntervalMs * 1000), 0) << i;
        }
    }
    EXPECT_GE(test::CountLines(console, "PAC : #### Pulse Buffer is FULL !! ###"), 1);
}

TEST_F(PacReceiveTest, AFullContactBufferSkipsSamples) {
    ResizeBuffer(&dr()->contin_buf, 16);  // one sample
    StartReceiver();
    StartCapture();
    ASSERT_TRUE(WaitFor([&] { return DR_GetRingBufferReadAvailable(&dr()->contin_buf) > 0; }, 5000ms));
    std::this_thread::sleep_for(500ms);
    const std::string console = Stop();
    EXPECT_EQ(DR_GetRingBufferReadAvailable(&dr()->contin_buf), kContactRecordSize);
    EXPECT_GE(test::CountLines(console, "PAC : #### Contact-in Buffer is FULL !! ###"), 1);
}

TEST_F(PacReceiveTest, AMissingDeviceEndsTheThreadAtOnce) {
    board().Devices().Register(sim::kPulseDevicePath, [](const std::string&, int, int* error) {
        *error = -ENOENT;
        return std::unique_ptr<Device>();
    });
    StartReceiver();
    ASSERT_TRUE(WaitFor([&] { return Ended(); }, 5000ms));
    StartCapture();
    std::this_thread::sleep_for(300ms);
    const std::string console = Stop();
    EXPECT_TRUE(Logged("Failure of opening the device."));
    EXPECT_EQ(DR_GetRingBufferReadAvailable(&dr()->pulse_buf), 0);
    EXPECT_EQ(DR_GetRingBufferReadAvailable(&dr()->contin_buf), 0);
    EXPECT_EQ(test::CountLines(console, "PAC : Pulse and Contact-in ReceiveThread End "), 1);
}

TEST_F(PacReceiveTest, DriverRequestFailuresAreLoggedAndSamplingGoesOn) {
    for (unsigned long request : {kPulseStart, kPulseStop, kPulseRelease}) {
        sim::Fault f{};
        f.op = sim::FaultOp::kIoctl;
        f.request = request;
        f.error = EIO;
        faults_at_open_.push_back(f);
    }
    StartReceiver();
    StartCapture();
    EXPECT_FALSE(CollectContacts(2).empty()) << "contacts are sampled without the counter";
    Stop();
    int init = 0, closing = 0;
    for (const std::string& l : LogCalls()) {
        init += l.find("Failure of device initialization.") != std::string::npos;
        closing += l.find("Failure of closing the device.") != std::string::npos;
    }
    EXPECT_EQ(init, 1);
    EXPECT_EQ(closing, 2) << "stop and release";
}

}  // namespace
}  // namespace diviv
