// The libavcodec decoder as playback drives it: the recorder's x264 stream
// fed in chunks that cut pictures anywhere, skip pictures, the end of the
// stream, and the calls' own checks.
#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "H264TestKit.h"
#include "formats/H264Syntax.h"
#include "platform/AvcodecDecoder.h"
#include "platform/X264Encoder.h"

namespace {

using namespace diviv;
namespace h264 = diviv::h264;

struct Stream {
    std::vector<uint8_t> bytes;                  // Annex B, headers before every I picture
    std::vector<std::vector<uint8_t>> sources;  // the pictures encoded
};

Stream EncodeStream(int w, int h, int count, int gop, bool skip_every_third = false) {
    X264Encoder enc;
    VideoEncoderParams p;
    p.width = w;
    p.height = h;
    p.bit_rate_kbps = 2048;
    p.gop = gop;
    EXPECT_EQ(enc.Open(p), 0);
    std::span<const uint8_t> sps_bytes, pps_bytes;
    EXPECT_EQ(enc.PutHeader(HeaderType::kSps, &sps_bytes), 0);
    std::vector<uint8_t> sps(sps_bytes.begin(), sps_bytes.end());
    EXPECT_EQ(enc.PutHeader(HeaderType::kPps, &pps_bytes), 0);
    std::vector<uint8_t> pps(pps_bytes.begin(), pps_bytes.end());
    h264::Sps s;
    h264::Pps q;
    EXPECT_EQ(h264::ParseSps(sps, &s), 0);
    EXPECT_EQ(h264::ParsePps(pps, &q), 0);
    Stream out;
    std::vector<uint8_t> yuv;
    for (int k = 0; k < count; ++k) {
        h264kit::MovingPicture(w, h, k, &yuv);
        EncodedPicture pic;
        const bool key = k % gop == 0;
        EXPECT_EQ(enc.Encode(yuv, key, &pic), 0);
        if (key) {
            out.bytes.insert(out.bytes.end(), sps.begin(), sps.end());
            out.bytes.insert(out.bytes.end(), pps.begin(), pps.end());
        }
        if (skip_every_third && !key && k % 3 == 0) {
            // The recorder's stand-in for an oversized picture: the previous
            // picture shown again.
            std::vector<uint8_t> slice(h264::kMaxSkipSliceBytes);
            const int n = h264::MakeSkipSlice(s, q, static_cast<uint32_t>(k % gop), slice);
            EXPECT_GT(n, 0);
            out.bytes.insert(out.bytes.end(), slice.begin(), slice.begin() + n);
            out.sources.push_back(out.sources.back());
        } else {
            out.bytes.insert(out.bytes.end(), pic.bytes.begin(), pic.bytes.end());
            out.sources.push_back(yuv);
        }
    }
    enc.Close();
    return out;
}

struct Played {
    VideoDecoderInitialInfo info;
    std::vector<std::vector<uint8_t>> pictures;  // w x h planar, without the rounding rows
    int error_macroblocks = 0;
    bool ended = false;
};

// Drives a decoder the way the playback's decoder thread does: one chunk
// before the initial information, then a chunk whenever that much room is
// free, the end of the stream once the input is used up.
Played Play(const std::vector<uint8_t>& stream, size_t chunk) {
    Played r;
    auto dec = MakeAvcodecDecoder();
    EXPECT_EQ(dec->Open({}), 0);
    size_t fed = 0;
    auto feed = [&] {
        BitstreamSpace space;
        if (dec->GetBitstreamSpace(&space) < static_cast<int>(chunk) || fed == stream.size()) return;
        const size_t n = std::min(chunk, stream.size() - fed);
        const size_t a = std::min(n, space.first.size());
        std::copy_n(stream.begin() + fed, a, space.first.begin());
        std::copy_n(stream.begin() + fed + a, n - a, space.second.begin());
        EXPECT_EQ(dec->UpdateBitstream(n), 0);
        fed += n;
        if (fed == stream.size()) dec->SetEndOfStream();
    };
    feed();
    EXPECT_EQ(dec->GetInitialInfo(&r.info), 0);
    if (r.info.width <= 0) return r;
    const int w = r.info.width, h = r.info.height, rh = RoundUpToMacroblock(h);
    const size_t size = static_cast<size_t>(w) * rh * 3 / 2;
    std::vector<std::vector<uint8_t>> memory(r.info.min_frame_buffer_count + 1, std::vector<uint8_t>(size));
    std::vector<DecoderFrameBuffer> fbs;
    for (auto& m : memory) fbs.push_back({m.data(), m.data() + w * rh, m.data() + w * rh * 5 / 4});
    EXPECT_EQ(dec->RegisterFrameBuffers(fbs, w), 0);
    for (int guard = 0; guard < 100000 && !r.ended; ++guard) {
        DecodeOutput out;
        EXPECT_EQ(dec->DecodeOne(&out), 0);
        if (out.display_index == kDisplayEnd) r.ended = true;
        if (out.display_index >= 0) {
            const DecoderFrameBuffer& b = fbs[out.display_index];
            std::vector<uint8_t> pic(b.y, b.y + w * h);
            pic.insert(pic.end(), b.cb, b.cb + w * h / 4);
            pic.insert(pic.end(), b.cr, b.cr + w * h / 4);
            r.pictures.push_back(std::move(pic));
            r.error_macroblocks += out.error_macroblocks;
        }
        feed();
    }
    EXPECT_EQ(dec->Close(), 0);
    return r;
}

// ---- pictures ----

TEST(AvcodecDecoderStream, EveryPictureComesBackInOrderWhateverTheChunkSize) {
    const Stream s = EncodeStream(640, 480, 45, 15);
    for (size_t chunk : {size_t{32768}, size_t{1000}, size_t{200000}}) {
        SCOPED_TRACE(chunk);
        const Played p = Play(s.bytes, chunk);
        EXPECT_EQ(p.info.width, 640);
        EXPECT_EQ(p.info.height, 480);
        EXPECT_TRUE(p.ended);
        EXPECT_EQ(p.error_macroblocks, 0);
        ASSERT_EQ(p.pictures.size(), s.sources.size());
        for (size_t k = 0; k < p.pictures.size(); ++k)
            EXPECT_GT(h264kit::PsnrDb(p.pictures[k].data(), s.sources[k].data(), 640 * 480), 30.0) << "picture " << k;
    }
}

TEST(AvcodecDecoderStream, SkipPicturesShowThePreviousPictureAgain) {
    const Stream s = EncodeStream(352, 288, 20, 10, true);
    const Played p = Play(s.bytes, 32768);
    ASSERT_EQ(p.pictures.size(), 20u);
    EXPECT_EQ(p.error_macroblocks, 0);
    for (int k = 1; k < 20; ++k) {
        if (k % 10 != 0 && k % 3 == 0) EXPECT_EQ(p.pictures[k], p.pictures[k - 1]) << "picture " << k;
        else EXPECT_NE(p.pictures[k], p.pictures[k - 1]) << "picture " << k;
    }
}

TEST(AvcodecDecoderStream, SizeNotAMultipleOf16IsReportedAsCodedAndFitsRoundedBuffers) {
    const Stream s = EncodeStream(200, 120, 6, 6);
    const Played p = Play(s.bytes, 32768);
    EXPECT_EQ(p.info.width, 200);
    EXPECT_EQ(p.info.height, 120);
    EXPECT_EQ(p.pictures.size(), 6u);
}

TEST(AvcodecDecoderStream, InitialInformationFromAFirstPictureLargerThanTheInput) {
    const Stream s = EncodeStream(640, 480, 1, 1);
    auto dec = MakeAvcodecDecoder();
    ASSERT_EQ(dec->Open({}), 0);
    BitstreamSpace space;
    ASSERT_GT(dec->GetBitstreamSpace(&space), 200);
    std::copy_n(s.bytes.begin(), 200, space.first.begin());  // headers and the slice's start only
    ASSERT_EQ(dec->UpdateBitstream(200), 0);
    VideoDecoderInitialInfo info;
    ASSERT_EQ(dec->GetInitialInfo(&info), 0);
    EXPECT_EQ(info.width, 640);
    EXPECT_EQ(info.height, 480);
}

TEST(AvcodecDecoderStream, GarbageHasNoStreamInformation) {
    std::vector<uint8_t> junk(40000);
    for (size_t i = 0; i < junk.size(); ++i) junk[i] = static_cast<uint8_t>(i * 7919 >> 3);
    auto dec = MakeAvcodecDecoder();
    ASSERT_EQ(dec->Open({}), 0);
    BitstreamSpace space;
    dec->GetBitstreamSpace(&space);
    std::copy_n(junk.begin(), 32768, space.first.begin());
    ASSERT_EQ(dec->UpdateBitstream(32768), 0);
    VideoDecoderInitialInfo info;
    EXPECT_EQ(dec->GetInitialInfo(&info), kDecErrNoStreamInfo);
}

// ---- the calls ----

TEST(AvcodecDecoderCalls, RefuseOutOfOrderAndBadArguments) {
    auto dec = MakeAvcodecDecoder();
    DecodeOutput out;
    BitstreamSpace space;
    VideoDecoderInitialInfo info;
    EXPECT_EQ(dec->DecodeOne(&out), kDecErrNotOpen);
    EXPECT_EQ(dec->UpdateBitstream(1), kDecErrNotOpen);
    EXPECT_EQ(dec->Close(), kDecErrNotOpen);
    VideoDecoderParams tiny;
    tiny.bitstream_buffer_size = 100;
    EXPECT_EQ(dec->Open(tiny), kDecErrBadParams);
    ASSERT_EQ(dec->Open({}), 0);
    EXPECT_EQ(dec->Open({}), kDecErrAlreadyOpen);
    EXPECT_EQ(dec->GetBitstreamSpace(&space), 655360);
    EXPECT_EQ(dec->UpdateBitstream(655361), kDecErrBadArgument);
    EXPECT_EQ(dec->GetInitialInfo(&info), kDecErrNoStreamInfo);  // nothing fed
    EXPECT_EQ(dec->DecodeOne(&out), kDecErrWrongState);           // no frame buffers
    std::vector<uint8_t> m(64);
    DecoderFrameBuffer fb{m.data(), m.data(), m.data()};
    EXPECT_EQ(dec->RegisterFrameBuffers(std::span(&fb, 1), 16), kDecErrWrongState);
    EXPECT_EQ(dec->Close(), 0);
    EXPECT_EQ(dec->Open({}), 0);  // opens again
}

}  // namespace
