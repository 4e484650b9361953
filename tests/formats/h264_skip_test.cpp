// Skip pictures generated from a stream's own parameter sets, judged by
// libavcodec: no decoding error, and the skipped picture is its reference,
// pixel for pixel. Streams come from the x264 encoder, as they are (4-bit
// frame_num that wraps inside a group of 30, POC type 2) and rewritten to
// other parameter-set layouts (the board encoder's 5-bit frame_num and POC
// type 0 with a 6-bit LSB, and a POC LSB that wraps inside a group too).
#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <set>

#include "H264TestKit.h"
#include "formats/H264Syntax.h"
#include "platform/X264Encoder.h"

namespace {

namespace h264 = diviv::h264;
using h264::BitReader;
using h264::BitWriter;
using Bytes = std::vector<uint8_t>;

// ---- building and rewriting NAL units ----

Bytes MakeNal(uint8_t header, const std::function<void(BitWriter&)>& body, size_t capacity = 256) {
    Bytes rbsp(capacity);
    BitWriter bw(rbsp);
    body(bw);
    bw.TrailingBits();
    EXPECT_FALSE(bw.overflow());
    Bytes nal = {0, 0, 0, 1, header};
    nal.resize(5 + rbsp.size() * 2);
    int n = h264::AddEmulationPrevention(std::span<const uint8_t>(rbsp.data(), bw.size_bytes()),
                                         std::span<uint8_t>(nal).subspan(5));
    EXPECT_GT(n, 0);
    nal.resize(5 + static_cast<size_t>(n));
    return nal;
}

Bytes Rbsp(std::span<const uint8_t> nal) {
    nal = h264::StripStartCode(nal);
    Bytes rbsp(nal.size());
    int n = h264::RemoveEmulationPrevention(nal.subspan(1), rbsp);
    rbsp.resize(static_cast<size_t>(n));
    return rbsp;
}

// Position of the rbsp_stop_one_bit.
size_t StopBit(const Bytes& rbsp) {
    size_t last = rbsp.size();
    while (last > 0 && rbsp[last - 1] == 0) --last;
    int trailing = 0;
    while (((rbsp[last - 1] >> trailing) & 1) == 0) ++trailing;
    return (last - 1) * 8 + static_cast<size_t>(7 - trailing);
}

void CopyRest(BitReader& br, BitWriter& bw, size_t stop_bit) {
    while (br.position() < stop_bit) bw.Flag(br.Flag());
}

// The board encoder's parameter sets, as its fixed skip bytes assume them:
// Baseline, 5-bit frame_num, POC type 0 with a 6-bit LSB, one reference,
// initial QP 24, no deblocking control, CAVLC.
Bytes BoardSps(int width_mbs, int height_mbs) {
    return MakeNal(0x67, [&](BitWriter& bw) {
        bw.Bits(66, 8);
        bw.Bits(0, 8);
        bw.Bits(30, 8);
        bw.Ue(0);  // sps id
        bw.Ue(1);  // log2_max_frame_num - 4
        bw.Ue(0);  // POC type
        bw.Ue(2);  // log2_max_poc_lsb - 4
        bw.Ue(1);  // references
        bw.Flag(false);
        bw.Ue(static_cast<uint32_t>(width_mbs - 1));
        bw.Ue(static_cast<uint32_t>(height_mbs - 1));
        bw.Flag(true);   // frame_mbs_only
        bw.Flag(false);  // direct_8x8_inference
        bw.Flag(false);  // cropping
        bw.Flag(false);  // VUI
    });
}

Bytes Pps(int pic_init_qp, bool deblocking_control, bool cabac = false, int refs = 1, int sps_id = 0) {
    return MakeNal(0x68, [&](BitWriter& bw) {
        bw.Ue(0);
        bw.Ue(static_cast<uint32_t>(sps_id));
        bw.Flag(cabac);
        bw.Flag(false);
        bw.Ue(0);  // one slice group
        bw.Ue(static_cast<uint32_t>(refs - 1));
        bw.Ue(0);
        bw.Flag(false);
        bw.Bits(0, 2);
        bw.Se(pic_init_qp - 26);
        bw.Se(0);
        bw.Se(0);
        bw.Flag(deblocking_control);
        bw.Flag(false);
        bw.Flag(false);
    });
}

// A parameter-set layout a stream is rewritten to.
struct Layout {
    const char* name;
    int log2_max_frame_num;  // 0: keep the encoder's
    int poc_type;            // 0 or 2
    int log2_max_poc_lsb;
    int pic_init_qp;  // 0: keep
    bool deblocking_control;
};

constexpr Layout kNative = {"x264", 0, -1, 0, 0, true};  // kept as x264 writes it
constexpr Layout kBoard = {"board", 5, 0, 6, 24, false};
constexpr Layout kWrapping = {"wrapping", 4, 0, 5, 0, true};

struct Stream {
    Bytes sps, pps;
    std::vector<Bytes> pictures;
    std::vector<bool> idr;
};

// Rewrites x264's Baseline stream to `layout`, leaving every picture's
// decoded pixels as they were.
std::optional<Stream> Rewrite(const Stream& in, const Layout& layout) {
    if (layout.log2_max_frame_num == 0) return in;
    h264::Sps os;
    h264::Pps op;
    if (h264::ParseSps(in.sps, &os) != 0 || h264::ParsePps(in.pps, &op) != 0) return std::nullopt;
    if (os.profile_idc != 66 || os.pic_order_cnt_type == 1) return std::nullopt;
    int init_qp = layout.pic_init_qp ? layout.pic_init_qp : op.pic_init_qp;
    Stream out;
    out.idr = in.idr;

    Bytes r = Rbsp(in.sps);
    BitReader br(r);
    out.sps = MakeNal(in.sps[4], [&](BitWriter& bw) {
        for (int i = 0; i < 3; ++i) bw.Bits(br.Bits(8), 8);
        bw.Ue(br.Ue());
        br.Ue();
        bw.Ue(static_cast<uint32_t>(layout.log2_max_frame_num - 4));
        if (br.Ue() == 0) br.Ue();
        bw.Ue(static_cast<uint32_t>(layout.poc_type));
        if (layout.poc_type == 0) bw.Ue(static_cast<uint32_t>(layout.log2_max_poc_lsb - 4));
        CopyRest(br, bw, StopBit(r));
    });

    r = Rbsp(in.pps);
    br = BitReader(r);
    out.pps = MakeNal(in.pps[4], [&](BitWriter& bw) {
        for (int i = 0; i < 2; ++i) bw.Ue(br.Ue());
        bw.Bits(br.Bits(2), 2);
        for (int i = 0; i < 3; ++i) bw.Ue(br.Ue());
        bw.Bits(br.Bits(3), 3);
        br.Se();
        bw.Se(init_qp - 26);
        bw.Se(br.Se());
        bw.Se(br.Se());
        br.Flag();
        bw.Flag(layout.deblocking_control);
        CopyRest(br, bw, StopBit(r));
    });

    bool ok = true;
    uint32_t n = 0;  // pictures since the IDR picture
    for (size_t k = 0; k < in.pictures.size(); ++k, ++n) {
        const Bytes& pic = in.pictures[k];
        uint8_t header = pic[4];
        if (in.idr[k]) n = 0;
        bool idr = (header & 0x1F) == h264::kNalIdr;
        r = Rbsp(pic);
        br = BitReader(r);
        out.pictures.push_back(MakeNal(header, [&](BitWriter& bw) {
            bw.Ue(br.Ue());
            uint32_t slice_type = br.Ue();
            bw.Ue(slice_type);
            bw.Ue(br.Ue());
            // Every picture is a reference: frame_num counts the pictures
            // since the IDR picture, POC two per picture.
            if (br.Bits(static_cast<int>(os.log2_max_frame_num)) != n % (1u << os.log2_max_frame_num)) ok = false;
            bw.Bits(n, layout.log2_max_frame_num);
            if (idr) bw.Ue(br.Ue());
            if (os.pic_order_cnt_type == 0) br.Bits(static_cast<int>(os.log2_max_poc_lsb));
            if (layout.poc_type == 0) bw.Bits(2 * n, layout.log2_max_poc_lsb);
            if (slice_type % 5 == 0) {
                bool override_refs = br.Flag();
                bw.Flag(override_refs);
                if (override_refs) bw.Ue(br.Ue());
                if (br.Flag()) ok = false;  // list modification: not expected from x264 here
                bw.Flag(false);
            }
            if (idr) {
                bw.Bits(br.Bits(2), 2);
            } else if (br.Flag()) {
                ok = false;  // adaptive marking
            } else {
                bw.Flag(false);
            }
            int qp = op.pic_init_qp + br.Se();
            bw.Se(qp - init_qp);
            uint32_t idc = br.Ue();
            int32_t alpha = 0, beta = 0;
            if (idc != 1) {
                alpha = br.Se();
                beta = br.Se();
            }
            if (layout.deblocking_control) {
                bw.Ue(idc);
                if (idc != 1) {
                    bw.Se(alpha);
                    bw.Se(beta);
                }
            } else if (idc != 0 || alpha != 0 || beta != 0) {
                ok = false;  // not the default filter: cannot drop the field
            }
            CopyRest(br, bw, StopBit(r));
        }, r.size() + 64));
        if (br.failed()) ok = false;
    }
    if (!ok) return std::nullopt;
    return out;
}

// ---- encoding ----

Stream EncodeStream(int w, int h, int gop, int count, const std::string& preset = "superfast") {
    diviv::X264Encoder::Options opt;
    opt.preset = preset;
    diviv::X264Encoder enc(opt);
    diviv::VideoEncoderParams p;
    p.width = w;
    p.height = h;
    p.bit_rate_kbps = 1024;
    p.gop = gop;
    Stream s;
    EXPECT_EQ(enc.Open(p), 0);
    std::span<const uint8_t> hdr;
    enc.PutHeader(diviv::HeaderType::kSps, &hdr);
    s.sps.assign(hdr.begin(), hdr.end());
    enc.PutHeader(diviv::HeaderType::kPps, &hdr);
    s.pps.assign(hdr.begin(), hdr.end());
    Bytes yuv;
    for (int k = 0; k < count; ++k) {
        h264kit::MovingPicture(w, h, k, &yuv);
        diviv::EncodedPicture out;
        EXPECT_EQ(enc.Encode(yuv, k % gop == 0, &out), 0);
        s.pictures.emplace_back(out.bytes.begin(), out.bytes.end());
        s.idr.push_back(out.type == diviv::PictureType::kI);
    }
    enc.Close();
    return s;
}

// Access units as the capture writes them: headers before every I picture;
// `replace(k, n)` may return a substitute for P picture k, n pictures into
// its group.
using Replacer = std::function<std::optional<Bytes>(int k, int n)>;
std::vector<Bytes> AccessUnits(const Stream& s, const Replacer& replace, std::set<int>* replaced) {
    std::vector<Bytes> units;
    int n = 0;
    for (size_t k = 0; k < s.pictures.size(); ++k) {
        Bytes au;
        if (s.idr[k]) {
            n = 0;
            au = s.sps;
            au.insert(au.end(), s.pps.begin(), s.pps.end());
        }
        std::optional<Bytes> sub = s.idr[k] ? std::nullopt : replace(static_cast<int>(k), n);
        if (sub && replaced) replaced->insert(static_cast<int>(k));
        const Bytes& pic = sub ? *sub : s.pictures[k];
        au.insert(au.end(), pic.begin(), pic.end());
        units.push_back(std::move(au));
        ++n;
    }
    return units;
}

// The decoder's first lines, for failure messages.
std::string FirstLog(const h264kit::DecodeResult& d) {
    std::string s;
    for (size_t i = 0; i < d.log.size() && i < 4; ++i) s += d.log[i];
    return s;
}

// Decodes the stream with `replace`d pictures; they must decode cleanly and
// show their reference exactly, every other picture as without them.
void ExpectFrozenWhereReplaced(const Stream& s, const Replacer& replace) {
    h264kit::DecodeResult plain = h264kit::Decode(AccessUnits(s, [](int, int) { return std::nullopt; }, nullptr));
    ASSERT_EQ(plain.errors, 0) << FirstLog(plain);
    ASSERT_EQ(plain.pictures.size(), s.pictures.size());
    std::set<int> replaced;
    h264kit::DecodeResult d = h264kit::Decode(AccessUnits(s, replace, &replaced));
    ASSERT_FALSE(replaced.empty());
    EXPECT_EQ(d.errors, 0) << FirstLog(d);
    ASSERT_EQ(d.pictures.size(), s.pictures.size());
    for (int k = 0; k < static_cast<int>(s.pictures.size()); ++k) {
        if (replaced.count(k)) {
            EXPECT_EQ(d.pictures[k].type, 'P') << k;
            EXPECT_TRUE(d.pictures[k].yuv == d.pictures[k - 1].yuv) << "skip picture " << k << " not frozen";
        } else {
            EXPECT_TRUE(d.pictures[k].yuv == plain.pictures[k].yuv) << "picture " << k << " changed";
        }
    }
}

// The recorder's rule: once on in a group, every later P picture is a skip
// picture. Group g switches on at starts[g] (0: not at all).
Replacer SkipSlicesFrom(const Stream& s, std::vector<int> starts, int gop) {
    h264::Sps sps;
    h264::Pps pps;
    EXPECT_EQ(h264::ParseSps(s.sps, &sps), 0);
    EXPECT_EQ(h264::ParsePps(s.pps, &pps), 0);
    return [=](int k, int n) -> std::optional<Bytes> {
        size_t g = static_cast<size_t>(k / gop);
        if (g >= starts.size() || starts[g] == 0 || n < starts[g]) return std::nullopt;
        Bytes out(h264::kMaxSkipSliceBytes);
        int len = h264::MakeSkipSlice(sps, pps, static_cast<uint32_t>(n), out);
        EXPECT_GT(len, 0);
        out.resize(static_cast<size_t>(std::max(len, 0)));
        return out;
    };
}

// ---- the syntax layer ----

TEST(H264Bits, ExpGolombAndEmulationPreventionRoundTrip) {
    std::array<uint8_t, 64> buf{};
    BitWriter bw(buf);
    const uint32_t ues[] = {0, 1, 2, 3, 7, 254, 255, 396, 1200, 65535, 0xFFFFFFFEu};
    const int32_t ses[] = {0, 1, -1, 6, -14, 25, -62, 2147483647};
    for (uint32_t v : ues) bw.Ue(v);
    for (int32_t v : ses) bw.Se(v);
    bw.Bits(0x2A, 6);
    bw.TrailingBits();
    ASSERT_FALSE(bw.overflow());
    BitReader br(std::span<const uint8_t>(buf.data(), bw.size_bytes()));
    for (uint32_t v : ues) EXPECT_EQ(br.Ue(), v);
    for (int32_t v : ses) EXPECT_EQ(br.Se(), v);
    EXPECT_EQ(br.Bits(6), 0x2Au);
    EXPECT_FALSE(br.MoreRbspData());
    EXPECT_FALSE(br.failed());
    br.Bits(16);
    EXPECT_TRUE(br.failed()) << "reading past the end";

    // Every 00 00 followed by 00..03 is escaped, and so is an RBSP ending in
    // zeros (a cabac_zero_word), which a NAL unit must not.
    const Bytes rbsp = {0x00, 0x00, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x03, 0x00, 0x00, 0x04, 0x00, 0x00};
    const Bytes escaped = {0x00, 0x00, 0x03, 0x00, 0x00, 0x03, 0x00, 0x01, 0x00, 0x00,
                           0x03, 0x03, 0x00, 0x00, 0x04, 0x00, 0x00, 0x03};
    Bytes out(rbsp.size() * 3 / 2 + 1);
    int n = h264::AddEmulationPrevention(rbsp, out);
    out.resize(static_cast<size_t>(n));
    EXPECT_EQ(out, escaped);
    Bytes back(escaped.size());
    n = h264::RemoveEmulationPrevention(escaped, back);
    back.resize(static_cast<size_t>(n));
    EXPECT_EQ(back, rbsp);
    Bytes small(4);
    EXPECT_EQ(h264::AddEmulationPrevention(rbsp, small), h264::kErrNoSpace);
}

TEST(H264ParameterSets, ParsesTheFieldsAndRefusesWhatItCannotServe) {
    Bytes sps_nal = BoardSps(40, 30);
    h264::Sps sps;
    ASSERT_EQ(h264::ParseSps(sps_nal, &sps), 0);
    EXPECT_EQ(sps.log2_max_frame_num, 5u);
    EXPECT_EQ(sps.pic_order_cnt_type, 0u);
    EXPECT_EQ(sps.log2_max_poc_lsb, 6u);
    EXPECT_EQ(sps.MbCount(), 1200u);
    h264::Pps pps;
    ASSERT_EQ(h264::ParsePps(Pps(24, false), &pps), 0);
    EXPECT_EQ(pps.pic_init_qp, 24);
    EXPECT_FALSE(pps.deblocking_filter_control_present);

    // Wrong unit, cut units, illegal values.
    EXPECT_EQ(h264::ParseSps(Pps(24, false), &sps), h264::kErrInvalid);
    EXPECT_EQ(h264::ParsePps(sps_nal, &pps), h264::kErrInvalid);
    EXPECT_EQ(h264::ParseSps(std::span<const uint8_t>(sps_nal).first(8), &sps), h264::kErrTruncated);
    EXPECT_EQ(h264::ParsePps(Bytes{0, 0, 0, 1}, &pps), h264::kErrTruncated);
    Bytes bad_frame_num = MakeNal(0x67, [](BitWriter& bw) {
        bw.Bits(66, 24);
        bw.Ue(0);
        bw.Ue(13);  // log2_max_frame_num 17
    });
    EXPECT_EQ(h264::ParseSps(bad_frame_num, &sps), h264::kErrInvalid);

    // A skip run cannot be written for CABAC, nor for a PPS of another SPS.
    ASSERT_EQ(h264::ParseSps(sps_nal, &sps), 0);
    Bytes out(h264::kMaxSkipSliceBytes);
    ASSERT_EQ(h264::ParsePps(Pps(24, false, /*cabac=*/true), &pps), 0);
    EXPECT_EQ(h264::MakeSkipSlice(sps, pps, 3, out), h264::kErrUnsupported);
    ASSERT_EQ(h264::ParsePps(Pps(24, false, false, 1, /*sps_id=*/1), &pps), 0);
    EXPECT_EQ(h264::MakeSkipSlice(sps, pps, 3, out), h264::kErrMismatch);
    ASSERT_EQ(h264::ParsePps(Pps(24, false), &pps), 0);
    EXPECT_EQ(h264::MakeSkipSlice(sps, pps, 0, out), h264::kErrInvalid) << "n = 0 is the IDR picture";
    Bytes tiny(8);
    EXPECT_EQ(h264::MakeSkipSlice(sps, pps, 3, tiny), h264::kErrNoSpace);
}

TEST(H264ParameterSets, HighProfileSetsWithScalingListsParse) {
    Bytes high = MakeNal(0x67, [](BitWriter& bw) {
        bw.Bits(100, 8);
        bw.Bits(0, 8);
        bw.Bits(40, 8);
        bw.Ue(1);        // sps id
        bw.Ue(1);        // 4:2:0
        bw.Ue(2);        // 10-bit luma
        bw.Ue(2);        // 10-bit chroma
        bw.Flag(false);  // no transform bypass
        bw.Flag(true);   // scaling matrix: lists 0 and 6 given, the others not
        for (int i = 0; i < 8; ++i) {
            bool present = i == 0 || i == 6;
            bw.Flag(present);
            if (!present) continue;
            for (int j = 0; j < (i < 6 ? 16 : 64); ++j) bw.Se(j == 0 ? 8 : 1);
        }
        bw.Ue(6);  // log2_max_frame_num 10
        bw.Ue(2);  // POC type 2
        bw.Ue(4);
        bw.Flag(false);
        bw.Ue(119);  // 1920 wide
        bw.Ue(67);   // 1088 high
        bw.Flag(true);
    });
    h264::Sps sps;
    ASSERT_EQ(h264::ParseSps(high, &sps), 0);
    EXPECT_EQ(sps.sps_id, 1u);
    EXPECT_EQ(sps.bit_depth_luma, 10u);
    EXPECT_EQ(sps.log2_max_frame_num, 10u);
    EXPECT_EQ(sps.pic_order_cnt_type, 2u);
    EXPECT_EQ(sps.MbCount(), 120u * 68u);
}

TEST(H264ParameterSets, AnyBytesAreSafeToParse) {
    // Every cut of real parameter sets, and noise behind valid headers.
    diviv::X264Encoder enc;
    diviv::VideoEncoderParams p;
    ASSERT_EQ(enc.Open(p), 0);
    std::span<const uint8_t> sps_nal, pps_nal;
    enc.PutHeader(diviv::HeaderType::kSps, &sps_nal);
    enc.PutHeader(diviv::HeaderType::kPps, &pps_nal);
    h264::Sps sps;
    h264::Pps pps;
    for (size_t len = 0; len < sps_nal.size(); ++len) EXPECT_LE(h264::ParseSps(sps_nal.first(len), &sps), 0);
    for (size_t len = 0; len < pps_nal.size(); ++len) EXPECT_LE(h264::ParsePps(pps_nal.first(len), &pps), 0);
    uint32_t seed = 12345;
    for (int round = 0; round < 2000; ++round) {
        Bytes noise = {0, 0, 0, 1, static_cast<uint8_t>(round % 2 ? 0x67 : 0x68)};
        for (int i = 0; i < 1 + round % 40; ++i) {
            seed = seed * 1103515245u + 12345u;
            noise.push_back(static_cast<uint8_t>(seed >> 16));
        }
        if (h264::ParseSps(noise, &sps) == 0) {
            EXPECT_LE(sps.log2_max_frame_num, 16u);
            EXPECT_LE(sps.MbCount(), 1024u * 1024u * 2u);
        }
        if (h264::ParsePps(noise, &pps) == 0) {
            EXPECT_LE(pps.num_ref_idx_l0_default, 32u);
        }
        Bytes out(h264::kMaxSkipSliceBytes);
        if (h264::ParseSps(noise, &sps) == 0) {
            pps = h264::Pps{};
            pps.sps_id = sps.sps_id;
            int len = h264::MakeSkipSlice(sps, pps, static_cast<uint32_t>(round + 1), out);
            EXPECT_TRUE(len > 0 || len == h264::kErrUnsupported || len == h264::kErrInvalid) << len;
        }
    }
}

// ---- the board encoder's fixed bytes ----

struct SkipFields {
    uint32_t frame_num = 0, poc_lsb = 0, skip_run = 0;
    int qp_delta = 0;
};

SkipFields ReadSkipSlice(std::span<const uint8_t> nal, const h264::Sps& sps) {
    Bytes r = Rbsp(nal);
    BitReader br(r);
    SkipFields f;
    EXPECT_EQ(br.Ue(), 0u);
    EXPECT_EQ(br.Ue(), 5u);
    EXPECT_EQ(br.Ue(), 0u);
    f.frame_num = br.Bits(static_cast<int>(sps.log2_max_frame_num));
    f.poc_lsb = br.Bits(static_cast<int>(sps.log2_max_poc_lsb));
    EXPECT_EQ(br.Bits(3), 0u) << "no override, no list modification, sliding window";
    f.qp_delta = br.Se();
    f.skip_run = br.Ue();
    EXPECT_FALSE(br.MoreRbspData());
    return f;
}

TEST(SkipSliceOfTheBoardEncoder, IsTheFixedBytesWhereThoseHold) {
    h264::Sps sps;
    h264::Pps pps;
    ASSERT_EQ(h264::ParseSps(BoardSps(40, 30), &sps), 0);
    ASSERT_EQ(h264::ParsePps(Pps(24, false), &pps), 0);
    for (int n = 1; n < 16; ++n) {
        Bytes legacy(12), made(h264::kMaxSkipSliceBytes);
        ASSERT_EQ(h264::MakeSkipVideoData(1, n, legacy.data()), 12);
        int len = h264::MakeSkipSlice(sps, pps, static_cast<uint32_t>(n), made);
        ASSERT_EQ(len, 12);
        made.resize(12);
        EXPECT_EQ(made, legacy) << "n = " << n;
    }
    // From 16 on the fixed bytes overflow frame_num; the generated slice
    // counts on, modulo 32, with the POC at twice the count modulo 64.
    for (int n : {16, 17, 29, 31, 32, 45}) {
        Bytes made(h264::kMaxSkipSliceBytes), legacy(12);
        made.resize(static_cast<size_t>(h264::MakeSkipSlice(sps, pps, static_cast<uint32_t>(n), made)));
        SkipFields f = ReadSkipSlice(made, sps);
        EXPECT_EQ(f.frame_num, static_cast<uint32_t>(n % 32)) << n;
        EXPECT_EQ(f.poc_lsb, static_cast<uint32_t>(2 * n % 64)) << n;
        EXPECT_EQ(f.skip_run, 1200u);
        h264::MakeSkipVideoData(1, n, legacy.data());
        if (n < 32) {
            EXPECT_NE(ReadSkipSlice(legacy, sps).frame_num, static_cast<uint32_t>(n)) << n;
        }
    }
}

TEST(SkipSliceOfTheBoardEncoder, CoversAll396MacroblocksOfA352x288Picture) {
    h264::Sps sps;
    h264::Pps pps;
    ASSERT_EQ(h264::ParseSps(BoardSps(22, 18), &sps), 0);
    ASSERT_EQ(h264::ParsePps(Pps(24, false), &pps), 0);
    Bytes made(h264::kMaxSkipSliceBytes), legacy(12);
    made.resize(static_cast<size_t>(h264::MakeSkipSlice(sps, pps, 5, made)));
    ASSERT_EQ(h264::MakeSkipVideoData(0, 5, legacy.data()), 11);
    legacy.resize(11);
    SkipFields f = ReadSkipSlice(made, sps);
    EXPECT_EQ(f.skip_run, 396u);
    EXPECT_EQ(f.frame_num, 5u);
    EXPECT_EQ(f.poc_lsb, 10u);
    EXPECT_EQ(f.qp_delta, h264::kSkipSliceQp - 24);
    EXPECT_EQ(ReadSkipSlice(legacy, sps).skip_run, 300u) << "the fixed bytes stop short of the picture";
}

// ---- decoding ----

struct Case {
    int w, h, gop;
};

class SkipSliceDecoding : public ::testing::TestWithParam<Case> {};

TEST_P(SkipSliceDecoding, ShowsThePreviousPictureForEveryParameterSetLayout) {
    const Case c = GetParam();
    // Group 0 switches to skip pictures at n = 2 (runs to the end of the
    // group, through the frame_num wrap of the 4-bit layout), group 1 near
    // its end, group 2 at its first P picture.
    Stream x264 = EncodeStream(c.w, c.h, c.gop, 3 * c.gop);
    std::vector<int> starts = {2, c.gop - 3, 1};
    for (const Layout& layout : {kNative, kBoard, kWrapping}) {
        SCOPED_TRACE(layout.name);
        std::optional<Stream> s = Rewrite(x264, layout);
        ASSERT_TRUE(s.has_value());
        if (layout.log2_max_frame_num != 0) {
            // The rewritten stream decodes to the very pictures of the original.
            h264kit::DecodeResult a =
                h264kit::Decode(AccessUnits(x264, [](int, int) { return std::nullopt; }, nullptr));
            h264kit::DecodeResult b = h264kit::Decode(AccessUnits(*s, [](int, int) { return std::nullopt; }, nullptr));
            ASSERT_EQ(b.errors, 0) << FirstLog(b);
            ASSERT_EQ(a.pictures.size(), b.pictures.size()) << FirstLog(b);
            for (size_t k = 0; k < a.pictures.size(); ++k) ASSERT_TRUE(a.pictures[k].yuv == b.pictures[k].yuv) << k;
        }
        ExpectFrozenWhereReplaced(*s, SkipSlicesFrom(*s, starts, c.gop));
    }
}

INSTANTIATE_TEST_SUITE_P(SizesAndGroups, SkipSliceDecoding,
                         ::testing::Values(Case{640, 480, 10}, Case{640, 480, 30}, Case{352, 288, 10},
                                           Case{352, 288, 30}),
                         [](const auto& info) {
                             return std::to_string(info.param.w) + "x" + std::to_string(info.param.h) + "_gop" +
                                    std::to_string(info.param.gop);
                         });

TEST(SkipSliceDecodingOther, ServesAnEncoderWithSeveralReferences) {
    // x264's "medium" keeps three references and says so in its PPS: the
    // skip slice must still take its one reference, the previous picture.
    Stream s = EncodeStream(352, 288, 30, 40, "medium");
    h264::Pps pps;
    ASSERT_EQ(h264::ParsePps(s.pps, &pps), 0);
    ASSERT_GT(pps.num_ref_idx_l0_default, 1u);
    ExpectFrozenWhereReplaced(s, SkipSlicesFrom(s, {3, 1}, 30));
}

TEST(SkipSliceDecodingOther, FixedBytesServeTheBoardLayoutOnlyBelow16) {
    Stream x264 = EncodeStream(640, 480, 30, 30);
    std::optional<Stream> board = Rewrite(x264, kBoard);
    ASSERT_TRUE(board.has_value());
    auto legacy = [](int last) {
        return [last](int, int n) -> std::optional<Bytes> {
            if (n < 2 || n > last) return std::nullopt;
            Bytes b(12);
            h264::MakeSkipVideoData(1, n, b.data());
            return b;
        };
    };
    // Up to n = 15 the fixed bytes are sound for these parameter sets (this
    // checks the layout read from them)...
    Stream first16 = *board;
    first16.pictures.resize(16);
    first16.idr.resize(16);
    ExpectFrozenWhereReplaced(first16, legacy(15));
    // ...from 16 on they are not: errors or wrong pictures.
    std::set<int> replaced;
    h264kit::DecodeResult d = h264kit::Decode(AccessUnits(*board, legacy(29), &replaced));
    bool wrong = d.errors > 0 || d.pictures.size() != board->pictures.size();
    for (size_t k = 16; !wrong && k < d.pictures.size(); ++k) wrong = !(d.pictures[k].yuv == d.pictures[k - 1].yuv);
    EXPECT_TRUE(wrong);
}

}  // namespace
