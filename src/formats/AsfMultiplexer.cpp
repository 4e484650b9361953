// ASF writer: header at create, fixed-size packets while objects arrive,
// header completion and simple index at close.
//
// Packet layout (every packet is exactly the packet size):
//   82 00 00                 error correction data (2 bytes of data follow the flags byte)
//   length type flags        bit 0 multiple payloads, 0x08 / 0x10 padding length as byte / word
//   0x5D                     property flags: replicated data length byte, offset dword,
//                            media object number byte, stream number byte
//   [padding length]         only with padding; it counts towards the padding
//   send time (32), duration (16)
//   [0x80 | payload count]   only with several payloads (payload lengths as words)
//   payloads: stream | key bit, object number, offset, 08, object size, time,
//             [payload length], data
//   zero fill
#include "formats/AsfMultiplexer.h"

#include <algorithm>
#include <cstring>
#include <memory>

namespace {

constexpr uint32_t kPacketHeaderBytes = 11;  // 3 error correction, 2 flags, 4 send time, 2 duration
constexpr uint32_t kFirstPayloadOverhead = 15;
constexpr uint32_t kSecondPayloadOverhead = 20;  // + payload flags, + both payload length words
constexpr uint32_t kLaterPayloadOverhead = 17;
constexpr uint32_t kMaxPayloads = 63;  // the payload count field has 6 bits
constexpr uint32_t kMinPacketSize = 64;
constexpr uint32_t kMaxPacketSize = 65535;  // payload and padding lengths are 16-bit
constexpr uint32_t kStageSize = 1024;
constexpr uint32_t kDirectWriteThreshold = 256;  // larger blocks bypass the staging buffer

// One queued media object.
struct Pending {
    const uint8_t* data;  // next unwritten byte (copy buffer or caller memory)
    uint32_t remaining;   // bytes not yet written
    uint32_t fullSize;    // media object size; offset of data = fullSize - remaining
    uint32_t pts;         // ms
    uint8_t type;         // ASF_MUX_DATA_TYPE
    uint8_t key;
    uint8_t inCopyBuffer;
};

// Key-frame table entry: where a video key frame starts and how many packets
// it spans. 12 bytes, all 0xFF until used.
struct KeyEntry {
    uint32_t packetNumber;
    uint16_t packetCount;
    uint32_t pts;
};
static_assert(sizeof(KeyEntry) == 12);

// The packet being sized from the head of the pending table.
struct Plan {
    uint32_t n = 0;      // payloads
    uint32_t used = 0;   // bytes used, header included
    bool full = false;   // no further payload fits
    uint32_t take[kMaxPayloads];
};

struct MuxPrivate {
    ASF_MUX_MALLOC_CALLBACK alloc;
    ASF_MUX_FREE_CALLBACK release;
    ASF_MUX_FOPEN_CALLBACK fopen;
    ASF_MUX_FCLOSE_CALLBACK fclose;
    ASF_MUX_FWRITE_CALLBACK fwrite;
    ASF_MUX_FSEEK_CALLBACK fseek;
    ASF_MUX_FTELL_CALLBACK ftell;
    void* file;
    long base;     // file position when opened
    uint64_t pos;  // bytes written after base (the current write position)
    ASF_MUXER_GUID fileID;

    // Positions (relative to base) of the fields completed at close.
    uint64_t posFileSize, posPacketsCount, posPlayDuration, posSendDuration;
    uint64_t posEspStart[3];  // start time; the end time follows it
    uint64_t posDataObject, posTotalPackets;

    uint32_t packetSize;
    uint64_t packetCount;

    Pending* table;  // ring of tableCap entries
    uint32_t tableCap, head, count;
    uint8_t* copyBuf;  // one packet size
    uint32_t copyFill;
    int64_t estimate;  // bytes the packet being assembled is expected to use

    uint8_t objectNumber[3];
    bool closing;
    uint32_t maxPts;      // largest presentation time of any stream
    int64_t minPts[3];    // per stream, -1 = none yet
    int64_t maxStream[3]; // per stream, -1 = none yet

    KeyEntry* keys;
    uint32_t keyMax, keyCount;
    uint64_t indexInterval;

    uint32_t stageFill;
    uint8_t stage[kStageSize];
};

// ---- output -----------------------------------------------------------------

void Flush(MuxPrivate& m) {
    if (m.stageFill != 0) m.fwrite(m.stage, 1, m.stageFill, m.file);
    m.stageFill = 0;
}

void Put(MuxPrivate& m, const void* data, size_t n) {
    m.pos += n;
    if (n >= kDirectWriteThreshold) {
        Flush(m);
        m.fwrite(data, 1, n, m.file);
        return;
    }
    if (m.stageFill + n > kStageSize) Flush(m);
    std::memcpy(m.stage + m.stageFill, data, n);
    m.stageFill += static_cast<uint32_t>(n);
}

void PutLE(MuxPrivate& m, uint64_t v, int bytes) {
    uint8_t b[8];
    for (int i = 0; i < bytes; ++i) b[i] = static_cast<uint8_t>(v >> (8 * i));
    Put(m, b, bytes);
}
void U8(MuxPrivate& m, uint8_t v) { Put(m, &v, 1); }
void U16(MuxPrivate& m, uint64_t v) { PutLE(m, v, 2); }
void U32(MuxPrivate& m, uint64_t v) { PutLE(m, v, 4); }
void U64(MuxPrivate& m, uint64_t v) { PutLE(m, v, 8); }
void Guid(MuxPrivate& m, const ASF_MUXER_GUID& g) { Put(m, g.data(), 16); }
void Bytes(MuxPrivate& m, const uint8_t* p, size_t n) {
    if (n != 0) Put(m, p, n);
}
void Utf16(MuxPrivate& m, const uint16_t* p, size_t units) {
    for (size_t i = 0; i < units; ++i) U16(m, p[i]);
}
void Zeros(MuxPrivate& m, size_t n) {
    static constexpr uint8_t kZero[kDirectWriteThreshold] = {};
    while (n > 0) {
        size_t k = std::min<size_t>(n, sizeof kZero - 1);  // stays in the staging buffer
        Put(m, kZero, k);
        n -= k;
    }
}

// Overwrites a field already written, then returns to the end.
void Patch(MuxPrivate& m, uint64_t at, uint64_t value, int bytes) {
    Flush(m);
    uint8_t b[8];
    for (int i = 0; i < bytes; ++i) b[i] = static_cast<uint8_t>(value >> (8 * i));
    m.fseek(m.file, m.base + static_cast<long>(at), 0);
    m.fwrite(b, 1, bytes, m.file);
}
void SeekToEnd(MuxPrivate& m) { m.fseek(m.file, m.base + static_cast<long>(m.pos), 0); }

// ---- header -------------------------------------------------------------------

uint64_t EspSize(const STRUCT_ASF_MUXER_EXTENDED_STREAM_PROPERTIES_OBJECT& e) {
    uint64_t size = 88;
    for (uint32_t i = 0; i < e.wStreamNameCount; ++i) size += 4 + e.pStreamNames[i].wStreamNameLength;
    for (uint32_t i = 0; i < e.wPayloadExtensionSystemCount; ++i)
        size += 22 + uint64_t{e.pPayloadExtensionSystems[i].dwExtensionSystemInfoLength};
    return size;
}

uint64_t MetadataSize(const STRUCT_ASF_MUXER_METADATA_OBJECT& md) {
    uint64_t size = 26;
    for (uint32_t i = 0; i < md.wDescriptionRecordsCount; ++i)
        size += 12 + md.pDescriptionRecords[i].wNameLength + uint64_t{md.pDescriptionRecords[i].dwDataLength};
    return size;
}

uint64_t CodecListSize(const ASF_MUX_CODEC_LIST_OBJECT& cl) {
    uint64_t size = 44;
    for (uint32_t i = 0; i < cl.dwCodecEntriesCount; ++i) {
        const auto& e = cl.pCodecEntries[i];
        size += 8 + 2 * e.wCodecNameLength + 2 * e.wCodecDescriptionLength + e.wCodecInformationLength;
    }
    return size;
}

// Every length in the configuration has its data (a null pointer with a
// non-zero length would be read).
bool Present(const void* p, uint64_t length) { return length == 0 || p != nullptr; }

bool ConfigurationIsUsable(const ASF_MUX_INIT_STRUCT& in) {
    if (!in.pCallbackMalloc || !in.pCallbackFree || !in.pCallbackFopen || !in.pCallbackFclose ||
        !in.pCallbackFwrite || !in.pCallbackFseek || !in.pCallbackFtell || !in.strFileName)
        return false;
    const uint32_t p = in.filePropertiesObject.dwDataPacketSize;
    if (p < kMinPacketSize || p > kMaxPacketSize) return false;
    const auto& v = in.typeSpecificDataVideo;
    const auto& a = in.typeSpecificDataAudio;
    const auto& b = in.typeSpecificDataBinary;
    if (!Present(v.pCodecSpecificData, v.dwCodecSpecificDataLength) ||
        !Present(v.pErrorCorrectionData, v.dwErrorCorrectionDataLength) ||
        !Present(a.pCodecSpecificData, a.wCodecSpecificDataSize) ||
        !Present(a.pErrorCorrectionData, a.dwErrorCorrectionDataLength) ||
        !Present(b.pFormatData, b.dwFormatDataSize) || !Present(b.pErrorCorrectionData, b.dwErrorCorrectionDataLength))
        return false;
    if (!Present(in.codecListObject.pCodecEntries, in.codecListObject.dwCodecEntriesCount)) return false;
    for (uint32_t i = 0; i < in.codecListObject.dwCodecEntriesCount; ++i) {
        const auto& e = in.codecListObject.pCodecEntries[i];
        if (!Present(e.pUniCodecName, e.wCodecNameLength) ||
            !Present(e.pUniCodecDescription, e.wCodecDescriptionLength) ||
            !Present(e.pCodecInformation, e.wCodecInformationLength))
            return false;
    }
    const auto& md = in.asfHeaderExtensionMetaDataObject;
    if (!Present(md.pDescriptionRecords, md.wDescriptionRecordsCount)) return false;
    for (uint32_t i = 0; i < md.wDescriptionRecordsCount; ++i) {
        const auto& r = md.pDescriptionRecords[i];
        if (!Present(r.pUniName, r.wNameLength) || !Present(r.pData, r.dwDataLength)) return false;
    }
    for (const auto* e : {&in.asfExtendedStreamPropertiesObjectVideo, &in.asfExtendedStreamPropertiesObjectAudio,
                          &in.asfExtendedStreamPropertiesObjectBinary}) {
        if (!Present(e->pStreamNames, e->wStreamNameCount) ||
            !Present(e->pPayloadExtensionSystems, e->wPayloadExtensionSystemCount))
            return false;
        for (uint32_t i = 0; i < e->wStreamNameCount; ++i)
            if (!Present(e->pStreamNames[i].pUniStreamName, e->pStreamNames[i].wStreamNameLength)) return false;
        for (uint32_t i = 0; i < e->wPayloadExtensionSystemCount; ++i)
            if (!Present(e->pPayloadExtensionSystems[i].pExtensionSystemInfo,
                         e->pPayloadExtensionSystems[i].dwExtensionSystemInfoLength))
                return false;
    }
    return true;
}

uint32_t EspFlags(const STRUCT_ASF_MUXER_EXTENDED_STREAM_PROPERTIES_OBJECT& e) {
    return e.Flags.dwReliableFlag | e.Flags.dwSeekableFlag << 1 | e.Flags.dwNoCleanpointsFlag << 2 |
           e.Flags.dwResendLiveCleanpointsFlag << 3 | e.Flags.dwReservedFlags << 4;
}

void WriteEsp(MuxPrivate& m, const STRUCT_ASF_MUXER_EXTENDED_STREAM_PROPERTIES_OBJECT& e, int stream) {
    Guid(m, GUID_Mux_ASF_Extended_Stream_Properties_Object);
    U64(m, EspSize(e));
    m.posEspStart[stream] = m.pos;
    U64(m, 0);  // start time, completed at close
    U64(m, 0);  // end time, completed at close
    U32(m, e.dwDataBitrate);
    U32(m, e.dwBufferSize);
    U32(m, e.dwInitialBufferFullness);
    U32(m, e.dwAlternateDataBitrate);
    U32(m, e.dwAlternateBufferSize);
    U32(m, e.dwAlternateInitialBufferFullness);
    U32(m, e.dwMaximumObjectSize);
    U32(m, EspFlags(e));
    U16(m, e.wStreamNumber);
    U16(m, e.wStreamLanguageIDIndex);
    U64(m, e.qwAverageTimePerFrame);
    U16(m, e.wStreamNameCount);
    U16(m, e.wPayloadExtensionSystemCount);
    for (uint32_t i = 0; i < e.wStreamNameCount; ++i) {
        U16(m, e.pStreamNames[i].wLanguageIDIndex);
        U16(m, e.pStreamNames[i].wStreamNameLength);
        Bytes(m, e.pStreamNames[i].pUniStreamName, e.pStreamNames[i].wStreamNameLength);
    }
    for (uint32_t i = 0; i < e.wPayloadExtensionSystemCount; ++i) {
        const auto& s = e.pPayloadExtensionSystems[i];
        Guid(m, s.ExtensionSystemID);
        U16(m, s.wExtensionDataSize);
        U32(m, s.dwExtensionSystemInfoLength);
        Bytes(m, s.pExtensionSystemInfo, s.dwExtensionSystemInfoLength);
    }
}

void WriteHeaderExtension(MuxPrivate& m, const ASF_MUX_INIT_STRUCT& in) {
    const auto& md = in.asfHeaderExtensionMetaDataObject;
    const uint64_t size = 46 + MetadataSize(md) + EspSize(in.asfExtendedStreamPropertiesObjectVideo) +
                          EspSize(in.asfExtendedStreamPropertiesObjectAudio) +
                          EspSize(in.asfExtendedStreamPropertiesObjectBinary);
    Guid(m, GUID_Mux_ASF_Header_Extension_Object);
    U64(m, size);
    Guid(m, GUID_Mux_ASF_Reserved_Field_1);
    U16(m, 6);
    U32(m, size - 46);

    Guid(m, GUID_Mux_ASF_Metadata_Object);
    U64(m, MetadataSize(md));
    U16(m, md.wDescriptionRecordsCount);
    for (uint32_t i = 0; i < md.wDescriptionRecordsCount; ++i) {
        const auto& r = md.pDescriptionRecords[i];
        U16(m, 0);
        U16(m, r.wStreamNumber);
        U16(m, r.wNameLength);
        U16(m, r.wDataType);
        U32(m, r.dwDataLength);
        Bytes(m, r.pUniName, r.wNameLength);
        Bytes(m, r.pData, r.dwDataLength);
    }
    WriteEsp(m, in.asfExtendedStreamPropertiesObjectVideo, 0);
    WriteEsp(m, in.asfExtendedStreamPropertiesObjectAudio, 1);
    WriteEsp(m, in.asfExtendedStreamPropertiesObjectBinary, 2);
}

// Common head of a Stream Properties Object.
void WriteStreamHead(MuxPrivate& m, uint64_t size, const ASF_MUXER_GUID& type, const ASF_MUXER_GUID& ecType,
                     uint32_t typeSpecificLength, uint32_t ecLength, uint16_t streamNumber) {
    Guid(m, GUID_Mux_ASF_Stream_Properties_Object);
    U64(m, size);
    Guid(m, type);
    Guid(m, ecType);
    U64(m, 0);  // time offset
    U32(m, typeSpecificLength);
    U32(m, ecLength);
    U16(m, streamNumber);
    U32(m, 0);
}

void WriteStreamProperties(MuxPrivate& m, const ASF_MUX_INIT_STRUCT& in) {
    const auto& v = in.typeSpecificDataVideo;
    WriteStreamHead(m, 129ull + v.dwCodecSpecificDataLength + v.dwErrorCorrectionDataLength, GUID_Mux_ASF_VIDEO_MEDIA,
                    GUID_Mux_ASF_No_Error_Correction, 51 + v.dwCodecSpecificDataLength,
                    v.dwErrorCorrectionDataLength, 1);
    U32(m, v.dwEncodedImageWidth);
    U32(m, v.dwEncodedImageHeight);
    U8(m, 2);
    U16(m, 40 + v.dwCodecSpecificDataLength);
    U32(m, 40 + v.dwCodecSpecificDataLength);  // bitmap information header follows
    U32(m, v.dwEncodedImageWidth);
    U32(m, v.dwEncodedImageHeight);
    U16(m, 1);
    U16(m, v.wBitsPerPixelCount);
    U32(m, v.dwCompressionID);
    U32(m, v.dwImageSize);
    U32(m, 0);
    U32(m, 0);
    U32(m, 0);
    U32(m, 0);
    Bytes(m, v.pCodecSpecificData, v.dwCodecSpecificDataLength);
    Bytes(m, v.pErrorCorrectionData, v.dwErrorCorrectionDataLength);

    const auto& a = in.typeSpecificDataAudio;
    WriteStreamHead(m, 96ull + a.wCodecSpecificDataSize + a.dwErrorCorrectionDataLength, GUID_Mux_ASF_AUDIO_MEDIA,
                    GUID_Mux_ASF_Audio_Spread, 18u + a.wCodecSpecificDataSize, a.dwErrorCorrectionDataLength, 2);
    U16(m, a.wCodecID);
    U16(m, a.wNumberOfChannels);
    U32(m, a.dwSamplesPerSecond);
    U32(m, a.dwAverageNumberOfBytesPerSecond);
    U16(m, a.wBlockAlignment);
    U16(m, a.wBitsPerSample);
    U16(m, a.wCodecSpecificDataSize);
    Bytes(m, a.pCodecSpecificData, a.wCodecSpecificDataSize);
    Bytes(m, a.pErrorCorrectionData, a.dwErrorCorrectionDataLength);

    const auto& b = in.typeSpecificDataBinary;
    WriteStreamHead(m, 142ull + b.dwFormatDataSize + b.dwErrorCorrectionDataLength, GUID_Mux_ASF_BINARY_MEDIA,
                    GUID_Mux_ASF_No_Error_Correction, 64 + b.dwFormatDataSize, b.dwErrorCorrectionDataLength, 3);
    Guid(m, b.MajorMediaType);
    Guid(m, b.MediaSubtype);
    U32(m, b.dwFixedSizeSamples);
    U32(m, b.dwTemporalCompression);
    U32(m, b.dwSampleSize);
    Guid(m, b.FormatType);
    U32(m, b.dwFormatDataSize);
    Bytes(m, b.pFormatData, b.dwFormatDataSize);
    Bytes(m, b.pErrorCorrectionData, b.dwErrorCorrectionDataLength);
}

void WriteCodecList(MuxPrivate& m, const ASF_MUX_CODEC_LIST_OBJECT& cl) {
    Guid(m, GUID_Mux_ASF_Codec_List_Object);
    U64(m, CodecListSize(cl));
    Guid(m, GUID_Mux_ASF_Reserved_2);
    U32(m, cl.dwCodecEntriesCount);
    for (uint32_t i = 0; i < cl.dwCodecEntriesCount; ++i) {
        const auto& e = cl.pCodecEntries[i];
        U16(m, e.wType);
        U16(m, e.wCodecNameLength);
        Utf16(m, e.pUniCodecName, e.wCodecNameLength);
        U16(m, e.wCodecDescriptionLength);
        Utf16(m, e.pUniCodecDescription, e.wCodecDescriptionLength);
        U16(m, e.wCodecInformationLength);
        Bytes(m, e.pCodecInformation, e.wCodecInformationLength);
    }
}

void WriteHeader(MuxPrivate& m, const ASF_MUX_INIT_STRUCT& in) {
    const auto& fp = in.filePropertiesObject;
    const uint64_t headerSize =
        30 + 104 + 46 + MetadataSize(in.asfHeaderExtensionMetaDataObject) +
        EspSize(in.asfExtendedStreamPropertiesObjectVideo) + EspSize(in.asfExtendedStreamPropertiesObjectAudio) +
        EspSize(in.asfExtendedStreamPropertiesObjectBinary) + 129 +
        in.typeSpecificDataVideo.dwCodecSpecificDataLength + in.typeSpecificDataVideo.dwErrorCorrectionDataLength +
        96 + in.typeSpecificDataAudio.wCodecSpecificDataSize + in.typeSpecificDataAudio.dwErrorCorrectionDataLength +
        142 + in.typeSpecificDataBinary.dwFormatDataSize + in.typeSpecificDataBinary.dwErrorCorrectionDataLength +
        CodecListSize(in.codecListObject);

    Guid(m, GUID_Mux_ASF_Header_Object);
    U64(m, headerSize);
    U32(m, 6);  // header objects
    U8(m, 0x01);
    U8(m, 0x02);

    Guid(m, GUID_Mux_ASF_File_Properties_Object);
    U64(m, 104);
    Guid(m, fp.fileID);
    m.posFileSize = m.pos;
    U64(m, 0);
    U64(m, fp.qwCreationDate);
    m.posPacketsCount = m.pos;
    U64(m, 0);
    m.posPlayDuration = m.pos;
    U64(m, 0);
    m.posSendDuration = m.pos;
    U64(m, 0);
    U64(m, 0);  // preroll
    U32(m, 0);  // flags
    U32(m, fp.dwDataPacketSize);
    U32(m, fp.dwDataPacketSize);
    U32(m, in.asfExtendedStreamPropertiesObjectVideo.dwDataBitrate +
               in.asfExtendedStreamPropertiesObjectAudio.dwDataBitrate +
               in.asfExtendedStreamPropertiesObjectBinary.dwDataBitrate);

    WriteHeaderExtension(m, in);
    WriteStreamProperties(m, in);
    WriteCodecList(m, in.codecListObject);

    m.posDataObject = m.pos;
    Guid(m, GUID_Mux_ASF_Data_Object);
    U64(m, 0);  // object size, completed at close
    Guid(m, fp.fileID);
    m.posTotalPackets = m.pos;
    U64(m, 0);
    U8(m, 0x01);
    U8(m, 0x01);
    Flush(m);
}

// ---- packetizer -----------------------------------------------------------------

Pending& At(MuxPrivate& m, uint32_t k) { return m.table[(m.head + k) % m.tableCap]; }

// Sizes the next packet from the head of the table.
void PlanPacket(MuxPrivate& m, Plan& p) {
    const uint32_t size = m.packetSize;
    p.n = 0;
    p.used = kPacketHeaderBytes;
    p.full = false;
    uint32_t k = 0;
    for (; k < m.count; ++k) {
        if (p.n == kMaxPayloads) break;
        const uint32_t free = size - p.used;
        if ((p.n == 1 && free < 21) || (p.n >= 2 && free < 19)) break;
        const uint32_t overhead =
            p.n == 0 ? kFirstPayloadOverhead : p.n == 1 ? kSecondPayloadOverhead : kLaterPayloadOverhead;
        const uint32_t room = free - overhead;
        const Pending& obj = At(m, k);
        uint32_t take = std::min(obj.remaining, room);
        // A single free byte could hold nothing: give it to the padding instead.
        if (room - take == 1 && take > 0) --take;
        p.take[p.n++] = take;
        p.used += overhead + take;
        if (take < obj.remaining) {
            p.full = true;
            return;
        }
    }
    if (k < m.count) {
        p.full = true;  // the next object does not fit (or 63 payloads reached)
    } else if (p.n == kMaxPayloads) {
        p.full = true;
    } else if (p.n >= 1) {
        const uint32_t free = size - p.used;
        p.full = free < (p.n == 1 ? 21u : 19u);
    }
}

void NoteKeyFrame(MuxPrivate& m, uint32_t pts) {
    if (m.keyCount > 0 && m.keys[m.keyCount - 1].pts == pts) {
        ++m.keys[m.keyCount - 1].packetCount;
        return;
    }
    if (m.keyCount >= m.keyMax) return;
    m.keys[m.keyCount++] = KeyEntry{static_cast<uint32_t>(m.packetCount), 1, pts};
}

void EmitPacket(MuxPrivate& m, const Plan& p) {
    const uint32_t padding = m.packetSize - p.used;
    uint8_t lengthType = p.n > 1 ? 0x01 : 0x00;
    uint32_t fill = 0;
    if (padding >= 1 && padding <= 255) {
        lengthType |= 0x08;
        fill = padding - 1;
    } else if (padding > 255) {
        lengthType |= 0x10;
        fill = padding - 2;
    }
    uint32_t lo = UINT32_MAX, hi = 0;
    for (uint32_t k = 0; k < p.n; ++k) {
        lo = std::min(lo, At(m, k).pts);
        hi = std::max(hi, At(m, k).pts);
    }

    static constexpr uint8_t kErrorCorrection[3] = {0x82, 0x00, 0x00};
    Put(m, kErrorCorrection, 3);
    U8(m, lengthType);
    U8(m, 0x5D);
    if (padding >= 1 && padding <= 255)
        U8(m, static_cast<uint8_t>(fill));
    else if (padding > 255)
        U16(m, fill);
    U32(m, lo);
    U16(m, static_cast<uint16_t>(hi - lo));
    if (p.n > 1) U8(m, static_cast<uint8_t>(0x80 | p.n));

    for (uint32_t k = 0; k < p.n; ++k) {
        Pending& obj = At(m, k);
        const uint32_t take = p.take[k];
        U8(m, static_cast<uint8_t>((obj.type + 1) | (obj.key ? 0x80 : 0)));
        U8(m, m.objectNumber[obj.type]);
        U32(m, obj.fullSize - obj.remaining);
        U8(m, 8);
        U32(m, obj.fullSize);
        U32(m, obj.pts);
        if (p.n > 1) U16(m, take);
        Bytes(m, obj.data, take);

        obj.data += take;
        obj.remaining -= take;
        if (obj.remaining == 0) ++m.objectNumber[obj.type];  // wraps from 255 to 0
        if (m.minPts[obj.type] < 0 || obj.pts < m.minPts[obj.type]) m.minPts[obj.type] = obj.pts;
        if (m.maxStream[obj.type] < 0 || obj.pts > m.maxStream[obj.type]) m.maxStream[obj.type] = obj.pts;
        if (obj.type == ASF_MUX_DATA_TYPE_VIDEO && obj.key) NoteKeyFrame(m, obj.pts);
    }
    if (p.n > 0) m.maxPts = std::max(m.maxPts, hi);
    Zeros(m, fill);
    Flush(m);
    ++m.packetCount;

    // Only the last payload can leave its object unfinished.
    while (m.count > 0 && At(m, 0).remaining == 0) {
        m.head = (m.head + 1) % m.tableCap;
        --m.count;
    }
}

// Moves the unwritten bytes of every pending object to the front of the copy
// buffer, in table order.
void CompactCopyBuffer(MuxPrivate& m) {
    uint32_t fill = 0;
    for (uint32_t k = 0; k < m.count; ++k) {
        Pending& obj = At(m, k);
        if (!obj.inCopyBuffer) continue;
        std::memmove(m.copyBuf + fill, obj.data, obj.remaining);
        obj.data = m.copyBuf + fill;
        fill += obj.remaining;
    }
    m.copyFill = fill;
}

// Writes every complete packet (all pending ones when closing). On return no
// pending object refers to the caller's memory.
int RunPacketizer(MuxPrivate& m) {
    Plan p;
    while (m.count > 0) {
        PlanPacket(m, p);
        if (!p.full && !m.closing) break;
        EmitPacket(m, p);
    }
    if (m.count == 0) {
        m.copyFill = 0;
        m.estimate = kPacketHeaderBytes;
        return 0;
    }
    // What is left fits one packet: keep it in the copy buffer.
    uint64_t pendingBytes = 0;
    for (uint32_t k = 0; k < m.count; ++k) pendingBytes += At(m, k).remaining;
    if (pendingBytes > m.packetSize) return 1;
    for (uint32_t k = 0; k < m.count; ++k) {
        Pending& obj = At(m, k);
        if (obj.inCopyBuffer) continue;
        if (m.copyFill + obj.remaining > m.packetSize) CompactCopyBuffer(m);
        std::memcpy(m.copyBuf + m.copyFill, obj.data, obj.remaining);
        obj.data = m.copyBuf + m.copyFill;
        obj.inCopyBuffer = 1;
        m.copyFill += obj.remaining;
    }
    m.estimate = p.used;
    return 0;
}

// ---- index ----------------------------------------------------------------------

// The last key-frame entry whose time is not after t; the first entry when
// every key frame is later.
uint32_t EntryAt(const MuxPrivate& m, uint64_t t, bool ordered, uint32_t& cursor) {
    if (ordered) {
        while (cursor + 1 < m.keyCount && m.keys[cursor + 1].pts <= t) ++cursor;
        return cursor;
    }
    for (uint32_t j = m.keyCount; j-- > 0;)
        if (m.keys[j].pts <= t) return j;
    return 0;
}

void WriteSimpleIndex(MuxPrivate& m) {
    const uint64_t intervalMs = m.indexInterval / 10000;
    const uint64_t videoMax = m.maxStream[ASF_MUX_DATA_TYPE_VIDEO] < 0 ? 0 : m.maxStream[ASF_MUX_DATA_TYPE_VIDEO];
    // An interval under 1 ms cannot be divided by; such an index has no entries.
    const uint64_t entries = intervalMs == 0 ? 0 : std::min<uint64_t>(videoMax / intervalMs, UINT32_MAX);
    uint32_t maxCount = 0;
    bool ordered = true;
    for (uint32_t j = 0; j < m.keyCount; ++j) {
        maxCount = std::max<uint32_t>(maxCount, m.keys[j].packetCount);
        if (j > 0 && m.keys[j].pts < m.keys[j - 1].pts) ordered = false;
    }
    Guid(m, GUID_Mux_ASF_Simple_Index_Object);
    U64(m, 56 + 6 * entries);
    Guid(m, m.fileID);
    U64(m, m.indexInterval);
    U32(m, maxCount);
    U32(m, entries);
    uint32_t cursor = 0;
    for (uint64_t i = 0; i < entries; ++i) {
        const KeyEntry& e = m.keys[EntryAt(m, i * intervalMs, ordered, cursor)];
        U32(m, e.packetNumber);
        U16(m, e.packetCount);
    }
    Flush(m);
}

void Release(MuxPrivate& m, void* block) {
    if (block != nullptr) m.release(block);
}

void FreeAll(ASF_MUX_CONTEXT* ctx, MuxPrivate* m) {
    ASF_MUX_FREE_CALLBACK release = m->release;
    Release(*m, m->keys);
    Release(*m, m->copyBuf);
    Release(*m, m->table);
    std::destroy_at(m);
    release(m);
    release(ctx);
}

void* Allocate(ASF_MUX_MALLOC_CALLBACK alloc, size_t length) {
    void* p = nullptr;
    alloc(&p, length, ASF_MUX_MALLOC_REASON_CONTEXT);
    return p;
}

}  // namespace

ASF_MUX_CONTEXT* ASF_Mux_Create(ASF_MUX_INIT_STRUCT* init) {
    if (init == nullptr || !ConfigurationIsUsable(*init)) return nullptr;
    const ASF_MUX_INIT_STRUCT& in = *init;

    auto* ctx = static_cast<ASF_MUX_CONTEXT*>(Allocate(in.pCallbackMalloc, sizeof(ASF_MUX_CONTEXT)));
    if (ctx == nullptr) return nullptr;
    void* raw = Allocate(in.pCallbackMalloc, sizeof(MuxPrivate));
    if (raw == nullptr) {
        in.pCallbackFree(ctx);
        return nullptr;
    }
    MuxPrivate* m = std::construct_at(static_cast<MuxPrivate*>(raw));
    ctx->pPrivateContext = m;
    m->alloc = in.pCallbackMalloc;
    m->release = in.pCallbackFree;
    m->fopen = in.pCallbackFopen;
    m->fclose = in.pCallbackFclose;
    m->fwrite = in.pCallbackFwrite;
    m->fseek = in.pCallbackFseek;
    m->ftell = in.pCallbackFtell;
    m->fileID = in.filePropertiesObject.fileID;
    m->packetSize = in.filePropertiesObject.dwDataPacketSize;
    m->tableCap = (m->packetSize - kPacketHeaderBytes) / 16 + 2;
    m->estimate = kPacketHeaderBytes;
    m->keyMax = in.dwMaxNumberOfVideoKeyframes;
    m->indexInterval = in.qwIndexEntryTimeInterval;
    for (int s = 0; s < 3; ++s) m->minPts[s] = m->maxStream[s] = -1;

    const size_t keyBytes = size_t{m->keyMax} * sizeof(KeyEntry);
    if (m->keyMax != 0 && keyBytes / sizeof(KeyEntry) != m->keyMax) {
        FreeAll(ctx, m);
        return nullptr;
    }
    m->keys = static_cast<KeyEntry*>(m->keyMax ? Allocate(m->alloc, keyBytes) : nullptr);
    m->copyBuf = static_cast<uint8_t*>(Allocate(m->alloc, m->packetSize));
    m->table = static_cast<Pending*>(Allocate(m->alloc, sizeof(Pending) * m->tableCap));
    if ((m->keyMax && !m->keys) || !m->copyBuf || !m->table) {
        FreeAll(ctx, m);
        return nullptr;
    }
    if (m->keys) std::memset(m->keys, 0xFF, keyBytes);

    m->file = m->fopen(in.strFileName, "wb");
    if (m->file == nullptr) {
        FreeAll(ctx, m);
        return nullptr;
    }
    m->base = m->ftell(m->file);
    if (m->base < 0) m->base = 0;
    WriteHeader(*m, in);
    return ctx;
}

int ASF_Mux_WriteData(ASF_MUX_CONTEXT* ctx, int dataType, const uint8_t* data, uint32_t length,
                      const ASF_MUX_DATA_INFO* info) {
    if (ctx == nullptr || ctx->pPrivateContext == nullptr || info == nullptr) return 1;
    if (dataType < ASF_MUX_DATA_TYPE_VIDEO || dataType > ASF_MUX_DATA_TYPE_BINARY) return 1;
    if (data == nullptr && length > 0) return 1;
    MuxPrivate& m = *static_cast<MuxPrivate*>(ctx->pPrivateContext);
    if (m.closing || m.count == m.tableCap) return 1;

    int64_t overhead = m.count == 0 ? kFirstPayloadOverhead : m.count == 1 ? kSecondPayloadOverhead
                                                                          : kLaterPayloadOverhead;
    if (m.count == 0) m.estimate = kPacketHeaderBytes;
    Pending& obj = m.table[(m.head + m.count) % m.tableCap];
    ++m.count;
    obj = Pending{data, length, length, info->dwPTS, static_cast<uint8_t>(dataType), uint8_t(info->bKeyFrame ? 1 : 0), 0};

    // Small objects are copied now; large ones are written straight from the
    // caller's memory and only their unwritten tail is copied.
    if (int64_t{m.packetSize} - overhead - m.estimate >= int64_t{length}) {
        if (m.copyFill + length > m.packetSize) CompactCopyBuffer(m);
        if (m.copyFill + length <= m.packetSize) {
            if (length) std::memcpy(m.copyBuf + m.copyFill, data, length);
            obj.data = m.copyBuf + m.copyFill;
            obj.inCopyBuffer = 1;
            m.copyFill += length;
            m.estimate += overhead + length;
        }
    }
    return RunPacketizer(m);
}

void ASF_Mux_Close(ASF_MUX_CONTEXT* ctx) {
    if (ctx == nullptr || ctx->pPrivateContext == nullptr) return;
    MuxPrivate& m = *static_cast<MuxPrivate*>(ctx->pPrivateContext);
    m.closing = true;
    RunPacketizer(m);
    Flush(m);

    const uint64_t dataEnd = m.pos;
    const uint64_t duration = uint64_t{m.maxPts} * 10000;  // ms to 100-ns units
    Patch(m, m.posPacketsCount, m.packetCount, 8);
    Patch(m, m.posPlayDuration, duration, 8);
    Patch(m, m.posSendDuration, duration, 8);
    Patch(m, m.posDataObject + 16, dataEnd - m.posDataObject, 8);
    Patch(m, m.posTotalPackets, m.packetCount, 8);
    for (int s = 0; s < 3; ++s) {
        const uint64_t start = m.minPts[s] < 0 ? 0 : uint64_t(m.minPts[s]) * 10000;
        Patch(m, m.posEspStart[s], start, 8);
        Patch(m, m.posEspStart[s] + 8, duration, 8);
    }
    SeekToEnd(m);
    if (m.keyCount > 0) WriteSimpleIndex(m);
    Patch(m, m.posFileSize, m.pos, 8);
    SeekToEnd(m);
    m.fclose(m.file);
    FreeAll(ctx, &m);
}
