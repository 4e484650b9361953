// ASF reader: unit by unit over the writer's files and over hand-made and
// hostile bytes.
#include <gtest/gtest.h>

#include <cstring>

#include "AsfTestKit.h"

namespace {

using asftest::Obj;

// Little-endian byte builder for hand-made objects and packets.
struct B {
    std::vector<uint8_t> v;
    B& u8(uint64_t x) { return put(x, 1); }
    B& u16(uint64_t x) { return put(x, 2); }
    B& u32(uint64_t x) { return put(x, 4); }
    B& u64(uint64_t x) { return put(x, 8); }
    B& guid(const ASF_DEMUXER_GUID& g) {
        v.insert(v.end(), g.begin(), g.end());
        return *this;
    }
    B& bytes(size_t n, uint8_t fill) {
        v.insert(v.end(), n, fill);
        return *this;
    }
    B& put(uint64_t x, int n) {
        for (int i = 0; i < n; ++i) v.push_back(static_cast<uint8_t>(x >> (8 * i)));
        return *this;
    }
};

// A reader with the counting heap; checks on destruction that every block came back.
struct Reader {
    ASF_DEMUX_CONTEXT* ctx;
    Reader() {
        asftest::Heap() = {};
        ctx = ASF_Demux_Create(asftest::CountingDemuxMalloc, asftest::CountingFree);
    }
    ~Reader() {
        ASF_Demux_Close(ctx);
        EXPECT_EQ(asftest::Heap().outstanding, 0) << "blocks not returned";
    }
    ASF_DEMUX_STATE Parse(const std::vector<uint8_t>& d, size_t from, size_t len, uint32_t& consumed) {
        return ASF_Demux_Parse(ctx, d.data() + from, static_cast<uint32_t>(len), &consumed);
    }
    ASF_DEMUX_STATE Parse(const std::vector<uint8_t>& d, uint32_t& consumed) { return Parse(d, 0, d.size(), consumed); }
};

std::vector<uint8_t> Pattern(size_t n, uint8_t seed) {
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>(seed * 31 + i);
    return v;
}

std::vector<Obj> MixedObjects() {
    return {{ASF_MUX_DATA_TYPE_BINARY, true, 0, Pattern(57, 1)},   {ASF_MUX_DATA_TYPE_AUDIO, true, 0, Pattern(132, 2)},
            {ASF_MUX_DATA_TYPE_VIDEO, true, 0, Pattern(7000, 3)},  {ASF_MUX_DATA_TYPE_AUDIO, true, 33, Pattern(132, 4)},
            {ASF_MUX_DATA_TYPE_VIDEO, false, 33, Pattern(300, 5)}, {ASF_MUX_DATA_TYPE_AUDIO, true, 66, Pattern(136, 6)},
            {ASF_MUX_DATA_TYPE_VIDEO, true, 1100, Pattern(900, 7)}, {ASF_MUX_DATA_TYPE_VIDEO, false, 2100, Pattern(40, 8)}};
}

// A header-only file from the writer with `packets` in its Data Object.
std::vector<uint8_t> HeaderWithPackets(uint64_t packets) {
    auto f = asftest::WriteAll({});
    for (int i = 0; i < 8; ++i) {
        f[1034 + 40 + i] = static_cast<uint8_t>(packets >> (8 * i));
        f[30 + 56 + i] = static_cast<uint8_t>(packets >> (8 * i));
    }
    return f;
}

// Parses up to the Data Object; returns the offset after it.
size_t SkipToPackets(Reader& r, const std::vector<uint8_t>& f) {
    size_t pos = 0;
    for (;;) {
        uint32_t c = 0;
        const auto st = r.Parse(f, pos, f.size() - pos, c);
        EXPECT_NE(st, ASF_DEMUX_STATE_NEED_MORE_DATA);
        EXPECT_NE(st, ASF_DEMUX_STATE_UNKNOWN);
        EXPECT_GT(c, 0u);
        if (st == ASF_DEMUX_STATE_NEED_MORE_DATA || st == ASF_DEMUX_STATE_UNKNOWN || c == 0) return f.size();
        pos += c;
        if (st == ASF_DEMUX_STATE_DATA_OBJECT) return pos;
    }
}

TEST(AsfDemuxWalk, EveryUnitWaitsForItsLastByteAndThenReadsTheSame) {
    const auto f = asftest::WriteAll(MixedObjects());
    Reader r;
    std::vector<ASF_DEMUX_STATE> states;
    size_t pos = 0;
    while (pos < f.size()) {
        uint32_t consumed = 0xDEADBEEF;
        size_t len = 0;
        ASF_DEMUX_STATE st;
        // Grow the buffer one byte at a time: every short buffer must consume
        // nothing and leave the reader as it was.
        while ((st = r.Parse(f, pos, len, consumed)) == ASF_DEMUX_STATE_NEED_MORE_DATA) {
            ASSERT_EQ(consumed, 0xDEADBEEF) << "offset " << pos << " length " << len;
            ASSERT_LT(len, f.size() - pos) << "unit at " << pos << " never completes";
            ++len;
        }
        ASSERT_NE(st, ASF_DEMUX_STATE_UNKNOWN) << "offset " << pos;
        ASSERT_GT(consumed, 0u);
        ASSERT_LE(consumed, len);
        states.push_back(st);
        pos += consumed;
    }
    EXPECT_EQ(pos, f.size());
    const std::vector<ASF_DEMUX_STATE> head = {
        ASF_DEMUX_STATE_HEADER_OBJECT,
        ASF_DEMUX_STATE_FILE_PROPERTIES_OBJECT,
        ASF_DEMUX_STATE_HEADER_EXTENSION_OBJECT,
        ASF_DEMUX_STATE_HEADER_EXTENSION_METADATA_OBJECT,
        ASF_DEMUX_STATE_HEADER_EXTENSION_STREAM_PROPERTIES_OBJECT_VIDEO,
        ASF_DEMUX_STATE_HEADER_EXTENSION_STREAM_PROPERTIES_OBJECT_AUDIO,
        ASF_DEMUX_STATE_HEADER_EXTENSION_STREAM_PROPERTIES_OBJECT_BINARY,
        ASF_DEMUX_STATE_STREAM_PROPERTIES_OBJECT_VIDEO,
        ASF_DEMUX_STATE_STREAM_PROPERTIES_OBJECT_AUDIO,
        ASF_DEMUX_STATE_STREAM_PROPERTIES_OBJECT_BINARY,
        ASF_DEMUX_STATE_CODEC_LIST_OBJECT,
        ASF_DEMUX_STATE_DATA_OBJECT,
    };
    ASSERT_GT(states.size(), head.size());
    EXPECT_TRUE(std::equal(head.begin(), head.end(), states.begin()));
    // Index: 2100 ms of video at 1 s steps gives 2 entries.
    const std::vector<ASF_DEMUX_STATE> tail = {ASF_DEMUX_STATE_SIMPLE_INDEX_OBJECT,
                                               ASF_DEMUX_STATE_SIMPLE_INDEX_OBJECT_ENTRY,
                                               ASF_DEMUX_STATE_SIMPLE_INDEX_OBJECT_ENTRY};
    EXPECT_TRUE(std::equal(tail.rbegin(), tail.rend(), states.rbegin()));

    // After the last object only need-more-data comes back.
    uint32_t consumed = 7;
    EXPECT_EQ(r.Parse(f, f.size(), 0, consumed), ASF_DEMUX_STATE_NEED_MORE_DATA);
    EXPECT_EQ(consumed, 7u);
}

TEST(AsfDemuxWalk, HeaderValuesComeBackAsWritten) {
    const auto f = asftest::WriteAll(MixedObjects());
    Reader r;
    SkipToPackets(r, f);
    const ASF_DEMUX_CONTEXT& c = *r.ctx;
    EXPECT_EQ(c.asfHeaderObject.dwNumberOfHeaderObjects, 6u);
    EXPECT_EQ(c.asfFilePropertiesObject.dwMaximumDataPacketSize, 3200u);
    EXPECT_EQ(c.asfFilePropertiesObject.qwFileSize, f.size());
    EXPECT_EQ(c.asfFilePropertiesObject.qwCreationDate, AsfCreationDate(1700000000, 0));
    EXPECT_EQ(c.asfFilePropertiesObject.qwPlayDuration, 2100u * 10000);
    const auto& v = c.asfStreamPropertiesObjectVideo;
    EXPECT_EQ(v.Flags.StreamNumber, 1);
    EXPECT_EQ(v.typeSpecificData.dwEncodedImageWidth, 640u);
    EXPECT_EQ(v.typeSpecificData.dwEncodedImageHeight, 480u);
    EXPECT_EQ(v.typeSpecificData.fd_dwImageSize, 921600u);
    EXPECT_EQ(v.typeSpecificData.fd_wBitsPerPixelCount, 16);
    const auto& a = c.asfStreamPropertiesObjectAudio;
    EXPECT_EQ(a.typeSpecificData.wCodecID, 0x45);
    EXPECT_EQ(a.typeSpecificData.wBitsPerSample, 4);
    EXPECT_EQ(a.typeSpecificData.dwSamplesPerSecond, 8000u);
    ASSERT_EQ(a.dwErrorCorrectionDataLength, 8u);
    EXPECT_EQ(std::memcmp(a.pErrorCorrectionData, "\x01\x90\x01\x90\x01\x01\x00\x00", 8), 0);
    const auto& b = c.asfStreamPropertiesObjectBinary;
    EXPECT_EQ(b.Flags.StreamNumber, 3);
    ASSERT_EQ(b.typeSpecificData.dwFormatDataSize, 1u);
    EXPECT_EQ(b.typeSpecificData.pFormatData[0], 0);
    EXPECT_TRUE(diviv::asf::GuidEquals(b.typeSpecificData.MajorMediaType.data(), GUID_ASF_BINARY_MEDIA));
    ASSERT_EQ(c.asfCodecListObject.dwCodecEntriesCount, 3u);
    EXPECT_EQ(c.asfCodecListObject.pCodecEntries[0].wCodecInformationLength, 4);
    EXPECT_EQ(std::memcmp(c.asfCodecListObject.pCodecEntries[0].pCodecInformation, "H264", 4), 0);
    EXPECT_EQ(std::memcmp(c.asfCodecListObject.pCodecEntries[2].pCodecInformation, "I420", 4), 0);
    ASSERT_EQ(c.asfHeaderExtensionMetaDataObject.wDescriptionRecordsCount, 4);
    const auto& ntsc = c.asfHeaderExtensionMetaDataObject.pDescriptionRecords[3];
    EXPECT_EQ(ntsc.wNameLength, 10);
    EXPECT_EQ(std::memcmp(ntsc.pUniName, "N\0T\0S\0C\0\0\0", 10), 0);
    EXPECT_EQ(ntsc.dwDataLength, 4u);
    const auto& ev = c.asfExtendedStreamPropertiesObjectVideo;
    EXPECT_EQ(ev.dwDataBitrate, 2000000u);
    EXPECT_EQ(ev.qwAverageTimePerFrame, 333333u);
    EXPECT_EQ(ev.qwEndTime, 2100u * 10000);
    EXPECT_EQ(ev.Flags.dwSeekableFlag, 1u);
    EXPECT_EQ(c.asfExtendedStreamPropertiesObjectAudio.qwStartTime, 0u);
    EXPECT_EQ(c.asfDataObject.qwTotalDataPackets, c.asfFilePropertiesObject.qwDataPacketsCount);
}

TEST(AsfDemuxPackets, SinglePayloadLengthComesFromTheFilePropertiesNotThePacketLength) {
    auto f = HeaderWithPackets(1);
    // Packet length present as a byte (and wrong), padding length byte 5.
    B p;
    p.u8(0x82).u8(0).u8(0).u8(0x20 | 0x08).u8(0x5D).u8(0x10).u8(5).u32(40).u16(0);
    p.u8(0x81).u8(9).u32(0).u8(8).u32(3167).u32(40);
    p.bytes(3167, 0xAB).bytes(5, 0);
    ASSERT_EQ(p.v.size(), 3200u);
    f.insert(f.end(), p.v.begin(), p.v.end());
    Reader r;
    size_t pos = SkipToPackets(r, f);
    uint32_t c = 0;
    ASSERT_EQ(r.Parse(f, pos, f.size() - pos, c), ASF_DEMUX_STATE_SKIPPED);
    EXPECT_EQ(c, 13u);
    pos += c;
    ASSERT_EQ(r.Parse(f, pos, f.size() - pos, c), ASF_DEMUX_STATE_VIDEO_DATA);
    const auto& pl = r.ctx->asfPayloadVideo;
    EXPECT_EQ(pl.dwPayloadSize, 3167u);
    EXPECT_EQ(pl.dwMediaObjectNumber, 9u);
    EXPECT_EQ(pl.dwPTS, 40u);
    EXPECT_EQ(pl.Info.bKeyFrameBit, 1);
    EXPECT_EQ(pl.pAddrInUserBuffer, f.data() + pos + 15);
    pos += c;
    ASSERT_EQ(r.Parse(f, pos, f.size() - pos, c), ASF_DEMUX_STATE_SKIPPED);  // padding
    EXPECT_EQ(c, 5u);
    pos += c;
    EXPECT_EQ(pos, f.size());
    EXPECT_EQ(r.Parse(f, pos, 0, c), ASF_DEMUX_STATE_NEED_MORE_DATA);
}

TEST(AsfDemuxPackets, OddReplicatedDataIsSkippedAndPayloadsOfOtherStreamsAreConsumed) {
    auto f = HeaderWithPackets(1);
    B p;
    p.u8(0x82).u8(0).u8(0).u8(0x01 | 0x08).u8(0x5D).u8(0).u32(7).u16(0).u8(0x80 | 2);
    p.u8(0x03).u8(1).u32(0).u8(3).bytes(3, 0xCC).u16(20).bytes(20, 0x33);  // 3 bytes of replicated data
    p.u8(0x05).u8(1).u32(0).u8(8).u32(10).u32(7).u16(10).bytes(10, 0x55);  // stream 5: not ours
    f.insert(f.end(), p.v.begin(), p.v.end());
    Reader r;
    size_t pos = SkipToPackets(r, f);
    uint32_t c = 0;
    ASSERT_EQ(r.Parse(f, pos, f.size() - pos, c), ASF_DEMUX_STATE_SKIPPED);
    pos += c;
    ASSERT_EQ(r.Parse(f, pos, f.size() - pos, c), ASF_DEMUX_STATE_BINARY_DATA);
    EXPECT_EQ(r.ctx->asfPayloadBinary.dwPayloadSize, 20u);
    EXPECT_EQ(r.ctx->asfPayloadBinary.dwFullSizeOfMediaObject, 0u);
    EXPECT_EQ(r.ctx->asfPayloadBinary.pAddrInUserBuffer[0], 0x33);
    EXPECT_EQ(c, 1 + 1 + 4 + 1 + 3 + 2 + 20u);
    pos += c;
    c = 0;
    EXPECT_EQ(r.Parse(f, pos, f.size() - pos, c), ASF_DEMUX_STATE_UNKNOWN);
    EXPECT_EQ(c, 15u + 2 + 10);  // consumed, and the packet is complete
    pos += c;
    EXPECT_EQ(r.Parse(f, pos, f.size() - pos, c), ASF_DEMUX_STATE_NEED_MORE_DATA);  // padding length 0, then objects
}

TEST(AsfDemuxPackets, DataObjectOfZeroPacketsEndsTheDataAfterOnePacket) {
    auto f = asftest::WriteAll({{ASF_MUX_DATA_TYPE_VIDEO, false, 0, Pattern(5000, 1)}});
    for (int i = 0; i < 8; ++i) f[1034 + 40 + i] = 0;  // total data packets 0
    Reader r;
    size_t pos = SkipToPackets(r, f);
    uint32_t c = 0;
    ASSERT_EQ(r.Parse(f, pos, f.size() - pos, c), ASF_DEMUX_STATE_SKIPPED);
    pos += c;
    ASSERT_EQ(r.Parse(f, pos, f.size() - pos, c), ASF_DEMUX_STATE_VIDEO_DATA);
    EXPECT_EQ(r.ctx->asfPayloadVideo.dwPayloadSize, 3174u);
    pos += c;
    // The second packet is now read as an object: its bytes are no GUID we know.
    uint32_t untouched = 0xABCD;
    EXPECT_EQ(r.Parse(f, pos, f.size() - pos, untouched), ASF_DEMUX_STATE_UNKNOWN);
    EXPECT_EQ(untouched, 0xABCDu);
}

TEST(AsfDemuxObjects, UnknownGuidConsumesNothingEveryTime) {
    B o;
    o.bytes(16, 0x42).u64(40).bytes(16, 0);
    Reader r;
    for (int i = 0; i < 3; ++i) {
        uint32_t c = 99;
        EXPECT_EQ(r.Parse(o.v, c), ASF_DEMUX_STATE_UNKNOWN);
        EXPECT_EQ(c, 99u);
    }
    uint32_t c = 99;
    EXPECT_EQ(r.Parse(o.v, 0, 23, c), ASF_DEMUX_STATE_NEED_MORE_DATA);  // fewer than 24 bytes
}

TEST(AsfDemuxObjects, HeaderExtensionWaitsForItsDataButConsumesOnlyItsFixedPart) {
    B empty;
    empty.guid(GUID_ASF_Header_Extension_Object).u64(46).guid(diviv::asf::kReservedField1).u16(6).u32(0);
    Reader r;
    uint32_t c = 0;
    EXPECT_EQ(r.Parse(empty.v, c), ASF_DEMUX_STATE_HEADER_EXTENSION_OBJECT);
    EXPECT_EQ(c, 46u);

    B withData;
    withData.guid(GUID_ASF_Header_Extension_Object).u64(146).guid(diviv::asf::kReservedField1).u16(6).u32(100);
    withData.bytes(100, 0);
    c = 5;
    EXPECT_EQ(r.Parse(withData.v, 0, 145, c), ASF_DEMUX_STATE_NEED_MORE_DATA);
    EXPECT_EQ(c, 5u);
    EXPECT_EQ(r.Parse(withData.v, c), ASF_DEMUX_STATE_HEADER_EXTENSION_OBJECT);
    EXPECT_EQ(c, 46u);
    EXPECT_EQ(r.ctx->asfHeaderExtensionObject.dwHeaderExtensionDataSize, 100u);
}

B Metadata(const std::vector<std::pair<std::string, uint32_t>>& records) {
    B body;
    body.u16(records.size());
    for (auto& [name, len] : records) {
        body.u16(0).u16(1).u16(name.size()).u16(0).u32(len);
        body.v.insert(body.v.end(), name.begin(), name.end());
        body.bytes(len, 0x11);
    }
    B o;
    o.guid(GUID_ASF_Metadata_Object).u64(24 + body.v.size());
    o.v.insert(o.v.end(), body.v.begin(), body.v.end());
    return o;
}

TEST(AsfDemuxObjects, RepeatedObjectsReplaceWhatTheyHeldWithoutLosingBlocks) {
    Reader r;  // its destructor checks that every block came back
    uint32_t c = 0;
    ASSERT_EQ(r.Parse(Metadata({{"ab", 3}, {"cdef", 0}, {"g", 9}}).v, c),
              ASF_DEMUX_STATE_HEADER_EXTENSION_METADATA_OBJECT);
    ASSERT_EQ(r.Parse(Metadata({{"xyz", 2}}).v, c), ASF_DEMUX_STATE_HEADER_EXTENSION_METADATA_OBJECT);
    ASSERT_EQ(r.ctx->asfHeaderExtensionMetaDataObject.wDescriptionRecordsCount, 1);
    EXPECT_EQ(std::memcmp(r.ctx->asfHeaderExtensionMetaDataObject.pDescriptionRecords[0].pUniName, "xyz", 3), 0);

    // The whole header twice: codec list, stream blocks and extended
    // properties are replaced, not piled up.
    const auto f = asftest::WriteAll({});
    for (int round = 0; round < 2; ++round) {
        size_t pos = 0;
        ASF_DEMUX_STATE st;
        while ((st = r.Parse(f, pos, f.size() - pos, c)) != ASF_DEMUX_STATE_DATA_OBJECT) {
            ASSERT_NE(st, ASF_DEMUX_STATE_NEED_MORE_DATA);
            ASSERT_NE(st, ASF_DEMUX_STATE_UNKNOWN);
            ASSERT_GT(c, 0u);
            pos += c;
        }
        // Back to objects for the second round (the parse phase is the
        // first word of the private state).
        *static_cast<int32_t*>(r.ctx->pPrivateContext) = 0;
    }
    EXPECT_EQ(r.ctx->asfCodecListObject.dwCodecEntriesCount, 3u);
}

TEST(AsfDemuxObjects, FailedAllocationEndsTheCallAndARetryWorks) {
    const auto f = asftest::WriteAll({});
    // The codec list is at 950 and asks for its array and one block per name
    // and information: fail each of them in turn.
    const std::vector<uint8_t> cl(f.begin() + 950, f.begin() + 1034);
    for (int fail = 0; fail < 7; ++fail) {
        Reader r;
        asftest::Heap().failAt = asftest::Heap().requests + fail;
        uint32_t c = 77;
        EXPECT_EQ(r.Parse(cl, c), ASF_DEMUX_STATE_UNKNOWN) << fail;
        EXPECT_EQ(c, 77u);
        asftest::Heap().failAt = -1;
        EXPECT_EQ(r.Parse(cl, c), ASF_DEMUX_STATE_CODEC_LIST_OBJECT);
        EXPECT_EQ(c, 84u);
    }
    // Context creation itself.
    for (int fail = 0; fail < 2; ++fail) {
        asftest::Heap() = {};
        asftest::Heap().failAt = fail;
        EXPECT_EQ(ASF_Demux_Create(asftest::CountingDemuxMalloc, asftest::CountingFree), nullptr);
        EXPECT_EQ(asftest::Heap().outstanding, 0);
    }
}

TEST(AsfDemuxObjects, EmptySimpleIndexReadsNoEntry) {
    B idx;
    idx.guid(GUID_ASF_Simple_Index_Object).u64(56).bytes(16, 0).u64(10000000).u32(1).u32(0);
    B again = idx;
    idx.v.insert(idx.v.end(), again.v.begin(), again.v.end());
    Reader r;
    uint32_t c = 0;
    ASSERT_EQ(r.Parse(idx.v, c), ASF_DEMUX_STATE_SIMPLE_INDEX_OBJECT);
    EXPECT_EQ(c, 56u);
    // The next bytes are an object again, not an entry.
    EXPECT_EQ(r.Parse(idx.v, 56, 56, c), ASF_DEMUX_STATE_SIMPLE_INDEX_OBJECT);
}

TEST(AsfDemuxHostile, SizeFieldsDoNotDriveAllocationsOrReads) {
    Reader r;
    uint32_t c = 0;
    // A codec list claiming 4 billion entries inside a 48-byte object.
    B cl;
    cl.guid(GUID_ASF_Codec_List_Object).u64(48).bytes(16, 0).u32(0xFFFFFFFF).u32(0);
    EXPECT_EQ(r.Parse(cl.v, c), ASF_DEMUX_STATE_NEED_MORE_DATA);
    // Metadata with 65535 records in 26 bytes; extended properties with
    // 65535 names.
    B md;
    md.guid(GUID_ASF_Metadata_Object).u64(26).u16(0xFFFF);
    EXPECT_EQ(r.Parse(md.v, c), ASF_DEMUX_STATE_NEED_MORE_DATA);
    B esp;
    esp.guid(GUID_ASF_Extended_Stream_Properties_Object).u64(88).bytes(48, 0).u16(1).u16(0).u64(0).u16(0xFFFF).u16(0xFFFF);
    EXPECT_EQ(r.Parse(esp.v, c), ASF_DEMUX_STATE_NEED_MORE_DATA);
    // Objects whose declared size cannot be buffered: a size beyond what a
    // 32-bit buffer holds is damaged at once instead of asking for more data
    // for ever; the header extension's 32-bit data size may still come.
    B huge;
    huge.guid(GUID_ASF_Codec_List_Object).u64(~0ull).bytes(100, 0);
    c = 1234;
    EXPECT_EQ(r.Parse(huge.v, c), ASF_DEMUX_STATE_UNKNOWN);
    EXPECT_EQ(c, 1234u);
    B hext;
    hext.guid(GUID_ASF_Header_Extension_Object).u64(46).bytes(16, 0).u16(6).u32(0xFFFFFFFF);
    EXPECT_EQ(r.Parse(hext.v, c), ASF_DEMUX_STATE_NEED_MORE_DATA);
    EXPECT_LT(asftest::Heap().largest, 4096u);

    // A video format size under its own 40-byte header carries no codec data.
    B sp;
    sp.guid(GUID_ASF_Stream_Properties_Object).u64(129).guid(GUID_ASF_VIDEO_MEDIA).bytes(16, 0).u64(0).u32(51).u32(0);
    sp.u16(1).u32(0).u32(640).u32(480).u8(2).u16(40).u32(3).bytes(36, 0);
    EXPECT_EQ(r.Parse(sp.v, c), ASF_DEMUX_STATE_STREAM_PROPERTIES_OBJECT_VIDEO);
    EXPECT_EQ(c, 129u);
    EXPECT_EQ(r.ctx->asfStreamPropertiesObjectVideo.typeSpecificData.fd_pCodecSpecificData, nullptr);
    // An unknown stream type is skipped by its declared size once all of it is there.
    B other;
    other.guid(GUID_ASF_Stream_Properties_Object).u64(100).bytes(16, 0x99).bytes(60, 0);
    EXPECT_EQ(r.Parse(other.v, 0, 99, c), ASF_DEMUX_STATE_NEED_MORE_DATA);
    c = 0;
    EXPECT_EQ(r.Parse(other.v, c), ASF_DEMUX_STATE_UNKNOWN);
    EXPECT_EQ(c, 100u);
}

// An object of `size` declared bytes with `type` in the place of a stream
// type, padded to 200 bytes.
std::vector<uint8_t> SizedObject(const ASF_DEMUXER_GUID& guid, uint64_t size, uint8_t fill = 0x99) {
    B o;
    o.guid(guid).u64(size).bytes(16, fill).bytes(160, 0);
    return o.v;
}

TEST(AsfDemuxHostile, ObjectsSmallerThanTheirHeaderOrLargerThanABufferAreDamaged) {
    // An unknown stream type is skipped by its declared size: a size that
    // does not cover the header and the type read to recognise it would move
    // the caller by nothing (0) or into the object's own fields.
    for (uint64_t size : {0ull, 1ull, 23ull, 24ull, 39ull, (1ull << 32) + 40, ~0ull}) {
        Reader r;
        uint32_t c = 1234;
        EXPECT_EQ(r.Parse(SizedObject(GUID_ASF_Stream_Properties_Object, size), c), ASF_DEMUX_STATE_UNKNOWN) << size;
        EXPECT_EQ(c, 1234u) << "a damaged object of size " << size << " was consumed";
    }
    {
        Reader r;
        uint32_t c = 0;
        EXPECT_EQ(r.Parse(SizedObject(GUID_ASF_Stream_Properties_Object, 40), c), ASF_DEMUX_STATE_UNKNOWN);
        EXPECT_EQ(c, 40u);
        // Beyond the bytes buffered (the end of the file is the caller's to know).
        c = 1234;
        EXPECT_EQ(r.Parse(SizedObject(GUID_ASF_Stream_Properties_Object, 201), c), ASF_DEMUX_STATE_NEED_MORE_DATA);
        EXPECT_EQ(c, 1234u);
    }
    // The rules that read an object whole trust its size likewise.
    for (const ASF_DEMUXER_GUID& g :
         {GUID_ASF_Codec_List_Object, GUID_ASF_Metadata_Object, GUID_ASF_Extended_Stream_Properties_Object}) {
        for (uint64_t size : {0ull, 1ull, 23ull, (1ull << 32) + 24}) {
            Reader r;
            uint32_t c = 1234;
            EXPECT_EQ(r.Parse(SizedObject(g, size, 0), c), ASF_DEMUX_STATE_UNKNOWN) << size;
            EXPECT_EQ(c, 1234u);
        }
    }
    // Objects read field by field ignore their size: an unfinished
    // recording's Data Object declares 0 and its packets still play.
    const auto f = HeaderWithPackets(1);
    auto unfinished = f;
    for (int i = 0; i < 8; ++i) unfinished[1034 + 16 + i] = 0;
    Reader r;
    EXPECT_EQ(SkipToPackets(r, unfinished), f.size());
}

TEST(AsfDemuxHostile, PacketFieldsThatDoNotAddUpAreRefused) {
    {
        auto f = HeaderWithPackets(1);
        for (int i = 0; i < 4; ++i) f[30 + 96 + i] = i == 0 ? 20 : 0;  // maximum packet size 20
        B p;
        p.u8(0x82).u8(0).u8(0).u8(0).u8(0x5D).u32(0).u16(0).u8(0x81).u8(0).u32(0).u8(8).u32(1).u32(0).u8(1);
        f.insert(f.end(), p.v.begin(), p.v.end());
        Reader r;
        size_t pos = SkipToPackets(r, f);
        uint32_t c = 0;
        ASSERT_EQ(r.Parse(f, pos, f.size() - pos, c), ASF_DEMUX_STATE_SKIPPED);
        pos += c;
        c = 1234;
        EXPECT_EQ(r.Parse(f, pos, f.size() - pos, c), ASF_DEMUX_STATE_UNKNOWN);  // 20 - 11 - 15 < 0
        EXPECT_EQ(c, 1234u);
    }
    {
        // A packet that does not start 82 00.
        auto g = HeaderWithPackets(1);
        g.insert(g.end(), {0x81, 0, 0});
        Reader r;
        size_t pos = SkipToPackets(r, g);
        uint32_t c = 1234;
        EXPECT_EQ(r.Parse(g, pos, g.size() - pos, c), ASF_DEMUX_STATE_UNKNOWN);
        EXPECT_EQ(c, 1234u);
    }
}

}  // namespace
