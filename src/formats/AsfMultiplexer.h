// ASF writer: three elementary streams (video = stream 1, audio = stream 2,
// binary records = stream 3) into one Advanced Systems Format file of
// fixed-size data packets. The header is written by ASF_Mux_Create, packets as
// media objects arrive, and the header fields that depend on the content plus
// a simple index by ASF_Mux_Close. All memory and file access goes through the
// caller's callbacks. Everything in the file is little-endian.
//
// One context writes one file and is owned by one thread.
#pragma once

#include <cstddef>
#include <cstdint>

#include "formats/AsfGuid.h"

using ASF_MUXER_GUID = diviv::asf::GuidBytes;

inline constexpr ASF_MUXER_GUID GUID_Mux_ASF_Header_Object = diviv::asf::kHeaderObject;
inline constexpr ASF_MUXER_GUID GUID_Mux_ASF_File_Properties_Object = diviv::asf::kFilePropertiesObject;
inline constexpr ASF_MUXER_GUID GUID_Mux_ASF_Header_Extension_Object = diviv::asf::kHeaderExtensionObject;
inline constexpr ASF_MUXER_GUID GUID_Mux_ASF_Reserved_Field_1 = diviv::asf::kReservedField1;
inline constexpr ASF_MUXER_GUID GUID_Mux_ASF_Metadata_Object = diviv::asf::kMetadataObject;
inline constexpr ASF_MUXER_GUID GUID_Mux_ASF_Extended_Stream_Properties_Object =
    diviv::asf::kExtendedStreamPropertiesObject;
inline constexpr ASF_MUXER_GUID GUID_Mux_ASF_Stream_Properties_Object = diviv::asf::kStreamPropertiesObject;
inline constexpr ASF_MUXER_GUID GUID_Mux_ASF_VIDEO_MEDIA = diviv::asf::kVideoMedia;
inline constexpr ASF_MUXER_GUID GUID_Mux_ASF_AUDIO_MEDIA = diviv::asf::kAudioMedia;
inline constexpr ASF_MUXER_GUID GUID_Mux_ASF_BINARY_MEDIA = diviv::asf::kBinaryMedia;
inline constexpr ASF_MUXER_GUID GUID_Mux_ASF_Binary_Media = diviv::asf::kBinaryMedia;
inline constexpr ASF_MUXER_GUID GUID_Mux_ASF_No_Error_Correction = diviv::asf::kNoErrorCorrection;
inline constexpr ASF_MUXER_GUID GUID_Mux_ASF_Audio_Spread = diviv::asf::kAudioSpread;
inline constexpr ASF_MUXER_GUID GUID_Mux_ASF_Codec_List_Object = diviv::asf::kCodecListObject;
inline constexpr ASF_MUXER_GUID GUID_Mux_ASF_Reserved_2 = diviv::asf::kReserved2;
inline constexpr ASF_MUXER_GUID GUID_Mux_ASF_Data_Object = diviv::asf::kDataObject;
inline constexpr ASF_MUXER_GUID GUID_Mux_ASF_Simple_Index_Object = diviv::asf::kSimpleIndexObject;

enum ASF_MUX_MALLOC_REASON {
    ASF_MUX_MALLOC_REASON_UNKNOWN = 0,
    ASF_MUX_MALLOC_REASON_CONTEXT = 1,  // every block the writer requests
};

// Media object types for ASF_Mux_WriteData; the stream number is type + 1.
enum ASF_MUX_DATA_TYPE {
    ASF_MUX_DATA_TYPE_VIDEO = 0,
    ASF_MUX_DATA_TYPE_AUDIO = 1,
    ASF_MUX_DATA_TYPE_BINARY = 2,
};

// Stores a new block of `length` bytes in *ppAddr, or null when there is none.
typedef void (*ASF_MUX_MALLOC_CALLBACK)(void** ppAddr, size_t length, ASF_MUX_MALLOC_REASON reason);
typedef void (*ASF_MUX_FREE_CALLBACK)(void* pAddr);
typedef void* (*ASF_MUX_FOPEN_CALLBACK)(const char* name, const char* mode);  // null on failure
typedef int (*ASF_MUX_FCLOSE_CALLBACK)(void* handle);
typedef size_t (*ASF_MUX_FWRITE_CALLBACK)(const void* data, size_t size, size_t count, void* handle);
typedef int (*ASF_MUX_FSEEK_CALLBACK)(void* handle, long offset, int origin);  // origin 0 only
typedef long (*ASF_MUX_FTELL_CALLBACK)(void* handle);

struct AFX_MUX_FILE_PROPERTIES_OBJECT {
    ASF_MUXER_GUID fileID;
    uint64_t qwCreationDate;    // 100-ns units since 1601-01-01
    uint32_t dwDataPacketSize;  // bytes per data packet, 64 to 65535
};

struct STRUCT_TYPE_MUXER_SPECIFIC_DATA_VIDEO {
    uint32_t dwEncodedImageWidth;
    uint32_t dwEncodedImageHeight;
    uint16_t wBitsPerPixelCount;
    uint32_t dwCompressionID;  // four characters, first in the low byte
    uint32_t dwImageSize;
    uint32_t dwCodecSpecificDataLength;
    uint8_t* pCodecSpecificData;
    uint32_t dwErrorCorrectionDataLength;
    uint8_t* pErrorCorrectionData;
};

struct STRUCT_TYPE_MUXER_SPECIFIC_DATA_AUDIO {
    uint16_t wCodecID;
    uint16_t wNumberOfChannels;
    uint32_t dwSamplesPerSecond;
    uint32_t dwAverageNumberOfBytesPerSecond;
    uint16_t wBlockAlignment;
    uint16_t wBitsPerSample;
    uint16_t wCodecSpecificDataSize;
    uint8_t* pCodecSpecificData;
    uint32_t dwErrorCorrectionDataLength;
    uint8_t* pErrorCorrectionData;
};

struct STRUCT_TYPE_MUXER_SPECIFIC_DATA_BINARY {
    ASF_MUXER_GUID MajorMediaType;
    ASF_MUXER_GUID MediaSubtype;
    uint32_t dwFixedSizeSamples;
    uint32_t dwTemporalCompression;
    uint32_t dwSampleSize;
    ASF_MUXER_GUID FormatType;
    uint32_t dwFormatDataSize;
    uint8_t* pFormatData;
    uint32_t dwErrorCorrectionDataLength;
    uint8_t* pErrorCorrectionData;
};

struct ASF_MUX_CODEC_ENTRY {
    uint16_t wType;
    uint16_t wCodecNameLength;  // UTF-16 units
    uint16_t* pUniCodecName;
    uint16_t wCodecDescriptionLength;  // UTF-16 units
    uint16_t* pUniCodecDescription;
    uint16_t wCodecInformationLength;  // bytes
    uint8_t* pCodecInformation;
};

struct ASF_MUX_CODEC_LIST_OBJECT {
    uint32_t dwCodecEntriesCount;
    ASF_MUX_CODEC_ENTRY* pCodecEntries;
};

struct STRUCT_ASF_MUXER_METADATA_DESCRIPTION_RECORD {
    uint16_t wStreamNumber;
    uint16_t wNameLength;  // bytes of UTF-16LE, terminating NUL included
    uint16_t wDataType;
    uint32_t dwDataLength;
    uint8_t* pUniName;
    uint8_t* pData;
};

struct STRUCT_ASF_MUXER_METADATA_OBJECT {
    uint16_t wDescriptionRecordsCount;
    STRUCT_ASF_MUXER_METADATA_DESCRIPTION_RECORD* pDescriptionRecords;
};

struct STRUCT_ASF_MUXER_STREAM_NAMES {
    uint16_t wLanguageIDIndex;
    uint16_t wStreamNameLength;  // bytes
    uint8_t* pUniStreamName;
};

struct STRUCT_ASF_MUXER_PAYLOAD_EXTENSION_SYSTEMS {
    ASF_MUXER_GUID ExtensionSystemID;
    uint16_t wExtensionDataSize;
    uint32_t dwExtensionSystemInfoLength;
    uint8_t* pExtensionSystemInfo;
};

struct STRUCT_ASF_MUXER_EXTENDED_STREAM_PROPERTIES_OBJECT {
    uint32_t dwDataBitrate;  // bit/s
    uint32_t dwBufferSize;   // ms
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
    uint64_t qwAverageTimePerFrame;  // 100-ns units
    uint16_t wStreamNameCount;
    uint16_t wPayloadExtensionSystemCount;
    STRUCT_ASF_MUXER_STREAM_NAMES* pStreamNames;
    STRUCT_ASF_MUXER_PAYLOAD_EXTENSION_SYSTEMS* pPayloadExtensionSystems;
};

struct ASF_MUX_INIT_STRUCT {
    ASF_MUX_MALLOC_CALLBACK pCallbackMalloc;
    ASF_MUX_FREE_CALLBACK pCallbackFree;
    ASF_MUX_FOPEN_CALLBACK pCallbackFopen;
    ASF_MUX_FCLOSE_CALLBACK pCallbackFclose;
    ASF_MUX_FWRITE_CALLBACK pCallbackFwrite;
    ASF_MUX_FSEEK_CALLBACK pCallbackFseek;
    ASF_MUX_FTELL_CALLBACK pCallbackFtell;
    const char* strFileName;
    AFX_MUX_FILE_PROPERTIES_OBJECT filePropertiesObject;
    STRUCT_TYPE_MUXER_SPECIFIC_DATA_VIDEO typeSpecificDataVideo;
    STRUCT_TYPE_MUXER_SPECIFIC_DATA_AUDIO typeSpecificDataAudio;
    STRUCT_TYPE_MUXER_SPECIFIC_DATA_BINARY typeSpecificDataBinary;
    ASF_MUX_CODEC_LIST_OBJECT codecListObject;
    STRUCT_ASF_MUXER_METADATA_OBJECT asfHeaderExtensionMetaDataObject;
    STRUCT_ASF_MUXER_EXTENDED_STREAM_PROPERTIES_OBJECT asfExtendedStreamPropertiesObjectVideo;
    STRUCT_ASF_MUXER_EXTENDED_STREAM_PROPERTIES_OBJECT asfExtendedStreamPropertiesObjectAudio;
    STRUCT_ASF_MUXER_EXTENDED_STREAM_PROPERTIES_OBJECT asfExtendedStreamPropertiesObjectBinary;
    uint64_t qwIndexEntryTimeInterval;     // 100-ns units
    uint32_t dwMaxNumberOfVideoKeyframes;  // entries of the key-frame table
};

struct ASF_MUX_DATA_INFO {
    uint8_t bKeyFrame;
    uint32_t dwPTS;  // presentation time, ms
};

struct ASF_MUX_CONTEXT {
    void* pPrivateContext;
};

// Opens the file and writes the header and the data object header. Null when
// an allocation or the open fails, or the packet size is outside 64..65535.
ASF_MUX_CONTEXT* ASF_Mux_Create(ASF_MUX_INIT_STRUCT* init);

// Queues one media object of `dataType` (ASF_MUX_DATA_TYPE) and writes every
// packet that is complete. Objects are stored in the order they are passed.
// The caller may reuse `data` when the call returns. 0 on success; 1 when the
// object is refused (pending table full, bad arguments) or packetizing failed.
int ASF_Mux_WriteData(ASF_MUX_CONTEXT* ctx, int dataType, const uint8_t* data, uint32_t length,
                      const ASF_MUX_DATA_INFO* info);

// Flushes every pending object, completes the header fields, appends the
// simple index, writes the file size, closes the file and frees the context.
void ASF_Mux_Close(ASF_MUX_CONTEXT* ctx);

// The recorder's fixed values that are not stream-specific.
inline constexpr uint32_t kAsfPacketSize = 3200;
inline constexpr uint64_t kAsfIndexInterval = 10000000;  // 1 s in 100-ns units
