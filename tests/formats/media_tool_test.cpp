// The media tool end to end, and our recordings judged by programs no one
// here wrote: FFmpeg (its default "asf" reader and its G.726 decoder) and
// GStreamer's asfdemux. Inputs are generated into the build folder at test
// time; tests needing a missing program are skipped.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>

#include <sys/wait.h>
#include <unistd.h>

#include "AnnexB.h"
#include "AsfFileReader.h"
#include "AsfTestKit.h"
#include "MediaCommands.h"
#include "MediaToolRun.h"
#include "TestSignals.h"
#include "WavFile.h"
#include "formats/g726dec.h"
#include "formats/g726enc.h"

namespace fs = std::filesystem;

namespace {

// One folder per test process: ctest runs the tests of this file in parallel.
const fs::path kWork = fs::path(DIVIV_FORMATS_WORKDIR) / std::to_string(getpid());

bool HaveProgram(const std::string& name) {
    return std::system(("command -v " + name + " >/dev/null 2>&1").c_str()) == 0;
}

std::string Slurp(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

std::vector<uint8_t> Bytes(const fs::path& p) {
    std::string s = Slurp(p);
    return {s.begin(), s.end()};
}

// Runs a shell command line; stdout and stderr land in files of the work folder.
struct Outcome {
    int rc;
    std::string out, err;
};
Outcome Shell(const std::string& cmd) {
    const fs::path o = kWork / "cmd.out", e = kWork / "cmd.err";
    const int rc = std::system((cmd + " >'" + o.string() + "' 2>'" + e.string() + "'").c_str());
    return {rc, Slurp(o), Slurp(e)};
}

// The tool in-process, with its output captured.
Outcome Tool(std::vector<std::string> args) {
    mediatest::Outcome o = mediatest::Tool(std::move(args));
    return {o.rc, o.out, o.err};
}

std::string P(const char* name) { return (kWork / name).string(); }

class MediaTool : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        fs::create_directories(kWork);
        // Speech-like audio, 10 s.
        media::PcmAudio pcm{8000, 1, testsig::SpeechLikeSignal(10, 77)};
        std::string error;
        ASSERT_TRUE(media::WriteWav(P("speech.wav"), pcm, error)) << error;
        // Sensor-like text records, a few hundred.
        std::ofstream txt(P("records.txt"), std::ios::binary);
        for (int i = 0; i < 400; ++i) {
            char line[64];
            if (i % 4 == 0)
                std::snprintf(line, sizeof line, "$GPRMC,0123%02d.00,A,3540.0,N,13945.0,E,0.0,0.0,010124,,,A*00\r\n", i % 60);
            else
                std::snprintf(line, sizeof line, "$SPCNT,%08d\r\n", i * 3);
            txt << line;
        }
        txt.close();
        haveFfmpeg = HaveProgram("ffmpeg") && HaveProgram("ffprobe");
        if (haveFfmpeg) {
            Outcome r = Shell("ffmpeg -v error -y -f lavfi -i testsrc=size=640x480:rate=30 -t 10 -c:v libx264 "
                          "-profile:v baseline -pix_fmt yuv420p -g 30 -f h264 '" + P("testsrc.h264") + "'");
            haveFfmpeg = r.rc == 0;
        }
        if (haveFfmpeg) {
            Outcome m = Tool({"mux", "--video", P("testsrc.h264"), "--audio", P("speech.wav"), "--text", P("records.txt"),
                          "--date", "1700000000", "-o", P("plain.asf")});
            ASSERT_EQ(m.rc, 0) << m.err;
        }
    }
    static void TearDownTestSuite() { fs::remove_all(kWork); }
    void RequireFfmpeg() {
        if (!haveFfmpeg) GTEST_SKIP() << "ffmpeg/ffprobe not installed";
    }
    static bool haveFfmpeg;
};
bool MediaTool::haveFfmpeg = false;

TEST_F(MediaTool, FfmpegOpensTheRecordingWithVideoAndAudioAtTheRightDuration) {
    RequireFfmpeg();
    Outcome probe = Shell("ffprobe -v error -f asf -show_entries stream=codec_name,width,height,sample_rate,channels "
                      "-show_entries format=duration -of default=noprint_wrappers=1 '" + P("plain.asf") + "'");
    ASSERT_EQ(probe.rc, 0) << probe.err;
    EXPECT_EQ(probe.err, "");
    EXPECT_NE(probe.out.find("codec_name=h264\nwidth=640\nheight=480"), std::string::npos) << probe.out;
    EXPECT_NE(probe.out.find("codec_name=adpcm_g726\nsample_rate=8000\nchannels=1"), std::string::npos) << probe.out;
    const auto d = probe.out.find("duration=");
    ASSERT_NE(d, std::string::npos);
    const double duration = std::atof(probe.out.c_str() + d + 9);
    EXPECT_NEAR(duration, 10.0, 0.1);

    Outcome decode = Shell("ffmpeg -v error -f asf -i '" + P("plain.asf") + "' -f null -");
    EXPECT_EQ(decode.rc, 0);
    EXPECT_EQ(decode.err, "") << "FFmpeg complained while decoding";
}

TEST_F(MediaTool, FfmpegsG726DecoderPlaysOurAudio) {
    RequireFfmpeg();
    Outcome r = Shell("ffmpeg -v error -y -f asf -i '" + P("plain.asf") + "' -map 0:a -f s16le -ac 1 -ar 8000 '" +
                  P("ffmpeg-audio.raw") + "'");
    ASSERT_EQ(r.rc, 0) << r.err;
    const auto raw = Bytes(kWork / "ffmpeg-audio.raw");
    std::vector<int16_t> theirs(raw.size() / 2);
    for (size_t i = 0; i < theirs.size(); ++i) theirs[i] = static_cast<int16_t>(raw[2 * i] | raw[2 * i + 1] << 8);
    const std::vector<int16_t> original = testsig::SpeechLikeSignal(10, 77);

    ASSERT_EQ(Tool({"extract", P("plain.asf"), "--audio", P("ours.wav")}).rc, 0);
    media::PcmAudio ours;
    std::string error;
    ASSERT_TRUE(media::ReadWav(P("ours.wav"), ours, error)) << error;
    ASSERT_EQ(ours.samples.size(), original.size());
    ASSERT_GE(theirs.size(), original.size() * 99 / 100);
    const double snrOurs = testsig::SnrDb(original, ours.samples);
    const double snrTheirs = testsig::SnrDb(original, theirs);
    EXPECT_GT(snrOurs, 18.0);
    EXPECT_NEAR(snrTheirs, snrOurs, 3.0) << "ours " << snrOurs << " dB, libavcodec " << snrTheirs << " dB";
}

TEST_F(MediaTool, GstreamerDemuxesVideoAndAudio) {
    RequireFfmpeg();
    if (!HaveProgram("gst-launch-1.0") || Shell("gst-inspect-1.0 asfdemux").rc != 0)
        GTEST_SKIP() << "GStreamer with asfdemux not installed";
    Outcome r = Shell("gst-launch-1.0 -q filesrc location='" + P("plain.asf") +
                  "' ! asfdemux name=d d.video_0 ! queue ! filesink location='" + P("gst-video.h264") +
                  "' d.audio_0 ! queue ! filesink location='" + P("gst-audio.g726") + "'");
    ASSERT_EQ(r.rc, 0) << r.err;
    const auto video = Bytes(kWork / "gst-video.h264"), original = Bytes(kWork / "testsrc.h264");
    const auto units = media::SplitAccessUnits(original.data(), original.size());
    // asfdemux stops at the play duration, which is the last picture's time:
    // at most that last picture is not delivered.
    ASSERT_GE(video.size(), original.size() - units.back().size);
    EXPECT_TRUE(std::equal(video.begin(), video.end(), original.begin()));

    ASSERT_EQ(Tool({"g726", "encode", "--bits", "4", P("speech.wav"), P("speech.g726")}).rc, 0);
    const auto audio = Bytes(kWork / "gst-audio.g726"), codes = Bytes(kWork / "speech.g726");
    ASSERT_GE(audio.size(), codes.size() - 136);
    EXPECT_TRUE(std::equal(audio.begin(), audio.end(), codes.begin()));
}

TEST_F(MediaTool, ScrambledKeyPicturesNeedThePassCode) {
    RequireFfmpeg();
    ASSERT_EQ(Tool({"mux", "--video", P("testsrc.h264"), "--audio", P("speech.wav"), "--scramble", "9274", "-o",
                    P("scrambled.asf")})
                  .rc,
              0);
    Outcome decode = Shell("ffmpeg -v error -f asf -i '" + P("scrambled.asf") + "' -map 0:v -f null -");
    EXPECT_NE(decode.err, "") << "scrambled key pictures decoded cleanly";

    ASSERT_EQ(Tool({"extract", P("scrambled.asf"), "--pass", "9274", "--video", P("descrambled.h264")}).rc, 0);
    EXPECT_EQ(Bytes(kWork / "descrambled.h264"), Bytes(kWork / "testsrc.h264"));
    ASSERT_EQ(Tool({"extract", P("scrambled.asf"), "--pass", "9275", "--video", P("wrong.h264")}).rc, 0);
    EXPECT_NE(Bytes(kWork / "wrong.h264"), Bytes(kWork / "testsrc.h264"));

    Outcome withPass = Tool({"info", P("scrambled.asf"), "--pass", "9274"});
    EXPECT_NE(withPass.out.find("(10 key, 10 start with a start code)"), std::string::npos) << withPass.out;
    Outcome without = Tool({"info", P("scrambled.asf")});
    EXPECT_NE(without.out.find("(10 key, 0 start with a start code)"), std::string::npos) << without.out;
}

TEST_F(MediaTool, ExtractGivesEveryStreamBack) {
    RequireFfmpeg();
    Outcome r = Tool({"extract", P("plain.asf"), "--video", P("x.h264"), "--audio", P("x.wav"), "--text", P("x.txt")});
    ASSERT_EQ(r.rc, 0) << r.err;
    EXPECT_EQ(Bytes(kWork / "x.h264"), Bytes(kWork / "testsrc.h264"));
    EXPECT_EQ(Bytes(kWork / "x.txt"), Bytes(kWork / "records.txt"));
    // The audio is what our own codec gives for the original.
    ASSERT_EQ(Tool({"g726", "encode", "--bits", "4", P("speech.wav"), P("s.g726")}).rc, 0);
    ASSERT_EQ(Tool({"g726", "decode", "--bits", "4", P("s.g726"), P("s.wav")}).rc, 0);
    EXPECT_EQ(Bytes(kWork / "x.wav"), Bytes(kWork / "s.wav"));

    Outcome info = Tool({"info", P("plain.asf")});
    ASSERT_EQ(info.rc, 0) << info.err;
    EXPECT_NE(info.out.find("Stream 1 video: 300 objects (10 key"), std::string::npos) << info.out;
    EXPECT_NE(info.out.find("Stream 2 audio: 300 objects"), std::string::npos) << info.out;
    EXPECT_NE(info.out.find("Stream 3 binary: 400 objects"), std::string::npos) << info.out;
    EXPECT_NE(info.out.find("Simple Index Object: interval 1.000 s, 9 entries"), std::string::npos) << info.out;
    EXPECT_NE(info.out.find("video H264 640x480"), std::string::npos) << info.out;
}

TEST(MediaToolInput, BadInputGivesUsageOrOneLineReasonAndNonZeroExit) {
    fs::create_directories(kWork);
    struct Cleanup {
        ~Cleanup() { fs::remove_all(kWork); }
    } cleanup;
    Outcome none = Tool({});
    EXPECT_EQ(none.rc, 2);
    EXPECT_NE(none.err.find("usage:"), std::string::npos);
    EXPECT_EQ(Tool({"frobnicate"}).rc, 2);

    media::PcmAudio stereo{8000, 2, std::vector<int16_t>(1600)};
    std::string error;
    ASSERT_TRUE(media::WriteWav(P("stereo.wav"), stereo, error));
    const std::vector<std::vector<std::string>> bad = {
        {"mux", "--video", P("does-not-exist.h264"), "-o", P("o.asf")},
        {"mux", "--video", P("stereo.wav"), "-o", P("o.asf")},  // not H.264
        {"mux", "--video", P("stereo.wav")},
        {"mux", "--video", P("x.h264"), "--scramble", "92a4", "-o", P("o.asf")},
        {"info", P("stereo.wav")},  // not ASF
        {"info"},
        {"extract", P("plain.asf")},
        {"extract", P("plain.asf"), "--video"},
        {"g726", "encode", "--bits", "6", P("stereo.wav"), P("o.g726")},
        {"g726", "encode", "--bits", "4", P("stereo.wav"), P("o.g726")},
        {"g726", "squash", P("stereo.wav"), P("o.g726")},
    };
    for (const auto& args : bad) {
        Outcome r = Tool(args);
        std::string line;
        for (auto& a : args) line += a + " ";
        EXPECT_EQ(r.rc, 1) << line;
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << line << ": " << r.err;
        EXPECT_EQ(r.err.rfind("diviv-media: ", 0), 0u) << line << ": " << r.err;
    }
}

// The media tool on files that are not whole recordings, in a folder of its own.
class MediaToolDamaged : public ::testing::Test {
protected:
    void SetUp() override { fs::create_directories(kWork); }
    void TearDown() override { fs::remove_all(kWork); }
    static std::string Write(const char* name, const std::vector<uint8_t>& bytes) {
        std::ofstream(P(name), std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()),
                                                      static_cast<std::streamsize>(bytes.size()));
        return P(name);
    }
    // The tool as a process of its own under a 5 s limit (a hang shows as
    // status 124), with the time it took.
    static Outcome TimedRun(const std::string& args, int64_t& ms) {
        const auto t0 = std::chrono::steady_clock::now();
        Outcome r = Shell("timeout 5 '" + std::string(DIVIV_MEDIA_BIN) + "' " + args);
        ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0).count();
        r.rc = WIFEXITED(r.rc) ? WEXITSTATUS(r.rc) : -1;
        return r;
    }
};

TEST_F(MediaToolDamaged, EmptyAndHeaderOnlyFilesAreNotRecordings) {
    // A recording closed before its first packet: the whole header and the
    // Data Object's head. It is a valid, empty recording.
    const std::vector<uint8_t> empty = asftest::WriteAll({});
    Outcome ok = Tool({"extract", Write("no-packets.asf", empty), "--video", P("none.h264")});
    EXPECT_EQ(ok.rc, 0) << ok.err;
    EXPECT_NE(ok.out.find("0 pictures"), std::string::npos) << ok.out;
    EXPECT_EQ(Tool({"info", P("no-packets.asf")}).rc, 0);

    struct Case {
        const char* name;
        size_t length;
        const char* why;
    };
    const Case cases[] = {
        {"empty.asf", 0, "empty file, not a recording"},
        {"header-object.asf", 30, "not a recording: the file ends inside its header at offset 30"},
        {"half-header.asf", 134, "not a recording: the file ends inside its header at offset 134"},
        {"no-data-object.asf", empty.size() - 50, "not a recording: the file ends inside its header"},
    };
    for (const Case& c : cases) {
        const std::string path = Write(c.name, std::vector<uint8_t>(empty.begin(), empty.begin() + c.length));
        for (const char* command : {"info", "extract"}) {
            std::vector<std::string> args = {command, path};
            if (std::string(command) == "extract") args.insert(args.end(), {"--video", P("out.h264")});
            Outcome r = Tool(args);
            EXPECT_EQ(r.rc, 1) << command << " " << c.name;
            EXPECT_EQ(r.err.rfind("diviv-media: " + path + ": ", 0), 0u) << r.err;
            EXPECT_NE(r.err.find(c.why), std::string::npos) << command << " " << c.name << ": " << r.err;
            EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
        }
    }
}

TEST_F(MediaToolDamaged, ObjectSizesUnderTheHeaderEndWithDamagedAtOnce) {
    const std::vector<uint8_t> good = asftest::WriteAll(
        {{ASF_MUX_DATA_TYPE_VIDEO, true, 0, std::vector<uint8_t>(500, 7)}, {ASF_MUX_DATA_TYPE_AUDIO, true, 0, {1, 2}}});
    // Where the video Stream Properties Object begins.
    size_t at = 0;
    media::WalkAsfBytes(good.data(), good.size(), good.size(), [&](ASF_DEMUX_STATE st, const ASF_DEMUX_CONTEXT&, uint64_t o) {
        if (st == ASF_DEMUX_STATE_STREAM_PROPERTIES_OBJECT_VIDEO) at = o;
        return true;
    });
    ASSERT_GT(at, 0u);
    for (uint64_t size : {0ull, 1ull, 23ull, 24ull, (1ull << 32) + 24}) {
        std::vector<uint8_t> bad = good;
        for (int i = 0; i < 8; ++i) bad[at + 16 + i] = static_cast<uint8_t>(size >> (8 * i));
        bad[at + 24] ^= 0xFF;  // an unknown stream type: skipped by the declared size
        const std::string path = Write("bad-size.asf", bad);
        for (const char* command : {"info", "extract"}) {
            int64_t ms = 0;
            const std::string output = std::string(command) == "extract" ? " --video '" + P("out.h264") + "'" : "";
            Outcome r = TimedRun(std::string(command) + " '" + path + "'" + output, ms);
            EXPECT_EQ(r.rc, 1) << command << " size " << size << (r.rc == 124 ? ": the tool hangs" : "");
            EXPECT_NE(r.err.find("damaged file: unrecognised or invalid data at offset " + std::to_string(at)),
                      std::string::npos)
                << command << " size " << size << ": " << r.err;
            EXPECT_LT(ms, 1000) << command << " size " << size;
        }
    }
    // Beyond the end of the file: the walk runs out of bytes inside the object.
    std::vector<uint8_t> beyond = good;
    const uint64_t size = good.size() - at + 1;
    for (int i = 0; i < 8; ++i) beyond[at + 16 + i] = static_cast<uint8_t>(size >> (8 * i));
    beyond[at + 24] ^= 0xFF;
    Outcome r = Tool({"info", Write("beyond.asf", beyond)});
    EXPECT_EQ(r.rc, 1);
    EXPECT_NE(r.err.find("damaged file: it ends inside a unit at offset " + std::to_string(at)), std::string::npos)
        << r.err;
}

TEST(MediaToolAnnexB, AccessUnitsFollowPictureBoundariesAndKeepEveryByte) {
    // SPS, PPS and an IDR picture in two slices; a P picture; SEI and a P
    // picture; a P picture after trailing zero bytes.
    const std::vector<uint8_t> s = {
        0, 0, 0, 1, 0x67, 0x42, 0x00, 0x1E,  // SPS
        0, 0, 0, 1, 0x68, 0xCE,              // PPS
        0, 0, 1, 0x65, 0x88, 0x10,           // IDR, first_mb 0
        0, 0, 1, 0x65, 0x40, 0x20,           // IDR, second slice (first_mb != 0)
        0, 0, 0, 1, 0x41, 0x9A, 0x01,        // P
        0, 0, 1, 0x06, 0x05, 0x01,           // SEI opens the next picture
        0, 0, 1, 0x41, 0x9B, 0x02, 0, 0,     // P with trailing zeros
        0, 0, 0, 1, 0x41, 0x9C, 0x03,        // P
    };
    const auto units = media::SplitAccessUnits(s.data(), s.size());
    ASSERT_EQ(units.size(), 4u);
    EXPECT_TRUE(units[0].key);
    EXPECT_FALSE(units[1].key);
    EXPECT_EQ(units[0].offset, 0u);
    EXPECT_EQ(units[1].offset, 26u);
    EXPECT_EQ(s[units[2].offset + 3], 0x06);
    size_t total = 0;
    for (size_t i = 0; i < units.size(); ++i) {
        if (i > 0) {
            EXPECT_EQ(units[i].offset, units[i - 1].offset + units[i - 1].size);
        }
        total += units[i].size;
    }
    EXPECT_EQ(total, s.size());
}

}  // namespace
