// Recording runs of the audio capture and encoder threads on the simulated
// board: the microphone model at "/dev/mxc_ssi_audio1", and the G.726 the
// encoder leaves in abs_buf decoded by spandsp (an independent decoder) and
// compared with the microphone's own signal at the capture times the
// capture left in ainfo_buf.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <functional>
#include <regex>
#include <thread>

#include "G726Oracle.h"
#include "RecordingTestKit.h"
#include "TestSignals.h"
#include "platform/Board.h"
#include "recording/AsfMuxThread.h"
#include "recording/AudioCaptureThread.h"
#include "recording/AudioEncoderThread.h"
#include "sim/SimMicrophone.h"
#include "sim/SimulatedBoard.h"
#include "sim/World.h"

namespace diviv {
namespace {

using namespace std::chrono_literals;

constexpr int kBlockSamples = 800;

int64_t Us(dr_timeval t) { return int64_t{t.tv_sec} * 1000000 + t.tv_usec; }

// What the writer receives during one run, and what the console showed.
struct SoundTrack {
    std::vector<uint8_t> coded;      // abs_buf
    std::vector<dr_timeval> stamps;  // ainfo_buf
    std::string console;
    dr_timeval video_start{};        // when CaptureStart was raised
    dr_timeval close_time{};         // when the capture was asked to close
    bool capture_ended_by_itself = false;

    size_t blocks() const { return coded.size() / kAudioCodedBlockBytes; }
    std::vector<int16_t> Decoded() const { return oracle::SpandspDecode(4, coded); }
    // The microphone's signal at the capture times of the blocks.
    std::vector<int16_t> Reference() const {
        std::vector<int16_t> ref;
        for (size_t b = 0; b < blocks() && b < stamps.size(); ++b) {
            for (int i = 0; i < kBlockSamples; ++i) ref.push_back(sim::MicrophoneToneSample((Us(stamps[b]) * 1000) + i * 125000));
        }
        return ref;
    }
};

// The microphone, leaving its counters behind when the capture closes it.
class ObservedMicrophone : public sim::SimMicrophone {
public:
    ObservedMicrophone(std::string path, std::shared_ptr<sim::MicrophoneCounters> sink)
        : SimMicrophone(std::move(path)), sink_(std::move(sink)) {}
    ~ObservedMicrophone() override { *sink_ = Counters(); }

private:
    std::shared_ptr<sim::MicrophoneCounters> sink_;
};

class AudioCaptureTest : public RecordingTest {
protected:
    void SetUp() override {
        RecordingTest::SetUp();
        board().Devices().Register(sim::kMicrophoneDevicePath,
                                   [this](const std::string& path, int, int* error) -> std::unique_ptr<Device> {
                                       if (open_error_ != 0) {
                                           *error = -open_error_;
                                           return nullptr;
                                       }
                                       *error = 0;
                                       auto mic = std::make_unique<ObservedMicrophone>(path, counters_);
                                       if (configure_mic_) configure_mic_(*mic);
                                       return mic;
                                   });
    }

    static void Take(dr_common_t* dr, SoundTrack* t) {
        dr_timeval stamp{};
        while (DR_ReadRingBuffer(&dr->ainfo_buf, &stamp, sizeof stamp) == sizeof stamp) t->stamps.push_back(stamp);
        uint8_t block[kAudioCodedBlockBytes];
        while (DR_GetRingBufferReadAvailable(&dr->abs_buf) >= kAudioCodedBlockBytes) {
            DR_ReadRingBuffer(&dr->abs_buf, block, kAudioCodedBlockBytes);
            t->coded.insert(t->coded.end(), block, block + kAudioCodedBlockBytes);
        }
    }

    // Runs both threads for `seconds`, the video's first frame reported
    // after `video_after` seconds (never when negative), taking abs_buf and
    // ainfo_buf as the writer does; `during(elapsed)` is called as it goes.
    // The capture is closed first and the encoder once it has coded all.
    SoundTrack Record(double seconds, double video_after = 0, const std::function<void(double)>& during = {}) {
        SoundTrack t;
        testing::internal::CaptureStdout();
        dr()->AC_ALIVE = 1;
        dr()->AE_ALIVE = 1;
        std::thread ac(AudioCaptureThread, dr());
        std::thread ae(AudioEncoderThread, dr());
        const auto start = std::chrono::steady_clock::now();
        auto elapsed = [&] { return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(); };
        while (elapsed() < seconds) {
            if (video_after >= 0 && dr()->CaptureStart.load() == 0 && elapsed() >= video_after) {
                t.video_start = Now();
                dr()->CaptureStart = 1;
            }
            if (dr()->AC_ALIVE.load() == 0) {
                t.capture_ended_by_itself = true;
                break;
            }
            Take(dr(), &t);
            if (during) during(elapsed());
            std::this_thread::sleep_for(10ms);
        }
        t.close_time = Now();
        dr()->REQ_AC_CLOSE = 1;
        ac.join();
        const auto deadline = std::chrono::steady_clock::now() + 10s;
        while (DR_GetRingBufferReadAvailable(&dr()->ra_buf) >= kAudioBlockBytes && std::chrono::steady_clock::now() < deadline) {
            Take(dr(), &t);
            std::this_thread::sleep_for(10ms);
        }
        std::this_thread::sleep_for(100ms);  // the encoder's last block reaches abs_buf
        dr()->REQ_AE_CLOSE = 1;
        ae.join();
        Take(dr(), &t);
        t.console = testing::internal::GetCapturedStdout();
        return t;
    }

    sim::WorldWriter World() { return sim::WorldWriter(Path(sim::kWorldFile)); }
    int LogCount(const std::string& message) {
        int n = 0;
        for (const std::string& line : test::LogCalls(root_)) n += line.find("," + message + ",") != std::string::npos;
        return n;
    }

    int open_error_ = 0;
    std::function<void(sim::SimMicrophone&)> configure_mic_;
    std::shared_ptr<sim::MicrophoneCounters> counters_ = std::make_shared<sim::MicrophoneCounters>();
};

int Count(const std::string& console, const std::string& line) { return test::CountLines(console, line); }
bool Has(const std::string& console, const std::string& line) { return Count(console, line) > 0; }

// Differences between consecutive stamps that are not one block (100 ms).
std::vector<int64_t> Irregular(const std::vector<dr_timeval>& stamps) {
    std::vector<int64_t> odd;
    for (size_t i = 1; i < stamps.size(); ++i) {
        const int64_t d = Us(stamps[i]) - Us(stamps[i - 1]);
        if (std::abs(d - 100000) > 1) odd.push_back(d);
    }
    return odd;
}

double BlockRms(const std::vector<int16_t>& s, size_t block) {
    double sum = 0;
    for (size_t i = block * kBlockSamples; i < (block + 1) * kBlockSamples; ++i) sum += double(s[i]) * s[i];
    return std::sqrt(sum / kBlockSamples);
}

TEST_F(AudioCaptureTest, TheSoundTrackDecodesToTheMicrophonesToneWithItsClicksOnWholeSeconds) {
    const SoundTrack t = Record(3.3, 0.3);
    const std::string& c = t.console;
    ASSERT_FALSE(t.capture_ended_by_itself) << c;
    EXPECT_EQ(counters_->configurations, 1);
    ASSERT_GE(t.blocks(), 25u) << c;
    EXPECT_EQ(t.coded.size() % kAudioCodedBlockBytes, 0u);
    ASSERT_EQ(t.stamps.size(), t.blocks()) << "one capture time per block";

    // The sound starts with the video and the start time is the first block's.
    EXPECT_GE(Us(t.stamps.front()), Us(t.video_start) - 1000);
    EXPECT_EQ(Us(dr()->AudioRecStartTime), Us(t.stamps.front()));
    char start[64];
    std::snprintf(start, sizeof start, "AC : Audio Capture Start [%10.03f]",
                  t.stamps.front().tv_sec + t.stamps.front().tv_usec / 1e6);
    EXPECT_TRUE(Has(c, start)) << c;

    // The blocks follow each other without a gap, and the track lasts as
    // long as the run (what the capture still had in hand at the close, at
    // most a short read and its completion, is not handed over).
    EXPECT_TRUE(Irregular(t.stamps).empty());
    const double track = t.blocks() * 0.1;
    const double run = (Us(t.close_time) - Us(t.stamps.front())) / 1e6;
    EXPECT_LE(track, run + 0.01) << "track " << track << " s, run " << run << " s";
    EXPECT_GE(track, run - 0.25) << "track " << track << " s, run " << run << " s";

    // spandsp hears the microphone: bit for bit what the codec makes of it.
    const std::vector<int16_t> decoded = t.Decoded();
    const std::vector<int16_t> reference = t.Reference();
    ASSERT_EQ(decoded.size(), reference.size());
    const double snr = testsig::SnrDb(reference, decoded);
    // The encoder codes one block of silence before the first sound, so the
    // codec's round trip is judged with that lead-in too.
    std::vector<int16_t> led_in(kBlockSamples, 0);
    led_in.insert(led_in.end(), reference.begin(), reference.end());
    std::vector<uint8_t> coded_ref = oracle::SpandspEncode(4, led_in);
    coded_ref.erase(coded_ref.begin(), coded_ref.begin() + kBlockSamples / 2);
    const double codec_snr = testsig::SnrDb(reference, oracle::SpandspDecode(4, coded_ref));
    std::printf("SNR of the recorded tone: %.2f dB (codec round trip %.2f dB)\n", snr, codec_snr);
    // No fixed floor: a track that starts inside a click costs the codec
    // its first block, wherever the run happens to start.
    EXPECT_GT(snr, codec_snr - 0.01);
    EXPECT_TRUE(t.coded == coded_ref) << "the sound track is the microphone's sound coded as spandsp codes it";

    // Each click starts on a whole second of the capture times.
    int clicks = 0;
    for (size_t i = 40; i < decoded.size(); ++i) {
        if (std::abs(decoded[i]) <= 12000) continue;
        if (std::any_of(decoded.begin() + static_cast<long>(i) - 40, decoded.begin() + static_cast<long>(i),
                        [](int16_t v) { return std::abs(v) > 12000; }))
            continue;
        const int64_t us = Us(t.stamps[i / kBlockSamples]) + static_cast<int64_t>(i % kBlockSamples) * 125;
        const int64_t off = us % 1000000;
        EXPECT_LT(off, 2000) << "click " << off << " us after a whole second";
        ++clicks;
    }
    // One per whole second of the track (one close to either end may be cut).
    const int64_t begin_us = Us(t.stamps.front()), end_us = Us(t.stamps.back()) + 100000;
    auto seconds_within = [](int64_t a, int64_t b) { return (b - 1) / 1000000 - (a + 999999) / 1000000 + 1; };
    EXPECT_GE(clicks, seconds_within(begin_us + 6000, end_us - 2000)) << "one click per whole second";
    EXPECT_LE(clicks, seconds_within(begin_us, end_us));

    // The end-of-run lines: the rate in samples per second.
    std::smatch m;
    ASSERT_TRUE(std::regex_search(c, m, std::regex(R"(AC : Actual Audio Sampling Rate is +([0-9.]+)\[Sample/Sec\])"))) << c;
    const double rate = std::stod(m[1]);
    std::printf("Measured sampling rate: %.3f samples per second\n", rate);
    EXPECT_NEAR(rate, 8000.0, 80.0);
    ASSERT_TRUE(std::regex_search(c, m, std::regex(R"(AC : total bytes read: \((\d+)\))")));
    const unsigned long total = std::stoul(m[1]);
    EXPECT_GE(total, t.blocks() * kAudioBlockBytes);
    EXPECT_LE(total, (t.blocks() + 1) * kAudioBlockBytes);
    EXPECT_TRUE(Has(c, "AC : Audio Capture Thread End [Total " + std::to_string(total) + " bytes]"));
    EXPECT_TRUE(std::regex_search(c, std::regex(R"(AC : First bytes read: \[ *\d+\.\d{3}\])")));
    EXPECT_TRUE(std::regex_search(c, std::regex(R"(AC : Last  bytes read: \[ *\d+\.\d{3}\])")));
    EXPECT_TRUE(std::regex_search(c, std::regex(R"(AC : Audio Capture Thread Start \[ppid=\d+ tid=\d+\] ###)")));
    EXPECT_TRUE(std::regex_search(c, std::regex(R"(AE : Audio Encoder Thread Start \[ppid=\d+ tid=\d+\] ###)")));
    EXPECT_EQ(dr()->AC_ALIVE.load(), 0);
    EXPECT_EQ(dr()->AE_ALIVE.load(), 0);
    EXPECT_TRUE(test::LogCalls(root_).empty());
}

TEST_F(AudioCaptureTest, MutedSoundIsStampedSilenceThatKeepsTheTiming) {
    const SoundTrack t = Record(2.8, 0, [&](double s) { dr()->audio_mute = (s >= 0.8 && s < 1.8) ? 1 : 0; });
    ASSERT_GE(t.blocks(), 20u);
    ASSERT_EQ(t.stamps.size(), t.blocks());
    EXPECT_TRUE(Irregular(t.stamps).empty()) << "muted blocks are captured and stamped like the others";
    const std::vector<int16_t> decoded = t.Decoded();
    std::vector<bool> silent;
    for (size_t b = 0; b < t.blocks(); ++b) silent.push_back(BlockRms(decoded, b) < 30);
    // Sound, then a run of silence, then sound again.
    const auto first_silent = std::find(silent.begin(), silent.end(), true);
    ASSERT_NE(first_silent, silent.end());
    const auto sound_again = std::find(first_silent, silent.end(), false);
    EXPECT_GE(sound_again - first_silent, 8);
    EXPECT_LE(sound_again - first_silent, 11);
    EXPECT_GE(first_silent - silent.begin(), 4);
    EXPECT_GE(silent.end() - sound_again, 5);
    EXPECT_EQ(std::find(sound_again, silent.end(), true), silent.end());
    for (size_t b = 0; b + 1 < silent.size(); ++b) {
        if (!silent[b] && !silent[b + 1] && b > 0) {
            EXPECT_GT(BlockRms(decoded, b), 2000) << "the tone, block " << b;
        }
    }
}

TEST_F(AudioCaptureTest, ACloseWhileWaitingForTheVideoEndsTheCaptureUnconfigured) {
    const SoundTrack t = Record(0.5, -1);
    EXPECT_EQ(counters_->configurations, 0);
    EXPECT_EQ(counters_->samples_read, 0);
    EXPECT_TRUE(t.coded.empty());
    EXPECT_TRUE(t.stamps.empty());
    EXPECT_FALSE(std::regex_search(t.console, std::regex("AC : Audio Capture Start")));
    EXPECT_FALSE(std::regex_search(t.console, std::regex("AC : total bytes read")));
    EXPECT_TRUE(Has(t.console, "AC : Audio Capture Thread End [Total 0 bytes]")) << t.console;
    EXPECT_EQ(dr()->AC_ALIVE.load(), 0);
    EXPECT_TRUE(test::LogCalls(root_).empty());
}

TEST_F(AudioCaptureTest, AStalledMicrophoneTimesOutIsLoggedOnceAndTheCaptureGoesOn) {
    bool stalled = false;
    const SoundTrack t = Record(4.0, 0, [&](double s) {
        if (!stalled && s >= 0.8) {
            stalled = true;
            ASSERT_TRUE(World().MicrophoneStall(2200));
        }
    });
    const std::string& c = t.console;
    // The driver gives up on a read after 500 ms: several time-outs, each
    // with the driver's lost-data report, the log entry once.
    const int timeouts = Count(c, "AC : read() failes [ETIMEDOUT]");
    EXPECT_GE(timeouts, 2) << c;
    EXPECT_EQ(LogCount("Failure of reading data."), 1) << "logged once per run";
    std::vector<int> counts;
    const std::regex report(R"(AC : Get Lost Time :: count = (\d+) losttime=([0-9]\.[0-9]{60})\n)");
    for (auto it = std::sregex_iterator(c.begin(), c.end(), report); it != std::sregex_iterator(); ++it) {
        counts.push_back(std::stoi((*it)[1]));
        EXPECT_LE(std::stod((*it)[2]), 2.3);
    }
    EXPECT_EQ(static_cast<int>(counts.size()), timeouts);
    EXPECT_TRUE(std::is_sorted(counts.begin(), counts.end()));
    // The stall is one gap in the capture times; the sound goes on after it.
    const std::vector<int64_t> odd = Irregular(t.stamps);
    ASSERT_EQ(odd.size(), 1u);
    EXPECT_GE(odd[0], 2190000);
    EXPECT_LE(odd[0], 2320000);
    const auto after = std::count_if(t.stamps.begin(), t.stamps.end(),
                                     [&](dr_timeval s) { return Us(s) > Us(t.stamps.front()) + 3100000; });
    EXPECT_GE(after, 4);
    EXPECT_GE(counters_->samples_lost, 2190 * 8);
}

TEST_F(AudioCaptureTest, InterruptedReadsAreReportedAndNoSoundIsLost) {
    bool done = false;
    const SoundTrack t = Record(1.5, 0, [&](double s) {
        if (!done && s >= 0.5) {
            done = true;
            ASSERT_TRUE(World().MicrophoneEintr(2));
        }
    });
    // An interrupted first read is retried; an interrupted completion of a
    // short read leaves that block short (its rest silence), so the next
    // block starts less than 100 ms after it. The microphone loses nothing.
    const int retried = Count(t.console, "AC : read() failes [EINTR]");
    std::vector<std::string> cut;
    const std::regex cut_line(R"(AC : Error First Read Data = (\d+) \[-1\])");
    for (auto it = std::sregex_iterator(t.console.begin(), t.console.end(), cut_line); it != std::sregex_iterator(); ++it) {
        cut.push_back((*it)[1]);
    }
    EXPECT_EQ(retried + static_cast<int>(cut.size()), 2) << t.console;
    EXPECT_EQ(LogCount("Failure of reading data."), retried);
    const std::vector<int64_t> odd = Irregular(t.stamps);
    ASSERT_EQ(odd.size(), cut.size());
    for (size_t i = 0; i < odd.size(); ++i) EXPECT_NEAR(odd[i], std::stoi(cut[i]) / 2 * 125, 1) << "the sound it held";
    EXPECT_EQ(counters_->samples_lost, 0);
}

TEST_F(AudioCaptureTest, OtherReadErrorsAreReportedWithTheirErrno) {
    configure_mic_ = [](sim::SimMicrophone& mic) { mic.InjectFault({sim::FaultOp::kRead, 0, EIO, 0, 2}); };
    const SoundTrack t = Record(1.2);
    EXPECT_EQ(Count(t.console, "AC : read() failes [ret=-1 errono=5]"), 2) << t.console;
    EXPECT_EQ(LogCount("Failure of reading data."), 2);
    EXPECT_GE(t.blocks(), 5u);
}

TEST_F(AudioCaptureTest, AMissingDeviceIsAHardwareError) {
    open_error_ = ENOENT;
    const SoundTrack t = Record(2);
    EXPECT_TRUE(t.capture_ended_by_itself);
    EXPECT_EQ(dr()->HW_Error.load(), 1);
    EXPECT_EQ(LogCount("Failure of opening the device."), 1);
    EXPECT_TRUE(Has(t.console, "AC : Audio Capture Thread End [Total 0 bytes]")) << t.console;
    EXPECT_EQ(dr()->AC_ALIVE.load(), 0);
}

TEST_F(AudioCaptureTest, AFailedConfigurationCapturesNothing) {
    configure_mic_ = [](sim::SimMicrophone& mic) {
        mic.InjectFault({sim::FaultOp::kIoctl, IOCTL_SSI_CONFIGURE_SSI, EIO, 0, 1});
    };
    const SoundTrack t = Record(2);
    EXPECT_TRUE(t.capture_ended_by_itself);
    EXPECT_TRUE(Has(t.console, "error in IOCTL_SSI_CONFIGURE_SSI ioctl")) << t.console;
    EXPECT_EQ(LogCount("Failure of device initialization."), 1);
    EXPECT_EQ(counters_->samples_read, 0);
    EXPECT_TRUE(t.coded.empty());
    EXPECT_TRUE(Has(t.console, "AC : Audio Capture Thread End [Total 0 bytes]"));
}

TEST_F(AudioCaptureTest, AFailedCloseIsReported) {
    configure_mic_ = [](sim::SimMicrophone& mic) { mic.InjectFault({sim::FaultOp::kClose, 0, EIO, 0, 1}); };
    const SoundTrack t = Record(0.6);
    EXPECT_EQ(Count(t.console, "AC : Cannot close fd_audio "), 1) << t.console;
    EXPECT_EQ(LogCount("Failure of closing the device."), 1);
    EXPECT_TRUE(std::regex_search(t.console, std::regex(R"(AC : Audio Capture Thread End \[Total \d+ bytes\])")));
}

TEST_F(AudioCaptureTest, TheWritersStandInEmptiesTheSoundBuffersAndKeepsThePlayableSound) {
    const std::string dump = root_ + "/sound.g726";
    ::setenv("DIVIV_DUMP_AUDIO", dump.c_str(), 1);
    testing::internal::CaptureStdout();
    dr()->AM_ALIVE = 1;
    dr()->AC_ALIVE = 1;
    dr()->AE_ALIVE = 1;
    dr()->CaptureStart = 1;
    std::thread writer(AsfMuxThread, dr());
    std::thread ac(AudioCaptureThread, dr());
    std::thread ae(AudioEncoderThread, dr());
    const auto deadline = std::chrono::steady_clock::now() + 30s;
    while (Read("/sound.g726").size() < 15 * kAudioCodedBlockBytes && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(20ms);
    }
    // The codec manager's order: the encoder, the writer, then the capture.
    dr()->REQ_AE_CLOSE = 1;
    ae.join();
    dr()->REQ_AM_CLOSE = 1;
    writer.join();
    dr()->REQ_AC_CLOSE = 1;
    ac.join();
    ::unsetenv("DIVIV_DUMP_AUDIO");
    (void)testing::internal::GetCapturedStdout();

    EXPECT_EQ(DR_GetRingBufferReadAvailable(&dr()->abs_buf), 0);
    EXPECT_LE(DR_GetRingBufferReadAvailable(&dr()->ainfo_buf), 8) << "the capture's last stamp may follow the writer";
    const std::string bytes = Read("/sound.g726");
    ASSERT_GE(bytes.size(), 15u * kAudioCodedBlockBytes);
    EXPECT_EQ(bytes.size() % kAudioCodedBlockBytes, 0u);
    // Nothing was lost, so the sound runs on from the capture's start time:
    // the file holds the microphone's sound as spandsp codes it after the
    // encoder's block of silence. (An SNR would depend on where the track
    // starts: a start inside a click costs the codec its first block.)
    ASSERT_EQ(counters_->samples_lost, 0);
    std::vector<int16_t> led_in(kBlockSamples, 0);
    for (size_t i = 0; i < bytes.size() * 2; ++i) {
        led_in.push_back(sim::MicrophoneToneSample(Us(dr()->AudioRecStartTime) * 1000 + static_cast<int64_t>(i) * 125000));
    }
    std::vector<uint8_t> coded_ref = oracle::SpandspEncode(4, led_in);
    coded_ref.erase(coded_ref.begin(), coded_ref.begin() + kBlockSamples / 2);
    EXPECT_TRUE(std::vector<uint8_t>(bytes.begin(), bytes.end()) == coded_ref)
        << "the dump is the microphone's sound from the capture's start time";
}

}  // namespace
}  // namespace diviv
