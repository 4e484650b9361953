// The libx264 encoder as the video capture drives it, judged by libavcodec.
#include <gtest/gtest.h>

#include <set>
#include <vector>

#include "H264TestKit.h"
#include "formats/H264Syntax.h"
#include "platform/X264Encoder.h"

namespace {

using diviv::EncodedPicture;
using diviv::HeaderType;
using diviv::PictureType;
using diviv::VideoEncoder;
using diviv::VideoEncoderParams;
using diviv::X264Encoder;
namespace h264 = diviv::h264;

std::vector<uint8_t> Bytes(std::span<const uint8_t> s) { return {s.begin(), s.end()}; }

VideoEncoderParams Params(int w, int h, int kbps = 1024, int gop = 30) {
    VideoEncoderParams p;
    p.width = w;
    p.height = h;
    p.frame_rate = 30;
    p.bit_rate_kbps = kbps;
    p.gop = gop;
    return p;
}

struct Encoded {
    std::vector<std::vector<uint8_t>> pictures;
    std::vector<PictureType> types;
    std::vector<std::vector<uint8_t>> access_units;  // headers before every I picture, as the capture writes
    std::vector<uint8_t> sps, pps;
    size_t picture_bytes = 0;
};

// Encodes `count` moving pictures, forcing an I picture where `force` says.
Encoded EncodeRun(VideoEncoder& enc, const VideoEncoderParams& p, int count, const std::set<int>& force,
                  int scene_cut_at = -1) {
    Encoded r;
    std::span<const uint8_t> sps, pps;
    EXPECT_EQ(enc.PutHeader(HeaderType::kSps, &sps), 0);
    EXPECT_EQ(enc.PutHeader(HeaderType::kPps, &pps), 0);
    r.sps = Bytes(sps);
    r.pps = Bytes(pps);
    std::vector<uint8_t> yuv;
    for (int k = 0; k < count; ++k) {
        h264kit::MovingPicture(p.width, p.height, k, &yuv, scene_cut_at >= 0 && k >= scene_cut_at ? 1 : 0);
        EncodedPicture out;
        EXPECT_EQ(enc.Encode(yuv, force.count(k) > 0, &out), 0) << "picture " << k;
        r.pictures.push_back(Bytes(out.bytes));
        r.types.push_back(out.type);
        std::vector<uint8_t> au;
        if (out.type == PictureType::kI) {
            au = r.sps;
            au.insert(au.end(), r.pps.begin(), r.pps.end());
        }
        au.insert(au.end(), out.bytes.begin(), out.bytes.end());
        r.access_units.push_back(std::move(au));
        r.picture_bytes += out.bytes.size();
    }
    return r;
}

std::set<int> EveryGop(int count, int gop) {
    std::set<int> s;
    for (int k = 0; k < count; k += gop) s.insert(k);
    return s;
}

// ---- the stream ----

TEST(X264EncoderStream, HeadersAreOneSpsAndOnePpsForABaselineCavlcStream) {
    X264Encoder enc;
    ASSERT_EQ(enc.Open(Params(640, 480)), 0);
    std::span<const uint8_t> sps, pps;
    ASSERT_EQ(enc.PutHeader(HeaderType::kSps, &sps), 0);
    std::vector<uint8_t> sps_copy = Bytes(sps);
    ASSERT_EQ(enc.PutHeader(HeaderType::kPps, &pps), 0);
    for (auto unit : {std::span<const uint8_t>(sps_copy), pps}) {
        ASSERT_GE(unit.size(), 5u);
        EXPECT_EQ(unit[0], 0);
        EXPECT_EQ(unit[1], 0);
        EXPECT_EQ(unit[2], 0);
        EXPECT_EQ(unit[3], 1);
        EXPECT_EQ(h264::SplitAnnexB(unit).size(), 1u);
    }
    h264::Sps s;
    h264::Pps q;
    ASSERT_EQ(h264::ParseSps(sps_copy, &s), 0);
    ASSERT_EQ(h264::ParsePps(pps, &q), 0);
    EXPECT_EQ(s.profile_idc, 66);
    EXPECT_EQ(s.width_mbs, 40u);
    EXPECT_EQ(s.height_map_units, 30u);
    EXPECT_TRUE(s.frame_mbs_only);
    EXPECT_FALSE(q.entropy_coding_mode);
    // Asked again: the same bytes.
    std::span<const uint8_t> again;
    ASSERT_EQ(enc.PutHeader(HeaderType::kSps, &again), 0);
    EXPECT_EQ(Bytes(again), sps_copy);
}

TEST(X264EncoderStream, DecodesCleanlyWithOneSliceAndIPicturesOnlyWhereForced) {
    for (auto [w, h] : {std::pair{640, 480}, std::pair{352, 288}}) {
        SCOPED_TRACE(w);
        X264Encoder enc;
        VideoEncoderParams p = Params(w, h, 2048, 30);
        ASSERT_EQ(enc.Open(p), 0);
        // Groups of 30, plus forced pictures off the grid, and a scene cut
        // that an encoder left to itself would start a group at.
        std::set<int> force = EveryGop(75, 30);
        force.insert(41);
        force.insert(42);
        Encoded r = EncodeRun(enc, p, 75, force, /*scene_cut_at=*/53);
        EXPECT_EQ(enc.Close(), 0);

        for (int k = 0; k < 75; ++k) {
            SCOPED_TRACE(k);
            auto units = h264::SplitAnnexB(r.pictures[k]);
            ASSERT_EQ(units.size(), 1u) << "one NAL unit per picture";
            ASSERT_GE(r.pictures[k].size(), 5u);
            EXPECT_EQ(r.pictures[k][3], 1) << "4-byte start code";
            int type = h264::NalUnitType(units[0]);
            bool forced = force.count(k) > 0;
            EXPECT_EQ(type, forced ? h264::kNalIdr : h264::kNalSlice);
            EXPECT_EQ(r.types[k], forced ? PictureType::kI : PictureType::kP);
            // A slice that starts at macroblock 0 and is the only one covers the picture.
            std::vector<uint8_t> rbsp(units[0].size());
            int n = h264::RemoveEmulationPrevention(units[0].subspan(1), rbsp);
            h264::BitReader br(std::span<const uint8_t>(rbsp.data(), static_cast<size_t>(n)));
            EXPECT_EQ(br.Ue(), 0u) << "first_mb_in_slice";
        }

        h264kit::DecodeResult d = h264kit::Decode(r.access_units);
        EXPECT_EQ(d.errors, 0) << (d.log.empty() ? "" : d.log.front());
        ASSERT_EQ(d.pictures.size(), 75u);
        std::vector<uint8_t> yuv;
        for (int k = 0; k < 75; ++k) {
            SCOPED_TRACE(k);
            EXPECT_EQ(d.pictures[k].type, force.count(k) ? 'I' : 'P');
            EXPECT_EQ(d.pictures[k].width, w);
            EXPECT_EQ(d.pictures[k].height, h);
            // The decoded picture is the one given, planes in their places.
            h264kit::MovingPicture(w, h, k, &yuv, k >= 53 ? 1 : 0);
            size_t luma = static_cast<size_t>(w) * h;
            EXPECT_GT(h264kit::PsnrDb(yuv.data(), d.pictures[k].yuv.data(), luma), 24.0);
            EXPECT_GT(h264kit::PsnrDb(yuv.data() + luma, d.pictures[k].yuv.data() + luma, luma / 4), 30.0);
            EXPECT_GT(h264kit::PsnrDb(yuv.data() + luma * 5 / 4, d.pictures[k].yuv.data() + luma * 5 / 4, luma / 4),
                      30.0);
        }
    }
}

TEST(X264EncoderStream, HoldsTheBitRateOverSeconds) {
    // Five seconds at 30 pictures per second, groups of one second.
    std::vector<double> rates;
    for (int kbps : {256, 1024, 2048}) {
        X264Encoder enc;
        VideoEncoderParams p = Params(640, 480, kbps, 30);
        ASSERT_EQ(enc.Open(p), 0);
        Encoded r = EncodeRun(enc, p, 150, EveryGop(150, 30));
        double kbit_per_s = static_cast<double>(r.picture_bytes) * 8 / 5 / 1000;
        EXPECT_GT(kbit_per_s, kbps * 0.6) << kbps;
        EXPECT_LT(kbit_per_s, kbps * 1.35) << kbps;
        rates.push_back(kbit_per_s);
    }
    EXPECT_GT(rates[1], rates[0] * 2.5);
    EXPECT_GT(rates[2], rates[1] * 1.5);
}

// ---- life cycle and argument checks ----

TEST(X264EncoderCalls, RefuseBadArgumentsWithTheirCodes) {
    X264Encoder enc;
    std::vector<uint8_t> yuv(640 * 480 * 3 / 2, 128);
    EncodedPicture out;
    std::span<const uint8_t> hdr;
    EXPECT_EQ(enc.Encode(yuv, true, &out), diviv::kEncErrNotOpen);
    EXPECT_EQ(enc.PutHeader(HeaderType::kSps, &hdr), diviv::kEncErrNotOpen);
    EXPECT_EQ(enc.Close(), diviv::kEncErrNotOpen);

    for (VideoEncoderParams bad : {Params(0, 480), Params(641, 480), Params(640, 479), Params(8192, 480),
                                   Params(640, 480, 0), Params(640, 480, 1024, -1)}) {
        EXPECT_EQ(enc.Open(bad), diviv::kEncErrBadParams) << bad.width << "x" << bad.height;
        EXPECT_FALSE(enc.IsOpen());
    }
    VideoEncoderParams no_rate = Params(640, 480);
    no_rate.frame_rate = 0;
    EXPECT_EQ(enc.Open(no_rate), diviv::kEncErrBadParams);

    ASSERT_EQ(enc.Open(Params(640, 480)), 0);
    EXPECT_EQ(enc.Open(Params(640, 480)), diviv::kEncErrAlreadyOpen);
    EXPECT_EQ(enc.PutHeader(HeaderType::kSps, nullptr), diviv::kEncErrBadArgument);
    EXPECT_EQ(enc.PutHeader(static_cast<HeaderType>(2), &hdr), diviv::kEncErrBadArgument);
    EXPECT_EQ(enc.Encode(yuv, true, nullptr), diviv::kEncErrBadArgument);
    EXPECT_EQ(enc.Encode(std::span<const uint8_t>(yuv).first(yuv.size() - 1), true, &out), diviv::kEncErrBadPicture);
    std::vector<uint8_t> longer(yuv.size() + 1, 128);
    EXPECT_EQ(enc.Encode(longer, true, &out), diviv::kEncErrBadPicture);
    EXPECT_EQ(enc.Encode({}, true, &out), diviv::kEncErrBadPicture);
    // None of that disturbed the open encoder.
    ASSERT_EQ(enc.Encode(yuv, true, &out), 0);
    EXPECT_EQ(out.type, PictureType::kI);
    EXPECT_FALSE(out.bytes.empty());
}

TEST(X264EncoderCalls, OnePictureOutPerPictureInAndReopensAfterClose) {
    X264Encoder enc;
    VideoEncoderParams p = Params(352, 288, 512, 10);
    for (int round = 0; round < 2; ++round) {
        ASSERT_EQ(enc.Open(p), 0);
        Encoded r = EncodeRun(enc, p, 12, {0, 10});
        for (const auto& pic : r.pictures) EXPECT_FALSE(pic.empty());
        EXPECT_EQ(enc.Close(), 0) << "nothing held back";
        EXPECT_FALSE(enc.IsOpen());
        EXPECT_EQ(h264kit::Decode(r.access_units).errors, 0);
    }
}

TEST(X264EncoderCalls, CloseHandsOutThePicturesAnEncoderWithLatencyHolds) {
    X264Encoder::Options opt;
    opt.lookahead = 5;
    X264Encoder enc(opt);
    VideoEncoderParams p = Params(352, 288, 512, 30);
    ASSERT_EQ(enc.Open(p), 0);
    Encoded r = EncodeRun(enc, p, 20, {0});
    std::vector<std::vector<uint8_t>> units;
    int held = 0;
    for (size_t k = 0; k < r.pictures.size(); ++k) {
        if (r.pictures[k].empty()) {
            ++held;
            continue;
        }
        std::vector<uint8_t> au = units.empty() ? r.sps : std::vector<uint8_t>{};
        if (units.empty()) au.insert(au.end(), r.pps.begin(), r.pps.end());
        au.insert(au.end(), r.pictures[k].begin(), r.pictures[k].end());
        units.push_back(std::move(au));
    }
    ASSERT_GT(held, 0);
    int fetched = enc.Close([&](const EncodedPicture& pic) {
        EXPECT_EQ(pic.type, PictureType::kP);
        units.emplace_back(pic.bytes.begin(), pic.bytes.end());
    });
    EXPECT_EQ(fetched, held);
    h264kit::DecodeResult d = h264kit::Decode(units);
    EXPECT_EQ(d.errors, 0);
    EXPECT_EQ(d.pictures.size(), 20u);
}

}  // namespace
