// diviv-media frames: pictures of the simulated camera, encoded as the
// recorder encodes them, decoded by libavcodec and their bands read back,
// from a raw stream and from an ASF recording.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <linux/videodev2.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <vector>

#include "MediaCommands.h"
#include "platform/X264Encoder.h"
#include "sim/CameraScene.h"
#include "sim/FrameBand.h"
#include "sim/SimCamera.h"
#include "sim/World.h"
#include "support/SimBoardFixture.h"

namespace fs = std::filesystem;
using namespace diviv;
using namespace diviv::sim;

namespace {

constexpr int kW = 640, kH = 480;

struct Picture {
    uint32_t sequence;
    bool marker;
    bool band = true;
};

struct Outcome {
    int rc;
    std::string out, err;
};

std::string ReadAll(FILE* f) {
    std::rewind(f);
    std::string s;
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) s.append(buf, n);
    return s;
}

Outcome Tool(std::vector<std::string> args) {
    args.insert(args.begin(), "diviv-media");
    std::vector<const char*> argv;
    for (auto& a : args) argv.push_back(a.c_str());
    FILE* out = std::tmpfile();
    FILE* err = std::tmpfile();
    const int rc = media::RunCommandLine(static_cast<int>(argv.size()), argv.data(), out, err);
    Outcome o{rc, ReadAll(out), ReadAll(err)};
    std::fclose(out);
    std::fclose(err);
    return o;
}

// Encodes camera pictures with the recorder's encoder: SPS and PPS before
// each group's I picture. Returns the Annex-B stream.
std::vector<uint8_t> EncodeStream(const std::vector<Picture>& pictures, int kbps, int gop = 10) {
    auto enc = MakeX264Encoder();
    VideoEncoderParams p;
    p.width = kW;
    p.height = kH;
    p.bit_rate_kbps = kbps;
    p.gop = gop;
    EXPECT_EQ(enc->Open(p), 0);
    CameraScene scene;
    std::vector<uint8_t> yuv(kW * kH * 3 / 2), stream;
    for (size_t i = 0; i < pictures.size(); ++i) {
        const YuvPlanes planes = I420Planes(yuv.data(), kW, kH);
        scene.Draw(planes, 0, pictures[i].sequence);
        if (pictures[i].band) DrawFrameBand(planes, pictures[i].sequence, pictures[i].marker);
        const bool key = i % gop == 0;
        if (key) {
            for (HeaderType h : {HeaderType::kSps, HeaderType::kPps}) {
                std::span<const uint8_t> header;
                EXPECT_EQ(enc->PutHeader(h, &header), 0);
                stream.insert(stream.end(), header.begin(), header.end());
            }
        }
        EncodedPicture out;
        EXPECT_EQ(enc->Encode(yuv, key, &out), 0);
        stream.insert(stream.end(), out.bytes.begin(), out.bytes.end());
    }
    enc->Close();
    return stream;
}

struct Line {
    long long pts = -1;
    long long seq = -1;
    int marker = -1;
    bool unreadable = false;
    bool corrupt = false;
};

std::vector<Line> ParseLines(const std::string& text) {
    std::vector<Line> lines;
    std::istringstream in(text);
    std::string row;
    while (std::getline(in, row)) {
        Line l;
        std::istringstream words(row);
        std::string w;
        while (words >> w) {
            const auto eq = w.find('=');
            const std::string k = w.substr(0, eq), v = w.substr(eq + 1);
            if (k == "pts_ms") l.pts = std::stoll(v);
            if (k == "seq") l.seq = std::stoll(v);
            if (k == "marker") l.marker = std::stoi(v);
            if (k == "band") l.unreadable = v == "unreadable";
            if (k == "corrupt") l.corrupt = true;
        }
        lines.push_back(l);
    }
    return lines;
}

class MediaFrames : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = MakeTempDir("diviv-frames-");
        ASSERT_FALSE(dir_.empty());
    }
    void TearDown() override { fs::remove_all(dir_); }

    std::string Save(const std::string& name, const std::vector<uint8_t>& bytes) {
        const std::string path = dir_ + "/" + name;
        std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), bytes.size());
        return path;
    }

    std::string dir_;
};

// Forty pictures with numbers as a camera gives them: a gap of five where
// frames were dropped, and a marker every thirty.
std::vector<Picture> CameraRun() {
    std::vector<Picture> p;
    for (uint32_t s = 1000; s < 1045; ++s) {
        if (s >= 1010 && s < 1015) continue;
        p.push_back({s, s % 30 == 0});
    }
    return p;
}

}  // namespace

TEST_F(MediaFrames, ReadsEveryPictureOfARawStreamInOrder) {
    const auto pictures = CameraRun();
    const std::string stream = Save("run.h264", EncodeStream(pictures, 2048));
    const Outcome o = Tool({"frames", stream});
    ASSERT_EQ(o.rc, 0) << o.err;
    const auto lines = ParseLines(o.out);
    ASSERT_EQ(lines.size(), pictures.size()) << o.out;
    for (size_t i = 0; i < lines.size(); ++i) {
        EXPECT_EQ(lines[i].pts, static_cast<long long>(i * 1000 / 30)) << i;
        ASSERT_FALSE(lines[i].unreadable) << i;
        EXPECT_EQ(lines[i].seq, pictures[i].sequence) << i;
        EXPECT_EQ(lines[i].marker, pictures[i].marker ? 1 : 0) << i;
        EXPECT_FALSE(lines[i].corrupt) << i;
    }
}

TEST_F(MediaFrames, BandSurvivesALowBitRate) {
    std::vector<Picture> pictures;
    for (uint32_t s = 0; s < 30; ++s) pictures.push_back({s * 977 % 1048576, s % 7 == 0});
    const Outcome o = Tool({"frames", Save("low.h264", EncodeStream(pictures, 200, 30))});
    ASSERT_EQ(o.rc, 0) << o.err;
    const auto lines = ParseLines(o.out);
    ASSERT_EQ(lines.size(), pictures.size());
    for (size_t i = 0; i < lines.size(); ++i) {
        ASSERT_FALSE(lines[i].unreadable) << i;
        EXPECT_EQ(lines[i].seq, pictures[i].sequence) << i;
        EXPECT_EQ(lines[i].marker, pictures[i].marker ? 1 : 0) << i;
    }
}

TEST_F(MediaFrames, ReadsARecordingWithItsTimesAndScrambledKeyPictures) {
    const auto pictures = CameraRun();
    const std::string stream = Save("run.h264", EncodeStream(pictures, 2048));
    const std::string plain = dir_ + "/plain.asf", scrambled = dir_ + "/scrambled.asf";
    ASSERT_EQ(Tool({"mux", "--video", stream, "-o", plain}).rc, 0);
    ASSERT_EQ(Tool({"mux", "--video", stream, "--scramble", "4711", "-o", scrambled}).rc, 0);

    for (const auto& [file, pass] : std::vector<std::pair<std::string, std::string>>{{plain, ""}, {scrambled, "4711"}}) {
        std::vector<std::string> args{"frames", file};
        if (!pass.empty()) args.insert(args.end(), {"--pass", pass});
        const Outcome o = Tool(args);
        ASSERT_EQ(o.rc, 0) << file << ": " << o.err;
        const auto lines = ParseLines(o.out);
        ASSERT_EQ(lines.size(), pictures.size()) << file;
        for (size_t i = 0; i < lines.size(); ++i) {
            EXPECT_EQ(lines[i].seq, pictures[i].sequence) << file << " " << i;
            if (i > 0) {
                EXPECT_NEAR(lines[i].pts - lines[i - 1].pts, 33, 1) << file << " " << i;
            }
        }
    }
    // Without the pass code the scrambled key pictures do not decode as
    // what they were: the tool must not print their numbers as read.
    const Outcome locked = Tool({"frames", scrambled});
    const auto lines = ParseLines(locked.out);
    size_t right = 0;
    for (size_t i = 0; i < lines.size() && i < pictures.size(); ++i)
        right += !lines[i].unreadable && !lines[i].corrupt && lines[i].seq == pictures[i].sequence;
    EXPECT_LT(right, pictures.size());
}

TEST_F(MediaFrames, SaysWhenThereIsNoBand) {
    std::vector<Picture> pictures{{1, false, false}, {2, false, false}, {3, false, true}};
    const Outcome o = Tool({"frames", Save("noband.h264", EncodeStream(pictures, 2048))});
    ASSERT_EQ(o.rc, 0) << o.err;
    const auto lines = ParseLines(o.out);
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_TRUE(lines[0].unreadable);
    EXPECT_TRUE(lines[1].unreadable);
    EXPECT_FALSE(lines[2].unreadable);
    EXPECT_EQ(lines[2].seq, 3);
    EXPECT_NE(o.out.find("pts_ms=0 band=unreadable\n"), std::string::npos) << o.out;
}

TEST_F(MediaFrames, RefusesWhatIsNoVideo) {
    const Outcome missing = Tool({"frames", dir_ + "/none.h264"});
    EXPECT_EQ(missing.rc, 1);
    EXPECT_NE(missing.err.find("cannot open"), std::string::npos) << missing.err;

    std::vector<uint8_t> junk(10000);
    for (size_t i = 0; i < junk.size(); ++i) junk[i] = static_cast<uint8_t>(i * 7919 >> 3);
    const Outcome o = Tool({"frames", Save("junk.bin", junk)});
    EXPECT_EQ(o.rc, 1);
    EXPECT_NE(o.err.find("no H.264 picture decoded"), std::string::npos) << o.err;

    EXPECT_EQ(Tool({"frames"}).rc, 1);
    EXPECT_EQ(Tool({"frames", "a", "b"}).rc, 1);
    EXPECT_EQ(Tool({"frames", "a", "--pass", "12"}).rc, 1);
}

// The whole road: the camera paced in real time with frames dropped on a
// world step, its pictures encoded, the stream read from outside.
class CameraToStream : public SimBoardTest {};

TEST_F(CameraToStream, AGapOfDroppedFramesShowsInTheDecodedNumbers) {
    int error = 0;
    auto cam = MakeSimCamera(kCameraDevicePath, O_RDWR | O_NONBLOCK, &error);
    ASSERT_TRUE(cam);
    v4l2_format fmt{};
    fmt.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    fmt.fmt.pix = {kW, kH, V4L2_PIX_FMT_YUV420, V4L2_FIELD_INTERLACED, 0, 0, 0, 0, 0, 0, 0, 0};
    ASSERT_EQ(cam->Ioctl(VIDIOC_S_FMT, &fmt), 0);
    v4l2_requestbuffers req{};
    req.count = 6;
    req.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    req.memory = V4L2_MEMORY_MMAP;
    ASSERT_EQ(cam->Ioctl(VIDIOC_REQBUFS, &req), 0);
    std::vector<MappedMemory> maps;
    for (uint32_t i = 0; i < req.count; ++i) {
        v4l2_buffer b{};
        b.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        b.memory = V4L2_MEMORY_MMAP;
        b.index = i;
        ASSERT_EQ(cam->Ioctl(VIDIOC_QUERYBUF, &b), 0);
        maps.push_back(cam->Map(b.length, b.m.offset));
        ASSERT_TRUE(maps.back());
        ASSERT_EQ(cam->Ioctl(VIDIOC_QBUF, &b), 0);
    }
    int type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    ASSERT_EQ(cam->Ioctl(VIDIOC_STREAMON, &type), 0);

    auto enc = MakeX264Encoder();
    VideoEncoderParams p;
    ASSERT_EQ(enc->Open(p), 0);
    std::vector<uint8_t> stream;
    std::vector<uint32_t> captured;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (captured.size() < 16 && std::chrono::steady_clock::now() < deadline) {
        v4l2_buffer b{};
        b.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        b.memory = V4L2_MEMORY_MMAP;
        const int rc = cam->Ioctl(VIDIOC_DQBUF, &b);
        if (rc == -EAGAIN) {
            std::this_thread::sleep_for(std::chrono::milliseconds(3));
            continue;
        }
        ASSERT_EQ(rc, 0);
        const bool key = captured.empty();
        if (key) {
            for (HeaderType h : {HeaderType::kSps, HeaderType::kPps}) {
                std::span<const uint8_t> header;
                ASSERT_EQ(enc->PutHeader(h, &header), 0);
                stream.insert(stream.end(), header.begin(), header.end());
            }
        }
        EncodedPicture out;
        const auto* data = static_cast<const uint8_t*>(maps[b.index].data());
        ASSERT_EQ(enc->Encode({data, fmt.fmt.pix.sizeimage}, key, &out), 0);
        stream.insert(stream.end(), out.bytes.begin(), out.bytes.end());
        captured.push_back(b.sequence);
        ASSERT_EQ(cam->Ioctl(VIDIOC_QBUF, &b), 0);
        if (captured.size() == 6) {
            ASSERT_TRUE(WorldWriter(Path(kWorldFile)).CameraDrop(4));
        }
    }
    ASSERT_EQ(captured.size(), 16u);
    enc->Close();

    const std::string file = root_ + "/camera.h264";
    std::ofstream(file, std::ios::binary).write(reinterpret_cast<const char*>(stream.data()), stream.size());
    const Outcome o = Tool({"frames", file});
    ASSERT_EQ(o.rc, 0) << o.err;
    const auto lines = ParseLines(o.out);
    ASSERT_EQ(lines.size(), captured.size());
    // Four numbers missing in one gap (and any the camera lost on a
    // machine too busy to keep up).
    int gaps = 0;
    long long missing = 0;
    for (size_t i = 0; i < lines.size(); ++i) {
        ASSERT_FALSE(lines[i].unreadable) << i;
        EXPECT_EQ(lines[i].seq, captured[i]) << i;
        if (i == 0) continue;
        missing += lines[i].seq - lines[i - 1].seq - 1;
        gaps += lines[i].seq - lines[i - 1].seq >= 5;
    }
    EXPECT_EQ(gaps, 1);
    EXPECT_EQ(missing, 4 + static_cast<long long>(static_cast<SimCamera*>(cam.get())->Counters().lost));
}
