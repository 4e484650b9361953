// ASF reader: an incremental ("push") parser for the recordings the ASF writer
// produces. The caller keeps the file bytes in a buffer of its own and passes
// the unconsumed part on every call; each call parses one unit at the start
// of the buffer (an object, a packet header, a payload, a padding run or an
// index entry), stores what it found in the context and reports how many
// bytes it consumed. A unit that is not completely buffered consumes nothing
// (ASF_DEMUX_STATE_NEED_MORE_DATA): the caller appends data and calls again
// with the same bytes in front. Payload data is not copied: the payload
// records point into the caller's buffer.
//
// The parser reads only inside the buffer it is given and allocates only for
// header data that is completely buffered, so any input is safe to feed it.
// A context is used by one thread at a time.
#pragma once

#include <cstddef>
#include <cstdint>

#include "formats/AsfGuid.h"

using ASF_DEMUXER_GUID = diviv::asf::GuidBytes;

inline constexpr ASF_DEMUXER_GUID GUID_ASF_Header_Object = diviv::asf::kHeaderObject;
inline constexpr ASF_DEMUXER_GUID GUID_ASF_File_Properties_Object = diviv::asf::kFilePropertiesObject;
inline constexpr ASF_DEMUXER_GUID GUID_ASF_Header_Extension_Object = diviv::asf::kHeaderExtensionObject;
inline constexpr ASF_DEMUXER_GUID GUID_ASF_Stream_Properties_Object = diviv::asf::kStreamPropertiesObject;
inline constexpr ASF_DEMUXER_GUID GUID_ASF_Codec_List_Object = diviv::asf::kCodecListObject;
inline constexpr ASF_DEMUXER_GUID GUID_ASF_Data_Object = diviv::asf::kDataObject;
inline constexpr ASF_DEMUXER_GUID GUID_ASF_Simple_Index_Object = diviv::asf::kSimpleIndexObject;
inline constexpr ASF_DEMUXER_GUID GUID_ASF_Metadata_Object = diviv::asf::kMetadataObject;
inline constexpr ASF_DEMUXER_GUID GUID_ASF_Extended_Stream_Properties_Object =
    diviv::asf::kExtendedStreamPropertiesObject;
inline constexpr ASF_DEMUXER_GUID GUID_ASF_VIDEO_MEDIA = diviv::asf::kVideoMedia;
inline constexpr ASF_DEMUXER_GUID GUID_ASF_AUDIO_MEDIA = diviv::asf::kAudioMedia;
inline constexpr ASF_DEMUXER_GUID GUID_ASF_BINARY_MEDIA = diviv::asf::kBinaryMedia;

enum ASF_DEMUX_MALLOC_REASON {
    ASF_DEMUX_MALLOC_REASON_UNKNOWN = 0,
    ASF_DEMUX_MALLOC_REASON_CONTEXT = 1,
    ASF_DEMUX_MALLOC_REASON_HEADER_EXTENSION_OBJECT_DATA = 2,
    ASF_DEMUX_MALLOC_REASON_STREAM_PROPERTIES_VIDEO_SPECIFIC_DATA = 3,
    ASF_DEMUX_MALLOC_REASON_STREAM_PROPERTIES_AUDIO_SPECIFIC_DATA = 4,
    ASF_DEMUX_MALLOC_REASON_STREAM_PROPERTIES_BINARY_SPECIFIC_DATA = 5,
    ASF_DEMUX_MALLOC_REASON_CODEC_LIST_OBJECT = 6,
};

// Stores a new block of `length` bytes in *ppAddr (null when there is none).
typedef void (*ASF_DEMUX_MALLOC_CALLBACK)(void** ppAddr, size_t length, ASF_DEMUX_MALLOC_REASON reason);
typedef void (*ASF_DEMUX_FREE_CALLBACK)(void* pAddr);

// The application's allocation callback: plain heap allocation, reason ignored.
void CustomMalloc_Demux(void** ppAddr, size_t length, ASF_DEMUX_MALLOC_REASON reason);

enum ASF_DEMUX_STATE {
    ASF_DEMUX_STATE_UNKNOWN = 0,          // unrecognised object, packet or stream
    ASF_DEMUX_STATE_SKIPPED = 1,          // packet header or padding consumed
    ASF_DEMUX_STATE_NEED_MORE_DATA = 2,   // unit not complete in the buffer; nothing consumed
    ASF_DEMUX_STATE_VIDEO_DATA = 3,       // payload of stream 1 in asfPayloadVideo
    ASF_DEMUX_STATE_AUDIO_DATA = 4,       // payload of stream 2 in asfPayloadAudio
    ASF_DEMUX_STATE_BINARY_DATA = 5,      // payload of stream 3 in asfPayloadBinary
    ASF_DEMUX_STATE_HEADER_OBJECT = 6,
    ASF_DEMUX_STATE_FILE_PROPERTIES_OBJECT = 7,
    ASF_DEMUX_STATE_HEADER_EXTENSION_OBJECT = 8,  // fixed part only
    ASF_DEMUX_STATE_STREAM_PROPERTIES_OBJECT_VIDEO = 9,
    ASF_DEMUX_STATE_STREAM_PROPERTIES_OBJECT_AUDIO = 10,
    ASF_DEMUX_STATE_STREAM_PROPERTIES_OBJECT_BINARY = 11,
    ASF_DEMUX_STATE_CODEC_LIST_OBJECT = 12,
    ASF_DEMUX_STATE_DATA_OBJECT = 13,  // data packets follow
    ASF_DEMUX_STATE_SIMPLE_INDEX_OBJECT = 14,
    ASF_DEMUX_STATE_SIMPLE_INDEX_OBJECT_ENTRY = 15,
    ASF_DEMUX_STATE_HEADER_EXTENSION_METADATA_OBJECT = 16,
    ASF_DEMUX_STATE_HEADER_EXTENSION_STREAM_PROPERTIES_OBJECT_VIDEO = 17,
    ASF_DEMUX_STATE_HEADER_EXTENSION_STREAM_PROPERTIES_OBJECT_AUDIO = 18,
    ASF_DEMUX_STATE_HEADER_EXTENSION_STREAM_PROPERTIES_OBJECT_BINARY = 19,
};

struct STRUCT_ASF_DEMUXER_HEADER_OBJECT {
    uint32_t dwNumberOfHeaderObjects;
    uint8_t bReserved1;
    uint8_t bReserved2;
};

struct STRUCT_ASF_DEMUXER_FILE_PROPERTIES_OBJECT {
    ASF_DEMUXER_GUID FileID;
    uint64_t qwFileSize;
    uint64_t qwCreationDate;
    uint64_t qwDataPacketsCount;
    uint64_t qwPlayDuration;
    uint64_t qwSendDuration;
    uint64_t qwPreroll;
    struct {
        uint32_t BroadcastFlag : 1;
        uint32_t SeekableFlag : 1;
        uint32_t Reserved : 30;
    } Flags;
    uint32_t dwMinimumDataPacketSize;
    uint32_t dwMaximumDataPacketSize;
    uint32_t dwMaximumBitrate;
};

struct STRUCT_ASF_DEMUXER_HEADER_EXTENSION_OBJECT {
    ASF_DEMUXER_GUID reservedField1;
    uint16_t wReservedField2;
    uint32_t dwHeaderExtensionDataSize;
};

struct STRUCT_ASF_DEMUXER_STREAM_FLAGS {
    uint16_t StreamNumber : 7;
    uint16_t Reserved : 8;
    uint16_t EncryptionContentFlag : 1;
};

struct STRUCT_TYPE_DEMUXER_SPECIFIC_DATA_VIDEO {
    uint32_t dwEncodedImageWidth;
    uint32_t dwEncodedImageHeight;
    uint8_t bReservedFlags;
    uint16_t wFormatDataSize;
    uint32_t fd_dwFormatDataSize;
    int32_t fd_lImageWidth;
    int32_t fd_lImageHeight;
    uint16_t fd_wReserved;
    uint16_t fd_wBitsPerPixelCount;
    uint32_t fd_dwCompressionID;
    uint32_t fd_dwImageSize;
    int32_t fd_HorizontalPixelsPerMeter;
    int32_t fd_VerticalPixelsPerMeter;
    uint32_t fd_dwColorUsedCount;
    uint32_t fd_dwImportantColorsCount;
    uint8_t* fd_pCodecSpecificData;  // fd_dwFormatDataSize - 40 bytes
};

struct STRUCT_TYPE_DEMUXER_SPECIFIC_DATA_AUDIO {
    uint16_t wCodecID;
    uint16_t wNumberOfChannels;
    uint32_t dwSamplesPerSecond;
    uint32_t dwAverageNumberOfBytesPerSecond;
    uint16_t wBlockAlignment;
    uint16_t wBitsPerSample;
    uint16_t wCodecSpecificDataSize;
    uint8_t* pCodecSpecificData;
};

struct STRUCT_TYPE_DEMUXER_SPECIFIC_DATA_BINARY {
    ASF_DEMUXER_GUID MajorMediaType;
    ASF_DEMUXER_GUID MediaSubtype;
    uint32_t dwFixedSizeSamples;
    uint32_t dwTemporalCompression;
    uint32_t dwSampleSize;
    ASF_DEMUXER_GUID FormatType;
    uint32_t dwFormatDataSize;
    uint8_t* pFormatData;
};

#define ASF_DEMUXER_STREAM_PROPERTIES_HEAD   \
    ASF_DEMUXER_GUID StreamType;             \
    ASF_DEMUXER_GUID ErrorCorrectionType;    \
    uint64_t qwTimeOffset;                   \
    uint32_t dwTypeSpecificDataLength;       \
    uint32_t dwErrorCorrectionDataLength;    \
    STRUCT_ASF_DEMUXER_STREAM_FLAGS Flags;   \
    uint32_t Reserved;

struct STRUCT_ASF_DEMUXER_STREAM_PROPERTIES_OBJECT_VIDEO {
    ASF_DEMUXER_STREAM_PROPERTIES_HEAD
    STRUCT_TYPE_DEMUXER_SPECIFIC_DATA_VIDEO typeSpecificData;
    uint8_t* pErrorCorrectionData;
};

struct STRUCT_ASF_DEMUXER_STREAM_PROPERTIES_OBJECT_AUDIO {
    ASF_DEMUXER_STREAM_PROPERTIES_HEAD
    STRUCT_TYPE_DEMUXER_SPECIFIC_DATA_AUDIO typeSpecificData;
    uint8_t* pErrorCorrectionData;
};

struct STRUCT_ASF_DEMUXER_STREAM_PROPERTIES_OBJECT_BINARY {
    ASF_DEMUXER_STREAM_PROPERTIES_HEAD
    STRUCT_TYPE_DEMUXER_SPECIFIC_DATA_BINARY typeSpecificData;
    uint8_t* pErrorCorrectionData;
};

#undef ASF_DEMUXER_STREAM_PROPERTIES_HEAD

struct STRUCT_ASF_DEMUXER_CLO_CODEC_ENTRY {
    uint16_t wType;
    uint16_t wCodecNameLength;  // characters
    uint16_t* pUniCodecName;
    uint16_t wCodecDescriptionLength;  // characters
    uint16_t* pUniCodecDescription;
    uint16_t wCodecInformationLength;  // bytes
    uint8_t* pCodecInformation;
};

struct STRUCT_ASF_DEMUXER_CODEC_LIST_OBJECT {
    ASF_DEMUXER_GUID Reserved;
    uint32_t dwCodecEntriesCount;
    STRUCT_ASF_DEMUXER_CLO_CODEC_ENTRY* pCodecEntries;
};

struct STRUCT_ASF_DEMUXER_DATA_OBJECT {
    ASF_DEMUXER_GUID FileID;
    uint64_t qwTotalDataPackets;
    uint16_t wReserved;
};

struct STRUCT_ASF_PAYLOAD {
    struct {
        uint8_t bStreamNumber : 7;
        uint8_t bKeyFrameBit : 1;
    } Info;
    uint32_t dwMediaObjectNumber;
    uint32_t dwOffsetIntoMediaObject;
    uint32_t dwFullSizeOfMediaObject;
    uint32_t dwPayloadSize;
    uint32_t dwPTS;  // ms
    const uint8_t* pAddrInUserBuffer;
};

struct STRUCT_ASF_SIMPLE_INDEX_OBJECT {
    ASF_DEMUXER_GUID FileID;
    uint64_t qwIndexEntryTimeInterval;
    uint32_t dwMaximumPacketCount;
    uint32_t dwIndexEntriesCount;
};

struct STRUCT_ASF_DEMUXER_SIMPLE_INDEX_ENTRY {
    uint32_t dwPacketNumber;
    uint16_t wPacketCount;
};

struct STRUCT_ASF_DEMUXER_METADATA_DESCRIPTION_RECORD {
    uint16_t wStreamNumber;
    uint16_t wNameLength;  // bytes
    uint16_t wDataType;
    uint32_t dwDataLength;
    uint8_t* pUniName;
    uint8_t* pData;
};

struct STRUCT_ASF_DEMUXER_METADATA_OBJECT {
    uint16_t wDescriptionRecordsCount;
    STRUCT_ASF_DEMUXER_METADATA_DESCRIPTION_RECORD* pDescriptionRecords;
};

struct STRUCT_ASF_DEMUXER_STREAM_NAMES {
    uint16_t wLanguageIDIndex;
    uint16_t wStreamNameLength;  // bytes
    uint8_t* pUniStreamName;
};

struct STRUCT_ASF_DEMUXER_PAYLOAD_EXTENSION_SYSTEMS {
    ASF_DEMUXER_GUID ExtensionSystemID;
    uint16_t wExtensionDataSize;
    uint32_t dwExtensionSystemInfoLength;
    uint8_t* pExtensionSystemInfo;
};

struct STRUCT_ASF_DEMUXER_EXTENDED_STREAM_PROPERTIES_OBJECT {
    uint64_t qwStartTime;
    uint64_t qwEndTime;
    uint32_t dwDataBitrate;
    uint32_t dwBufferSize;
    uint32_t dwInitialBufferFullness;
    uint32_t dwAlternateDataBitrate;
    uint32_t dwAlternateBufferSize;
    uint32_t dwAlternateInitialBufferFullness;
    uint32_t dwMaximumObjectSize;
    struct {
        uint32_t dwReliableFlag : 1;
        uint32_t dwSeekableFlag : 1;
        uint32_t dwNoCleanpointsFlag : 1;
        uint32_t dwResendLiveCleanpointsFlag : 1;
        uint32_t dwReservedFlags : 28;
    } Flags;
    uint16_t wStreamNumber;
    uint16_t wStreamLanguageIDIndex;
    uint64_t qwAverageTimePerFrame;
    uint16_t wStreamNameCount;
    uint16_t wPayloadExtensionSystemCount;
    STRUCT_ASF_DEMUXER_STREAM_NAMES* pStreamNames;
    STRUCT_ASF_DEMUXER_PAYLOAD_EXTENSION_SYSTEMS* pPayloadExtensionSystems;
};

struct ASF_DEMUX_CONTEXT {
    ASF_DEMUX_MALLOC_CALLBACK pCallbackMalloc;
    ASF_DEMUX_FREE_CALLBACK pCallbackFree;
    STRUCT_ASF_DEMUXER_HEADER_OBJECT asfHeaderObject;
    STRUCT_ASF_DEMUXER_FILE_PROPERTIES_OBJECT asfFilePropertiesObject;
    STRUCT_ASF_DEMUXER_HEADER_EXTENSION_OBJECT asfHeaderExtensionObject;
    STRUCT_ASF_DEMUXER_STREAM_PROPERTIES_OBJECT_VIDEO asfStreamPropertiesObjectVideo;
    STRUCT_ASF_DEMUXER_STREAM_PROPERTIES_OBJECT_AUDIO asfStreamPropertiesObjectAudio;
    STRUCT_ASF_DEMUXER_STREAM_PROPERTIES_OBJECT_BINARY asfStreamPropertiesObjectBinary;
    STRUCT_ASF_DEMUXER_CODEC_LIST_OBJECT asfCodecListObject;
    STRUCT_ASF_DEMUXER_DATA_OBJECT asfDataObject;
    STRUCT_ASF_PAYLOAD asfPayloadVideo;
    STRUCT_ASF_PAYLOAD asfPayloadAudio;
    STRUCT_ASF_PAYLOAD asfPayloadBinary;
    STRUCT_ASF_SIMPLE_INDEX_OBJECT asfSimpleIndexObject;
    STRUCT_ASF_DEMUXER_SIMPLE_INDEX_ENTRY asfSimpleIndexObjectEntry;
    STRUCT_ASF_DEMUXER_METADATA_OBJECT asfHeaderExtensionMetaDataObject;
    STRUCT_ASF_DEMUXER_EXTENDED_STREAM_PROPERTIES_OBJECT asfExtendedStreamPropertiesObjectVideo;
    STRUCT_ASF_DEMUXER_EXTENDED_STREAM_PROPERTIES_OBJECT asfExtendedStreamPropertiesObjectAudio;
    STRUCT_ASF_DEMUXER_EXTENDED_STREAM_PROPERTIES_OBJECT asfExtendedStreamPropertiesObjectBinary;
    void* pPrivateContext;
};

// Requests the context and the private parse state (both zero-filled) through
// mallocCb; null when either request fails.
ASF_DEMUX_CONTEXT* ASF_Demux_Create(ASF_DEMUX_MALLOC_CALLBACK mallocCb, ASF_DEMUX_FREE_CALLBACK freeCb);

// Parses one unit at the start of buffer[0..size). *consumed is written for
// every result except ASF_DEMUX_STATE_NEED_MORE_DATA and an
// ASF_DEMUX_STATE_UNKNOWN that consumed nothing; when written it is at least
// 1, so a caller that drops the consumed bytes always moves on. An
// allocation that fails ends the call with ASF_DEMUX_STATE_UNKNOWN, nothing
// consumed. So does a damaged file: an object that the reader reads whole or
// skips by its declared size, declaring less than its 24-byte header (and,
// when skipped, less than the bytes read to recognise it) or more than a
// 32-bit buffer can hold. A caller stops at that result.
ASF_DEMUX_STATE ASF_Demux_Parse(ASF_DEMUX_CONTEXT* ctx, const uint8_t* buffer, uint32_t size, uint32_t* consumed);

// Returns every block the parser obtained, then the context itself.
void ASF_Demux_Close(ASF_DEMUX_CONTEXT* ctx);
