// repair: a recording the writer never closed is made whole.
//
// A file cut by a power loss holds the header the writer wrote when it
// opened the file, whole packets, perhaps a partial packet, and nothing of
// what the writer does at close: the header's size and count fields are
// still 0 and the simple index is missing. Its last media object is usually
// incomplete (its remaining bytes were still in the writer's table).
//
// The header is kept as it is on the card (creation date, stream
// descriptions, codec list). Every media object that is complete in the
// whole packets is read back with the project's reader and written again, in
// the order the writer stored them, through the project's writer with the
// file's packet size and file ID: the packets come out as the writer laid
// them out (byte for byte up to the first incomplete object), and the writer
// completes the counts, durations and simple index as it does at close.
// Those completed fields are then copied into the kept header.
#include "RepairCommand.h"

#include <cinttypes>
#include <cstring>
#include <filesystem>
#include <memory>
#include <vector>

#include "AsfFileReader.h"
#include "WavFile.h"
#include "formats/AsfRecorderInit.h"

namespace media {
namespace {

namespace fs = std::filesystem;

constexpr size_t kNone = SIZE_MAX;
constexpr size_t kDataObjectHeader = 50;

// Field offsets inside the objects (from the object's start).
constexpr size_t kObjectSize = 16;
constexpr size_t kFpFileId = 24, kFpFileSize = 40, kFpPacketsCount = 56, kFpPreroll = 80, kFpMinPacket = 92,
                 kFpMaxPacket = 96, kFpSize = 104;
constexpr size_t kEspStartTime = 24, kEspStreamNumber = 72, kEspSize = 88;
constexpr size_t kHeaderExtensionData = 46;
constexpr size_t kDoTotalPackets = 40;
constexpr size_t kIndexInterval = 40, kIndexFixed = 56;

uint64_t Le(const std::vector<uint8_t>& d, size_t at, int bytes) {
    uint64_t v = 0;
    for (int i = 0; i < bytes; ++i) v |= uint64_t{d[at + i]} << (8 * i);
    return v;
}

void PutLe(std::vector<uint8_t>& d, size_t at, uint64_t v, int bytes) {
    for (int i = 0; i < bytes; ++i) d[at + i] = static_cast<uint8_t>(v >> (8 * i));
}

bool IsGuid(const std::vector<uint8_t>& d, size_t at, const diviv::asf::GuidBytes& g) {
    return at + 16 <= d.size() && std::memcmp(d.data() + at, g.data(), 16) == 0;
}

// Where the header's objects lie.
struct Layout {
    size_t dataObject = 0;                         // the Data Object's start = the header's end
    size_t fileProperties = kNone;                 // File Properties Object
    size_t esp[4] = {kNone, kNone, kNone, kNone};  // Extended Stream Properties per stream 1..3
};

// Walks the header object by object (sizes checked against the file) to the
// Data Object. The Header Object's own size field is not trusted: it is the
// one field of the header written last.
bool FindLayout(const std::vector<uint8_t>& f, Layout& l, std::string& error) {
    if (!IsGuid(f, 0, diviv::asf::kHeaderObject) || f.size() < 30) {
        error = "not a recording: no ASF header";
        return false;
    }
    size_t at = 30;
    while (at + 24 <= f.size()) {
        const uint64_t size = Le(f, at + kObjectSize, 8);
        if (IsGuid(f, at, diviv::asf::kDataObject)) {
            l.dataObject = at;
            return true;
        }
        if (size < 24 || size > f.size() - at) {
            error = size < 24 ? "damaged header: an object of " + std::to_string(size) + " bytes at offset " +
                                    std::to_string(at)
                              : "the file ends inside its header (offset " + std::to_string(at) + ")";
            return false;
        }
        if (IsGuid(f, at, diviv::asf::kFilePropertiesObject) && size >= kFpSize) l.fileProperties = at;
        if (IsGuid(f, at, diviv::asf::kHeaderExtensionObject) && size >= kHeaderExtensionData) {
            for (size_t in = at + kHeaderExtensionData; in + 24 <= at + size;) {
                const uint64_t inner = Le(f, in + kObjectSize, 8);
                if (inner < 24 || inner > at + size - in) break;
                if (IsGuid(f, in, diviv::asf::kExtendedStreamPropertiesObject) && inner >= kEspSize) {
                    const uint64_t stream = Le(f, in + kEspStreamNumber, 2);
                    if (stream >= 1 && stream <= 3) l.esp[stream] = in;
                }
                in += inner;
            }
        }
        at += size;
    }
    error = "the file ends inside its header (offset " + std::to_string(at) + "), before the Data Object";
    return false;
}

// The complete media objects of the first `packets` packets, in the order
// they were stored, read with the project's reader. `f` gets the packet
// count in its Data Object so that the reader stops after them.
bool ReadObjects(std::vector<uint8_t>& f, const Layout& l, uint64_t packets, uint32_t packetSize,
                 std::vector<MediaObject>& objects, std::string& damage, std::string& error) {
    PutLe(f, l.dataObject + kDoTotalPackets, packets, 8);
    const size_t end = l.dataObject + kDataObjectHeader + packets * packetSize;
    ObjectAssembler assemble[4];
    MediaObject obj;
    WalkResult r = WalkAsfBytes(f.data(), end, 1 << 16, [&](ASF_DEMUX_STATE st, const ASF_DEMUX_CONTEXT& c, uint64_t) {
        if (st < ASF_DEMUX_STATE_VIDEO_DATA || st > ASF_DEMUX_STATE_BINARY_DATA) return true;
        const int s = st - ASF_DEMUX_STATE_VIDEO_DATA + 1;
        const STRUCT_ASF_PAYLOAD& p = s == 1 ? c.asfPayloadVideo : s == 2 ? c.asfPayloadAudio : c.asfPayloadBinary;
        if (assemble[s].Add(p, obj)) objects.push_back(std::move(obj));
        return true;
    });
    if (!r.ok) {
        if (r.endOffset < l.dataObject + kDataObjectHeader) {
            error = "the header cannot be read: " + r.error;
            return false;
        }
        // A damaged packet: what was complete before it is kept.
        damage = r.error;
    }
    return true;
}

struct FileCloser {
    void operator()(ASF_MUX_CONTEXT* c) const { ASF_Mux_Close(c); }
};

// The objects written again by the project's writer into `path`, with the
// damaged file's packet size, file ID and index interval.
bool Rewrite(const std::vector<MediaObject>& objects, const std::string& path, uint32_t packetSize,
             const uint8_t* fileId, uint64_t indexInterval, std::string& error) {
    auto setup = std::make_unique<AsfRecorderSetup>();
    MakeRecorderMuxInit(*setup, path.c_str(), 640, 480, 0, 30, 0);
    setup->init.filePropertiesObject.dwDataPacketSize = packetSize;
    std::memcpy(setup->init.filePropertiesObject.fileID.data(), fileId, 16);
    if (indexInterval != 0) setup->init.qwIndexEntryTimeInterval = indexInterval;
    std::unique_ptr<ASF_MUX_CONTEXT, FileCloser> mux(ASF_Mux_Create(&setup->init));
    if (!mux) {
        error = "cannot create " + path;
        return false;
    }
    for (const MediaObject& o : objects) {
        const ASF_MUX_DATA_INFO info{static_cast<uint8_t>(o.key ? 1 : 0), o.pts};
        if (ASF_Mux_WriteData(mux.get(), o.stream - 1, o.data.data(), static_cast<uint32_t>(o.data.size()), &info) !=
            0) {
            error = "the writer refused a media object of " + std::to_string(o.data.size()) + " bytes";
            return false;
        }
    }
    mux.reset();
    return true;
}

// The interval of a simple index that follows the packets, or 0.
uint64_t IndexInterval(const std::vector<uint8_t>& f, size_t after) {
    if (after + kIndexFixed > f.size() || !IsGuid(f, after, diviv::asf::kSimpleIndexObject)) return 0;
    const uint64_t interval = Le(f, after + kIndexInterval, 8);
    return interval >= 10000 ? interval : 0;  // under 1 ms the writer would build no entries
}

std::string DefaultOutput(const std::string& input) {
    fs::path p(input);
    return p.replace_extension(".repaired.asf").string();
}

bool SameFile(const std::string& a, const std::string& b) {
    std::error_code ec;
    return fs::equivalent(a, b, ec) && !ec;
}

}  // namespace

int Repair(const RepairOptions& o, FILE* out, std::string& error) {
    const std::string output = o.output.empty() ? DefaultOutput(o.input) : o.output;
    if (SameFile(o.input, output)) {
        error = "repair: the output " + output + " is the input itself; the input is never overwritten";
        return 1;
    }
    std::vector<uint8_t> f;
    if (!ReadFile(o.input, f, error)) return 1;
    const auto fail = [&](const std::string& why) {
        error = o.input + ": cannot be repaired: " + why;
        return 1;
    };
    Layout l;
    if (!FindLayout(f, l, error)) return fail(error);
    if (l.fileProperties == kNone) return fail("the header has no File Properties Object");
    const uint32_t packetSize = static_cast<uint32_t>(Le(f, l.fileProperties + kFpMaxPacket, 4));
    if (packetSize != Le(f, l.fileProperties + kFpMinPacket, 4) || packetSize < 64 || packetSize > 65535)
        return fail("the header gives no usable packet size");
    const size_t dataStart = l.dataObject + kDataObjectHeader;
    if (dataStart > f.size()) return fail("the file ends inside the Data Object's header");

    // Whole packets, each beginning with the writer's error-correction bytes;
    // the first that does not (the index, or bytes never written) ends them.
    uint64_t packets = 0;
    for (size_t at = dataStart; at + packetSize <= f.size() && f[at] == 0x82 && f[at + 1] == 0x00; at += packetSize)
        ++packets;
    if (packets == 0) return fail("no whole data packet");
    const size_t packetsEnd = dataStart + packets * packetSize;
    const uint64_t interval = IndexInterval(f, packetsEnd);

    std::vector<MediaObject> objects;
    std::string damage;
    if (!ReadObjects(f, l, packets, packetSize, objects, damage, error)) return fail(error);
    if (objects.empty()) return fail("no complete media object in the whole packets");

    // The writer's file, from which the completed fields and the packets are taken.
    const std::string part = output + ".part";
    const bool rewritten = Rewrite(objects, part, packetSize, f.data() + l.fileProperties + kFpFileId, interval, error);
    std::vector<uint8_t> w;
    const bool readBack = rewritten && ReadFile(part, w, error);
    std::error_code ec;
    fs::remove(part, ec);
    if (!readBack) return 1;
    // The writer does not report write errors (a full disk): the file it
    // completed must hold what its header says.
    Layout wl;
    if (!FindLayout(w, wl, error) || wl.fileProperties == kNone ||
        Le(w, wl.fileProperties + kFpFileSize, 8) != w.size()) {
        error = "repair: " + part + " was not written whole (is the disk full?)";
        return 1;
    }
    const uint64_t newPackets = Le(w, wl.dataObject + kDoTotalPackets, 8);
    const size_t wData = wl.dataObject + kDataObjectHeader;

    // The kept header with the completed fields: packets count, play and send
    // duration, preroll; each stream's start and end time.
    std::vector<uint8_t> r(f.begin(), f.begin() + static_cast<long>(dataStart));
    PutLe(r, kObjectSize, l.dataObject, 8);
    std::memcpy(&r[l.fileProperties + kFpPacketsCount], &w[wl.fileProperties + kFpPacketsCount],
                kFpPreroll + 8 - kFpPacketsCount);
    for (int s = 1; s <= 3; ++s)
        if (l.esp[s] != kNone && wl.esp[s] != kNone)
            std::memcpy(&r[l.esp[s] + kEspStartTime], &w[wl.esp[s] + kEspStartTime], 16);
    PutLe(r, l.dataObject + kObjectSize, kDataObjectHeader + newPackets * packetSize, 8);
    PutLe(r, l.dataObject + kDoTotalPackets, newPackets, 8);
    // The packets and the simple index as the writer laid them out.
    r.insert(r.end(), w.begin() + static_cast<long>(wData), w.end());
    PutLe(r, l.fileProperties + kFpFileSize, r.size(), 8);
    if (!WriteFile(output, r.data(), r.size(), error)) {
        fs::remove(output, ec);  // no half-written repair left behind
        return 1;
    }

    uint64_t count[4] = {};
    uint32_t last = 0;
    for (const MediaObject& obj : objects) {
        ++count[obj.stream];
        last = std::max(last, obj.pts);
    }
    const size_t indexBytes = w.size() - (wData + newPackets * packetSize);
    std::fprintf(
        out,
        "%s: %" PRIu64 " whole packets (%" PRIu64 " pictures, %" PRIu64 " sound packets, %" PRIu64
        " records, %.3f s), %zu bytes after them (a partial packet, an old index) left out, %s%s; written to %s\n",
        o.input.c_str(), packets, count[1], count[2], count[3], last / 1000.0, f.size() - packetsEnd,
        indexBytes ? ("index of " + std::to_string((indexBytes - kIndexFixed) / 6) + " entries").c_str()
                   : "no index (no key picture)",
        damage.empty() ? "" : (", reading stopped at a damaged packet: " + damage).c_str(), output.c_str());
    return 0;
}

}  // namespace media
