// The recording writer thread over prepared buffers: pictures, sound and
// sensor records placed in the ring buffers as the capture and the
// receivers hand them over, the files read back with the project's reader.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "AsfFileReader.h"
#include "RecordingTestKit.h"
#include "formats/AsfCrypt.h"
#include "platform/BoardPath.h"
#include "platform/GpsRecord.h"
#include "platform/SensorRecords.h"
#include "recording/AsfMuxThread.h"
#include "sim/SimCardSync.h"
#include "storage/SDFunc.h"
#include "storage/indexf.h"

namespace {

using namespace std::chrono_literals;

constexpr int kPictureBytes = 1000;  // 45 pictures pass the writer's start threshold at 1024 kbit/s
constexpr int32_t kVideoSecond = 1800000000;  // capture clock of the prepared pictures

// A file as the reader sees it.
struct ReadFile {
    std::string name;
    std::vector<media::MediaObject> video, audio, text;
};

ReadFile ReadBack(const std::string& path) {
    ReadFile f;
    f.name = std::filesystem::path(path).filename().string();
    media::ObjectAssembler assemble[4];
    media::MediaObject obj;
    const media::WalkResult r =
        media::WalkAsfFile(path, [&](ASF_DEMUX_STATE st, const ASF_DEMUX_CONTEXT& c, uint64_t) {
            if (st < ASF_DEMUX_STATE_VIDEO_DATA || st > ASF_DEMUX_STATE_BINARY_DATA) return true;
            const int s = st - ASF_DEMUX_STATE_VIDEO_DATA + 1;
            const STRUCT_ASF_PAYLOAD& p =
                s == 1 ? c.asfPayloadVideo : s == 2 ? c.asfPayloadAudio : c.asfPayloadBinary;
            if (assemble[s].Add(p, obj)) (s == 1 ? f.video : s == 2 ? f.audio : f.text).push_back(obj);
            return true;
        });
    EXPECT_TRUE(r.ok) << path << ": " << r.error;
    return f;
}

// The frame number a prepared picture carries in its first bytes.
uint32_t FrameOf(const media::MediaObject& o) {
    uint32_t n = 0;
    if (o.data.size() >= 8) std::memcpy(&n, o.data.data() + 4, 4);
    return n;
}

std::string Text(const media::MediaObject& o) { return std::string(o.data.begin(), o.data.end()); }

dr_timeval At(double seconds) {
    const double whole = std::floor(seconds);
    return {static_cast<int32_t>(kVideoSecond + whole), static_cast<int32_t>((seconds - whole) * 1e6 + 0.5)};
}

class MuxWriterTest : public RecordingTest {
protected:
    void SetUp() override {
        RecordingTest::SetUp();
        codec_config_t* cfg = dr()->pCodecCfg;
        cfg->fps = cfg->enc_fps = 30;
        cfg->fpsx10 = 300;
        cfg->gop = 30;
        cfg->bps = 1024;
        cfg->width = 640;
        cfg->height = 480;
        cfg->rectime = 1;
        std::memcpy(dr()->id1, "ID000001", 8);
        std::memcpy(dr()->id2, "ID000002", 8);
        std::memcpy(dr()->id3, "ID000003", 8);
        std::memcpy(dr()->id4, "ID000004", 8);
        std::memcpy(dr()->pcode_new, "9274", 4);
        dr()->protect_ev = 1;
        // The folders a card gets when it is inserted.
        std::filesystem::create_directories(root_ + "/mnt/mmc0_p1/DATA");
        std::filesystem::create_directories(root_ + "/mnt/mmc0_p2/DATA");
        DeleteAllIndex();
        sdinfo_.latestindex = -1;
        ASSERT_GE(GetSDCap("/mnt/mmc0_p1", &sdinfo_), 0);
        dr()->sdinfo = &sdinfo_;
    }
    void TearDown() override {
        DeleteAllIndex();
        RecordingTest::TearDown();
    }

    // Pictures first..last of the 30 Hz grid, a key picture every 30 from
    // `first_key`.
    void FeedPictures(uint32_t first, uint32_t last, uint32_t first_key = 0) {
        for (uint32_t n = first; n <= last; ++n) {
            std::vector<uint8_t> bytes(kPictureBytes, static_cast<uint8_t>(n));
            std::memcpy(bytes.data(), "\0\0\0\1", 4);
            std::memcpy(bytes.data() + 4, &n, 4);
            const video_info_t info{(n - first_key) % 30 == 0 ? 1u : 0u, kPictureBytes, n, 0, At(n / 30.0)};
            ASSERT_EQ(DR_WriteRingBuffer(&dr()->vbs_buf, bytes.data(), kPictureBytes), kPictureBytes);
            ASSERT_EQ(DR_WriteRingBuffer(&dr()->vinfo_buf, &info, sizeof info), static_cast<int>(sizeof info));
        }
    }
    // Sound from `start` seconds of the capture clock: 100 ms blocks, each
    // byte the block's number + 1 (never 0, so inserted silence stands out).
    void FeedSound(double start, int blocks) {
        for (int b = 0; b < blocks; ++b) {
            std::vector<uint8_t> block(400, static_cast<uint8_t>(b % 255 + 1));
            const dr_timeval t = At(start + b * 0.1);
            ASSERT_EQ(DR_WriteRingBuffer(&dr()->abs_buf, block.data(), 400), 400);
            ASSERT_EQ(DR_WriteRingBuffer(&dr()->ainfo_buf, &t, sizeof t), static_cast<int>(sizeof t));
        }
        if (blocks > 0 && !sound_started_) {
            sound_started_ = true;
            dr()->AudioRecStartTime = At(start);
        }
    }
    void Pulse(double at, uint32_t speed, uint32_t engine) {
        const pulse_input_buffer p{0, At(at), {1, 0}, speed, engine};
        ASSERT_EQ(DR_WriteRingBuffer(&dr()->pulse_buf, &p, sizeof p), static_cast<int>(sizeof p));
    }
    void Contact(double at, uint32_t sigin) {
        const cont_input_buffer c{At(at), sigin};
        ASSERT_EQ(DR_WriteRingBuffer(&dr()->contin_buf, &c, sizeof c), static_cast<int>(sizeof c));
    }

    // Starts the writer as the codec manager does, once the capture has
    // started; its console is captured.
    std::thread Start() {
        dr()->RecStartTime = At(0);
        dr()->CaptureStart = 1;
        dr()->AM_ALIVE = 1;
        testing::internal::CaptureStdout();
        return std::thread(AsfMuxThread, dr());
    }

    // Runs the writer until it has taken every prepared picture, then asks
    // it to close; returns its console.
    // `once_started` runs once the writer has started its first file.
    std::string Record(const std::function<void()>& once_started = {}) {
        std::thread writer = Start();
        const auto deadline = std::chrono::steady_clock::now() + 30s;
        if (once_started) {
            while (dr()->MuxReady.load() == 0 && std::chrono::steady_clock::now() < deadline)
                std::this_thread::sleep_for(1ms);
            once_started();
        }
        while (DR_GetRingBufferReadAvailable(&dr()->vinfo_buf) > 0 && dr()->AM_ALIVE.load() != 0 &&
               std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(10ms);
        // The last picture is taken with its bytes, and written once its
        // sound is there.
        std::this_thread::sleep_for(300ms);
        dr()->REQ_AM_CLOSE = 1;
        writer.join();
        return testing::internal::GetCapturedStdout();
    }

    // The card's recordings in recording order.
    std::vector<ReadFile> Files() const {
        std::vector<std::string> paths;
        for (const auto& e : std::filesystem::recursive_directory_iterator(root_ + "/mnt/mmc0_p1/DATA"))
            if (e.path().extension() == ".ASF") paths.push_back(e.path().string());
        std::sort(paths.begin(), paths.end(), [](const std::string& a, const std::string& b) {
            return a.substr(a.size() - 9) < b.substr(b.size() - 9);
        });
        std::vector<ReadFile> out;
        for (const std::string& p : paths) out.push_back(ReadBack(p));
        return out;
    }

    SDC_Info_t sdinfo_{};
    bool sound_started_ = false;
};

uint32_t AudioMs(const ReadFile& f) {
    uint32_t bytes = 0;
    for (const auto& a : f.audio) bytes += static_cast<uint32_t>(a.data.size());
    return bytes / 4;
}

TEST_F(MuxWriterTest, FilesEndOnGopBoundariesWithEveryPictureInExactlyOneFile) {
    FeedPictures(0, 99);  // 3.3 s: three whole files of 1 s and a started one
    FeedSound(0, 36);
    const std::string console = Record();
    const std::vector<ReadFile> files = Files();
    ASSERT_EQ(files.size(), 4u) << console;

    uint32_t next = 0;
    size_t packet = 0;  // the cycle runs on across files
    for (size_t k = 0; k < files.size(); ++k) {
        const ReadFile& f = files[k];
        SCOPED_TRACE(f.name);
        ASSERT_FALSE(f.video.empty());
        EXPECT_EQ(f.video.size(), k < 3 ? 30u : 10u);
        // Each file starts with a key picture at time 0, the one read ahead
        // at the previous file's end.
        EXPECT_TRUE(f.video.front().key);
        EXPECT_EQ(f.video.front().pts, 0u);
        for (const auto& v : f.video) {
            EXPECT_EQ(FrameOf(v), next) << "every picture once, in order";
            EXPECT_EQ(v.pts, (FrameOf(v) - FrameOf(f.video.front())) * 1000 / 30);
            ++next;
        }
        // Sound packets cycle 132, 132, 136 bytes and last as long as the
        // pictures.
        for (const auto& a : f.audio) {
            EXPECT_EQ(a.data.size(), packet % 3 == 2 ? 136u : 132u) << packet;
            ++packet;
        }
        const uint32_t video_ms = f.video.back().pts + 33;
        EXPECT_NEAR(static_cast<double>(AudioMs(f)), video_ms, 100.0);
        // A whole file's sound covers its last picture too, so the next file
        // starts in step (and no sound is dropped to catch up).
        if (k < 3) {
            EXPECT_EQ(AudioMs(f), 1000u);
        }
        // The binary stream: the ID record first, the summaries last.
        ASSERT_GE(f.text.size(), 3u);
        EXPECT_EQ(Text(f.text.front()), "$ID1,ID000001,$ID2,ID000002,$ID3,ID000003,$ID4,ID000004\r\n");
        EXPECT_EQ(f.text.front().pts, 0u);
        EXPECT_EQ(Text(f.text[f.text.size() - 2]), "$MAXSP,00000000,$TRIP,00000000\r\n");
        EXPECT_EQ(Text(f.text.back()), "$EVENT,00,00,00,00,00,00\r\n");
    }
    EXPECT_EQ(next, 100u);
    EXPECT_EQ(diviv::test::CountLines(console, "AM : Adjust audio data 0 [packet]"), 4);
    const std::string index = Read("/mnt/mmc0_p2/DATA/.INDEXFILE3");
    for (const char* name : {"FILE00000.ASF", "FILE00001.ASF", "FILE00002.ASF", "FILE00003.ASF"})
        EXPECT_NE(index.find(name), std::string::npos) << name;
    EXPECT_NE(index.find("END"), std::string::npos);
    EXPECT_NE(console.find("AM : Record Time is 1 [sec] FrameNum=30 TimePerFrame=333333"), std::string::npos);
    EXPECT_NE(console.find("AM : ContinuouesEncoding DFrameNum=30"), std::string::npos);
    EXPECT_EQ(dr()->AM_ALIVE.load(), 0);
}

TEST_F(MuxWriterTest, AConfigurationChangedDuringTheRecordingDoesNotMoveTheFileEndsOffTheKeyPictures) {
    // The encoder keeps the GOP it started with (a key picture every 30); a
    // host command restoring the defaults rewrites the configuration with
    // another preset while the writer runs.
    FeedPictures(0, 99);
    FeedSound(0, 36);
    const std::string console = Record([this] {
        SetSharedSetting(dr()->pCodecCfg->gop, 20);
        SetSharedSetting(dr()->pCodecCfg->enc_fps, 20);
        SetSharedSetting(dr()->pCodecCfg->bps, 4096);
    });
    const std::vector<ReadFile> files = Files();
    ASSERT_EQ(files.size(), 4u) << console;
    for (size_t k = 0; k < files.size(); ++k) {
        SCOPED_TRACE(files[k].name);
        ASSERT_FALSE(files[k].video.empty());
        EXPECT_TRUE(files[k].video.front().key) << "every file starts with a key picture";
        EXPECT_EQ(files[k].video.size(), k < 3 ? 30u : 10u);
    }
    EXPECT_EQ(diviv::test::CountLines(console, "AM : Record Time is 1 [sec] FrameNum=30 TimePerFrame=333333"), 4);
}

TEST_F(MuxWriterTest, OnlyKeyPicturesAreScrambledWithThePassCode) {
    dr()->ASF_Encrypt = 1;
    FeedPictures(0, 44);
    FeedSound(0, 16);
    Record();
    const std::vector<ReadFile> files = Files();
    ASSERT_EQ(files.size(), 2u);
    int keys = 0;
    for (const ReadFile& f : files) {
        for (const auto& v : f.video) {
            if (v.key) {
                ++keys;
                std::vector<uint8_t> plain(v.data.size());
                DeCryptData(v.data.data(), plain.data(), static_cast<uint32_t>(plain.size()), dr()->pcode_new);
                EXPECT_NE(v.data, plain);
                EXPECT_EQ(std::memcmp(plain.data(), "\0\0\0\1", 4), 0);
                uint32_t n = 0;
                std::memcpy(&n, plain.data() + 4, 4);
                EXPECT_EQ(n % 30, 0u);
            } else {
                EXPECT_EQ(std::memcmp(v.data.data(), "\0\0\0\1", 4), 0) << "P pictures are stored plain";
            }
        }
        for (const auto& a : f.audio) EXPECT_NE(a.data[0], 0u) << "sound is stored plain";
    }
    EXPECT_EQ(keys, 2);
}

TEST_F(MuxWriterTest, MissingPicturesLeaveAGapAndTheSoundIsToppedUpToTheNextFile) {
    // Pictures 30..34 are lost: the second file starts at the key picture 35.
    // The encoder's GOP counts the pictures it coded, so 35 is a key picture.
    FeedPictures(0, 29);
    FeedPictures(35, 80, 35);
    FeedSound(0, 30);
    const std::string console = Record();
    const std::vector<ReadFile> files = Files();
    ASSERT_GE(files.size(), 2u) << console;
    // The first file's sound runs on to one packet before the next picture.
    EXPECT_EQ(files[0].video.size(), 30u);
    EXPECT_GE(AudioMs(files[0]), 1100u) << console;
    EXPECT_NE(console.find("AM : Write additional audio VPTS=1166"), std::string::npos) << console;
}

TEST_F(MuxWriterTest, SoundStartingLateIsPaddedWithSilence) {
    FeedPictures(0, 44);
    FeedSound(0.15, 16);  // the microphone started 150 ms after the camera
    const std::string console = Record();
    const std::vector<ReadFile> files = Files();
    ASSERT_FALSE(files.empty());
    ASSERT_GE(files[0].audio.size(), 6u);
    // 150 ms are four and a half packets: five of silence.
    for (size_t i = 0; i < 5; ++i) {
        EXPECT_EQ(files[0].audio[i].data, std::vector<uint8_t>(files[0].audio[i].data.size(), 0)) << i;
    }
    EXPECT_EQ(files[0].audio[5].data[0], 1u) << "then the first captured sound";
    // 167 ms of silence leave the sound 17 ms off, within a packet: no
    // correction at the next file.
    EXPECT_EQ(diviv::test::CountLines(console, "AM : Debug :: Add dummy audio packet"), 5);
    EXPECT_NE(console.find("AM : Adjust audio data -5 [packet]"), std::string::npos);
    EXPECT_NE(console.find("AM : Adjust audio data 0 [packet]"), std::string::npos);
}

TEST_F(MuxWriterTest, SoundStartingEarlyIsDropped) {
    FeedPictures(0, 44);
    FeedSound(-0.15, 17);  // 150 ms of sound from before the first picture
    const std::string console = Record();
    const std::vector<ReadFile> files = Files();
    ASSERT_FALSE(files.empty());
    ASSERT_FALSE(files[0].audio.empty());
    // 150 ms are four and a half packets: the first block and two packets
    // of the second are dropped.
    EXPECT_EQ(files[0].audio[0].data[0], 2u);
    EXPECT_EQ(files[0].audio[0].data.size(), 136u) << "the second block's last packet comes first";
    EXPECT_EQ(diviv::test::CountLines(console, "AM : Debug :: Remove audio packet"), 5);
    EXPECT_NE(console.find("AM : Adjust audio data 5 [packet]"), std::string::npos);
}

TEST_F(MuxWriterTest, SensorRecordsAreStoredWithTheirPicture) {
    FeedPictures(0, 44);
    FeedSound(0, 16);
    Pulse(0.5, 42, 84);    // belongs to picture 15
    // Contact records are stored up to one frame time early, pulse
    // records half a frame.
    Contact(0.21, 0x8);    // picture 6
    Contact(0.41, 0x1);    // picture 12
    const std::string console = Record();
    const std::vector<ReadFile> files = Files();
    ASSERT_FALSE(files.empty());
    std::vector<std::pair<std::string, uint32_t>> records;
    for (const auto& t : files[0].text) {
        const std::string s = Text(t);
        if (s.rfind("$FB", 0) != 0) records.emplace_back(s, t.pts);
    }
    const std::vector<std::pair<std::string, uint32_t>> expected = {
        {"$ID1,ID000001,$ID2,ID000002,$ID3,ID000003,$ID4,ID000004\r\n", 0},
        {"$PIN,00001000\r\n", 200},
        {"$PIN,00000001\r\n", 400},
        {"$SPCNT,00000042\r\n", 500},
        {"$ENCNT,00000084\r\n", 500},
        {"$MAXSP,00000042,$TRIP,00000042\r\n", 966},
        {"$EVENT,00,00,00,00,00,00\r\n", 966},
    };
    EXPECT_EQ(records, expected) << console;
}

TEST_F(MuxWriterTest, AnEndedGSensorReceiverIsReportedOnceNotForEverySlot) {
    dr()->gsens_enable = 1;
    dr()->GSS_ALIVE = 0;
    FeedPictures(0, 44);
    FeedSound(0, 16);
    const std::string console = Record();
    ASSERT_FALSE(Files().empty()) << console;
    EXPECT_EQ(diviv::test::CountLines(console, "AM : G Sensor Thread is not alive !"), 1) << console;
    EXPECT_EQ(console.find("AM: No G sensor data!!"), std::string::npos);
}

TEST_F(MuxWriterTest, AContactRecordTooOldForItsPictureIsSkipped) {
    FeedPictures(0, 44);
    FeedSound(0, 16);
    Contact(-0.5, 0x8);  // long before recording started: skipped, with the one after it
    Contact(-0.3, 0x4);
    Contact(0.31, 0x2);  // picture 9
    Record();
    const std::vector<ReadFile> files = Files();
    ASSERT_FALSE(files.empty());
    std::vector<std::string> pins;
    for (const auto& t : files[0].text)
        if (Text(t).rfind("$PIN", 0) == 0) pins.push_back(Text(t) + "@" + std::to_string(t.pts));
    EXPECT_EQ(pins, std::vector<std::string>{"$PIN,00000010\r\n@300"});
}

TEST_F(MuxWriterTest, ACloseRequestBeforeTheCaptureStartsLeavesNoFile) {
    dr()->AM_ALIVE = 1;
    testing::internal::CaptureStdout();
    std::thread writer(AsfMuxThread, dr());
    std::this_thread::sleep_for(100ms);
    dr()->REQ_AM_CLOSE = 1;
    writer.join();
    const std::string console = testing::internal::GetCapturedStdout();
    EXPECT_TRUE(Files().empty());
    EXPECT_NE(Read("/mnt/mmc0_p2/DATA/.INDEXFILE3").find("END"), std::string::npos);
    EXPECT_NE(console.find("AM : ASF Multiplex Thread End"), std::string::npos);
    EXPECT_EQ(dr()->REQ_CLOSE.load(), 1);
}

class MuxWriterSmallCardTest : public MuxWriterTest {
protected:
    // Partition 1 of 16 MB: less than the room the writer keeps free.
    diviv::sim::SimBoardOptions BoardOptions() const override {
        diviv::sim::SimBoardOptions o;
        o.card_mb = 80;
        return o;
    }
};

TEST_F(MuxWriterSmallCardTest, AFullCardEndsTheRecordingInOrder) {
    FeedPictures(0, 44);
    FeedSound(0, 16);
    std::thread writer = Start();
    // The writer asks for the end of recording by itself.
    const auto deadline = std::chrono::steady_clock::now() + 30s;
    while (dr()->REQ_CLOSE.load() == 0 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(10ms);
    dr()->REQ_AM_CLOSE = 1;
    writer.join();
    const std::string console = testing::internal::GetCapturedStdout();
    EXPECT_NE(console.find("AM : SD Card is Full"), std::string::npos) << console;
    EXPECT_EQ(dr()->SD_Full.load(), 1);
    EXPECT_EQ(dr()->SDErrorState.load(), 1);
    EXPECT_TRUE(Files().empty());
    EXPECT_NE(Read("/mnt/mmc0_p2/DATA/.INDEXFILE3").find("END"), std::string::npos);
}

}  // namespace

namespace {

TEST_F(MuxWriterTest, APictureLargerThanThePictureBufferIsDroppedWhole) {
    FeedPictures(0, 14);
    // A description claiming 1.5 MiB, with its bytes: more than the writer's
    // 1 MiB picture buffer holds.
    const uint32_t big = 3u << 19;
    std::vector<uint8_t> bytes(big, 0x55);
    const video_info_t info{0, big, 15, 0, At(15 / 30.0)};
    ASSERT_EQ(DR_WriteRingBuffer(&dr()->vbs_buf, bytes.data(), static_cast<int>(big)), static_cast<int>(big));
    ASSERT_EQ(DR_WriteRingBuffer(&dr()->vinfo_buf, &info, sizeof info), static_cast<int>(sizeof info));
    FeedPictures(16, 44);
    FeedSound(0, 16);
    const std::string console = Record();
    const std::vector<ReadFile> files = Files();
    ASSERT_FALSE(files.empty());
    std::vector<uint32_t> frames;
    for (const ReadFile& f : files)
        for (const auto& v : f.video) frames.push_back(FrameOf(v));
    // The pictures after it still line up. The first file is full after 30
    // pictures (picture 30 included); the next one waits for a key picture.
    std::vector<uint32_t> expected;
    for (uint32_t n = 0; n <= 30; ++n)
        if (n != 15) expected.push_back(n);
    EXPECT_EQ(frames, expected);
    EXPECT_NE(console.find("AM : Error Can not get Video BS : read_size=1048576 data_len=1572864"),
              std::string::npos);
}

TEST_F(MuxWriterTest, AWriterThatCannotBeCreatedEndsTheRecording) {
    // The recording folder cannot be made: a file stands in its place.
    ASSERT_TRUE(Write("/mnt/mmc0_p1/DATA/00", "not a folder"));
    FeedPictures(0, 44);
    FeedSound(0, 16);
    std::thread writer = Start();
    writer.join();  // ends by itself, without a close request
    const std::string console = testing::internal::GetCapturedStdout();
    EXPECT_NE(console.find("AM : Error! Can't create context!"), std::string::npos) << console;
    EXPECT_EQ(console.find("AM : ASF Multiplex Thread End"), std::string::npos);
    EXPECT_EQ(dr()->REQ_CLOSE.load(), 1);
    EXPECT_EQ(dr()->AM_ALIVE.load(), 0);
    bool logged = false;
    for (const std::string& call : diviv::test::LogCalls(root_)) logged |= call.find("Failure of initialization.") != std::string::npos;
    EXPECT_TRUE(logged);
}

// The index is saved only when a recording run starts and ends: a file that
// counts as finished must be on the card (flushed) before the next one
// begins, or a power cut takes it back.
TEST_F(MuxWriterTest, AFinishedFileIsOnTheCardBeforeTheNextOneStarts) {
    FeedPictures(0, 50);  // one whole 1-second file, and the next one under way
    FeedSound(0, 18);
    std::thread writer = Start();
    const std::string first = Path("/mnt/mmc0_p1/DATA/00/FILE00000.ASF");
    const std::string second = Path("/mnt/mmc0_p1/DATA/00/FILE00001.ASF");
    const auto deadline = std::chrono::steady_clock::now() + 20s;
    while (!std::filesystem::exists(second) && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(2ms);
    // The first file is finished and entered in the index: a cut now must
    // find it whole on the card.
    const std::map<uint64_t, uint64_t> synced = diviv::sim::ReadSyncedSizes(root_);
    struct stat st {};
    const bool found = ::stat(first.c_str(), &st) == 0;
    dr()->REQ_AM_CLOSE = 1;
    writer.join();
    const std::string console = testing::internal::GetCapturedStdout();
    ASSERT_TRUE(found && std::filesystem::exists(second)) << console;
    const auto flushed = synced.find(static_cast<uint64_t>(st.st_ino));
    ASSERT_NE(flushed, synced.end()) << "the finished file was never flushed";
    EXPECT_EQ(flushed->second, static_cast<uint64_t>(st.st_size)) << "flushed before it was complete";
}

}  // namespace
