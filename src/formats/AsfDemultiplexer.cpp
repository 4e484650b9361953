// ASF reader. Every field is read through a bounds-checked cursor over the
// caller's buffer; a unit whose bytes are not all there yields
// NEED_MORE_DATA. Variable header data is parsed into a temporary record and
// committed only when the whole unit was read, so a repeated call never leaks
// or half-replaces what an earlier call stored.
#include "formats/AsfDemultiplexer.h"

#include <cstdlib>
#include <cstring>
#include <memory>

namespace {

using diviv::asf::GuidEquals;

// Parse phases.
enum Phase : int32_t {
    kObjects = 0,       // header objects
    kPacketHeader = 1,  // next data packet's header
    kPayload = 2,       // next payload of the current packet
    kPadding = 3,       // padding at the end of the current packet
    kTrailing = 4,      // objects after the data packets
    kIndexEntries = 5,  // simple index entries
};

struct DemuxPrivate {
    int32_t phase;
    uint64_t packetsDone;
    uint8_t lengthTypeFlags;  // bit 0 multiple payloads, 1-2 sequence, 3-4 padding, 5-6 packet length
    uint8_t propertyFlags;    // 0-1 replicated length, 2-3 offset, 4-5 object number, 6-7 stream number
    uint32_t packetLength, sequence, paddingLength, sendTime;
    uint16_t duration;
    uint32_t packetHeaderLength;
    uint32_t payloadsTaken;
    uint8_t payloadFlags;  // 0-5 number of payloads, 6-7 payload length type
    uint32_t indexEntriesRead;
};

// Little-endian reads inside [0, size); a read past the end clears `ok`
// and returns 0.
struct Cursor {
    const uint8_t* p;
    uint32_t size;
    uint32_t pos = 0;
    bool ok = true;

    bool Has(uint64_t n) const { return ok && n <= uint64_t{size} - pos; }
    uint64_t Read(int bytes) {
        if (!Has(bytes)) {
            ok = false;
            return 0;
        }
        uint64_t v = 0;
        for (int i = 0; i < bytes; ++i) v |= uint64_t{p[pos + i]} << (8 * i);
        pos += bytes;
        return v;
    }
    uint8_t U8() { return static_cast<uint8_t>(Read(1)); }
    uint16_t U16() { return static_cast<uint16_t>(Read(2)); }
    uint32_t U32() { return static_cast<uint32_t>(Read(4)); }
    uint64_t U64() { return Read(8); }
    // A field whose width is given by a two-bit length type.
    uint32_t ByType(int type) { return type == 0 ? 0 : type == 1 ? U8() : type == 2 ? U16() : U32(); }
    void Guid(ASF_DEMUXER_GUID& g) {
        if (!Has(16)) {
            ok = false;
            return;
        }
        std::memcpy(g.data(), p + pos, 16);
        pos += 16;
    }
    void Skip(uint64_t n) {
        if (!Has(n)) {
            ok = false;
            return;
        }
        pos += static_cast<uint32_t>(n);
    }
    const uint8_t* Here() const { return p + pos; }
};

// Memory requests through the caller's callbacks.
struct Blocks {
    ASF_DEMUX_CONTEXT* ctx;
    bool failed = false;

    // A block of n bytes; n == 0 may yield null without counting as a failure.
    void* Get(size_t n, ASF_DEMUX_MALLOC_REASON why) {
        void* p = nullptr;
        ctx->pCallbackMalloc(&p, n, why);
        if (p == nullptr && n != 0) failed = true;
        return p;
    }
    // A zero-filled array of count records.
    template <typename T>
    T* Array(size_t count, ASF_DEMUX_MALLOC_REASON why) {
        if (count == 0) return nullptr;
        auto* p = static_cast<T*>(Get(count * sizeof(T), why));
        if (p) std::memset(static_cast<void*>(p), 0, count * sizeof(T));
        return p;
    }
    // A copy of n bytes at the cursor (already checked to be there).
    uint8_t* Copy(Cursor& c, size_t n, ASF_DEMUX_MALLOC_REASON why) {
        auto* p = static_cast<uint8_t*>(Get(n, why));
        if (p && n) std::memcpy(p, c.Here(), n);
        c.Skip(n);
        return p;
    }
    void Free(void* p) {
        if (p) ctx->pCallbackFree(p);
    }
};

DemuxPrivate& Priv(ASF_DEMUX_CONTEXT* ctx) { return *static_cast<DemuxPrivate*>(ctx->pPrivateContext); }

// ---- releasing records ----------------------------------------------------------

void FreeEsp(Blocks& b, STRUCT_ASF_DEMUXER_EXTENDED_STREAM_PROPERTIES_OBJECT& e) {
    if (e.pStreamNames)
        for (uint32_t i = 0; i < e.wStreamNameCount; ++i) b.Free(e.pStreamNames[i].pUniStreamName);
    b.Free(e.pStreamNames);
    if (e.pPayloadExtensionSystems)
        for (uint32_t i = 0; i < e.wPayloadExtensionSystemCount; ++i)
            b.Free(e.pPayloadExtensionSystems[i].pExtensionSystemInfo);
    b.Free(e.pPayloadExtensionSystems);
    e.pStreamNames = nullptr;
    e.pPayloadExtensionSystems = nullptr;
}

void FreeMetadata(Blocks& b, STRUCT_ASF_DEMUXER_METADATA_OBJECT& md) {
    if (md.pDescriptionRecords)
        for (uint32_t i = 0; i < md.wDescriptionRecordsCount; ++i) {
            b.Free(md.pDescriptionRecords[i].pUniName);
            b.Free(md.pDescriptionRecords[i].pData);
        }
    b.Free(md.pDescriptionRecords);
    md.pDescriptionRecords = nullptr;
}

void FreeCodecList(Blocks& b, STRUCT_ASF_DEMUXER_CODEC_LIST_OBJECT& cl) {
    if (cl.pCodecEntries)
        for (uint32_t i = 0; i < cl.dwCodecEntriesCount; ++i) {
            b.Free(cl.pCodecEntries[i].pUniCodecName);
            b.Free(cl.pCodecEntries[i].pUniCodecDescription);
            b.Free(cl.pCodecEntries[i].pCodecInformation);
        }
    b.Free(cl.pCodecEntries);
    cl.pCodecEntries = nullptr;
}

// ---- header objects ---------------------------------------------------------------

// Parse results of a rule: the state, or NEED_MORE_DATA / UNKNOWN with nothing consumed.
struct Outcome {
    ASF_DEMUX_STATE state;
    uint32_t consumed;  // meaningful unless the state consumed nothing
    bool consumes;
};
Outcome Done(ASF_DEMUX_STATE s, uint32_t n) { return {s, n, true}; }
Outcome NeedMore() { return {ASF_DEMUX_STATE_NEED_MORE_DATA, 0, false}; }
Outcome Refused() { return {ASF_DEMUX_STATE_UNKNOWN, 0, false}; }

void ReadStreamHead(Cursor& c, ASF_DEMUXER_GUID& ecType, uint64_t& timeOffset, uint32_t& tsLen, uint32_t& ecLen,
                    STRUCT_ASF_DEMUXER_STREAM_FLAGS& flags, uint32_t& reserved) {
    c.Guid(ecType);
    timeOffset = c.U64();
    tsLen = c.U32();
    ecLen = c.U32();
    const uint16_t f = c.U16();
    flags.StreamNumber = f & 0x7F;
    flags.Reserved = (f >> 7) & 0xFF;
    flags.EncryptionContentFlag = f >> 15;
    reserved = c.U32();
}

// Copies the two variable blocks of a stream properties object into their
// slots, releasing what the slots held.
bool StoreBlocks(Blocks& b, Cursor& c, uint64_t dataLen, uint8_t*& dataSlot, uint32_t ecLen, uint8_t*& ecSlot,
                 ASF_DEMUX_MALLOC_REASON why) {
    uint8_t* data = dataLen ? b.Copy(c, dataLen, why) : nullptr;
    uint8_t* ec = ecLen ? b.Copy(c, ecLen, why) : nullptr;
    if (b.failed) {
        b.Free(data);
        b.Free(ec);
        return false;
    }
    b.Free(dataSlot);
    dataSlot = data;
    b.Free(ecSlot);
    ecSlot = ec;
    return true;
}

template <typename Record>
bool ReadHead(Cursor& c, const ASF_DEMUXER_GUID& type, Record& r) {
    r.StreamType = type;
    ReadStreamHead(c, r.ErrorCorrectionType, r.qwTimeOffset, r.dwTypeSpecificDataLength,
                   r.dwErrorCorrectionDataLength, r.Flags, r.Reserved);
    return c.ok && c.Has(r.dwTypeSpecificDataLength);
}

Outcome ParseStreamProperties(ASF_DEMUX_CONTEXT* ctx, Cursor& c, uint64_t objSize) {
    ASF_DEMUXER_GUID type;
    c.Guid(type);
    if (!c.ok) return NeedMore();
    Blocks b{ctx};
    const bool video = GuidEquals(type.data(), GUID_ASF_VIDEO_MEDIA);
    const bool audio = GuidEquals(type.data(), GUID_ASF_AUDIO_MEDIA);
    const bool binary = GuidEquals(type.data(), GUID_ASF_BINARY_MEDIA);
    if (!video && !audio && !binary) {
        // Skipped by its declared size, which must at least cover the header
        // and the stream type just read: a smaller size would move the caller
        // by nothing (a caller looping on it never ends) or into the object's
        // own fields.
        if (objSize < c.pos || objSize > UINT32_MAX) return Refused();  // damaged
        if (objSize > c.size) return NeedMore();
        return Done(ASF_DEMUX_STATE_UNKNOWN, static_cast<uint32_t>(objSize));
    }
    if (video) {
        STRUCT_ASF_DEMUXER_STREAM_PROPERTIES_OBJECT_VIDEO r = ctx->asfStreamPropertiesObjectVideo;
        if (!ReadHead(c, type, r)) return NeedMore();
        auto& t = r.typeSpecificData;
        t.dwEncodedImageWidth = c.U32();
        t.dwEncodedImageHeight = c.U32();
        t.bReservedFlags = c.U8();
        t.wFormatDataSize = c.U16();
        t.fd_dwFormatDataSize = c.U32();
        t.fd_lImageWidth = static_cast<int32_t>(c.U32());
        t.fd_lImageHeight = static_cast<int32_t>(c.U32());
        t.fd_wReserved = c.U16();
        t.fd_wBitsPerPixelCount = c.U16();
        t.fd_dwCompressionID = c.U32();
        t.fd_dwImageSize = c.U32();
        t.fd_HorizontalPixelsPerMeter = static_cast<int32_t>(c.U32());
        t.fd_VerticalPixelsPerMeter = static_cast<int32_t>(c.U32());
        t.fd_dwColorUsedCount = c.U32();
        t.fd_dwImportantColorsCount = c.U32();
        // A format size under the 40-byte bitmap header carries no codec data.
        const uint64_t codecLen = t.fd_dwFormatDataSize > 40 ? t.fd_dwFormatDataSize - 40 : 0;
        if (!c.ok || !c.Has(codecLen + r.dwErrorCorrectionDataLength)) return NeedMore();
        if (!StoreBlocks(b, c, codecLen, t.fd_pCodecSpecificData, r.dwErrorCorrectionDataLength,
                         r.pErrorCorrectionData, ASF_DEMUX_MALLOC_REASON_STREAM_PROPERTIES_VIDEO_SPECIFIC_DATA))
            return Refused();
        ctx->asfStreamPropertiesObjectVideo = r;
        return Done(ASF_DEMUX_STATE_STREAM_PROPERTIES_OBJECT_VIDEO, c.pos);
    }
    if (audio) {
        STRUCT_ASF_DEMUXER_STREAM_PROPERTIES_OBJECT_AUDIO r = ctx->asfStreamPropertiesObjectAudio;
        if (!ReadHead(c, type, r)) return NeedMore();
        auto& t = r.typeSpecificData;
        t.wCodecID = c.U16();
        t.wNumberOfChannels = c.U16();
        t.dwSamplesPerSecond = c.U32();
        t.dwAverageNumberOfBytesPerSecond = c.U32();
        t.wBlockAlignment = c.U16();
        t.wBitsPerSample = c.U16();
        t.wCodecSpecificDataSize = c.U16();
        if (!c.ok || !c.Has(uint64_t{t.wCodecSpecificDataSize} + r.dwErrorCorrectionDataLength)) return NeedMore();
        if (!StoreBlocks(b, c, t.wCodecSpecificDataSize, t.pCodecSpecificData, r.dwErrorCorrectionDataLength,
                         r.pErrorCorrectionData, ASF_DEMUX_MALLOC_REASON_STREAM_PROPERTIES_AUDIO_SPECIFIC_DATA))
            return Refused();
        ctx->asfStreamPropertiesObjectAudio = r;
        return Done(ASF_DEMUX_STATE_STREAM_PROPERTIES_OBJECT_AUDIO, c.pos);
    }
    STRUCT_ASF_DEMUXER_STREAM_PROPERTIES_OBJECT_BINARY r = ctx->asfStreamPropertiesObjectBinary;
    if (!ReadHead(c, type, r)) return NeedMore();
    auto& t = r.typeSpecificData;
    c.Guid(t.MajorMediaType);
    c.Guid(t.MediaSubtype);
    t.dwFixedSizeSamples = c.U32();
    t.dwTemporalCompression = c.U32();
    t.dwSampleSize = c.U32();
    c.Guid(t.FormatType);
    t.dwFormatDataSize = c.U32();
    if (!c.ok || !c.Has(uint64_t{t.dwFormatDataSize} + r.dwErrorCorrectionDataLength)) return NeedMore();
    if (!StoreBlocks(b, c, t.dwFormatDataSize, t.pFormatData, r.dwErrorCorrectionDataLength, r.pErrorCorrectionData,
                     ASF_DEMUX_MALLOC_REASON_STREAM_PROPERTIES_BINARY_SPECIFIC_DATA))
        return Refused();
    ctx->asfStreamPropertiesObjectBinary = r;
    return Done(ASF_DEMUX_STATE_STREAM_PROPERTIES_OBJECT_BINARY, c.pos);
}

Outcome ParseCodecList(ASF_DEMUX_CONTEXT* ctx, Cursor& c) {
    constexpr auto why = ASF_DEMUX_MALLOC_REASON_CODEC_LIST_OBJECT;
    STRUCT_ASF_DEMUXER_CODEC_LIST_OBJECT cl{};
    c.Guid(cl.Reserved);
    cl.dwCodecEntriesCount = c.U32();
    // Every entry takes at least 8 bytes: a count the buffer cannot hold is
    // not complete yet, and no array is requested for it.
    if (!c.ok || !c.Has(uint64_t{cl.dwCodecEntriesCount} * 8)) return NeedMore();
    Blocks b{ctx};
    cl.pCodecEntries = b.Array<STRUCT_ASF_DEMUXER_CLO_CODEC_ENTRY>(cl.dwCodecEntriesCount, why);
    bool complete = !b.failed;
    for (uint32_t i = 0; complete && i < cl.dwCodecEntriesCount; ++i) {
        auto& e = cl.pCodecEntries[i];
        e.wType = c.U16();
        e.wCodecNameLength = c.U16();
        if (!c.Has(2ull * e.wCodecNameLength)) { complete = false; break; }
        if (e.wCodecNameLength) {
            e.pUniCodecName = static_cast<uint16_t*>(b.Get(2ull * e.wCodecNameLength, why));
            for (uint32_t k = 0; k < e.wCodecNameLength; ++k) {
                const uint16_t ch = c.U16();
                if (e.pUniCodecName) e.pUniCodecName[k] = ch;
            }
        }
        e.wCodecDescriptionLength = c.U16();
        if (!c.Has(2ull * e.wCodecDescriptionLength)) { complete = false; break; }
        if (e.wCodecDescriptionLength) {
            e.pUniCodecDescription = static_cast<uint16_t*>(b.Get(2ull * e.wCodecDescriptionLength, why));
            for (uint32_t k = 0; k < e.wCodecDescriptionLength; ++k) {
                const uint16_t ch = c.U16();
                if (e.pUniCodecDescription) e.pUniCodecDescription[k] = ch;
            }
        }
        e.wCodecInformationLength = c.U16();
        if (!c.Has(e.wCodecInformationLength)) { complete = false; break; }
        if (e.wCodecInformationLength) e.pCodecInformation = b.Copy(c, e.wCodecInformationLength, why);
        complete = c.ok && !b.failed;
    }
    if (!complete || b.failed) {
        const bool failed = b.failed;
        FreeCodecList(b, cl);
        return failed ? Refused() : NeedMore();
    }
    FreeCodecList(b, ctx->asfCodecListObject);
    ctx->asfCodecListObject = cl;
    return Done(ASF_DEMUX_STATE_CODEC_LIST_OBJECT, c.pos);
}

Outcome ParseMetadata(ASF_DEMUX_CONTEXT* ctx, Cursor& c) {
    constexpr auto why = ASF_DEMUX_MALLOC_REASON_HEADER_EXTENSION_OBJECT_DATA;
    STRUCT_ASF_DEMUXER_METADATA_OBJECT md{};
    md.wDescriptionRecordsCount = c.U16();
    if (!c.ok || !c.Has(uint64_t{md.wDescriptionRecordsCount} * 12)) return NeedMore();
    Blocks b{ctx};
    md.pDescriptionRecords = b.Array<STRUCT_ASF_DEMUXER_METADATA_DESCRIPTION_RECORD>(md.wDescriptionRecordsCount, why);
    bool complete = !b.failed;
    for (uint32_t i = 0; complete && i < md.wDescriptionRecordsCount; ++i) {
        auto& r = md.pDescriptionRecords[i];
        c.U16();  // reserved
        r.wStreamNumber = c.U16();
        r.wNameLength = c.U16();
        r.wDataType = c.U16();
        r.dwDataLength = c.U32();
        if (!c.ok || !c.Has(uint64_t{r.wNameLength} + r.dwDataLength)) { complete = false; break; }
        r.pUniName = b.Copy(c, r.wNameLength, why);
        r.pData = b.Copy(c, r.dwDataLength, why);
        complete = !b.failed;
    }
    if (!complete) {
        const bool failed = b.failed;
        FreeMetadata(b, md);
        return failed ? Refused() : NeedMore();
    }
    FreeMetadata(b, ctx->asfHeaderExtensionMetaDataObject);
    ctx->asfHeaderExtensionMetaDataObject = md;
    return Done(ASF_DEMUX_STATE_HEADER_EXTENSION_METADATA_OBJECT, c.pos);
}

Outcome ParseExtendedStreamProperties(ASF_DEMUX_CONTEXT* ctx, Cursor& c) {
    constexpr auto why = ASF_DEMUX_MALLOC_REASON_HEADER_EXTENSION_OBJECT_DATA;
    STRUCT_ASF_DEMUXER_EXTENDED_STREAM_PROPERTIES_OBJECT e{};
    e.qwStartTime = c.U64();
    e.qwEndTime = c.U64();
    e.dwDataBitrate = c.U32();
    e.dwBufferSize = c.U32();
    e.dwInitialBufferFullness = c.U32();
    e.dwAlternateDataBitrate = c.U32();
    e.dwAlternateBufferSize = c.U32();
    e.dwAlternateInitialBufferFullness = c.U32();
    e.dwMaximumObjectSize = c.U32();
    const uint32_t flags = c.U32();
    e.Flags.dwReliableFlag = flags & 1;
    e.Flags.dwSeekableFlag = (flags >> 1) & 1;
    e.Flags.dwNoCleanpointsFlag = (flags >> 2) & 1;
    e.Flags.dwResendLiveCleanpointsFlag = (flags >> 3) & 1;
    e.Flags.dwReservedFlags = flags >> 4;
    e.wStreamNumber = c.U16();
    e.wStreamLanguageIDIndex = c.U16();
    e.qwAverageTimePerFrame = c.U64();
    e.wStreamNameCount = c.U16();
    e.wPayloadExtensionSystemCount = c.U16();
    if (!c.ok || !c.Has(uint64_t{e.wStreamNameCount} * 4)) return NeedMore();

    Blocks b{ctx};
    bool complete = true;
    e.pStreamNames = b.Array<STRUCT_ASF_DEMUXER_STREAM_NAMES>(e.wStreamNameCount, why);
    complete = !b.failed;
    for (uint32_t i = 0; complete && i < e.wStreamNameCount; ++i) {
        auto& n = e.pStreamNames[i];
        n.wLanguageIDIndex = c.U16();
        n.wStreamNameLength = c.U16();
        if (!c.ok || !c.Has(n.wStreamNameLength)) { complete = false; break; }
        n.pUniStreamName = n.wStreamNameLength ? b.Copy(c, n.wStreamNameLength, why) : nullptr;
        complete = !b.failed;
    }
    if (complete && !c.Has(uint64_t{e.wPayloadExtensionSystemCount} * 22)) complete = false;
    if (complete) {
        e.pPayloadExtensionSystems =
            b.Array<STRUCT_ASF_DEMUXER_PAYLOAD_EXTENSION_SYSTEMS>(e.wPayloadExtensionSystemCount, why);
        complete = !b.failed;
    }
    for (uint32_t i = 0; complete && i < e.wPayloadExtensionSystemCount; ++i) {
        auto& s = e.pPayloadExtensionSystems[i];
        c.Guid(s.ExtensionSystemID);
        s.wExtensionDataSize = c.U16();
        s.dwExtensionSystemInfoLength = c.U32();
        if (!c.ok || !c.Has(s.dwExtensionSystemInfoLength)) { complete = false; break; }
        s.pExtensionSystemInfo =
            s.dwExtensionSystemInfoLength ? b.Copy(c, s.dwExtensionSystemInfoLength, why) : nullptr;
        complete = !b.failed;
    }
    STRUCT_ASF_DEMUXER_EXTENDED_STREAM_PROPERTIES_OBJECT* slot =
        e.wStreamNumber == 1   ? &ctx->asfExtendedStreamPropertiesObjectVideo
        : e.wStreamNumber == 2 ? &ctx->asfExtendedStreamPropertiesObjectAudio
        : e.wStreamNumber == 3 ? &ctx->asfExtendedStreamPropertiesObjectBinary
                               : nullptr;
    if (!complete || slot == nullptr) {
        const bool failed = b.failed;
        FreeEsp(b, e);
        if (failed) return Refused();
        return complete ? Refused() : NeedMore();  // a stream other than 1-3 is not kept
    }
    FreeEsp(b, *slot);
    *slot = e;
    const ASF_DEMUX_STATE state = e.wStreamNumber == 1   ? ASF_DEMUX_STATE_HEADER_EXTENSION_STREAM_PROPERTIES_OBJECT_VIDEO
                                  : e.wStreamNumber == 2 ? ASF_DEMUX_STATE_HEADER_EXTENSION_STREAM_PROPERTIES_OBJECT_AUDIO
                                                         : ASF_DEMUX_STATE_HEADER_EXTENSION_STREAM_PROPERTIES_OBJECT_BINARY;
    return Done(state, c.pos);
}

Outcome ParseObject(ASF_DEMUX_CONTEXT* ctx, const uint8_t* buf, uint32_t size) {
    if (size < 24) return NeedMore();
    Cursor c{buf, size};
    ASF_DEMUXER_GUID guid;
    c.Guid(guid);
    const uint64_t objSize = c.U64();
    // "Whole object": everything the object size declares after its 24-byte
    // head is buffered. The rules that read an object whole trust its size, so
    // there a size under the head itself, or one that no buffer (sizes are
    // 32-bit) can ever hold, is a damaged file: waiting for more data would
    // wait for ever. Objects read field by field do not use their size (an
    // unfinished recording's Data Object declares 0).
    const bool damaged = objSize < 24 || objSize > UINT32_MAX;
    const bool whole = !damaged && objSize <= size;
    DemuxPrivate& pv = Priv(ctx);
    const uint8_t* g = guid.data();

    if (GuidEquals(g, GUID_ASF_Header_Object)) {
        STRUCT_ASF_DEMUXER_HEADER_OBJECT h;
        h.dwNumberOfHeaderObjects = c.U32();
        h.bReserved1 = c.U8();
        h.bReserved2 = c.U8();
        if (!c.ok) return NeedMore();
        ctx->asfHeaderObject = h;
        return Done(ASF_DEMUX_STATE_HEADER_OBJECT, c.pos);
    }
    if (GuidEquals(g, GUID_ASF_File_Properties_Object)) {
        STRUCT_ASF_DEMUXER_FILE_PROPERTIES_OBJECT f{};
        c.Guid(f.FileID);
        f.qwFileSize = c.U64();
        f.qwCreationDate = c.U64();
        f.qwDataPacketsCount = c.U64();
        f.qwPlayDuration = c.U64();
        f.qwSendDuration = c.U64();
        f.qwPreroll = c.U64();
        const uint32_t flags = c.U32();
        f.Flags.BroadcastFlag = flags & 1;
        f.Flags.SeekableFlag = (flags >> 1) & 1;
        f.Flags.Reserved = flags >> 2;
        f.dwMinimumDataPacketSize = c.U32();
        f.dwMaximumDataPacketSize = c.U32();
        f.dwMaximumBitrate = c.U32();
        if (!c.ok) return NeedMore();
        ctx->asfFilePropertiesObject = f;
        return Done(ASF_DEMUX_STATE_FILE_PROPERTIES_OBJECT, c.pos);
    }
    if (GuidEquals(g, GUID_ASF_Header_Extension_Object)) {
        STRUCT_ASF_DEMUXER_HEADER_EXTENSION_OBJECT h;
        c.Guid(h.reservedField1);
        h.wReservedField2 = c.U16();
        h.dwHeaderExtensionDataSize = c.U32();
        // Only the fixed part is consumed, but the contained objects must be
        // there too: they are read by the next calls.
        if (!c.ok || !c.Has(h.dwHeaderExtensionDataSize)) return NeedMore();
        ctx->asfHeaderExtensionObject = h;
        return Done(ASF_DEMUX_STATE_HEADER_EXTENSION_OBJECT, c.pos);
    }
    // A rule that reads its object whole: refused on a damaged size, else it
    // waits until the whole object is buffered.
    auto readWhole = [&](Outcome (*rule)(ASF_DEMUX_CONTEXT*, Cursor&)) {
        return damaged ? Refused() : whole ? rule(ctx, c) : NeedMore();
    };
    if (GuidEquals(g, GUID_ASF_Stream_Properties_Object)) return ParseStreamProperties(ctx, c, objSize);
    if (GuidEquals(g, GUID_ASF_Codec_List_Object)) return readWhole(ParseCodecList);
    if (GuidEquals(g, GUID_ASF_Data_Object)) {
        STRUCT_ASF_DEMUXER_DATA_OBJECT d;
        c.Guid(d.FileID);
        d.qwTotalDataPackets = c.U64();
        d.wReserved = c.U16();
        if (!c.ok) return NeedMore();
        ctx->asfDataObject = d;
        pv.packetsDone = 0;
        pv.phase = kPacketHeader;
        return Done(ASF_DEMUX_STATE_DATA_OBJECT, c.pos);
    }
    if (GuidEquals(g, GUID_ASF_Simple_Index_Object)) {
        STRUCT_ASF_SIMPLE_INDEX_OBJECT s;
        c.Guid(s.FileID);
        s.qwIndexEntryTimeInterval = c.U64();
        s.dwMaximumPacketCount = c.U32();
        s.dwIndexEntriesCount = c.U32();
        if (!c.ok) return NeedMore();
        ctx->asfSimpleIndexObject = s;
        pv.indexEntriesRead = 0;
        pv.phase = s.dwIndexEntriesCount ? kIndexEntries : kObjects;  // an empty index has no entry to read
        return Done(ASF_DEMUX_STATE_SIMPLE_INDEX_OBJECT, c.pos);
    }
    if (GuidEquals(g, GUID_ASF_Metadata_Object)) return readWhole(ParseMetadata);
    if (GuidEquals(g, GUID_ASF_Extended_Stream_Properties_Object)) return readWhole(ParseExtendedStreamProperties);
    return Refused();
}

// ---- data packets -------------------------------------------------------------------

Outcome ParsePacketHeader(ASF_DEMUX_CONTEXT* ctx, const uint8_t* buf, uint32_t size) {
    Cursor c{buf, size};
    if (!c.Has(3)) return NeedMore();
    if (buf[0] != 0x82 || buf[1] != 0x00) return Refused();
    c.Skip(3);
    const uint8_t ltf = c.U8();
    const uint8_t pf = c.U8();
    const uint32_t packetLength = c.ByType((ltf >> 5) & 3);
    const uint32_t sequence = c.ByType((ltf >> 1) & 3);
    const uint32_t padding = c.ByType((ltf >> 3) & 3);
    const uint32_t sendTime = c.U32();
    const uint16_t duration = c.U16();
    uint32_t headerLength = c.pos;
    uint8_t payloadFlags = 0;
    if (ltf & 1) {
        payloadFlags = c.U8();
        ++headerLength;
    }
    if (!c.ok) return NeedMore();
    DemuxPrivate& pv = Priv(ctx);
    pv.lengthTypeFlags = ltf;
    pv.propertyFlags = pf;
    pv.packetLength = packetLength;
    pv.sequence = sequence;
    pv.paddingLength = padding;
    pv.sendTime = sendTime;
    pv.duration = duration;
    pv.packetHeaderLength = headerLength;
    pv.payloadFlags = payloadFlags;
    pv.payloadsTaken = 0;
    pv.phase = kPayload;
    return Done(ASF_DEMUX_STATE_SKIPPED, headerLength);
}

Outcome ParsePayload(ASF_DEMUX_CONTEXT* ctx, const uint8_t* buf, uint32_t size) {
    DemuxPrivate& pv = Priv(ctx);
    Cursor c{buf, size};
    const uint8_t streamByte = c.U8();
    const uint32_t objectNumber = c.ByType((pv.propertyFlags >> 4) & 3);
    const uint32_t offset = c.ByType((pv.propertyFlags >> 2) & 3);
    const uint32_t replicated = c.ByType(pv.propertyFlags & 3);
    uint32_t fullSize = 0, pts = 0;
    if (replicated == 8) {
        fullSize = c.U32();
        pts = c.U32();
    } else {
        c.Skip(replicated);  // other replicated data is passed over by its length
    }
    const bool multiple = pv.lengthTypeFlags & 1;
    int64_t length;
    if (multiple) {
        length = c.ByType((pv.payloadFlags >> 6) & 3);
    } else {
        length = int64_t{ctx->asfFilePropertiesObject.dwMaximumDataPacketSize} - pv.packetHeaderLength - c.pos -
                 pv.paddingLength;
    }
    if (!c.ok) return NeedMore();
    if (length < 0) return Refused();  // the packet's fields do not add up
    if (!c.Has(static_cast<uint64_t>(length))) return NeedMore();

    const uint32_t consumed = c.pos + static_cast<uint32_t>(length);
    ++pv.payloadsTaken;
    if (!multiple || pv.payloadsTaken >= (pv.payloadFlags & 0x3Fu)) {
        ++pv.packetsDone;
        pv.phase = kPacketHeader;
    }
    if (pv.phase == kPacketHeader && pv.paddingLength != 0) pv.phase = kPadding;
    if (pv.packetsDone >= ctx->asfDataObject.qwTotalDataPackets && pv.phase != kPadding) pv.phase = kTrailing;

    const int stream = streamByte & 0x7F;
    STRUCT_ASF_PAYLOAD* rec = stream == 1   ? &ctx->asfPayloadVideo
                              : stream == 2 ? &ctx->asfPayloadAudio
                              : stream == 3 ? &ctx->asfPayloadBinary
                                            : nullptr;
    if (rec == nullptr) return Done(ASF_DEMUX_STATE_UNKNOWN, consumed);
    rec->Info.bStreamNumber = stream;
    rec->Info.bKeyFrameBit = streamByte >> 7;
    rec->dwMediaObjectNumber = objectNumber;
    rec->dwOffsetIntoMediaObject = offset;
    rec->dwFullSizeOfMediaObject = fullSize;
    rec->dwPayloadSize = static_cast<uint32_t>(length);
    rec->dwPTS = pts;
    rec->pAddrInUserBuffer = c.Here();
    const ASF_DEMUX_STATE state = stream == 1   ? ASF_DEMUX_STATE_VIDEO_DATA
                                  : stream == 2 ? ASF_DEMUX_STATE_AUDIO_DATA
                                                : ASF_DEMUX_STATE_BINARY_DATA;
    return Done(state, consumed);
}

Outcome ParsePadding(ASF_DEMUX_CONTEXT* ctx, uint32_t size) {
    DemuxPrivate& pv = Priv(ctx);
    if (pv.paddingLength > size) return NeedMore();
    pv.phase = pv.packetsDone < ctx->asfDataObject.qwTotalDataPackets ? kPacketHeader : kTrailing;
    return Done(ASF_DEMUX_STATE_SKIPPED, pv.paddingLength);
}

Outcome ParseIndexEntry(ASF_DEMUX_CONTEXT* ctx, const uint8_t* buf, uint32_t size) {
    Cursor c{buf, size};
    STRUCT_ASF_DEMUXER_SIMPLE_INDEX_ENTRY e;
    e.dwPacketNumber = c.U32();
    e.wPacketCount = c.U16();
    if (!c.ok) return NeedMore();
    ctx->asfSimpleIndexObjectEntry = e;
    DemuxPrivate& pv = Priv(ctx);
    if (++pv.indexEntriesRead >= ctx->asfSimpleIndexObject.dwIndexEntriesCount) pv.phase = kObjects;
    return Done(ASF_DEMUX_STATE_SIMPLE_INDEX_OBJECT_ENTRY, 6);
}

}  // namespace

void CustomMalloc_Demux(void** ppAddr, size_t length, ASF_DEMUX_MALLOC_REASON) {
    *ppAddr = std::malloc(length);
}

ASF_DEMUX_CONTEXT* ASF_Demux_Create(ASF_DEMUX_MALLOC_CALLBACK mallocCb, ASF_DEMUX_FREE_CALLBACK freeCb) {
    if (mallocCb == nullptr || freeCb == nullptr) return nullptr;
    void* ctxMem = nullptr;
    mallocCb(&ctxMem, sizeof(ASF_DEMUX_CONTEXT), ASF_DEMUX_MALLOC_REASON_CONTEXT);
    if (ctxMem == nullptr) return nullptr;
    void* privMem = nullptr;
    mallocCb(&privMem, sizeof(DemuxPrivate), ASF_DEMUX_MALLOC_REASON_CONTEXT);
    if (privMem == nullptr) {
        freeCb(ctxMem);
        return nullptr;
    }
    std::memset(ctxMem, 0, sizeof(ASF_DEMUX_CONTEXT));
    std::memset(privMem, 0, sizeof(DemuxPrivate));
    auto* ctx = static_cast<ASF_DEMUX_CONTEXT*>(ctxMem);
    ctx->pCallbackMalloc = mallocCb;
    ctx->pCallbackFree = freeCb;
    ctx->pPrivateContext = privMem;
    static_cast<DemuxPrivate*>(privMem)->phase = kObjects;
    return ctx;
}

ASF_DEMUX_STATE ASF_Demux_Parse(ASF_DEMUX_CONTEXT* ctx, const uint8_t* buffer, uint32_t size, uint32_t* consumed) {
    if (ctx == nullptr || ctx->pPrivateContext == nullptr || consumed == nullptr) return ASF_DEMUX_STATE_UNKNOWN;
    if (buffer == nullptr) size = 0;
    Outcome r;
    switch (Priv(ctx).phase) {
        case kObjects:
        case kTrailing: r = ParseObject(ctx, buffer, size); break;
        case kPacketHeader: r = ParsePacketHeader(ctx, buffer, size); break;
        case kPayload: r = ParsePayload(ctx, buffer, size); break;
        case kPadding: r = ParsePadding(ctx, size); break;
        case kIndexEntries: r = ParseIndexEntry(ctx, buffer, size); break;
        default: return ASF_DEMUX_STATE_UNKNOWN;
    }
    if (r.consumes) *consumed = r.consumed;
    return r.state;
}

void ASF_Demux_Close(ASF_DEMUX_CONTEXT* ctx) {
    if (ctx == nullptr) return;
    Blocks b{ctx};
    FreeEsp(b, ctx->asfExtendedStreamPropertiesObjectVideo);
    FreeEsp(b, ctx->asfExtendedStreamPropertiesObjectAudio);
    FreeEsp(b, ctx->asfExtendedStreamPropertiesObjectBinary);
    FreeMetadata(b, ctx->asfHeaderExtensionMetaDataObject);
    b.Free(ctx->asfStreamPropertiesObjectVideo.pErrorCorrectionData);
    b.Free(ctx->asfStreamPropertiesObjectVideo.typeSpecificData.fd_pCodecSpecificData);
    b.Free(ctx->asfStreamPropertiesObjectAudio.pErrorCorrectionData);
    b.Free(ctx->asfStreamPropertiesObjectAudio.typeSpecificData.pCodecSpecificData);
    b.Free(ctx->asfStreamPropertiesObjectBinary.pErrorCorrectionData);
    b.Free(ctx->asfStreamPropertiesObjectBinary.typeSpecificData.pFormatData);
    FreeCodecList(b, ctx->asfCodecListObject);
    b.Free(ctx->pPrivateContext);
    ctx->pCallbackFree(ctx);
}
