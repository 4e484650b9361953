// ASF writer: the bytes of the file as a reader sees them.
#include <gtest/gtest.h>

#include <map>
#include <numeric>

#include "AsfTestKit.h"

namespace {

using asftest::Le16;
using asftest::Le32;
using asftest::Le64;
using asftest::Obj;
using asftest::Packet;

constexpr size_t kHeader = 1034;
constexpr size_t kData = kHeader + 50;  // first packet

std::vector<uint8_t> Bytes(size_t n, uint8_t seed) {
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>(seed + i * 7 + (i >> 8));
    return v;
}

bool GuidAt(const std::vector<uint8_t>& f, size_t at, const ASF_MUXER_GUID& g) {
    return f.size() >= at + 16 && std::equal(g.begin(), g.end(), f.begin() + at);
}

uint64_t Fnv1a(const std::vector<uint8_t>& d) {
    uint64_t h = 1469598103934665603ull;
    for (uint8_t b : d) h = (h ^ b) * 1099511628211ull;
    return h;
}

TEST(AsfMuxHeader, EmptyFileHasTheRecordersHeaderAndNoIndex) {
    const auto f = asftest::WriteAll({});
    ASSERT_EQ(f.size(), 1084u);
    EXPECT_TRUE(GuidAt(f, 0, GUID_Mux_ASF_Header_Object));
    EXPECT_EQ(f[0], 0x30);
    EXPECT_EQ(f[3], 0x75);
    EXPECT_EQ(Le64(f, 16), kHeader);
    EXPECT_EQ(Le32(f, 24), 6u);
    EXPECT_EQ(f[28], 0x01);
    EXPECT_EQ(f[29], 0x02);

    // Objects in order with their sizes.
    struct Expect {
        size_t at;
        ASF_MUXER_GUID guid;
        uint64_t size;
    };
    const Expect objects[] = {
        {30, GUID_Mux_ASF_File_Properties_Object, 104},
        {134, GUID_Mux_ASF_Header_Extension_Object, 440},
        {180, GUID_Mux_ASF_Metadata_Object, 130},
        {310, GUID_Mux_ASF_Extended_Stream_Properties_Object, 88},
        {398, GUID_Mux_ASF_Extended_Stream_Properties_Object, 88},
        {486, GUID_Mux_ASF_Extended_Stream_Properties_Object, 88},
        {574, GUID_Mux_ASF_Stream_Properties_Object, 129},
        {703, GUID_Mux_ASF_Stream_Properties_Object, 104},
        {807, GUID_Mux_ASF_Stream_Properties_Object, 143},
        {950, GUID_Mux_ASF_Codec_List_Object, 84},
        {1034, GUID_Mux_ASF_Data_Object, 50},
    };
    for (const auto& o : objects) {
        EXPECT_TRUE(GuidAt(f, o.at, o.guid)) << "object at " << o.at;
        EXPECT_EQ(Le64(f, o.at + 16), o.size) << "object at " << o.at;
    }
    EXPECT_EQ(Le64(f, 30 + 40), 1084u);  // file size
    EXPECT_EQ(Le64(f, 30 + 56), 0u);     // data packets
    EXPECT_EQ(Le32(f, 30 + 92), 3200u);  // minimum and maximum packet size
    EXPECT_EQ(Le32(f, 30 + 96), 3200u);
    EXPECT_EQ(Le32(f, 30 + 100), 2000000u + 32000u);
    EXPECT_EQ(Le32(f, 134 + 42), 440u - 46u);  // header extension data size
    // Stream numbers of the extended and the plain stream properties.
    EXPECT_EQ(Le16(f, 310 + 72), 1);
    EXPECT_EQ(Le16(f, 398 + 72), 2);
    EXPECT_EQ(Le16(f, 486 + 72), 3);
    EXPECT_EQ(Le64(f, 310 + 76), 333333u);  // average time per frame at 30 per second
    EXPECT_EQ(Le16(f, 574 + 72), 1);
    EXPECT_EQ(Le16(f, 703 + 72), 2);
    EXPECT_EQ(Le16(f, 807 + 72), 3);
    EXPECT_TRUE(GuidAt(f, 703 + 40, GUID_Mux_ASF_Audio_Spread));
    const std::vector<uint8_t> spread(f.begin() + 799, f.begin() + 807);
    EXPECT_EQ(spread, (std::vector<uint8_t>{0x01, 0x90, 0x01, 0x90, 0x01, 0x01, 0x00, 0x00}));
    EXPECT_EQ(Le16(f, 703 + 78), 0x0045);  // G.726
    EXPECT_EQ(Le32(f, 574 + 78 + 27), Le32({'H', '2', '6', '4'}, 0));
    EXPECT_EQ(Le16(f, 1034 + 48), 0x0101);
    // The complete header is pinned: any change to a byte of it changes what
    // every recording on every card looks like.
    EXPECT_EQ(Fnv1a(f), 0xf3d04f99ac388e86ull) << std::hex << Fnv1a(f);
}

TEST(AsfMuxPackets, LargeObjectSpansSinglePayloadPacketsWithRunningOffsets) {
    const Obj big{ASF_MUX_DATA_TYPE_VIDEO, true, 0, Bytes(10000, 1)};
    const auto f = asftest::WriteAll({big});
    ASSERT_EQ(f.size(), kData + 4 * 3200 + 56);
    const uint32_t expectLen[4] = {3174, 3174, 3174, 478};
    for (size_t k = 0; k < 4; ++k) {
        auto p = Packet(f, k);
        ASSERT_EQ(p.payloads.size(), 1u);
        EXPECT_EQ(p.payloads[0].stream, 0x81);
        EXPECT_EQ(p.payloads[0].objectNumber, 0);  // unchanged until the last byte
        EXPECT_EQ(p.payloads[0].offset, 3174 * k);
        EXPECT_EQ(p.payloads[0].objectSize, 10000u);
        EXPECT_EQ(p.payloads[0].length, expectLen[k]);
        const std::vector<uint8_t> got(f.begin() + kData + k * 3200 + (k < 3 ? 26 : 28),
                                       f.begin() + kData + k * 3200 + (k < 3 ? 26 : 28) + expectLen[k]);
        EXPECT_TRUE(std::equal(got.begin(), got.end(), big.data.begin() + 3174 * k)) << "packet " << k;
    }
    // The last packet pads 2696 bytes: a 16-bit padding length plus 2694 zero bytes.
    const auto last = Packet(f, 3);
    EXPECT_EQ(last.lengthTypeFlags, 0x10);
    EXPECT_EQ(last.padding, 2694u);
    EXPECT_EQ(Le64(f, 30 + 56), 4u);
    // Key frame at 0 ms only: an index with no entries (56 bytes).
    const size_t index = kData + 4 * 3200;
    EXPECT_TRUE(GuidAt(f, index, GUID_Mux_ASF_Simple_Index_Object));
    EXPECT_EQ(Le64(f, index + 16), 56u);
    EXPECT_EQ(Le64(f, index + 40), 10000000u);
    EXPECT_EQ(Le32(f, index + 48), 4u);  // the key frame spans 4 packets
    EXPECT_EQ(Le32(f, index + 52), 0u);
    EXPECT_EQ(Le64(f, 70), f.size());
}

TEST(AsfMuxPackets, OneFreeByteGoesToThePadding) {
    // 3173 bytes would leave exactly one byte of the packet free.
    const auto f = asftest::WriteAll({{ASF_MUX_DATA_TYPE_VIDEO, false, 0, Bytes(3173, 3)}});
    auto p0 = Packet(f, 0);
    EXPECT_EQ(p0.lengthTypeFlags, 0x08);
    EXPECT_EQ(p0.padding, 1u);  // a padding length byte and one zero byte
    EXPECT_EQ(p0.payloads[0].length, 3172u);
    auto p1 = Packet(f, 1);
    EXPECT_EQ(p1.payloads[0].offset, 3172u);
    EXPECT_EQ(p1.payloads[0].length, 1u);
}

TEST(AsfMuxPackets, SmallObjectsShareAPacketWithTimesAndKeyBits) {
    const auto f = asftest::WriteAll({{ASF_MUX_DATA_TYPE_AUDIO, true, 0, Bytes(132, 5)},
                                      {ASF_MUX_DATA_TYPE_BINARY, true, 0, Bytes(57, 6)},
                                      {ASF_MUX_DATA_TYPE_VIDEO, false, 33, Bytes(500, 7)}});
    ASSERT_EQ(f.size(), kData + 3200);  // no key video: no index
    auto p = Packet(f, 0);
    EXPECT_EQ(p.lengthTypeFlags, 0x11);  // several payloads, 16-bit padding length
    ASSERT_EQ(p.payloads.size(), 3u);
    EXPECT_EQ(f[kData + 13], 0x83);  // payload flags: word lengths, 3 payloads
    EXPECT_EQ(p.sendTime, 0u);
    EXPECT_EQ(p.duration, 33);
    EXPECT_EQ(p.payloads[0].stream, 0x82);  // audio and binary carry the key bit
    EXPECT_EQ(p.payloads[1].stream, 0x83);
    EXPECT_EQ(p.payloads[2].stream, 0x01);
    EXPECT_EQ(p.payloads[2].length, 500u);
    EXPECT_EQ(p.padding, 3200u - (11 + 15 + 20 + 17 + 132 + 57 + 500) - 2);
}

TEST(AsfMuxPackets, ManyTinyObjectsAreAllStoredAtMost63PerPacket) {
    std::vector<Obj> objs;
    for (uint32_t i = 0; i < 300; ++i) objs.push_back({ASF_MUX_DATA_TYPE_BINARY, true, i, Bytes(10, uint8_t(i))});
    asftest::Writer w("tiny.asf");
    for (const auto& o : objs) EXPECT_EQ(w.Write(o), 0);  // none refused, however many arrive
    const auto f = w.Close();
    const size_t packets = Le64(f, 30 + 56);
    size_t payloads = 0;
    uint8_t expectNumber = 0;
    for (size_t k = 0; k < packets; ++k) {
        auto p = Packet(f, k);
        EXPECT_LE(p.payloads.size(), 63u);
        for (auto& pl : p.payloads) {
            EXPECT_EQ(pl.objectNumber, expectNumber++);  // per-stream counter wrapping at 256
            ++payloads;
        }
    }
    EXPECT_EQ(payloads, 300u);
    EXPECT_EQ(Packet(f, 0).payloads.size(), 63u);
}

TEST(AsfMuxClose, HeaderFieldsAndIndexDescribeTheContent) {
    // Key pictures at 0, 1000 and 2200 ms, each spanning two packets.
    std::vector<Obj> objs = {
        {ASF_MUX_DATA_TYPE_BINARY, true, 0, Bytes(57, 1)},     {ASF_MUX_DATA_TYPE_AUDIO, true, 50, Bytes(132, 2)},
        {ASF_MUX_DATA_TYPE_VIDEO, true, 100, Bytes(5000, 3)},  {ASF_MUX_DATA_TYPE_VIDEO, false, 500, Bytes(800, 4)},
        {ASF_MUX_DATA_TYPE_VIDEO, true, 1000, Bytes(5000, 5)}, {ASF_MUX_DATA_TYPE_AUDIO, true, 990, Bytes(136, 6)},
        {ASF_MUX_DATA_TYPE_VIDEO, true, 2200, Bytes(4000, 7)}, {ASF_MUX_DATA_TYPE_VIDEO, false, 3500, Bytes(900, 8)},
    };
    const auto f = asftest::WriteAll(objs);
    const uint64_t packets = Le64(f, 30 + 56);
    EXPECT_EQ(Le64(f, kHeader + 40), packets);
    EXPECT_EQ(Le64(f, kHeader + 16), 50 + packets * 3200);
    EXPECT_EQ(Le64(f, 30 + 64), 3500u * 10000);  // play duration
    EXPECT_EQ(Le64(f, 30 + 72), 3500u * 10000);  // send duration
    EXPECT_EQ(Le64(f, 310 + 24), 100u * 10000);  // video starts at its first picture
    EXPECT_EQ(Le64(f, 398 + 24), 50u * 10000);
    EXPECT_EQ(Le64(f, 486 + 24), 0u);
    for (size_t esp : {310, 398, 486}) EXPECT_EQ(Le64(f, esp + 32), 3500u * 10000);
    EXPECT_EQ(Le64(f, 70), f.size());

    // Where each key picture starts and how many packets carry it, from the packets themselves.
    std::map<uint32_t, std::pair<uint32_t, uint16_t>> keys;  // pts -> first packet, count
    for (uint32_t k = 0; k < packets; ++k)
        for (auto& pl : Packet(f, k).payloads)
            if (pl.stream == 0x81) {
                auto [it, fresh] = keys.try_emplace(pl.pts, k, 0);
                ++it->second.second;
            }
    ASSERT_EQ(keys.size(), 3u);
    const size_t index = kData + packets * 3200;
    ASSERT_TRUE(GuidAt(f, index, GUID_Mux_ASF_Simple_Index_Object));
    EXPECT_EQ(Le32(f, index + 52), 3u);  // 3500 ms / 1 s
    EXPECT_EQ(Le64(f, index + 16), 56u + 3 * 6);
    EXPECT_EQ(f.size(), index + 56 + 3 * 6);
    // At 0 s no key picture is due yet, so the first one stands in; at 1 s
    // and at 2 s the one at 1000 ms is the latest.
    const uint32_t expectPts[3] = {100, 1000, 1000};
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(Le32(f, index + 56 + 6 * i), keys[expectPts[i]].first) << i;
        EXPECT_EQ(Le16(f, index + 60 + 6 * i), keys[expectPts[i]].second) << i;
    }
}

TEST(AsfMuxData, CallerMayReuseItsBufferAtOnce) {
    // Objects of every size class, each written from the same buffer that is
    // scribbled over right after the call.
    asftest::Writer w("reuse.asf");
    std::vector<uint8_t> shared(9000);
    std::vector<Obj> want;
    uint32_t pts = 0;
    for (size_t len : {10u, 3000u, 132u, 7000u, 1u, 3173u, 400u, 9000u}) {
        Obj o{ASF_MUX_DATA_TYPE_VIDEO, false, pts += 33, Bytes(len, uint8_t(len))};
        std::copy(o.data.begin(), o.data.end(), shared.begin());
        ASF_MUX_DATA_INFO info{0, o.pts};
        ASSERT_EQ(ASF_Mux_WriteData(w.ctx, o.type, shared.data(), static_cast<uint32_t>(len), &info), 0);
        std::fill(shared.begin(), shared.end(), 0xEE);
        want.push_back(o);
    }
    const auto f = w.Close();
    std::vector<uint8_t> all, got;
    for (auto& o : want) all.insert(all.end(), o.data.begin(), o.data.end());
    for (uint64_t k = 0; k < Le64(f, 30 + 56); ++k) {
        size_t at = kData + k * 3200;
        auto p = Packet(f, k);
        at += (p.lengthTypeFlags & 0x08) ? 12 : (p.lengthTypeFlags & 0x10) ? 13 : 11;
        if (p.lengthTypeFlags & 1) ++at;
        for (auto& pl : p.payloads) {
            at += 15 + ((p.lengthTypeFlags & 1) ? 2 : 0);
            got.insert(got.end(), f.begin() + at, f.begin() + at + pl.length);
            at += pl.length;
        }
    }
    EXPECT_EQ(got, all);
}

TEST(AsfMuxCreate, FailuresLeaveNothingBehind) {
    for (int failAt = 0; failAt < 5; ++failAt) {
        asftest::Heap() = {};
        asftest::Heap().failAt = failAt;
        AsfRecorderSetup s;
        MakeRecorderMuxInit(s, "fail.asf", 640, 480, 2000000, 30, 0);
        asftest::UseMemoryFiles(s.init);
        asftest::UseCountingHeap(s.init);
        EXPECT_EQ(ASF_Mux_Create(&s.init), nullptr) << "allocation " << failAt;
        EXPECT_EQ(asftest::Heap().outstanding, 0) << "allocation " << failAt;
    }
    asftest::Heap() = {};
    AsfRecorderSetup s;
    MakeRecorderMuxInit(s, "fail.asf", 640, 480, 2000000, 30, 0);
    asftest::UseMemoryFiles(s.init);
    asftest::UseCountingHeap(s.init);
    asftest::gFailOpen = true;
    EXPECT_EQ(ASF_Mux_Create(&s.init), nullptr);
    asftest::gFailOpen = false;
    EXPECT_EQ(asftest::Heap().outstanding, 0);

    // A working create and close return every block.
    ASF_MUX_CONTEXT* ctx = ASF_Mux_Create(&s.init);
    ASSERT_NE(ctx, nullptr);
    ASF_MUX_DATA_INFO info{1, 0};
    std::vector<uint8_t> pic = Bytes(20000, 9);
    EXPECT_EQ(ASF_Mux_WriteData(ctx, ASF_MUX_DATA_TYPE_VIDEO, pic.data(), 20000, &info), 0);
    ASF_Mux_Close(ctx);
    EXPECT_EQ(asftest::Heap().outstanding, 0);

    // Packet sizes the packetizer cannot work with are refused.
    for (uint32_t size : {0u, 26u, 63u, 65536u}) {
        s.init.filePropertiesObject.dwDataPacketSize = size;
        EXPECT_EQ(ASF_Mux_Create(&s.init), nullptr) << size;
    }
}

TEST(AsfMuxData, BadArgumentsAreRefused) {
    asftest::Writer w("args.asf");
    uint8_t b[4] = {1, 2, 3, 4};
    ASF_MUX_DATA_INFO info{0, 0};
    EXPECT_EQ(ASF_Mux_WriteData(w.ctx, 3, b, 4, &info), 1);
    EXPECT_EQ(ASF_Mux_WriteData(w.ctx, -1, b, 4, &info), 1);
    EXPECT_EQ(ASF_Mux_WriteData(w.ctx, 0, b, 4, nullptr), 1);
    EXPECT_EQ(ASF_Mux_WriteData(w.ctx, 0, nullptr, 4, &info), 1);
    EXPECT_EQ(ASF_Mux_WriteData(nullptr, 0, b, 4, &info), 1);
    EXPECT_EQ(w.Close().size(), 1084u);  // nothing was stored
}

}  // namespace
