// The capture's blocks and the encoder's output on exact inputs: a scripted
// SSI audio device that answers each read as told (short reads, errors,
// capture times), put_pcm_audio against a full ra_buf, and the encoder
// judged by spandsp's G.726 encoder bit for bit, with a full abs_buf.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <deque>
#include <mutex>
#include <regex>
#include <thread>

#include "G726Oracle.h"
#include "RecordingTestKit.h"
#include "TestSignals.h"
#include "platform/Board.h"
#include "platform/SsiAudio.h"
#include "recording/AudioCaptureThread.h"
#include "recording/AudioEncoderThread.h"
#include "sim/SimulatedBoard.h"

namespace diviv {
namespace {

using namespace std::chrono_literals;

// The byte at position k of the scripted device's sound.
uint8_t StreamByte(size_t k) { return static_cast<uint8_t>(k * 13 + 5); }

// One answer of the scripted device to a read.
struct ReadStep {
    int bytes = 0;         // bytes handed over (at most what was asked for)
    int error = 0;         // or fail with this errno
    dr_timeval time{};     // capture time request 5 answers afterwards
};

// A scripted SSI audio device. Past its script a read waits for the close
// request and then fails with EAGAIN (so every run ends with one more
// "read() failes" line and log entry).
class ScriptedAudio final : public Device {
public:
    ScriptedAudio(dr_common_t* dr, std::vector<ReadStep> script, mxc_ssi_timedout report)
        : Device(kSsiAudioDevice), dr_(dr), script_(script.begin(), script.end()), report_(report) {}

    // Time of each read, in the order they came.
    static std::vector<std::chrono::steady_clock::time_point> ReadTimes() {
        std::lock_guard lock(Mutex());
        return Times();
    }
    static void Reset() {
        std::lock_guard lock(Mutex());
        Times().clear();
    }

private:
    static std::mutex& Mutex() {
        static std::mutex m;
        return m;
    }
    static std::vector<std::chrono::steady_clock::time_point>& Times() {
        static std::vector<std::chrono::steady_clock::time_point> t;
        return t;
    }

    int DoIoctl(unsigned long request, void* arg) override {
        if (request == IOCTL_SSI_CONFIGURE_SSI) return 0;
        if (request == IOCTL_SSI_GET_CAPTURE_TIME) {
            *static_cast<dr_timeval*>(arg) = time_;
            return 0;
        }
        if (request == IOCTL_SSI_GET_LOST_TIME) {
            if (report_.count < 0) return -EIO;  // a driver without the report
            *static_cast<mxc_ssi_timedout*>(arg) = report_;
            return 0;
        }
        return -ENOTTY;
    }
    ssize_t DoRead(std::span<std::byte> buffer) override {
        {
            std::lock_guard lock(Mutex());
            Times().push_back(std::chrono::steady_clock::now());
        }
        if (script_.empty()) {
            while (dr_->REQ_AC_CLOSE.load() == 0) std::this_thread::sleep_for(2ms);
            return -EAGAIN;
        }
        const ReadStep step = script_.front();
        script_.pop_front();
        if (step.error != 0) return -step.error;
        const size_t n = std::min(buffer.size(), static_cast<size_t>(step.bytes));
        for (size_t i = 0; i < n; ++i) buffer[i] = static_cast<std::byte>(StreamByte(position_++));
        time_ = step.time;
        return static_cast<ssize_t>(n);
    }
    ssize_t DoWrite(std::span<const std::byte>) override { return -EINVAL; }
    int DoPoll(short, int) override { return -EINVAL; }
    MappedMemory DoMap(size_t, off_t, int* error) override {
        *error = -ENODEV;
        return {};
    }

    dr_common_t* dr_;
    std::deque<ReadStep> script_;
    mxc_ssi_timedout report_;
    dr_timeval time_{};
    size_t position_ = 0;
};

class AudioBlocksTest : public RecordingTest {
protected:
    void SetUp() override {
        RecordingTest::SetUp();
        ScriptedAudio::Reset();
        board().Devices().Register(kSsiAudioDevice, [this](const std::string&, int, int* error) {
            *error = 0;
            return std::unique_ptr<Device>(std::make_unique<ScriptedAudio>(dr(), script_, report_));
        });
    }

    // Runs the capture thread until `stamps` capture times are in ainfo_buf
    // (or a time-out); returns the console.
    std::string Capture(size_t stamps) {
        testing::internal::CaptureStdout();
        dr()->AC_ALIVE = 1;
        dr()->CaptureStart = 1;
        std::thread ac(AudioCaptureThread, dr());
        const auto deadline = std::chrono::steady_clock::now() + 20s;
        while (DR_GetRingBufferReadAvailable(&dr()->ainfo_buf) < static_cast<int>(stamps * 8) &&
               std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(5ms);
        }
        std::this_thread::sleep_for(50ms);
        dr()->REQ_AC_CLOSE = 1;
        ac.join();
        return testing::internal::GetCapturedStdout();
    }

    std::vector<uint8_t> TakePcm() {
        std::vector<uint8_t> pcm(static_cast<size_t>(DR_GetRingBufferReadAvailable(&dr()->ra_buf)));
        DR_ReadRingBuffer(&dr()->ra_buf, pcm.data(), static_cast<int>(pcm.size()));
        return pcm;
    }
    std::vector<dr_timeval> TakeStamps() {
        std::vector<dr_timeval> s(static_cast<size_t>(DR_GetRingBufferReadAvailable(&dr()->ainfo_buf)) / 8);
        DR_ReadRingBuffer(&dr()->ainfo_buf, s.data(), static_cast<int>(s.size() * 8));
        return s;
    }

    std::vector<ReadStep> script_;
    mxc_ssi_timedout report_{};  // count -1: request 4 fails
};

std::vector<uint8_t> Stream(size_t from, size_t to) {
    std::vector<uint8_t> v;
    for (size_t k = from; k < to; ++k) v.push_back(StreamByte(k));
    return v;
}

bool SameTime(dr_timeval a, dr_timeval b) { return a.tv_sec == b.tv_sec && a.tv_usec == b.tv_usec; }

TEST_F(AudioBlocksTest, AShortReadCompletedLaterMakesOneNormalBlock) {
    const dr_timeval t0{1700000000, 250000};
    script_ = {{600, 0, t0}, {1000, 0, {1700000000, 350000}}};
    const std::string console = Capture(1);
    EXPECT_EQ(TakePcm(), Stream(0, 1600));
    const auto stamps = TakeStamps();
    ASSERT_EQ(stamps.size(), 1u);
    EXPECT_TRUE(SameTime(stamps[0], t0)) << "the block's time is its first read's";
    EXPECT_FALSE(std::regex_search(console, std::regex("AC : Error First Read Data"))) << console;
    EXPECT_NE(console.find("AC : Audio Capture Thread End [Total 1600 bytes]"), std::string::npos) << console;
    // The driver was given time to capture the rest before it was asked.
    const auto reads = ScriptedAudio::ReadTimes();
    ASSERT_GE(reads.size(), 2u);
    EXPECT_GE(reads[1] - reads[0], 95ms);
}

TEST_F(AudioBlocksTest, ACompletionThatFallsShortIsReportedAndFilledWithSilence) {
    script_ = {{600, 0, {1700000000, 0}}, {500, 0, {}}, {600, 0, {1700000000, 200000}}, {0, EIO, {}}};
    const std::string console = Capture(2);
    std::vector<uint8_t> want = Stream(0, 1100);
    want.resize(1600, 0);
    std::vector<uint8_t> second = Stream(1100, 1700);
    second.resize(1600, 0);
    want.insert(want.end(), second.begin(), second.end());
    EXPECT_EQ(TakePcm(), want) << "the unread part is silence, not the previous block's sound";
    EXPECT_EQ(test::CountLines(console, "AC : Error First Read Data = 600 [500]"), 1) << console;
    EXPECT_EQ(test::CountLines(console, "AC : Error First Read Data = 600 [-1]"), 1);
}

TEST_F(AudioBlocksTest, TheEndOfRunLinesGiveTheTimesAndTheRateInSamples) {
    // Ten blocks whose capture times are exactly 100 ms apart: 8000 samples
    // per second (not the 16000 bytes per second the port delivers).
    for (int k = 0; k < 10; ++k) script_.push_back({1600, 0, {1700000000 + k / 10, (k % 10) * 100000}});
    const std::string console = Capture(10);
    EXPECT_NE(console.find("AC : Audio Capture Start [1700000000.000]\n"), std::string::npos) << console;
    EXPECT_NE(console.find("AC : First bytes read: [1700000000.000]\n"), std::string::npos);
    EXPECT_NE(console.find("AC : Last  bytes read: [1700000000.900]\n"), std::string::npos);
    EXPECT_NE(console.find("AC : total bytes read: (16000)\n"), std::string::npos);
    EXPECT_NE(console.find("AC : Actual Audio Sampling Rate is   8000.000[Sample/Sec]\n"), std::string::npos);
    EXPECT_EQ(dr()->AudioRecStartTime.tv_sec, 1700000000);
}

TEST_F(AudioBlocksTest, TimeOutsPrintTheDriversReportAndAreLoggedOnce) {
    report_ = {3, {0, 250000}};
    script_ = {{0, ETIMEDOUT, {}}, {0, ETIMEDOUT, {}}, {1600, 0, {1700000000, 0}}, {0, EINTR, {}}, {0, EIO, {}},
               {1600, 0, {1700000000, 100000}}};
    const std::string console = Capture(2);
    char line[160];
    std::snprintf(line, sizeof line, "AC : Get Lost Time :: count = %d losttime=%10.60f", 3, 0.25);
    EXPECT_EQ(test::CountLines(console, line), 2) << console;
    EXPECT_EQ(test::CountLines(console, "AC : read() failes [ETIMEDOUT]"), 2);
    EXPECT_EQ(test::CountLines(console, "AC : read() failes [EINTR]"), 1);
    EXPECT_EQ(test::CountLines(console, "AC : read() failes [ret=-1 errono=5]"), 1);
    int logged = 0;
    for (const std::string& l : test::LogCalls(root_)) logged += l.find(",Failure of reading data.,") != std::string::npos;
    EXPECT_EQ(logged, 4) << "once for the time-outs, once each for the others and the closing read";
    EXPECT_EQ(TakePcm(), Stream(0, 3200));
}

TEST_F(AudioBlocksTest, AMissingLostDataReportIsSaidSo) {
    report_ = {-1, {}};
    script_ = {{0, ETIMEDOUT, {}}, {1600, 0, {1700000000, 0}}};
    const std::string console = Capture(1);
    EXPECT_EQ(test::CountLines(console, "AC : Error :: Get Lost Time Failed"), 1) << console;
    EXPECT_EQ(TakePcm(), Stream(0, 1600));
}

TEST_F(AudioBlocksTest, AFullPcmBufferHoldsTheBlockBackUntilThereIsRoomOrAClose) {
    const std::vector<uint8_t> filler(static_cast<size_t>(DR_GetRingBufferWriteAvailable(&dr()->ra_buf)) - 1000, 0xAA);
    DR_WriteRingBuffer(&dr()->ra_buf, filler.data(), static_cast<int>(filler.size()));
    const std::vector<uint8_t> block = Stream(0, 1600);
    testing::internal::CaptureStdout();
    int written = -1;
    std::thread writer([&] { written = put_pcm_audio(dr(), block.data(), 1600, {1700000000, 5}); });
    while (dr()->AC_rabuf_W_wait.load() < 2) std::this_thread::sleep_for(1ms);
    std::vector<uint8_t> out(filler.size());
    DR_ReadRingBuffer(&dr()->ra_buf, out.data(), 1000);  // the encoder takes some
    writer.join();
    EXPECT_EQ(written, 1600);
    const std::string console = testing::internal::GetCapturedStdout();
    EXPECT_GE(test::CountLines(console, "AC : Error :: Write Data Failed [available ring buffer is 1000, req=1600]"), 2);
    EXPECT_LE(test::CountLines(console, "AC : Error :: Write Data Failed [available ring buffer is 1000, req=1600]"), 200)
        << "the wait does not spin";
    const auto stamps = TakeStamps();
    ASSERT_EQ(stamps.size(), 1u);
    EXPECT_EQ(stamps[0].tv_usec, 5);

    // Full again: a close request gives up the block.
    testing::internal::CaptureStdout();
    std::thread closing([&] { written = put_pcm_audio(dr(), block.data(), 1600, {1700000000, 6}); });
    std::this_thread::sleep_for(30ms);
    dr()->REQ_AC_CLOSE = 1;
    closing.join();
    (void)testing::internal::GetCapturedStdout();
    EXPECT_EQ(written, 0);
    EXPECT_TRUE(TakeStamps().empty());
    EXPECT_EQ(put_pcm_audio(dr(), block.data(), 1600, {}), 0) << "nothing is written once a close is requested";
}

// The encoder alone, fed by the test.
class AudioEncoderTest : public RecordingTest {
protected:
    void Start() {
        dr()->AE_ALIVE = 1;
        encoder_ = std::thread(AudioEncoderThread, dr());
    }
    void Stop() {
        dr()->REQ_AE_CLOSE = 1;
        encoder_.join();
    }
    void Feed(const std::vector<int16_t>& pcm, size_t first_block, size_t blocks) {
        ASSERT_EQ(DR_WriteRingBuffer(&dr()->ra_buf, pcm.data() + first_block * 800, static_cast<int>(blocks * 1600)),
                  static_cast<int>(blocks * 1600));
    }
    // Waits until the encoder has taken every whole block of ra_buf.
    void WaitEncoded() {
        const auto deadline = std::chrono::steady_clock::now() + 20s;
        while (DR_GetRingBufferReadAvailable(&dr()->ra_buf) >= 1600 && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(5ms);
        }
        std::this_thread::sleep_for(20ms);
    }
    std::vector<uint8_t> TakeCoded() {
        std::vector<uint8_t> b(static_cast<size_t>(DR_GetRingBufferReadAvailable(&dr()->abs_buf)));
        DR_ReadRingBuffer(&dr()->abs_buf, b.data(), static_cast<int>(b.size()));
        return b;
    }

    std::thread encoder_;
};

// What the encoder thread codes for `pcm`: one stream, after a block of
// silence coded and thrown away.
std::vector<uint8_t> ThreadCoding(const std::vector<int16_t>& pcm) {
    std::vector<int16_t> led_in(800, 0);
    led_in.insert(led_in.end(), pcm.begin(), pcm.end());
    std::vector<uint8_t> coded = oracle::SpandspEncode(4, led_in);
    coded.erase(coded.begin(), coded.begin() + 400);
    return coded;
}

TEST_F(AudioEncoderTest, CodesEveryBlockAsSpandspDoesOneStreamAcrossBlocks) {
    const std::vector<int16_t> pcm = testsig::SpeechLikeSignal(2, 11);  // 20 blocks
    testing::internal::CaptureStdout();
    Start();
    Feed(pcm, 0, 20);
    WaitEncoded();
    Stop();
    const std::string console = testing::internal::GetCapturedStdout();
    EXPECT_EQ(TakeCoded(), ThreadCoding(pcm));
    EXPECT_TRUE(std::regex_search(console, std::regex(R"(AE : Audio Encoder Thread Start \[ppid=\d+ tid=\d+\] ###)")));
    EXPECT_EQ(dr()->AE_ALIVE.load(), 0);
}

TEST_F(AudioEncoderTest, AFullCodedBufferDropsWholeBlocksAndTheEncoderGoesOn) {
    const std::vector<int16_t> pcm = testsig::SpeechLikeSignal(2, 12);  // 20 blocks
    const std::vector<uint8_t> expected = ThreadCoding(pcm);
    auto fill_leaving = [&](int room) {
        const std::vector<uint8_t> filler(static_cast<size_t>(DR_GetRingBufferWriteAvailable(&dr()->abs_buf) - room), 0xEE);
        DR_WriteRingBuffer(&dr()->abs_buf, filler.data(), static_cast<int>(filler.size()));
        return filler.size();
    };
    testing::internal::CaptureStdout();
    const size_t filled = fill_leaving(1000);
    Start();
    Feed(pcm, 0, 6);  // two fit, four are dropped
    WaitEncoded();
    std::vector<uint8_t> got = TakeCoded();
    ASSERT_EQ(got.size(), filled + 800);
    EXPECT_EQ(std::vector<uint8_t>(got.begin() + static_cast<long>(filled), got.end()),
              std::vector<uint8_t>(expected.begin(), expected.begin() + 800));

    Feed(pcm, 6, 4);  // room again: coded as one stream with the dropped blocks
    WaitEncoded();
    EXPECT_EQ(TakeCoded(), std::vector<uint8_t>(expected.begin() + 2400, expected.begin() + 4000));

    const size_t filled_again = fill_leaving(399);  // a second full spell
    Feed(pcm, 10, 2);
    WaitEncoded();
    EXPECT_EQ(TakeCoded().size(), filled_again);
    Stop();
    const std::string console = testing::internal::GetCapturedStdout();
    EXPECT_EQ(test::CountLines(console, "AE : #### ABS is FULL !! ###"), 2) << "once per full spell";
    int logged = 0;
    for (const std::string& l : test::LogCalls(root_)) logged += l.find(",Failure of writing to buffer.,") != std::string::npos;
    EXPECT_EQ(logged, 1) << "once per thread";
}

TEST_F(AudioEncoderTest, SoundStartingAfterInsertedSilenceDecodesWithoutABurst) {
    // A tone that starts at once, as a microphone's first block does; the
    // writer puts two packets of zero code words before it when the sound
    // started late. An independent decoder must hear the tone, not a burst.
    std::vector<int16_t> tone(4 * 800);
    for (size_t i = 0; i < tone.size(); ++i)
        tone[i] = static_cast<int16_t>(4000 * std::sin(2 * 3.14159265358979 * 440 * static_cast<double>(i) / 8000));
    testing::internal::CaptureStdout();
    Start();
    Feed(tone, 0, 4);
    WaitEncoded();
    Stop();
    testing::internal::GetCapturedStdout();
    std::vector<uint8_t> file(264, 0);
    const std::vector<uint8_t> coded = TakeCoded();
    file.insert(file.end(), coded.begin(), coded.end());
    const std::vector<int16_t> heard = oracle::SpandspDecode(4, file);
    ASSERT_GT(heard.size(), 528u + 800u);
    int peak = 0;
    for (size_t i = 528; i < heard.size(); ++i) peak = std::max(peak, std::abs(static_cast<int>(heard[i])));
    EXPECT_LT(peak, 6000) << "the tone is 4000 loud";
}

TEST_F(AudioEncoderTest, NothingIsWrittenOnceACloseIsRequested) {
    const std::vector<uint8_t> coded(400, 1);
    AbsFullReport report;
    EXPECT_EQ(put_bs(dr(), coded.data(), 400, &report), 400);
    dr()->REQ_AE_CLOSE = 1;
    EXPECT_EQ(put_bs(dr(), coded.data(), 400, &report), 0);
    EXPECT_EQ(DR_GetRingBufferReadAvailable(&dr()->abs_buf), 400);
}

}  // namespace
}  // namespace diviv
