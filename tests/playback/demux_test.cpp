// The demultiplexer alone: what it hands the decoders from recordings made
// by the recorder's writer, scrambled ones, and files that end early or are
// damaged.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <thread>

#include "PlaybackTestKit.h"
#include "formats/AsfGuid.h"
#include "playback/AsfDemuxThread.h"

namespace {

using playtest::MakeRecording;
using playtest::Recording;
using playtest::RecordingSpec;

struct Drained {
    std::vector<uint8_t> video, audio;
    std::vector<int32_t> pts;
};

// Takes everything out of the rings as the decoders would, once decoding
// is released (the demultiplexer sets its rings up before), until the
// demultiplexer has ended (or the deadline).
Drained Drain(dr_common_t* dr, int timeout_ms = 20000) {
    Drained d;
    std::vector<uint8_t> buf(65536);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (dr->DecodeStart.load() == 0 && dr->AD_ALIVE.load() != 0 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    for (;;) {
        const bool ended = dr->AD_ALIVE.load() == 0;
        int n;
        while ((n = DR_ReadRingBuffer(&dr->vbs_buf, buf.data(), static_cast<int>(buf.size()))) > 0)
            d.video.insert(d.video.end(), buf.begin(), buf.begin() + n);
        while ((n = DR_ReadRingBuffer(&dr->abs_buf, buf.data(), static_cast<int>(buf.size()))) > 0)
            d.audio.insert(d.audio.end(), buf.begin(), buf.begin() + n);
        int32_t t;
        while (DR_ReadRingBuffer(&dr->pts_buf, &t, 4) == 4) d.pts.push_back(t);
        if (ended || std::chrono::steady_clock::now() > deadline) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return d;
}

std::vector<int32_t> PictureTimes(int pictures) {
    std::vector<int32_t> t;
    for (int k = 0; k < pictures; ++k) t.push_back(k * 1000 / 30);
    return t;
}

class DemuxTest : public PlaybackTest {};

TEST_F(DemuxTest, HandsOverEveryPictureItsTimeAndTheSoundWithTheMediaInformation) {
    const Recording rec = MakeRecording(root_, "NORM00001.ASF", RecordingSpec{});
    StartDemuxOnly(rec.name);
    const Drained d = Drain(dr());
    dr()->REQ_AD_CLOSE = 1;
    const std::string out = Stop(nullptr);

    EXPECT_EQ(d.video, rec.stream);  // whole pictures back to back, the last one included
    EXPECT_EQ(d.pts, PictureTimes(90));
    EXPECT_EQ(d.audio, rec.codes);
    EXPECT_EQ(dr()->DecodeStart.load(), 1);
    EXPECT_EQ(dr()->REQ_CLOSE.load(), 0);
    EXPECT_EQ(dr()->DemuxedAudioBitRate.load(), 4);
    EXPECT_EQ(dr()->MediaInfoReady.load(), 1);
    EXPECT_STREQ(info_.filename, "NORM00001.ASF");
    EXPECT_EQ(info_.width, 640u);
    EXPECT_EQ(info_.height, 480u);
    EXPECT_EQ(info_.TimeParFrame, 33);
    EXPECT_EQ(info_.duration, 3);  // 2.966 s, truncated, plus one
    EXPECT_GT(info_.bitrate, 0);
    EXPECT_NE(std::string(dr()->playback_fullpath_fname).find("/mnt/mmc0_p1/DATA/00/NORM00001.ASF"),
              std::string::npos);
    EXPECT_EQ(playtest::CountLines(out, "AD : Demuxed Video Data is ready !"), 1);
    EXPECT_EQ(playtest::CountLines(out, "AD : Demuxed audio bitrate is 32kbps"), 1);
    EXPECT_EQ(playtest::CountLines(out, "AD : Found End Of ASF File (Demuxed Video Data = " +
                                            std::to_string(rec.picture_ends[88]) +  // the last picture is handed on after
                                            ")"),
              1);
    EXPECT_EQ(playtest::CountLines(out, "####### ASF Demux : Decoding reaches to endpoint ! [90]"), 1);
}

TEST_F(DemuxTest, ScrambledKeyPicturesComeOutWhole) {
    RecordingSpec spec;
    spec.scramble = true;
    spec.pass = {0x12, 0x34, 0x56, 0x78};
    spec.sound = false;
    const Recording rec = MakeRecording(root_, "NORM00002.ASF", spec);
    dr()->ASF_Encrypt = 1;
    std::memcpy(dr()->pcode_new, spec.pass.data(), 4);
    StartDemuxOnly(rec.name);
    const Drained d = Drain(dr());
    Stop(nullptr);
    EXPECT_EQ(d.video, rec.stream);
    EXPECT_TRUE(d.audio.empty());
}

TEST_F(DemuxTest, VideoOnlyModeDropsTheSound) {
    const Recording rec = MakeRecording(root_, "NORM00003.ASF", RecordingSpec{});
    dr()->VideoOnlyMode = 1;
    StartDemuxOnly(rec.name);
    const Drained d = Drain(dr());
    Stop(nullptr);
    EXPECT_EQ(d.video, rec.stream);
    EXPECT_TRUE(d.audio.empty());
}

TEST_F(DemuxTest, TruncatedFileDeliversWhatIsWholeAndEnds) {
    const Recording rec = MakeRecording(root_, "NORM00004.ASF", RecordingSpec{});
    std::filesystem::resize_file(rec.path, std::filesystem::file_size(rec.path) * 6 / 10);
    StartDemuxOnly(rec.name);
    const Drained d = Drain(dr());
    const std::string out = Stop(nullptr);
    ASSERT_GT(d.pts.size(), 10u);
    ASSERT_LT(d.pts.size(), 90u);
    // Whole pictures only: the delivered bytes are the stream's first pictures.
    const size_t pictures = d.pts.size();
    ASSERT_EQ(d.video.size(), rec.picture_ends[pictures - 1]);
    EXPECT_TRUE(std::equal(d.video.begin(), d.video.end(), rec.stream.begin()));
    EXPECT_EQ(d.pts, PictureTimes(static_cast<int>(pictures)));
    EXPECT_EQ(dr()->REQ_CLOSE.load(), 0);
}

TEST_F(DemuxTest, DamagedHeaderEndsReadingAndTheMode) {
    const Recording rec = MakeRecording(root_, "NORM00005.ASF", RecordingSpec{});
    // The codec list, an object the reader reads whole, declaring less than
    // its own 24-byte head.
    std::vector<uint8_t> file;
    {
        std::ifstream in(rec.path, std::ios::binary);
        file.assign(std::istreambuf_iterator<char>(in), {});
    }
    const auto& guid = diviv::asf::kCodecListObject;
    const auto at = std::search(file.begin(), file.end(), guid.begin(), guid.end());
    ASSERT_NE(at, file.end());
    const size_t size_field = static_cast<size_t>(at - file.begin()) + 16;
    std::fill(file.begin() + size_field, file.begin() + size_field + 8, uint8_t{0});
    file[size_field] = 5;
    {
        std::ofstream out(rec.path, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(file.data()), static_cast<std::streamsize>(file.size()));
    }
    StartDemuxOnly(rec.name);
    ASSERT_TRUE(WaitForModeEnd(5000));  // nothing to show ends the mode
    EXPECT_EQ(DR_GetRingBufferReadAvailable(&dr()->vbs_buf), 0);
    bool ended = false;
    const std::string out = Stop(&ended);  // it waits for its close request
    EXPECT_TRUE(ended);
    EXPECT_EQ(playtest::CountLines(out, "state=0"), 1) << out;
}

TEST_F(DemuxTest, FileShorterThanOneReadShowsNothingAndEndsTheMode) {
    const Recording rec = MakeRecording(root_, "NORM00006.ASF", RecordingSpec{});
    std::filesystem::resize_file(rec.path, 30000);
    StartDemuxOnly(rec.name);
    ASSERT_TRUE(WaitForModeEnd(5000));
    EXPECT_EQ(dr()->AD_ALIVE.load(), 1);  // waits for its close request
    bool ended = false;
    const std::string out = Stop(&ended);
    EXPECT_TRUE(ended);
    EXPECT_EQ(playtest::CountLines(out, "AD : Found End Of ASF File (Demuxed Video Data = 0)"), 1) << out;
}

TEST_F(DemuxTest, MissingFileEndsTheMode) {
    StartDemuxOnly("NORM09999.ASF");
    ASSERT_TRUE(WaitForModeEnd(5000));
    bool ended = false;
    const std::string out = Stop(&ended);
    EXPECT_TRUE(ended);
    EXPECT_NE(out.find("AD : Can not open input filename! ["), std::string::npos) << out;
    EXPECT_EQ(playtest::CountLines(out, "AD : Close file failed (Null File Pointer) [" +
                                            std::string(dr()->playback_fullpath_fname) + "]"),
              1);
}

}  // namespace

namespace {

TEST_F(DemuxTest, DamagedPacketEndsReadingAfterThePicturesBeforeIt) {
    const Recording rec = MakeRecording(root_, "NORM00007.ASF", RecordingSpec{});
    std::vector<uint8_t> file;
    {
        std::ifstream in(rec.path, std::ios::binary);
        file.assign(std::istreambuf_iterator<char>(in), {});
    }
    const auto& guid = diviv::asf::kDataObject;
    const size_t data = static_cast<size_t>(std::search(file.begin(), file.end(), guid.begin(), guid.end()) - file.begin());
    ASSERT_LT(data, file.size());
    const size_t packets = (file.size() - data - 50) / 3200;
    const size_t damaged = data + 50 + packets / 2 * 3200;
    std::fill(file.begin() + damaged, file.begin() + damaged + 3200, uint8_t{0xFF});
    {
        std::ofstream out(rec.path, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(file.data()), static_cast<std::streamsize>(file.size()));
    }
    StartDemuxOnly(rec.name);
    const Drained d = Drain(dr(), 5000);
    bool ended = false;
    const std::string out = Stop(&ended);
    EXPECT_TRUE(ended);
    ASSERT_GT(d.pts.size(), 10u) << out;
    EXPECT_LT(d.pts.size(), 80u);
    EXPECT_EQ(d.video.size(), rec.picture_ends[d.pts.size() - 1]);
    EXPECT_TRUE(std::equal(d.video.begin(), d.video.end(), rec.stream.begin()));
    EXPECT_NE(out.find("state="), std::string::npos) << out;
}

}  // namespace

namespace {

TEST_F(DemuxTest, EachRunWritesItsFirstPictureTimeWhateverTheRunBeforeEndedOn) {
    RecordingSpec one;
    one.pictures = 1;
    one.gop = 1;
    one.bit_rate_kbps = 40000;
    one.sound = false;
    const Recording first = MakeRecording(root_, "NORM00008.ASF", one);
    ASSERT_GT(first.stream.size(), 40000u);  // more than one read of the file
    StartDemuxOnly(first.name);
    EXPECT_EQ(Drain(dr()).pts, std::vector<int32_t>{0});
    Stop(nullptr);

    const Recording second = MakeRecording(root_, "NORM00009.ASF", RecordingSpec{});
    StartDemuxOnly(second.name);
    EXPECT_EQ(Drain(dr()).pts, PictureTimes(90));  // its first picture is at 0 ms too
    Stop(nullptr);
}

}  // namespace
