// The simulated microphone on its own, driven through the device layer as
// the capture thread drives the board's SSI audio driver: pacing by the
// board clock, short reads, capture times, the tone with its clicks on whole
// seconds, a WAV file instead, and the faults a scenario writes to the world.
#include <gtest/gtest.h>
#include <fcntl.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <thread>

#include "platform/Board.h"
#include "platform/SsiAudio.h"
#include "sim/SimMicrophone.h"
#include "sim/SimMicrophoneWav.h"
#include "sim/World.h"
#include "support/SimBoardFixture.h"

namespace diviv {
namespace {

using namespace std::chrono_literals;

int64_t WallNs(dr_timeval t) { return (int64_t{t.tv_sec} * 1000000 + t.tv_usec) * 1000; }

int64_t NowWallNs() {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    return int64_t{ts.tv_sec} * 1000000000 + ts.tv_nsec;
}

// A 16-bit PCM WAV file's bytes.
std::string WavBytes(int channels, uint32_t rate, const std::vector<int16_t>& interleaved) {
    std::string b;
    auto put = [&](uint32_t v, int bytes) {
        for (int k = 0; k < bytes; ++k) b.push_back(static_cast<char>((v >> (8 * k)) & 0xFF));
    };
    const uint32_t data = static_cast<uint32_t>(interleaved.size() * 2);
    b += "RIFF";
    put(36 + data, 4);
    b += "WAVEfmt ";
    put(16, 4);
    put(1, 2);
    put(static_cast<uint32_t>(channels), 2);
    put(rate, 4);
    put(rate * 2 * static_cast<uint32_t>(channels), 4);
    put(2 * static_cast<uint32_t>(channels), 2);
    put(16, 2);
    b += "data";
    put(data, 4);
    for (int16_t v : interleaved) put(static_cast<uint16_t>(v), 2);
    return b;
}

// One read: its samples and the capture time the driver gives for them.
struct Chunk {
    ssize_t rc = 0;
    std::vector<int16_t> samples;
    dr_timeval time{};
};

class MicrophoneTest : public SimBoardTest {
protected:
    void SetUp() override {
        SimBoardTest::SetUp();
        int err = 0;
        dev_ = TheBoard().OpenDevice(kSsiAudioDevice, O_RDWR, &err);
        ASSERT_TRUE(dev_) << err;
    }

    int Configure(wave_config c = {0, 1, 8000, 16}) { return dev_->Ioctl(IOCTL_SSI_CONFIGURE_SSI, &c); }

    Chunk Read(size_t bytes) {
        Chunk c;
        std::vector<std::byte> buf(bytes);
        c.rc = dev_->Read(buf);
        if (c.rc > 0) {
            c.samples.resize(static_cast<size_t>(c.rc) / 2);
            std::memcpy(c.samples.data(), buf.data(), static_cast<size_t>(c.rc));
            EXPECT_EQ(dev_->Ioctl(IOCTL_SSI_GET_CAPTURE_TIME, &c.time), 0);
        }
        return c;
    }

    mxc_ssi_timedout LostReport() {
        mxc_ssi_timedout r{};
        EXPECT_EQ(dev_->Ioctl(IOCTL_SSI_GET_LOST_TIME, &r), 0);
        return r;
    }

    sim::WorldWriter World() { return sim::WorldWriter(Path(sim::kWorldFile)); }

    std::unique_ptr<Device> dev_;
};

TEST_F(MicrophoneTest, ReadsArePacedByTheClockAndStampedWithTheirFirstSample) {
    Chunk none = Read(1600);
    EXPECT_EQ(none.rc, -EINVAL) << "a port that was not configured captures nothing";
    const int64_t configured_ns = NowWallNs();
    ASSERT_EQ(Configure(), 0);

    // Straight after the configuration only the first 10 ms period is there:
    // a short read, stamped with the port's first sample.
    const Chunk first = Read(1600);
    ASSERT_GT(first.rc, 0);
    EXPECT_LT(first.rc, 1600);
    EXPECT_EQ(first.rc % 160, 0) << "whole DMA periods";
    EXPECT_NEAR(static_cast<double>(WallNs(first.time) - configured_ns), 0.0, 5e6);

    // A second of reading: every read continues where the last one ended,
    // and the samples arrive at 8000 per second.
    const auto start = std::chrono::steady_clock::now();
    int64_t samples = static_cast<int64_t>(first.samples.size());
    Chunk previous = first;
    while (std::chrono::steady_clock::now() - start < 1s) {
        std::this_thread::sleep_for(30ms);
        const Chunk c = Read(1600);
        ASSERT_GT(c.rc, 0);
        const int64_t expected_ns = WallNs(previous.time) + static_cast<int64_t>(previous.samples.size()) * 125000;
        EXPECT_NEAR(static_cast<double>(WallNs(c.time) - expected_ns), 0.0, 1000.0) << "gap or overlap between reads";
        samples += static_cast<int64_t>(c.samples.size());
        previous = c;
    }
    const double seconds = static_cast<double>(NowWallNs() - configured_ns) / 1e9;
    EXPECT_NEAR(static_cast<double>(samples) / seconds, 8000.0, 8000.0 * 0.05);
}

TEST_F(MicrophoneTest, OnlyThePortsOwnSettingsAreAccepted) {
    EXPECT_EQ(Configure({0, 2, 8000, 16}), -EINVAL);
    EXPECT_EQ(Configure({0, 1, 16000, 16}), -EINVAL);
    EXPECT_EQ(Configure({0, 1, 8000, 8}), -EINVAL);
    EXPECT_EQ(Configure({1, 1, 8000, 16}), -EINVAL);
    EXPECT_EQ(Read(1600).rc, -EINVAL);
    EXPECT_EQ(Configure(), 0);
    EXPECT_EQ(Read(1).rc, -EINVAL) << "no room for one sample";
    int unknown = 0;
    EXPECT_EQ(dev_->Ioctl(7, &unknown), -ENOTTY);
}

TEST_F(MicrophoneTest, TheToneClicksAtEveryWholeSecondOfTheCaptureClock) {
    ASSERT_EQ(Configure(), 0);
    std::vector<int16_t> sound;
    int64_t first_ns = 0;
    const auto start = std::chrono::steady_clock::now();
    while (std::chrono::steady_clock::now() - start < 1300ms) {
        const Chunk c = Read(3200);
        ASSERT_GT(c.rc, 0);
        if (sound.empty()) first_ns = WallNs(c.time);
        // The samples are the tone at their own capture instants (the
        // stamp's microseconds leave the click's phase a little off).
        for (size_t i = 0; i < c.samples.size(); ++i) {
            const int16_t want = sim::MicrophoneToneSample(WallNs(c.time) + static_cast<int64_t>(i) * 125000);
            ASSERT_NEAR(c.samples[i], want, 200) << i;
        }
        sound.insert(sound.end(), c.samples.begin(), c.samples.end());
        std::this_thread::sleep_for(40ms);
    }
    // Loud samples lie only in the 10 ms after a whole second, and each
    // click starts within a millisecond of it.
    int clicks = 0;
    for (size_t i = 0; i < sound.size(); ++i) {
        if (std::abs(sound[i]) <= 12000) continue;
        const int64_t into_second = (first_ns + static_cast<int64_t>(i) * 125000) % 1000000000;
        EXPECT_LT(into_second, sim::kClickNs) << "loud sample outside a click, sample " << i;
        const bool onset = i < 40 || std::none_of(sound.begin() + static_cast<long>(i) - 40, sound.begin() + static_cast<long>(i),
                                                  [](int16_t v) { return std::abs(v) > 12000; });
        if (onset && i >= 40) {
            ++clicks;
            EXPECT_LT(into_second, 1000000) << "click onset " << into_second << " ns after the second";
        }
    }
    EXPECT_GE(clicks, 1);
}

TEST_F(MicrophoneTest, AWavFileNamedByTheWorldIsPlayedInALoop) {
    // 0.25 s at 16 kHz in stereo: the microphone hears its channels' mean at 8 kHz.
    std::vector<int16_t> stereo;
    for (int i = 0; i < 4000; ++i) {
        stereo.push_back(static_cast<int16_t>(i * 4));
        stereo.push_back(static_cast<int16_t>(i * 4 + 1000));
    }
    const std::string wav = root_ + "/sound.wav";
    ASSERT_TRUE(sim::WriteTextFile(wav, WavBytes(2, 16000, stereo)));
    std::vector<int16_t> heard;
    std::string why;
    ASSERT_TRUE(sim::ReadMicrophoneWav(wav, &heard, &why)) << why;
    ASSERT_EQ(heard.size(), 2000u);
    EXPECT_EQ(heard[0], 500);
    EXPECT_EQ(heard[1], 8 + 500);  // every other 16 kHz frame, channels averaged

    ASSERT_TRUE(World().MicrophoneFile(wav));
    ASSERT_EQ(Configure(), 0);
    std::vector<int16_t> sound;
    while (sound.size() < 5000) {
        const Chunk c = Read(16000);
        ASSERT_GT(c.rc, 0);
        sound.insert(sound.end(), c.samples.begin(), c.samples.end());
        std::this_thread::sleep_for(50ms);
    }
    for (size_t i = 0; i < sound.size(); ++i) ASSERT_EQ(sound[i], heard[i % heard.size()]) << i;

    // Back to the tone from the next period on.
    ASSERT_TRUE(World().MicrophoneFile(""));
    std::this_thread::sleep_for(30ms);
    (void)Read(16000);
    std::this_thread::sleep_for(30ms);
    const Chunk c = Read(16000);
    ASSERT_GT(c.rc, 0);
    EXPECT_NEAR(c.samples[0], sim::MicrophoneToneSample(WallNs(c.time)), 20);  // the stamp is in whole microseconds
}

TEST_F(MicrophoneTest, DamagedWavFilesAreRefusedWithAReason) {
    std::vector<int16_t> s;
    std::string why;
    EXPECT_FALSE(sim::ReadMicrophoneWav(root_ + "/missing.wav", &s, &why));
    EXPECT_NE(why.find("cannot open"), std::string::npos);
    ASSERT_TRUE(sim::WriteTextFile(root_ + "/text.wav", "RIFF....WAVEnothing here"));
    EXPECT_FALSE(sim::ReadMicrophoneWav(root_ + "/text.wav", &s, &why));
    const std::string good = root_ + "/good.wav";
    ASSERT_TRUE(sim::WriteMicrophoneWav(good, std::vector<int16_t>(100, 7)));
    std::string bytes = sim::ReadTextFile(good);
    std::string float_format = bytes;
    float_format[20] = 3;  // IEEE float
    ASSERT_TRUE(sim::WriteTextFile(root_ + "/float.wav", float_format));
    EXPECT_FALSE(sim::ReadMicrophoneWav(root_ + "/float.wav", &s, &why));
    EXPECT_NE(why.find("PCM"), std::string::npos);
    // A data chunk that claims more than the file holds is read as far as it goes.
    ASSERT_TRUE(sim::WriteTextFile(root_ + "/cut.wav", bytes.substr(0, bytes.size() - 50)));
    ASSERT_TRUE(sim::ReadMicrophoneWav(root_ + "/cut.wav", &s, &why)) << why;
    EXPECT_EQ(s.size(), 75u);
    ASSERT_TRUE(sim::WriteTextFile(root_ + "/head.wav", bytes.substr(0, 30)));
    EXPECT_FALSE(sim::ReadMicrophoneWav(root_ + "/head.wav", &s, &why));
}

TEST_F(MicrophoneTest, InterruptedReadsLoseNothing) {
    ASSERT_EQ(Configure(), 0);
    const Chunk before = Read(1600);
    ASSERT_GT(before.rc, 0);
    ASSERT_TRUE(World().MicrophoneEintr(2));
    EXPECT_EQ(Read(1600).rc, -EINTR);
    EXPECT_EQ(Read(1600).rc, -EINTR);
    std::this_thread::sleep_for(20ms);
    const Chunk after = Read(1600);
    ASSERT_GT(after.rc, 0);
    EXPECT_NEAR(static_cast<double>(WallNs(after.time) - WallNs(before.time)), before.samples.size() * 125000.0, 1000.0);
    EXPECT_EQ(LostReport().count, 0);
}

TEST_F(MicrophoneTest, ATimeOutLosesTheSoundWaitingAndIsReported) {
    ASSERT_EQ(Configure(), 0);
    ASSERT_GT(Read(1600).rc, 0);
    std::this_thread::sleep_for(100ms);
    ASSERT_TRUE(World().MicrophoneTimeout(1));
    EXPECT_EQ(Read(1600).rc, -ETIMEDOUT);
    const mxc_ssi_timedout report = LostReport();
    EXPECT_EQ(report.count, 1);
    const double lost = report.losttime.tv_sec + report.losttime.tv_usec / 1e6;
    EXPECT_GE(lost, 0.08);
    EXPECT_LT(lost, 0.5);
}

TEST_F(MicrophoneTest, AStalledPortTimesOutAndResumesAfterTheStall) {
    ASSERT_EQ(Configure(), 0);
    std::this_thread::sleep_for(30ms);
    const Chunk before = Read(16000);
    ASSERT_GT(before.rc, 0);
    ASSERT_TRUE(World().MicrophoneStall(800));
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(Read(16000).rc, -ETIMEDOUT);
    EXPECT_GE(std::chrono::steady_clock::now() - t0, 450ms) << "the driver waits for its time-out";
    Chunk after;
    do {
        after = Read(16000);
    } while (after.rc == -ETIMEDOUT);
    ASSERT_GT(after.rc, 0);
    // The stall is a gap in the capture times, and it is reported lost.
    const double gap = static_cast<double>(WallNs(after.time) - WallNs(before.time)) / 1e9 - before.samples.size() / 8000.0;
    EXPECT_NEAR(gap, 0.8, 0.03);
    const mxc_ssi_timedout report = LostReport();
    EXPECT_GE(report.count, 1);
    EXPECT_NEAR(report.losttime.tv_sec + report.losttime.tv_usec / 1e6, 0.8, 0.03);
}

TEST_F(MicrophoneTest, SoundLeftUnreadLongerThanTheBufferIsOverwritten) {
    ASSERT_EQ(Configure(), 0);
    ASSERT_GT(Read(1600).rc, 0);
    std::this_thread::sleep_for(2300ms);
    EXPECT_EQ(Read(1600).rc, -ETIMEDOUT) << "the reader is told that sound was lost";
    const mxc_ssi_timedout report = LostReport();
    EXPECT_EQ(report.count, 1);
    EXPECT_NEAR(report.losttime.tv_sec + report.losttime.tv_usec / 1e6, 0.3, 0.05);
    // What is left is the last two seconds.
    int64_t samples = 0;
    for (;;) {
        const Chunk c = Read(64000);
        ASSERT_GT(c.rc, 0);
        samples += static_cast<int64_t>(c.samples.size());
        if (c.samples.size() < 32000) break;
    }
    EXPECT_NEAR(static_cast<double>(samples), 16000.0, 200.0);
}

}  // namespace
}  // namespace diviv
