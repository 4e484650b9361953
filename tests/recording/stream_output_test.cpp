// What the video capture hands to the writer: stream headers counted into
// the next picture's record, one record per picture, the substitution of
// oversized P pictures by skip pictures (decoded by libavcodec as the frozen
// picture), and the two full-buffer roads.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <numeric>
#include <random>
#include <thread>

#include "H264TestDecoder.h"
#include "RecordingTestKit.h"
#include "core/DR_common.h"
#include "formats/H264Syntax.h"
#include "platform/X264Encoder.h"
#include "recording/VideoStreamOutput.h"

namespace diviv::vce {
namespace {

using diviv::test::PictureTaker;
using diviv::test::TakenPicture;

std::vector<uint8_t> Bytes(size_t n, uint8_t fill) { return std::vector<uint8_t>(n, fill); }

class StreamOutputTest : public RecordingTest {
protected:
    int Put(VideoStreamOutput& out, const std::vector<uint8_t>& b, uint32_t type) {
        return ProcessVBS(out, b.data(), static_cast<int>(b.size()), type);
    }
    std::vector<TakenPicture> Taken() {
        std::vector<TakenPicture> v;
        taker_.Take(dr(), &v);
        return v;
    }
    PictureTaker taker_;
};

TEST_F(StreamOutputTest, FirstRecordHasFrameTimeZeroAndCountsBothCopiesOfTheHeaders) {
    VideoStreamOutput out(dr());
    const auto sps = Bytes(14, 0x67), pps = Bytes(6, 0x68), idr = Bytes(500, 0x65), p = Bytes(100, 0x41);
    // Start-up writes the headers once, the first group once more.
    for (int copy = 0; copy < 2; ++copy) {
        EXPECT_EQ(Put(out, sps, kPicTypeSps), 14);
        EXPECT_EQ(Put(out, pps, kPicTypePps), 6);
    }
    EXPECT_EQ(DR_GetRingBufferReadAvailable(&dr()->vinfo_buf), 0) << "headers have no record of their own";
    out.nFrameTime = 0;
    out.frame_time = {1700000000, 123456};
    EXPECT_EQ(Put(out, idr, kPicTypeI), 500);
    out.nFrameTime = 2;
    out.frame_time = {1700000000, 190000};
    EXPECT_EQ(Put(out, p, kPicTypeP), 100);

    auto taken = Taken();
    ASSERT_EQ(taken.size(), 2u);
    const video_info_t& first = taken[0].info;
    EXPECT_EQ(first.KeyFrame, 1u);
    EXPECT_EQ(first.DataLength, 2u * (14 + 6) + 500);
    EXPECT_EQ(first.FrameTime, 0u);
    EXPECT_EQ(first.Reserved, 0u);
    EXPECT_EQ(first.CaptureTime.tv_sec, 1700000000);
    EXPECT_EQ(first.CaptureTime.tv_usec, 123456);
    std::vector<uint8_t> expect;
    for (int copy = 0; copy < 2; ++copy) {
        expect.insert(expect.end(), sps.begin(), sps.end());
        expect.insert(expect.end(), pps.begin(), pps.end());
    }
    expect.insert(expect.end(), idr.begin(), idr.end());
    EXPECT_EQ(taken[0].bytes, expect);
    EXPECT_EQ(taken[1].info.KeyFrame, 0u);
    EXPECT_EQ(taken[1].info.DataLength, 100u);
    EXPECT_EQ(taken[1].info.FrameTime, 2u);
    EXPECT_EQ(taken[1].bytes, p);
    EXPECT_EQ(out.nBSWriteCount, 6);
}

TEST_F(StreamOutputTest, EachGroupsFirstRecordCountsTheHeadersBeforeIt) {
    VideoStreamOutput out(dr());
    const auto sps = Bytes(12, 0x67), pps = Bytes(5, 0x68);
    const int gop = 3;
    for (int k = 0; k < 7; ++k) {
        if (k % gop == 0) {
            Put(out, sps, kPicTypeSps);
            Put(out, pps, kPicTypePps);
        }
        out.nFrameTime = static_cast<uint32_t>(2 * k);
        Put(out, Bytes(50 + static_cast<size_t>(k), 0x11), k % gop == 0 ? kPicTypeI : kPicTypeP);
    }
    auto taken = Taken();
    ASSERT_EQ(taken.size(), 7u);
    for (int k = 0; k < 7; ++k) {
        const bool group_start = k % gop == 0;
        EXPECT_EQ(taken[k].info.KeyFrame, group_start ? 1u : 0u) << k;
        EXPECT_EQ(taken[k].info.DataLength, static_cast<uint32_t>(50 + k + (group_start ? 17 : 0))) << k;
        EXPECT_EQ(taken[k].info.FrameTime, static_cast<uint32_t>(2 * k));
    }
}

// Parameter sets of a real stream of the recorder's encoder.
struct Headers {
    std::vector<uint8_t> sps, pps;
};
Headers EncoderHeaders(VideoEncoder& enc) {
    Headers h;
    std::span<const uint8_t> unit;
    EXPECT_EQ(enc.PutHeader(HeaderType::kSps, &unit), 0);
    h.sps.assign(unit.begin(), unit.end());
    EXPECT_EQ(enc.PutHeader(HeaderType::kPps, &unit), 0);
    h.pps.assign(unit.begin(), unit.end());
    return h;
}

std::vector<uint8_t> SkipSlice(const VideoStreamOutput& out, uint32_t n) {
    std::vector<uint8_t> b(h264::kMaxSkipSliceBytes);
    const int len = h264::MakeSkipSlice(out.sps, out.pps, n, b);
    EXPECT_GT(len, 0);
    b.resize(static_cast<size_t>(std::max(len, 0)));
    return b;
}

TEST_F(StreamOutputTest, PPicturesTwiceTheIntraSizeAreSkippedFromTheSecondUntilTheNextI) {
    auto enc = MakeX264Encoder();
    ASSERT_EQ(enc->Open({640, 480, 30, 2048, 30}), 0);
    const Headers h = EncoderHeaders(*enc);
    VideoStreamOutput out(dr());
    ASSERT_TRUE(out.SetParameterSets(h.sps, h.pps));

    struct Step {
        uint32_t type;
        size_t size;
        bool skipped;
    };
    const Step steps[] = {
        {kPicTypeI, 1000, false},  //
        {kPicTypeP, 5000, false},  // the first P picture is never replaced
        {kPicTypeP, 1999, false},  // just under twice the I picture
        {kPicTypeP, 2000, true},   // twice: replaced, and so is the rest of the group
        {kPicTypeP, 10, true},     //
        {kPicTypeP, 10, true},     //
        {kPicTypeI, 3000, false},  // the next group starts afresh
        {kPicTypeP, 10, false},    //
        {kPicTypeP, 5999, false},  //
        {kPicTypeP, 6000, true},
    };
    for (const Step& s : steps) ProcessVBS(out, Bytes(s.size, 0x41).data(), static_cast<int>(s.size), s.type);
    auto taken = Taken();
    ASSERT_EQ(taken.size(), std::size(steps));
    uint32_t n = 0;
    for (size_t i = 0; i < taken.size(); ++i) {
        if (steps[i].type == kPicTypeI) n = 0;
        if (steps[i].skipped) {
            EXPECT_EQ(taken[i].bytes, SkipSlice(out, n)) << i;
            EXPECT_EQ(taken[i].info.KeyFrame, 0u);
            EXPECT_EQ(taken[i].info.DataLength, taken[i].bytes.size());
        } else {
            EXPECT_EQ(taken[i].bytes.size(), steps[i].size) << i;
        }
        ++n;
    }
    EXPECT_EQ(out.SkippedFrames, 4);
}

TEST_F(StreamOutputTest, WithoutParameterSetsOversizedPicturesAreKept) {
    VideoStreamOutput out(dr());
    EXPECT_FALSE(out.SetParameterSets(Bytes(10, 0), Bytes(5, 0)));
    for (auto [type, size] : {std::pair{kPicTypeI, 100u}, {kPicTypeP, 100u}, {kPicTypeP, 900u}}) {
        ProcessVBS(out, Bytes(size, 0x41).data(), static_cast<int>(size), type);
    }
    auto taken = Taken();
    ASSERT_EQ(taken.size(), 3u);
    EXPECT_EQ(taken[2].bytes.size(), 900u);
    EXPECT_EQ(out.SkippedFrames, 0);
}

// A picture the encoder has to work on: `kind` 0 a smooth gradient moving
// by `shift`, 1 noise.
std::vector<uint8_t> Picture(int w, int h, int kind, int shift, std::mt19937& rng) {
    std::vector<uint8_t> p(static_cast<size_t>(w) * h * 3 / 2, 128);
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            p[static_cast<size_t>(y) * w + x] =
                kind == 0 ? static_cast<uint8_t>((x + y + shift) / 4) : static_cast<uint8_t>(rng());
        }
    }
    return p;
}

struct SkipCase {
    int width, height, gop;
};

class SkipDecodeTest : public StreamOutputTest, public ::testing::WithParamInterface<SkipCase> {};

TEST_P(SkipDecodeTest, SkipPicturesDecodeCleanlyAsTheFrozenPicture) {
    const SkipCase c = GetParam();
    auto enc = MakeX264Encoder();
    ASSERT_EQ(enc->Open({c.width, c.height, 30, 1024, c.gop}), 0);
    VideoStreamOutput out(dr());
    std::mt19937 rng(7);
    test::H264TestDecoder dec;
    ASSERT_TRUE(dec.ok());
    std::vector<TakenPicture> taken;
    // Two groups: a calm start, then noise from the third picture on (far
    // larger than the calm I picture); the second group starts on noise.
    const int pictures = 2 * c.gop;
    for (int k = 0; k < pictures; ++k) {
        const bool force_i = k % c.gop == 0;
        if (force_i) {
            const Headers h = EncoderHeaders(*enc);
            if (k == 0) {
                ASSERT_TRUE(out.SetParameterSets(h.sps, h.pps));
            }
            ProcessVBS(out, h.sps.data(), static_cast<int>(h.sps.size()), kPicTypeSps);
            ProcessVBS(out, h.pps.data(), static_cast<int>(h.pps.size()), kPicTypePps);
        }
        const auto yuv = Picture(c.width, c.height, k >= 2 ? 1 : 0, k, rng);
        EncodedPicture pic;
        ASSERT_EQ(enc->Encode(yuv, force_i, &pic), 0);
        ASSERT_EQ(pic.type, force_i ? PictureType::kI : PictureType::kP);
        out.nFrameTime = static_cast<uint32_t>(k);
        ProcessVBS(out, pic.bytes.data(), static_cast<int>(pic.bytes.size()), static_cast<uint32_t>(pic.type));
        taker_.Take(dr(), &taken);
    }
    ASSERT_EQ(taken.size(), static_cast<size_t>(pictures));
    for (const TakenPicture& p : taken) EXPECT_TRUE(dec.Decode(p.bytes)) << dec.error_text();
    dec.Flush();
    EXPECT_EQ(dec.errors(), 0) << dec.error_text();
    ASSERT_EQ(dec.pictures().size(), static_cast<size_t>(pictures));
    const auto& frozen = dec.pictures()[1].luma;
    // Pictures 2 .. gop-1 were replaced: each shows picture 1 unchanged.
    for (int k = 2; k < c.gop; ++k) {
        EXPECT_LT(taken[k].bytes.size(), 64u) << k;
        EXPECT_TRUE(dec.pictures()[k].luma == frozen) << "picture " << k << " is not the frozen picture";
    }
    // The next group is coded again, noise and all.
    EXPECT_TRUE(dec.pictures()[c.gop].key);
    EXPECT_FALSE(dec.pictures()[c.gop].luma == frozen);
    EXPECT_GE(out.SkippedFrames, c.gop - 2);
}

INSTANTIATE_TEST_SUITE_P(SizesAndGroups, SkipDecodeTest,
                         ::testing::Values(SkipCase{640, 480, 10}, SkipCase{640, 480, 30}, SkipCase{352, 288, 10},
                                           SkipCase{352, 288, 30}),
                         [](const auto& info) {
                             return std::to_string(info.param.width) + "x" + std::to_string(info.param.height) +
                                    "_gop" + std::to_string(info.param.gop);
                         });

TEST_F(StreamOutputTest, AFullBitstreamBufferRefusesThePictureAndAsksForAReboot) {
    VideoStreamOutput out(dr());
    const int cap = DR_GetRingBufferWriteAvailable(&dr()->vbs_buf);
    std::vector<uint8_t> fill(static_cast<size_t>(cap - 100), 0);
    DR_WriteRingBuffer(&dr()->vbs_buf, fill.data(), static_cast<int>(fill.size()));

    testing::internal::CaptureStdout();
    EXPECT_EQ(Put(out, Bytes(101, 0x65), kPicTypeI), 0);
    const std::string console = testing::internal::GetCapturedStdout();
    EXPECT_NE(console.find("VCE : Error : Available write data length for VBS is 100 [need 101]\n"),
              std::string::npos)
        << console;
    EXPECT_EQ(DR_GetRingBufferReadAvailable(&dr()->vinfo_buf), 0);
    EXPECT_EQ(DR_GetRingBufferWriteAvailable(&dr()->vbs_buf), 100) << "nothing of it was written";
    const auto log = test::LogCalls(root_);
    ASSERT_FALSE(log.empty());
    EXPECT_NE(log.back().find("Failure of writing to buffer."), std::string::npos) << log.back();

    // Once the close is requested the refusal reads as the end.
    dr()->REQ_VE_CLOSE = 1;
    testing::internal::CaptureStdout();
    EXPECT_EQ(Put(out, Bytes(101, 0x41), kPicTypeP), -1);
    testing::internal::GetCapturedStdout();
}

TEST_F(StreamOutputTest, AFullRecordBufferHoldsThePictureUntilTheWriterMakesRoom) {
    VideoStreamOutput out(dr());
    const int records = DR_GetRingBufferWriteAvailable(&dr()->vinfo_buf) / kVideoInfoRecordSize;
    for (int i = 0; i < records; ++i) Put(out, Bytes(1, 0x41), kPicTypeI);
    ASSERT_LT(DR_GetRingBufferWriteAvailable(&dr()->vinfo_buf), kVideoInfoRecordSize);

    std::atomic<int> result{-100};
    std::thread producer([&] {
        out.nFrameTime = 77;
        result = ProcessVBS(out, Bytes(9, 0x41).data(), 9, kPicTypeI);
    });
    // The writer takes one record: the waiting picture's record goes in.
    video_info_t first{};
    DR_ReadRingBuffer(&dr()->vinfo_buf, &first, sizeof first);
    producer.join();
    EXPECT_EQ(result.load(), 9);
    std::vector<video_info_t> rest(static_cast<size_t>(records));
    ASSERT_EQ(DR_ReadRingBuffer(&dr()->vinfo_buf, rest.data(), records * kVideoInfoRecordSize),
              records * kVideoInfoRecordSize);
    EXPECT_EQ(rest.back().FrameTime, 77u);
    EXPECT_EQ(rest.back().DataLength, 9u);
}

TEST_F(StreamOutputTest, AFullRecordBufferGivesUpWhenTheModeCloses) {
    VideoStreamOutput out(dr());
    const int records = DR_GetRingBufferWriteAvailable(&dr()->vinfo_buf) / kVideoInfoRecordSize;
    for (int i = 0; i < records; ++i) Put(out, Bytes(1, 0x41), kPicTypeI);
    const int room = DR_GetRingBufferWriteAvailable(&dr()->vinfo_buf);
    ASSERT_LT(room, kVideoInfoRecordSize);
    std::atomic<int> result{-100};
    std::thread producer([&] { result = ProcessVBS(out, Bytes(9, 0x41).data(), 9, kPicTypeP); });
    dr()->REQ_CLOSE = 1;
    producer.join();
    EXPECT_EQ(result.load(), 9);
    EXPECT_EQ(DR_GetRingBufferWriteAvailable(&dr()->vinfo_buf), room) << "no record was squeezed in";
}

}  // namespace
}  // namespace diviv::vce

namespace diviv::vce {
namespace {

// A picture coded as the close arrives still reaches the writer with its
// record: its bytes are never left in vbs_buf without one.
TEST_F(StreamOutputTest, APictureCodedAsTheCaptureClosesKeepsItsRecord) {
    VideoStreamOutput out(dr());
    dr()->REQ_VCE_CLOSE = 1;
    out.nFrameTime = 5;
    EXPECT_EQ(ProcessVBS(out, Bytes(12, 0x41).data(), 12, kPicTypeI), 12);
    const std::vector<TakenPicture> taken = Taken();
    ASSERT_EQ(taken.size(), 1u);
    EXPECT_EQ(taken[0].info.DataLength, 12u);
    EXPECT_EQ(taken[0].info.FrameTime, 5u);
    EXPECT_EQ(DR_GetRingBufferReadAvailable(&dr()->vbs_buf), 0);
}

}  // namespace
}  // namespace diviv::vce
