// info, extract and g726: everything that reads recordings or code words.
#include <algorithm>
#include <cinttypes>
#include <ctime>
#include <vector>

#include "AnnexB.h"
#include "AsfFileReader.h"
#include "CheckCommand.h"
#include "MediaCommands.h"
#include "WavFile.h"
#include "formats/AsfCrypt.h"
#include "formats/g726dec.h"
#include "formats/g726enc.h"

namespace media {
namespace {

struct alignas(16) CodecMemory {
    unsigned char bytes[88];
};

std::string CreationText(uint64_t filetime) {
    const int64_t unixSeconds = static_cast<int64_t>(filetime / 10000000) - 11644473600LL;
    std::time_t t = static_cast<std::time_t>(unixSeconds);
    std::tm tm{};
    char buf[32] = "?";
    if (gmtime_r(&t, &tm)) std::strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S UTC", &tm);
    return buf;
}

std::string FourCc(uint32_t v) {
    std::string s;
    for (int i = 0; i < 4; ++i) {
        const char c = static_cast<char>(v >> (8 * i));
        s += (c >= 32 && c < 127) ? c : '.';
    }
    return s;
}

int Bits(const ASF_DEMUX_CONTEXT& c) {
    const int b = c.asfStreamPropertiesObjectAudio.typeSpecificData.wBitsPerSample;
    return b >= 2 && b <= 5 ? b : 4;
}

}  // namespace

int Info(const ReadOptions& o, FILE* out, std::string& error) {
    uint64_t packets = 0, objects[4] = {}, payloads[4] = {}, bytes[4] = {}, keys = 0, readableKeys = 0;
    uint64_t unknownPayloads = 0, indexEntries = 0;
    uint32_t lastPts[4] = {};
    ObjectAssembler assemble[4];
    MediaObject obj;
    SensorTally records;
    auto onUnit = [&](ASF_DEMUX_STATE st, const ASF_DEMUX_CONTEXT& c) {
        switch (st) {
            case ASF_DEMUX_STATE_HEADER_OBJECT:
                std::fprintf(out, "Header Object: %u header objects\n", c.asfHeaderObject.dwNumberOfHeaderObjects);
                break;
            case ASF_DEMUX_STATE_FILE_PROPERTIES_OBJECT: {
                const auto& f = c.asfFilePropertiesObject;
                std::fprintf(out,
                             "File Properties Object: file size %" PRIu64 ", created %s, %" PRIu64
                             " data packets, play duration %.3f s, packet size %u, max bitrate %u\n",
                             f.qwFileSize, CreationText(f.qwCreationDate).c_str(), f.qwDataPacketsCount,
                             f.qwPlayDuration / 1e7, f.dwMaximumDataPacketSize, f.dwMaximumBitrate);
                break;
            }
            case ASF_DEMUX_STATE_HEADER_EXTENSION_OBJECT:
                std::fprintf(out, "Header Extension Object: %u bytes of extension data\n",
                             c.asfHeaderExtensionObject.dwHeaderExtensionDataSize);
                break;
            case ASF_DEMUX_STATE_HEADER_EXTENSION_METADATA_OBJECT: {
                const auto& md = c.asfHeaderExtensionMetaDataObject;
                std::fprintf(out, "Metadata Object: %u records\n", md.wDescriptionRecordsCount);
                for (uint32_t i = 0; i < md.wDescriptionRecordsCount; ++i) {
                    const auto& r = md.pDescriptionRecords[i];
                    std::string name;
                    for (uint32_t k = 0; k + 1 < r.wNameLength; k += 2)
                        if (r.pUniName[k]) name += static_cast<char>(r.pUniName[k]);
                    uint64_t value = 0;
                    for (uint32_t k = 0; k < r.dwDataLength && k < 8; ++k) value |= uint64_t{r.pData[k]} << (8 * k);
                    std::fprintf(out, "  stream %u %s = %" PRIu64 "\n", r.wStreamNumber, name.c_str(), value);
                }
                break;
            }
            case ASF_DEMUX_STATE_HEADER_EXTENSION_STREAM_PROPERTIES_OBJECT_VIDEO:
            case ASF_DEMUX_STATE_HEADER_EXTENSION_STREAM_PROPERTIES_OBJECT_AUDIO:
            case ASF_DEMUX_STATE_HEADER_EXTENSION_STREAM_PROPERTIES_OBJECT_BINARY: {
                const auto& e = st == ASF_DEMUX_STATE_HEADER_EXTENSION_STREAM_PROPERTIES_OBJECT_VIDEO
                                    ? c.asfExtendedStreamPropertiesObjectVideo
                                : st == ASF_DEMUX_STATE_HEADER_EXTENSION_STREAM_PROPERTIES_OBJECT_AUDIO
                                    ? c.asfExtendedStreamPropertiesObjectAudio
                                    : c.asfExtendedStreamPropertiesObjectBinary;
                std::fprintf(out,
                             "Extended Stream Properties Object: stream %u, %.3f s to %.3f s, %u bit/s, "
                             "buffer %u ms, time per frame %" PRIu64 "\n",
                             e.wStreamNumber, e.qwStartTime / 1e7, e.qwEndTime / 1e7, e.dwDataBitrate, e.dwBufferSize,
                             e.qwAverageTimePerFrame);
                break;
            }
            case ASF_DEMUX_STATE_STREAM_PROPERTIES_OBJECT_VIDEO: {
                const auto& t = c.asfStreamPropertiesObjectVideo.typeSpecificData;
                std::fprintf(out, "Stream Properties Object: stream %u video %s %ux%u, %u bits per pixel\n",
                             c.asfStreamPropertiesObjectVideo.Flags.StreamNumber,
                             FourCc(t.fd_dwCompressionID).c_str(), t.dwEncodedImageWidth, t.dwEncodedImageHeight,
                             t.fd_wBitsPerPixelCount);
                break;
            }
            case ASF_DEMUX_STATE_STREAM_PROPERTIES_OBJECT_AUDIO: {
                const auto& t = c.asfStreamPropertiesObjectAudio.typeSpecificData;
                std::fprintf(out,
                             "Stream Properties Object: stream %u audio codec 0x%04X, %u channel(s), %u Hz, "
                             "%u bytes/s, %u bits per sample\n",
                             c.asfStreamPropertiesObjectAudio.Flags.StreamNumber, t.wCodecID, t.wNumberOfChannels,
                             t.dwSamplesPerSecond, t.dwAverageNumberOfBytesPerSecond, t.wBitsPerSample);
                break;
            }
            case ASF_DEMUX_STATE_STREAM_PROPERTIES_OBJECT_BINARY:
                std::fprintf(out, "Stream Properties Object: stream %u binary, %u bytes of format data\n",
                             c.asfStreamPropertiesObjectBinary.Flags.StreamNumber,
                             c.asfStreamPropertiesObjectBinary.typeSpecificData.dwFormatDataSize);
                break;
            case ASF_DEMUX_STATE_CODEC_LIST_OBJECT:
                std::fprintf(out, "Codec List Object: %u entries\n", c.asfCodecListObject.dwCodecEntriesCount);
                for (uint32_t i = 0; i < c.asfCodecListObject.dwCodecEntriesCount; ++i) {
                    const auto& e = c.asfCodecListObject.pCodecEntries[i];
                    std::string info;
                    for (uint32_t k = 0; k < e.wCodecInformationLength; ++k) {
                        char hex[4];
                        std::snprintf(hex, sizeof hex, "%02X", e.pCodecInformation[k]);
                        info += hex;
                    }
                    std::fprintf(out, "  type %u, information %s\n", e.wType, info.c_str());
                }
                break;
            case ASF_DEMUX_STATE_DATA_OBJECT:
                std::fprintf(out, "Data Object: %" PRIu64 " data packets\n", c.asfDataObject.qwTotalDataPackets);
                break;
            case ASF_DEMUX_STATE_SKIPPED:
                break;
            case ASF_DEMUX_STATE_VIDEO_DATA:
            case ASF_DEMUX_STATE_AUDIO_DATA:
            case ASF_DEMUX_STATE_BINARY_DATA: {
                const int s = st - ASF_DEMUX_STATE_VIDEO_DATA + 1;
                const STRUCT_ASF_PAYLOAD& p = s == 1 ? c.asfPayloadVideo : s == 2 ? c.asfPayloadAudio : c.asfPayloadBinary;
                ++payloads[s];
                if (assemble[s].Add(p, obj)) {
                    ++objects[s];
                    bytes[s] += obj.data.size();
                    lastPts[s] = obj.pts;
                    if (s == 3) records.Add(obj);
                    if (s == 1 && obj.key) {
                        ++keys;
                        if (o.havePass)
                            DeCryptData(obj.data.data(), obj.data.data(), static_cast<uint32_t>(obj.data.size()),
                                        o.pass.data());
                        if (StartsWithStartCode(obj.data)) ++readableKeys;
                    }
                }
                break;
            }
            case ASF_DEMUX_STATE_UNKNOWN:
                ++unknownPayloads;
                break;
            case ASF_DEMUX_STATE_SIMPLE_INDEX_OBJECT: {
                const auto& s = c.asfSimpleIndexObject;
                std::fprintf(out, "Simple Index Object: interval %.3f s, %u entries, max packet count %u\n",
                             s.qwIndexEntryTimeInterval / 1e7, s.dwIndexEntriesCount, s.dwMaximumPacketCount);
                break;
            }
            case ASF_DEMUX_STATE_SIMPLE_INDEX_OBJECT_ENTRY:
                std::fprintf(out, "  %.3f s: packet %u, %u packet(s)\n",
                             indexEntries * (c.asfSimpleIndexObject.qwIndexEntryTimeInterval / 1e7),
                             c.asfSimpleIndexObjectEntry.dwPacketNumber, c.asfSimpleIndexObjectEntry.wPacketCount);
                ++indexEntries;
                break;
            default:
                break;
        }
        return true;
    };
    // Packets have a fixed size: a skipped unit at a packet boundary is a packet header.
    uint64_t dataStart = UINT64_MAX, packetSize = 0;
    WalkResult r = WalkAsfFile(o.input, [&](ASF_DEMUX_STATE st, const ASF_DEMUX_CONTEXT& c, uint64_t offset) {
        if (st == ASF_DEMUX_STATE_DATA_OBJECT) {
            dataStart = offset + 50;
            packetSize = c.asfFilePropertiesObject.dwMaximumDataPacketSize;
        }
        if (st == ASF_DEMUX_STATE_SKIPPED && packetSize && offset >= dataStart && (offset - dataStart) % packetSize == 0)
            ++packets;
        return onUnit(st, c);
    });
    const uint32_t duration = std::max({lastPts[1], lastPts[2], lastPts[3]});
    std::fprintf(out, "Packets read: %" PRIu64 "\n", packets);
    std::fprintf(out, "Duration: %.3f s (last presentation time)\n", duration / 1000.0);
    std::fprintf(out, "Stream 1 video: %" PRIu64 " objects (%" PRIu64 " key", objects[1], keys);
    if (keys) std::fprintf(out, ", %" PRIu64 " start with a start code", readableKeys);
    std::fprintf(out, "), %" PRIu64 " payloads, %" PRIu64 " bytes\n", payloads[1], bytes[1]);
    std::fprintf(out, "Stream 2 audio: %" PRIu64 " objects, %" PRIu64 " payloads, %" PRIu64 " bytes\n", objects[2],
                 payloads[2], bytes[2]);
    std::fprintf(out, "Stream 3 binary: %" PRIu64 " objects, %" PRIu64 " payloads, %" PRIu64 " bytes\n", objects[3],
                 payloads[3], bytes[3]);
    if (unknownPayloads) std::fprintf(out, "Payloads of other streams: %" PRIu64 "\n", unknownPayloads);
    PrintSummaries(out, records);
    if (!r.ok) {
        error = o.input + ": " + r.error;
        return 1;
    }
    return 0;
}

int Extract(const ReadOptions& o, FILE* out, std::string& error) {
    std::vector<uint8_t> video, codes, text;
    ObjectAssembler assemble[4];
    MediaObject obj;
    int bits = 4;
    uint64_t counts[4] = {};
    WalkResult r = WalkAsfFile(o.input, [&](ASF_DEMUX_STATE st, const ASF_DEMUX_CONTEXT& c, uint64_t) {
        if (st == ASF_DEMUX_STATE_STREAM_PROPERTIES_OBJECT_AUDIO) bits = Bits(c);
        if (st < ASF_DEMUX_STATE_VIDEO_DATA || st > ASF_DEMUX_STATE_BINARY_DATA) return true;
        const int s = st - ASF_DEMUX_STATE_VIDEO_DATA + 1;
        const STRUCT_ASF_PAYLOAD& p = s == 1 ? c.asfPayloadVideo : s == 2 ? c.asfPayloadAudio : c.asfPayloadBinary;
        if (!assemble[s].Add(p, obj)) return true;
        ++counts[s];
        if (s == 1 && obj.key && o.havePass)
            DeCryptData(obj.data.data(), obj.data.data(), static_cast<uint32_t>(obj.data.size()), o.pass.data());
        std::vector<uint8_t>& dst = s == 1 ? video : s == 2 ? codes : text;
        dst.insert(dst.end(), obj.data.begin(), obj.data.end());
        return true;
    });
    if (!r.ok) {
        error = o.input + ": " + r.error;
        return 1;
    }
    if (!o.video.empty() && !WriteFile(o.video, video.data(), video.size(), error)) return 1;
    if (!o.text.empty() && !WriteFile(o.text, text.data(), text.size(), error)) return 1;
    if (!o.audio.empty()) {
        CodecMemory mem;
        G726Decoder* dec = g726_dec_create(bits, mem.bytes);
        PcmAudio pcm{8000, 1, std::vector<int16_t>(codes.size() * 8 / bits + 1)};
        const int n = g726_decode(dec, codes.data(), static_cast<int>(codes.size()), pcm.samples.data());
        g726_dec_close(dec);
        pcm.samples.resize(n < 0 ? 0 : n);
        if (!WriteWav(o.audio, pcm, error)) return 1;
    }
    std::fprintf(out, "%s: %" PRIu64 " pictures, %" PRIu64 " audio packets, %" PRIu64 " text records\n",
                 o.input.c_str(), counts[1], counts[2], counts[3]);
    return 0;
}

int G726Convert(bool encode, int bits, const std::string& in, const std::string& outPath, std::string& error) {
    CodecMemory mem;
    if (encode) {
        PcmAudio pcm;
        if (!ReadWav(in, pcm, error)) return 1;
        if (pcm.sampleRate != 8000 || pcm.channels != 1) {
            error = in + " must be 8000 Hz mono";
            return 1;
        }
        G726Encoder* enc = g726_enc_create(bits, mem.bytes);
        std::vector<uint8_t> codes(pcm.samples.size() * bits / 8 + 1);
        const int n = g726_encode(enc, pcm.samples.data(), static_cast<int>(pcm.samples.size()), codes.data());
        g726_enc_close(enc);
        return WriteFile(outPath, codes.data(), n < 0 ? 0 : n, error) ? 0 : 1;
    }
    std::vector<uint8_t> codes;
    if (!ReadFile(in, codes, error)) return 1;
    G726Decoder* dec = g726_dec_create(bits, mem.bytes);
    PcmAudio pcm{8000, 1, std::vector<int16_t>(codes.size() * 8 / bits + 1)};
    const int n = g726_decode(dec, codes.data(), static_cast<int>(codes.size()), pcm.samples.data());
    g726_dec_close(dec);
    pcm.samples.resize(n < 0 ? 0 : n);
    return WriteWav(outPath, pcm, error) ? 0 : 1;
}

}  // namespace media
