#include "AsfFileReader.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>

namespace media {
namespace {

constexpr size_t kMaxBuffer = size_t{256} << 20;  // a single unit larger than this is refused

struct DemuxCloser {
    void operator()(ASF_DEMUX_CONTEXT* c) const { ASF_Demux_Close(c); }
};
using Demux = std::unique_ptr<ASF_DEMUX_CONTEXT, DemuxCloser>;

void HeapFree(void* p) { std::free(p); }

// Source of bytes: returns how many were placed in dst (0 at the end).
using Source = std::function<size_t(uint8_t* dst, size_t room)>;

WalkResult Walk(const Source& source, size_t chunk, const UnitCallback& onUnit) {
    WalkResult res;
    Demux demux(ASF_Demux_Create(CustomMalloc_Demux, HeapFree));
    if (!demux) {
        res.error = "out of memory";
        return res;
    }
    std::vector<uint8_t> buf(std::max<size_t>(chunk, 64));
    size_t begin = 0, end = 0;
    bool eof = false;
    bool header = false, data = false;  // Header Object first, Data Object reached
    auto at = [&res] { return " at offset " + std::to_string(res.endOffset); };
    for (;;) {
        uint32_t consumed = UINT32_MAX;
        const ASF_DEMUX_STATE st =
            ASF_Demux_Parse(demux.get(), buf.data() + begin, static_cast<uint32_t>(end - begin), &consumed);
        if (st == ASF_DEMUX_STATE_NEED_MORE_DATA) {
            if (eof) {
                // A recording holds at least its whole header and the Data
                // Object's head (an unfinished one may have no packet).
                if (res.endOffset == 0 && end == begin) {
                    res.error = "empty file, not a recording";
                } else if (end != begin) {
                    res.error = "damaged file: it ends inside a unit" + at();
                } else if (!header) {
                    res.error = "not a recording: no ASF header";
                } else if (!data) {
                    res.error = "not a recording: the file ends inside its header" + at() + ", before the Data Object";
                } else {
                    res.ok = true;
                }
                return res;
            }
            // Compact, grow when a single unit fills the buffer, refill.
            if (begin > 0) {
                std::memmove(buf.data(), buf.data() + begin, end - begin);
                end -= begin;
                begin = 0;
            }
            if (end == buf.size()) {
                if (buf.size() >= kMaxBuffer) {
                    res.error = "damaged file: a unit larger than " + std::to_string(kMaxBuffer) + " bytes" + at();
                    return res;
                }
                buf.resize(buf.size() * 2);
            }
            const size_t room = std::min(buf.size() - end, chunk);
            const size_t got = source(buf.data() + end, room);
            if (got == 0) eof = true;
            end += got;
            continue;
        }
        if (st == ASF_DEMUX_STATE_UNKNOWN && consumed == UINT32_MAX) {
            res.error = (header ? "damaged file: unrecognised or invalid data" : "not a recording: no ASF header") + at();
            return res;
        }
        // Every answer must move the walk on: one that consumed nothing (or
        // more than there was) would be asked again for ever.
        if (consumed == 0 || consumed > end - begin) {
            res.error = "damaged file: the reader made no progress" + at();
            return res;
        }
        if (res.endOffset == 0) header = st == ASF_DEMUX_STATE_HEADER_OBJECT;
        if (st == ASF_DEMUX_STATE_DATA_OBJECT) data = true;
        const uint64_t unitOffset = res.endOffset;
        begin += consumed;
        res.endOffset += consumed;
        if (!onUnit(st, *demux, unitOffset)) {
            res.ok = true;
            return res;
        }
    }
}

}  // namespace

WalkResult WalkAsfFile(const std::string& path, const UnitCallback& onUnit) {
    std::unique_ptr<FILE, int (*)(FILE*)> f(std::fopen(path.c_str(), "rb"), std::fclose);
    if (!f) {
        WalkResult r;
        r.error = "cannot open " + path + ": " + std::strerror(errno);
        return r;
    }
    FILE* fp = f.get();
    return Walk([fp](uint8_t* dst, size_t room) { return std::fread(dst, 1, room, fp); }, 1 << 16, onUnit);
}

WalkResult WalkAsfBytes(const uint8_t* data, size_t size, size_t chunk, const UnitCallback& onUnit) {
    size_t pos = 0;
    return Walk(
        [&](uint8_t* dst, size_t room) {
            const size_t n = std::min(room, size - pos);
            if (n) std::memcpy(dst, data + pos, n);
            pos += n;
            return n;
        },
        chunk, onUnit);
}

bool ObjectAssembler::Add(const STRUCT_ASF_PAYLOAD& p, MediaObject& done) {
    if (p.dwOffsetIntoMediaObject == 0) {
        if (active_) ++broken_;
        cur_ = MediaObject{p.Info.bStreamNumber, p.Info.bKeyFrameBit != 0, p.dwPTS, p.dwMediaObjectNumber, {}};
        cur_.data.reserve(std::min<uint32_t>(p.dwFullSizeOfMediaObject, 1u << 20));  // the size is untrusted
        active_ = true;
    } else if (!active_ || p.dwOffsetIntoMediaObject != cur_.data.size() || p.dwMediaObjectNumber != cur_.number) {
        if (active_) ++broken_;
        active_ = false;
        return false;
    }
    cur_.data.insert(cur_.data.end(), p.pAddrInUserBuffer, p.pAddrInUserBuffer + p.dwPayloadSize);
    if (cur_.data.size() < p.dwFullSizeOfMediaObject) return false;
    if (cur_.data.size() > p.dwFullSizeOfMediaObject) {
        ++broken_;
        active_ = false;
        return false;
    }
    done = std::move(cur_);
    active_ = false;
    return true;
}

}  // namespace media
