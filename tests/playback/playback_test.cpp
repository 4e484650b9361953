// Recordings played through the five playback threads on the simulated
// board: the pictures the display showed (frame numbers read back from
// them, and when), the sound the speaker played, and how the mode ends.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "G726Oracle.h"
#include "PlaybackTestKit.h"
#include "WavFile.h"
#include "platform/Board.h"

namespace {

using playtest::CountLines;
using playtest::MakeRecording;
using playtest::Recording;
using playtest::RecordingSpec;

struct Shown {
    int64_t us = 0;
    int64_t frame = -1;
};

// The display model's log: "<count> <wall-clock us> <frame>" per picture.
std::vector<Shown> ShownPictures(const std::string& root) {
    std::vector<Shown> v;
    std::ifstream in(root + "/sim/shown.log");
    uint64_t count = 0;
    Shown s;
    while (in >> count >> s.us >> s.frame) v.push_back(s);
    return v;
}

std::vector<int64_t> Frames(const std::vector<Shown>& shown) {
    std::vector<int64_t> f;
    for (const Shown& s : shown) f.push_back(s.frame);
    return f;
}

std::string Join(const std::vector<int64_t>& v) {
    std::string s;
    for (int64_t x : v) s += std::to_string(x) + " ";
    return s;
}

std::vector<int64_t> Sequence(int64_t from, int64_t count) {
    std::vector<int64_t> f;
    for (int64_t k = 0; k < count; ++k) f.push_back(from + k);
    return f;
}

TEST_F(PlaybackTest, PlaysEveryPictureInOrderAtTheRecordingsRateWithItsSoundThenEnds) {
    const Recording rec = MakeRecording(root_, "NORM00001.ASF", RecordingSpec{});
    Start(rec.name);
    ASSERT_TRUE(WaitForModeEnd(30000));  // the end of the file ends the mode
    bool ended = false;
    const std::string out = Stop(&ended);
    EXPECT_TRUE(ended);

    const std::vector<Shown> shown = ShownPictures(root_);
    EXPECT_EQ(Frames(shown), Sequence(0, 90)) << Join(Frames(shown));
    ASSERT_GE(shown.size(), 2u);
    const double mean_us = static_cast<double>(shown.back().us - shown.front().us) / (shown.size() - 1);
    EXPECT_NEAR(mean_us, 1e6 / 30, 1e6 / 30 * 0.05);

    // The sound played is the file's code words decoded, sample for sample,
    // as an independent G.726 decoder decodes them.
    media::PcmAudio played;
    std::string error;
    ASSERT_TRUE(media::ReadWav(root_ + "/sim/speaker.wav", played, error)) << error;
    const std::vector<int16_t> expected = oracle::SpandspDecode(4, rec.codes);
    EXPECT_GE(played.samples.size(), 16000u);  // the first second at least, then blocks of 0.1 s
    ASSERT_LE(played.samples.size(), expected.size());
    EXPECT_TRUE(std::equal(played.samples.begin(), played.samples.end(), expected.begin()));

    // Clicks against the second markers (pictures 30 and 60): when the
    // speaker played the click and when the display showed the marker.
    // Sound and picture share only their start (about 45 ms apart here);
    // the bound catches a lost or doubled block of sound, not jitter.
    struct Played {
        int64_t us, offset, samples;
    };
    std::vector<Played> plays;
    {
        std::ifstream log(root_ + "/sim/speaker.log");
        Played p{};
        while (log >> p.us >> p.offset >> p.samples) plays.push_back(p);
    }
    for (int marker : {30, 60}) {
        const int64_t click = marker / 30 * 8000;
        const auto p = std::find_if(plays.begin(), plays.end(), [&](const Played& q) {
            return click >= q.offset && click < q.offset + q.samples;
        });
        ASSERT_NE(p, plays.end()) << "click " << marker / 30 << " not played";
        const int64_t click_us = p->us + (click - p->offset) * 1000000 / 8000;
        EXPECT_LT(std::abs(click_us - shown[static_cast<size_t>(marker)].us), 150000) << "marker " << marker;
    }

    EXPECT_EQ(CountLines(out, "PM : Playback Image 640 x 480 "), 1) << out;
    EXPECT_EQ(CountLines(out, "PM : TimePerFrame=33 g_frame_period=33000"), 1);
    EXPECT_EQ(CountLines(out, "PM : Start Playback"), 1);
    EXPECT_EQ(CountLines(out, "VD : Total Decoded Frames : 90"), 1);
    EXPECT_EQ(CountLines(out, "AO : Open /dev/mxc_ssi_audio1 "), 1);
    EXPECT_EQ(CountLines(out, "AO : Start Audio Output[ReadSize = 16000]"), 1);
}

TEST_F(PlaybackTest, ScrambledRecordingPlaysWithTheRightPassCodeAndFailsVisiblyWithAWrongOne) {
    RecordingSpec spec;
    spec.scramble = true;
    spec.pass = {0x31, 0x41, 0x59, 0x26};
    spec.pictures = 60;
    spec.sound = false;
    const Recording rec = MakeRecording(root_, "NORM00002.ASF", spec);
    dr()->ASF_Encrypt = 1;
    std::memcpy(dr()->pcode_new, spec.pass.data(), 4);
    Start(rec.name);
    ASSERT_TRUE(WaitForModeEnd(30000));
    bool ended = false;
    Stop(&ended);
    EXPECT_TRUE(ended);
    EXPECT_EQ(Frames(ShownPictures(root_)), Sequence(0, 60)) << Join(Frames(ShownPictures(root_)));

    const uint8_t wrong[4] = {0x27, 0x18, 0x28, 0x18};
    std::memcpy(dr()->pcode_new, wrong, 4);
    Start(rec.name);
    ASSERT_TRUE(WaitForModeEnd(30000));
    const std::string out = Stop(&ended);
    EXPECT_TRUE(ended);
    EXPECT_EQ(ShownPictures(root_).size(), 60u);  // nothing more was shown
    EXPECT_NE(out.find("vpu_DecGetInitialInfo failed. Error code is "), std::string::npos) << out;
}

TEST_F(PlaybackTest, PreviewShowsTheSmallPictureAtTheTopLeft) {
    const Recording rec = MakeRecording(root_, "NORM00003.ASF", RecordingSpec{});
    Start(rec.name, true);
    std::vector<uint8_t> screen(640 * 480 * 3, 0xAB);
    bool composed = false;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!composed && std::chrono::steady_clock::now() < deadline) {
        composed = diviv::TheBoard().Display().VideoPlane(screen.data(), 640, 480);
        if (!composed) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    bool ended = false;
    const std::string out = Stop(&ended);
    EXPECT_TRUE(ended);
    ASSERT_TRUE(composed) << out;
    auto untouched = [&](int x, int y) {
        const uint8_t* p = &screen[(static_cast<size_t>(y) * 640 + x) * 3];
        return p[0] == 0xAB && p[1] == 0xAB && p[2] == 0xAB;
    };
    EXPECT_FALSE(untouched(10, 10));
    EXPECT_FALSE(untouched(319, 239));
    EXPECT_TRUE(untouched(320, 100));
    EXPECT_TRUE(untouched(100, 240));
    EXPECT_TRUE(untouched(639, 479));
    EXPECT_GE(ShownPictures(root_).size(), 1u);
}

TEST_F(PlaybackTest, TruncatedRecordingPlaysWhatItHoldsAndEndsTheMode) {
    const Recording rec = MakeRecording(root_, "NORM00004.ASF", RecordingSpec{});
    std::filesystem::resize_file(rec.path, std::filesystem::file_size(rec.path) * 6 / 10);
    Start(rec.name);
    ASSERT_TRUE(WaitForModeEnd(30000));
    bool ended = false;
    const std::string out = Stop(&ended);
    EXPECT_TRUE(ended);
    const std::vector<int64_t> frames = Frames(ShownPictures(root_));
    ASSERT_GT(frames.size(), 30u) << out;
    EXPECT_LT(frames.size(), 90u);
    EXPECT_EQ(frames, Sequence(0, static_cast<int64_t>(frames.size())));
}

TEST_F(PlaybackTest, RecordingTooShortToStartDecodingShowsNothingAndEndsTheMode) {
    RecordingSpec spec;
    spec.pictures = 20;
    spec.bit_rate_kbps = 1000;  // far less than the bytes that release the decoder
    const Recording rec = MakeRecording(root_, "NORM00005.ASF", spec);
    Start(rec.name);
    ASSERT_TRUE(WaitForModeEnd(30000));
    bool ended = false;
    const std::string out = Stop(&ended);
    EXPECT_TRUE(ended);
    EXPECT_TRUE(ShownPictures(root_).empty());
    EXPECT_EQ(CountLines(out, "VD : Stop decoding (Not enough data)"), 1) << out;
}

}  // namespace

namespace {

TEST_F(PlaybackTest, StreamOfSixPicturesIsNeverShownAndEndsTheMode) {
    RecordingSpec spec;
    spec.pictures = 6;
    spec.gop = 1;                 // key pictures only,
    spec.bit_rate_kbps = 40000;   // large enough to release the decoder
    spec.sound = false;
    const Recording rec = MakeRecording(root_, "NORM00006.ASF", spec);
    ASSERT_GT(rec.stream.size(), 262144u);
    Start(rec.name);
    ASSERT_TRUE(WaitForModeEnd(30000));
    bool ended = false;
    const std::string out = Stop(&ended);
    EXPECT_TRUE(ended);
    EXPECT_TRUE(ShownPictures(root_).empty());
    EXPECT_EQ(CountLines(out, "VD : Total Decoded Frames : 6"), 1) << out;
    EXPECT_EQ(CountLines(out, "PM : Close Playback Manager Thread "), 1);
}

}  // namespace
