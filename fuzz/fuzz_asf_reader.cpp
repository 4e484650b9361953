// The ASF reader over any bytes, as the recordings tool and playback read a
// file: the units found when the whole file is in one buffer must be the
// units found when it arrives in small pieces; every payload must lie inside
// the buffer it was parsed from; payloads are assembled into media objects,
// key pictures are descrambled with the default pass code and their H.264
// parameter sets are read.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "AnnexB.h"
#include "AsfFileReader.h"
#include "formats/AsfCrypt.h"
#include "formats/AsfDemultiplexer.h"
#include "formats/H264Syntax.h"

namespace {

constexpr uint8_t kPass[4] = {'9', '2', '7', '4'};
constexpr size_t kMaxPictureChecked = 1 << 16;

struct Unit {
    ASF_DEMUX_STATE state;
    uint64_t offset;
    bool operator==(const Unit&) const = default;
};

void HeapFree(void* p) { std::free(p); }

// Reads a payload's bytes, so that AddressSanitizer sees any that lie outside
// the caller's buffer.
uint32_t Touch(const uint8_t* p, uint32_t n) {
    uint32_t sum = 0;
    for (uint32_t i = 0; i < n; ++i) sum += p[i];
    return sum;
}

const STRUCT_ASF_PAYLOAD* PayloadOf(ASF_DEMUX_STATE st, const ASF_DEMUX_CONTEXT& c) {
    switch (st) {
    case ASF_DEMUX_STATE_VIDEO_DATA: return &c.asfPayloadVideo;
    case ASF_DEMUX_STATE_AUDIO_DATA: return &c.asfPayloadAudio;
    case ASF_DEMUX_STATE_BINARY_DATA: return &c.asfPayloadBinary;
    default: return nullptr;
    }
}

// The whole input in one buffer of exactly its size: every unit the reader
// reports, with its payload checked against the buffer.
std::vector<Unit> ParseWhole(const uint8_t* data, size_t size) {
    std::vector<Unit> units;
    std::unique_ptr<uint8_t[]> own(new uint8_t[size ? size : 1]);
    if (size) std::memcpy(own.get(), data, size);
    ASF_DEMUX_CONTEXT* ctx = ASF_Demux_Create(CustomMalloc_Demux, HeapFree);
    if (ctx == nullptr) std::abort();
    uint64_t at = 0;
    while (at < size) {
        uint32_t consumed = 0;
        const uint32_t left = static_cast<uint32_t>(size - at);
        const ASF_DEMUX_STATE st = ASF_Demux_Parse(ctx, own.get() + at, left, &consumed);
        if (st == ASF_DEMUX_STATE_NEED_MORE_DATA) break;
        if (st == ASF_DEMUX_STATE_UNKNOWN && consumed == 0) break;
        if (consumed == 0 || consumed > left) __builtin_trap();  // the reader must move on inside the buffer
        if (const STRUCT_ASF_PAYLOAD* p = PayloadOf(st, *ctx)) {
            const uint8_t* begin = own.get() + at;
            if (p->pAddrInUserBuffer < begin || p->pAddrInUserBuffer + p->dwPayloadSize > begin + consumed)
                __builtin_trap();  // a payload outside the unit it was parsed from
            Touch(p->pAddrInUserBuffer, p->dwPayloadSize);
        }
        units.push_back({st, at});
        at += consumed;
    }
    ASF_Demux_Close(ctx);
    return units;
}

// What the tools do with a whole picture: descramble a key picture, cut the
// stream into access units and read its parameter sets.
void ReadPicture(media::MediaObject& obj) {
    if (obj.data.empty() || obj.data.size() > kMaxPictureChecked) return;
    if (obj.key) DeCryptData(obj.data.data(), obj.data.data(), static_cast<uint32_t>(obj.data.size()), kPass);
    const uint8_t* d = obj.data.data();
    const size_t n = obj.data.size();
    size_t covered = 0;
    for (const media::AccessUnit& u : media::SplitAccessUnits(d, n)) {
        if (u.offset != covered || u.size > n - u.offset) __builtin_trap();  // units must tile the stream
        covered += u.size;
    }
    if (covered != 0 && covered != n) __builtin_trap();
    media::NalTypes(d, n);
    uint32_t w = 0, h = 0;
    media::PictureSize(d, n, w, h);
    diviv::h264::Sps sps;
    diviv::h264::Pps pps;
    bool haveSps = false, havePps = false;
    for (std::span<const uint8_t> nal : diviv::h264::SplitAnnexB({d, n})) {
        const int type = diviv::h264::NalUnitType(nal);
        if (type == diviv::h264::kNalSps) haveSps = diviv::h264::ParseSps(nal, &sps) == diviv::h264::kOk;
        if (type == diviv::h264::kNalPps) havePps = diviv::h264::ParsePps(nal, &pps) == diviv::h264::kOk;
    }
    if (haveSps && havePps) {
        uint8_t skip[diviv::h264::kMaxSkipSliceBytes];
        const int len = diviv::h264::MakeSkipSlice(sps, pps, 1, skip);
        if (len > static_cast<int>(sizeof skip)) __builtin_trap();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::vector<Unit> whole = ParseWhole(data, size);

    // The tools' walk, fed in small pieces.
    const size_t chunk = 1 + size % 1021;
    std::vector<Unit> walked;
    media::ObjectAssembler video, audio, text;
    media::MediaObject done;
    const media::WalkResult r =
        media::WalkAsfBytes(data, size, chunk, [&](ASF_DEMUX_STATE st, const ASF_DEMUX_CONTEXT& c, uint64_t offset) {
            walked.push_back({st, offset});
            if (st == ASF_DEMUX_STATE_VIDEO_DATA && video.Add(c.asfPayloadVideo, done)) ReadPicture(done);
            if (st == ASF_DEMUX_STATE_AUDIO_DATA) audio.Add(c.asfPayloadAudio, done);
            if (st == ASF_DEMUX_STATE_BINARY_DATA) text.Add(c.asfPayloadBinary, done);
            return true;
        });
    // How a file reaches the reader must not change what is read from it.
    if (walked != whole) __builtin_trap();
    if (r.ok && r.endOffset != size) __builtin_trap();
    return 0;
}
