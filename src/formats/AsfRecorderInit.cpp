#include "formats/AsfRecorderInit.h"

#include <cstdio>
#include <cstdlib>

namespace {

void HeapAlloc(void** p, size_t length, ASF_MUX_MALLOC_REASON) { *p = std::malloc(length ? length : 1); }
void HeapFree(void* p) { std::free(p); }
void* FileOpen(const char* name, const char* mode) { return std::fopen(name, mode); }
int FileClose(void* f) { return std::fclose(static_cast<FILE*>(f)); }
size_t FileWrite(const void* d, size_t size, size_t count, void* f) {
    return std::fwrite(d, size, count, static_cast<FILE*>(f));
}
int FileSeek(void* f, long offset, int origin) { return std::fseek(static_cast<FILE*>(f), offset, origin); }
long FileTell(void* f) { return std::ftell(static_cast<FILE*>(f)); }

template <size_t N>
void AsciiToUtf16(std::array<uint8_t, N>& out, const char* text) {
    for (size_t i = 0; i * 2 + 1 < N; ++i) {
        out[i * 2] = static_cast<uint8_t>(text[i]);
        out[i * 2 + 1] = 0;
        if (text[i] == '\0') break;
    }
}

void Esp(STRUCT_ASF_MUXER_EXTENDED_STREAM_PROPERTIES_OBJECT& e, uint32_t bitrate, uint32_t buffer, uint16_t stream,
         uint64_t timePerFrame) {
    e = {};
    e.dwDataBitrate = bitrate;
    e.dwAlternateDataBitrate = bitrate;
    e.dwBufferSize = buffer;
    e.dwAlternateBufferSize = buffer;
    e.Flags.dwSeekableFlag = 1;
    e.wStreamNumber = stream;
    e.qwAverageTimePerFrame = timePerFrame;
}

}  // namespace

uint64_t AsfCreationDate(int64_t seconds, int64_t microseconds) {
    return static_cast<uint64_t>(seconds * 10000000 + microseconds * 10 + 116444736000000000LL);
}

void MakeRecorderMuxInit(AsfRecorderSetup& s, const char* fileName, uint32_t width, uint32_t height,
                         uint32_t videoBitrate, uint32_t framesPerSecond, uint64_t creationDate) {
    ASF_MUX_INIT_STRUCT& in = s.init;
    in = {};
    in.pCallbackMalloc = HeapAlloc;
    in.pCallbackFree = HeapFree;
    in.pCallbackFopen = FileOpen;
    in.pCallbackFclose = FileClose;
    in.pCallbackFwrite = FileWrite;
    in.pCallbackFseek = FileSeek;
    in.pCallbackFtell = FileTell;
    in.strFileName = fileName;
    in.filePropertiesObject.qwCreationDate = creationDate;
    in.filePropertiesObject.dwDataPacketSize = kAsfPacketSize;

    auto& v = in.typeSpecificDataVideo;
    v.dwEncodedImageWidth = width;
    v.dwEncodedImageHeight = height;
    v.wBitsPerPixelCount = 16;
    v.dwCompressionID = 'H' | '2' << 8 | '6' << 16 | uint32_t{'4'} << 24;
    v.dwImageSize = width * 3 * height;

    // Audio spread: span 1, virtual packet and chunk length 400, one byte of silence 0.
    s.audioSpread = {0x01, 0x90, 0x01, 0x90, 0x01, 0x01, 0x00, 0x00};
    auto& a = in.typeSpecificDataAudio;
    a.wCodecID = 0x0045;  // G.726 ADPCM
    a.wNumberOfChannels = 1;
    a.dwSamplesPerSecond = 8000;
    a.dwAverageNumberOfBytesPerSecond = 4000;
    a.wBlockAlignment = 1;
    a.wBitsPerSample = 4;
    a.dwErrorCorrectionDataLength = 8;
    a.pErrorCorrectionData = s.audioSpread.data();

    s.binaryFormat = {0x00};
    auto& b = in.typeSpecificDataBinary;
    b.MajorMediaType = GUID_Mux_ASF_Binary_Media;
    b.dwFormatDataSize = 1;
    b.pFormatData = s.binaryFormat.data();

    s.codecName = {0};
    s.videoCodecInfo = {'H', '2', '6', '4'};
    s.audioCodecInfo = {0x45, 0x00};
    s.binaryCodecInfo = {'I', '4', '2', '0'};
    s.codecEntries[0] = {1, 1, s.codecName.data(), 0, nullptr, 4, s.videoCodecInfo.data()};
    s.codecEntries[1] = {2, 1, s.codecName.data(), 0, nullptr, 2, s.audioCodecInfo.data()};
    s.codecEntries[2] = {3, 1, s.codecName.data(), 0, nullptr, 4, s.binaryCodecInfo.data()};
    in.codecListObject = {3, s.codecEntries.data()};

    AsciiToUtf16(s.nameIsVbr, "IsVBR");
    AsciiToUtf16(s.nameNtsc, "NTSC");
    s.vbrOn = {1, 0};
    s.vbrOff = {0, 0};
    s.ntscOn = {1, 0, 0, 0};
    s.metadata[0] = {1, 12, 2, 2, s.nameIsVbr.data(), s.vbrOn.data()};
    s.metadata[1] = {2, 12, 2, 2, s.nameIsVbr.data(), s.vbrOff.data()};
    s.metadata[2] = {3, 12, 2, 2, s.nameIsVbr.data(), s.vbrOff.data()};
    s.metadata[3] = {1, 10, 3, 4, s.nameNtsc.data(), s.ntscOn.data()};
    in.asfHeaderExtensionMetaDataObject = {4, s.metadata.data()};

    Esp(in.asfExtendedStreamPropertiesObjectVideo, videoBitrate, 1000, 1,
        framesPerSecond ? 10000000 / framesPerSecond : 0);
    Esp(in.asfExtendedStreamPropertiesObjectAudio, 32000, 2000, 2, 0);
    Esp(in.asfExtendedStreamPropertiesObjectBinary, 0, 1000, 3, 0);

    in.qwIndexEntryTimeInterval = kAsfIndexInterval;
    in.dwMaxNumberOfVideoKeyframes = 1000;
}
