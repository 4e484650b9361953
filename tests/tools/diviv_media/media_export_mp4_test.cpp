// diviv-media export --mp4: recordings joined into one MP4 file that FFmpeg
// reads as H.264 and AAC. The pictures are the recorded ones, not
// re-encoded (their decoded checksums match the source stream's), on a time
// line that runs on across files; the sound covers the pictures without a
// hole at the join.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <sstream>

#include "MediaWork.h"

namespace {

using namespace mediawork;
using mediatest::Tool;

// The decoded pictures' checksums, in order.
std::vector<std::string> PictureSums(const std::string& input) {
    Shell r = RunShell("ffmpeg -v error -i '" + input + "' -map 0:v -f framemd5 -");
    std::vector<std::string> sums;
    std::istringstream lines(r.out);
    for (std::string line; std::getline(lines, line);)
        if (!line.empty() && line[0] != '#') sums.push_back(line.substr(line.rfind(',') + 1));
    return sums;
}

std::vector<double> Column(const std::string& text) {
    std::vector<double> v;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);)
        if (!line.empty()) v.push_back(std::atof(line.c_str()));
    return v;
}

class ExportMp4 : public testing::Test {
protected:
    static void SetUpTestSuite() {
        if (!HaveFfmpeg()) return;
        first_ = MakeRecording("first.asf", 3, "2468", "testsrc");
        second_ = MakeRecording("second.asf", 2, "2468", "smptebars");
        plain_ = MakeRecording("plain.asf", 1, "", "rgbtestsrc");
        ASSERT_FALSE(first_.empty());
        ASSERT_FALSE(second_.empty());
        ASSERT_FALSE(plain_.empty());
    }
    static void TearDownTestSuite() { Remove(); }
    void SetUp() override {
        if (!HaveFfmpeg()) GTEST_SKIP() << "ffmpeg/ffprobe not installed";
    }
    static inline std::string first_, second_, plain_;
};

TEST_F(ExportMp4, TwoRecordingsJoinIntoOneH264AndAacFile) {
    const std::string out = Path("drive.mp4");
    mediatest::Outcome r = Tool({"export", first_, second_, "--pass", "2468", "--mp4", out});
    ASSERT_EQ(r.rc, 0) << r.err;
    EXPECT_NE(r.out.find(out + ": 150 pictures"), std::string::npos) << r.out;
    EXPECT_NE(r.err.find("export: 1/2 files, 3 s\n"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("export: 2/2 files, 5 s\n"), std::string::npos) << r.err;

    Shell streams = RunShell(
        "ffprobe -v error -show_entries stream=codec_type,codec_name,width,height,sample_rate "
        "-of compact=p=0 '" +
        out + "'");
    EXPECT_EQ(streams.err, "");
    EXPECT_NE(streams.out.find("codec_name=h264|codec_type=video|width=160|height=120"), std::string::npos)
        << streams.out;
    EXPECT_NE(streams.out.find("codec_name=aac|codec_type=audio|sample_rate=8000"), std::string::npos) << streams.out;

    // Five seconds of pictures, to within a picture.
    Shell duration = RunShell("ffprobe -v error -show_entries format=duration -of csv=p=0 '" + out + "'");
    EXPECT_NEAR(std::atof(duration.out.c_str()), 5.0, 1.0 / 30) << duration.out;
    Shell audio =
        RunShell("ffprobe -v error -select_streams a:0 -show_entries stream=duration -of csv=p=0 '" + out + "'");
    EXPECT_NEAR(std::atof(audio.out.c_str()), 5.0, 1.0 / 30) << audio.out;

    // Picture times run on across the join, one every 1/30 s.
    Shell times =
        RunShell("ffprobe -v error -select_streams v:0 -show_entries packet=pts_time -of csv=p=0 '" + out + "'");
    const std::vector<double> pts = Column(times.out);
    ASSERT_EQ(pts.size(), 150u);
    for (size_t i = 0; i < pts.size(); ++i) EXPECT_NEAR(pts[i], i / 30.0, 0.0011) << "picture " << i;

    // The recorded pictures themselves, descrambled and in order.
    std::vector<std::string> expected = PictureSums(first_ + ".h264");
    const std::vector<std::string> more = PictureSums(second_ + ".h264");
    expected.insert(expected.end(), more.begin(), more.end());
    ASSERT_EQ(expected.size(), 150u);
    EXPECT_EQ(PictureSums(out), expected);

    // The tone is there on both sides of the join: no window of 20 ms is
    // silent once the encoder's start-up is over.
    ASSERT_EQ(
        RunShell("ffmpeg -v error -y -i '" + out + "' -map 0:a -f s16le -ac 1 -ar 8000 '" + Path("sound.raw") + "'").rc,
        0);
    const std::vector<uint8_t> raw = Bytes(Path("sound.raw"));
    // The decoder also gives the last AAC frame's padding (at most 1024 samples).
    const size_t samples = raw.size() / 2;
    EXPECT_GE(samples, 40000u);
    EXPECT_LE(samples, 40000u + 1024);
    std::string silent;
    for (size_t w = 10; (w + 1) * 160 <= 40000 - 800; ++w) {
        double energy = 0;
        for (size_t i = w * 160; i < (w + 1) * 160; ++i) {
            const int16_t s = static_cast<int16_t>(raw[2 * i] | raw[2 * i + 1] << 8);
            energy += double(s) * s;
        }
        if (std::sqrt(energy / 160) < 1000) silent += std::to_string(w * 20) + " ms; ";
    }
    EXPECT_EQ(silent, "");
}

TEST_F(ExportMp4, WhatCannotBeOpenedIsRefusedWithoutLeavingAFile) {
    const std::string out = Path("refused.mp4");
    mediatest::Outcome noPass = Tool({"export", first_, "--mp4", out});
    EXPECT_EQ(noPass.rc, 1);
    EXPECT_NE(noPass.err.find("the key pictures are scrambled: give the pass code with --pass"), std::string::npos)
        << noPass.err;
    EXPECT_FALSE(fs::exists(out));

    mediatest::Outcome wrong = Tool({"export", first_, second_, "--pass", "1111", "--mp4", out});
    EXPECT_EQ(wrong.rc, 1);
    EXPECT_NE(wrong.err.find("the pass code does not open the key pictures"), std::string::npos) << wrong.err;
    EXPECT_FALSE(fs::exists(out));

    // A recording whose key pictures are plain needs no pass code, and joins
    // scrambled ones.
    EXPECT_EQ(Tool({"export", plain_, "--mp4", out}).rc, 0);
    mediatest::Outcome mixed = Tool({"export", plain_, second_, "--pass", "2468", "--mp4", out});
    EXPECT_EQ(mixed.rc, 0) << mixed.err;
    std::vector<std::string> expected = PictureSums(plain_ + ".h264");
    const std::vector<std::string> more = PictureSums(second_ + ".h264");
    expected.insert(expected.end(), more.begin(), more.end());
    EXPECT_EQ(PictureSums(out), expected);

    // An output named like a recording would destroy it while it is read.
    const std::vector<uint8_t> before = Bytes(second_);
    mediatest::Outcome over = Tool({"export", first_, second_, "--pass", "2468", "--mp4", second_});
    EXPECT_EQ(over.rc, 1);
    EXPECT_NE(over.err.find("recordings are never overwritten"), std::string::npos) << over.err;
    EXPECT_EQ(Bytes(second_), before);

    // A recording cut by a power loss is refused with the way out; once
    // repaired it exports.
    std::vector<uint8_t> cut = Bytes(first_);
    cut.resize(cut.size() / 2);
    Save(Path("cut.asf"), cut);
    mediatest::Outcome damaged = Tool({"export", second_, Path("cut.asf"), "--pass", "2468", "--mp4", out});
    EXPECT_EQ(damaged.rc, 1);
    EXPECT_NE(damaged.err.find("diviv-media repair"), std::string::npos) << damaged.err;
    EXPECT_FALSE(fs::exists(out));
    ASSERT_EQ(Tool({"repair", Path("cut.asf")}).rc, 0);
    mediatest::Outcome repaired = Tool({"export", second_, Path("cut.repaired.asf"), "--pass", "2468", "--mp4", out});
    EXPECT_EQ(repaired.rc, 0) << repaired.err;
    EXPECT_EQ(RunShell("ffmpeg -v error -i '" + out + "' -f null -").err, "");
}

}  // namespace
