#include "AsfTestKit.h"

#include <algorithm>
#include <cstdlib>
#include <map>
#include <memory>
#include <set>

namespace asftest {
namespace {

struct MemHandle {
    std::vector<uint8_t>* data;
    size_t pos;
};

std::map<std::string, std::vector<uint8_t>>& Files() {
    static std::map<std::string, std::vector<uint8_t>> files;
    return files;
}

std::set<void*>& Blocks() {
    static std::set<void*> blocks;
    return blocks;
}

std::map<MemHandle*, std::unique_ptr<MemHandle>>& Handles() {
    static std::map<MemHandle*, std::unique_ptr<MemHandle>> handles;
    return handles;
}

void* MemOpen(const char* name, const char*) {
    if (gFailOpen) return nullptr;
    auto& f = Files()[name];
    f.clear();
    auto h = std::make_unique<MemHandle>(MemHandle{&f, 0});
    MemHandle* raw = h.get();
    Handles()[raw] = std::move(h);
    return raw;
}
int MemClose(void* h) {
    Handles().erase(static_cast<MemHandle*>(h));
    return 0;
}
size_t MemWrite(const void* d, size_t size, size_t count, void* h) {
    auto* m = static_cast<MemHandle*>(h);
    const size_t n = size * count;
    if (m->data->size() < m->pos + n) m->data->resize(m->pos + n);
    std::copy_n(static_cast<const uint8_t*>(d), n, m->data->begin() + m->pos);
    m->pos += n;
    return count;
}
int MemSeek(void* h, long offset, int origin) {
    if (origin != 0 || offset < 0) return -1;
    static_cast<MemHandle*>(h)->pos = static_cast<size_t>(offset);
    return 0;
}
long MemTell(void* h) { return static_cast<long>(static_cast<MemHandle*>(h)->pos); }

void* Allocate(size_t n) {
    HeapStats& h = Heap();
    const int index = h.requests++;
    h.largest = std::max(h.largest, n);
    h.requested += n;
    if (index == h.failAt) return nullptr;
    void* p = std::malloc(n ? n : 1);
    ++h.outstanding;
    Blocks().insert(p);
    return p;
}

}  // namespace

bool gFailOpen = false;

std::vector<uint8_t>& MemFile(const std::string& name) { return Files()[name]; }
bool MemFileExists(const std::string& name) { return Files().count(name) != 0; }
void ForgetMemFiles() { Files().clear(); }

void UseMemoryFiles(ASF_MUX_INIT_STRUCT& in) {
    in.pCallbackFopen = MemOpen;
    in.pCallbackFclose = MemClose;
    in.pCallbackFwrite = MemWrite;
    in.pCallbackFseek = MemSeek;
    in.pCallbackFtell = MemTell;
}

HeapStats& Heap() {
    static HeapStats stats;
    return stats;
}

void CountingMuxMalloc(void** p, size_t n, ASF_MUX_MALLOC_REASON) { *p = Allocate(n); }
void CountingDemuxMalloc(void** p, size_t n, ASF_DEMUX_MALLOC_REASON) { *p = Allocate(n); }
void CountingFree(void* p) {
    // Freeing a block twice or one never handed out is a fault the test must see.
    if (Blocks().erase(p) != 1) std::abort();
    --Heap().outstanding;
    std::free(p);
}

void UseCountingHeap(ASF_MUX_INIT_STRUCT& in) {
    in.pCallbackMalloc = CountingMuxMalloc;
    in.pCallbackFree = CountingFree;
}

uint16_t Le16(const std::vector<uint8_t>& d, size_t at) { return static_cast<uint16_t>(d.at(at) | d.at(at + 1) << 8); }
uint32_t Le32(const std::vector<uint8_t>& d, size_t at) { return Le16(d, at) | uint32_t{Le16(d, at + 2)} << 16; }
uint64_t Le64(const std::vector<uint8_t>& d, size_t at) { return Le32(d, at) | uint64_t{Le32(d, at + 4)} << 32; }

Writer::Writer(const std::string& fileName, uint32_t packetSize) : name(fileName) {
    MakeRecorderMuxInit(setup, name.c_str(), 640, 480, 2000000, 30, AsfCreationDate(1700000000, 0));
    setup.init.filePropertiesObject.dwDataPacketSize = packetSize;
    UseMemoryFiles(setup.init);
    ctx = ASF_Mux_Create(&setup.init);
}

Writer::~Writer() {
    if (ctx) ASF_Mux_Close(ctx);
}

int Writer::Write(const Obj& o) {
    ASF_MUX_DATA_INFO info{static_cast<uint8_t>(o.key ? 1 : 0), o.pts};
    return ASF_Mux_WriteData(ctx, o.type, o.data.data(), static_cast<uint32_t>(o.data.size()), &info);
}

const std::vector<uint8_t>& Writer::Close() {
    ASF_Mux_Close(ctx);
    ctx = nullptr;
    return MemFile(name);
}

std::vector<uint8_t> WriteAll(const std::vector<Obj>& objs, uint32_t packetSize) {
    Writer w("all.asf", packetSize);
    for (const Obj& o : objs) w.Write(o);
    return w.Close();
}

PacketView Packet(const std::vector<uint8_t>& f, size_t k, uint32_t headerSize, uint32_t packetSize) {
    PacketView v;
    size_t at = headerSize + 50 + k * packetSize;
    at += 3;  // error correction
    v.lengthTypeFlags = f.at(at++);
    at++;  // property flags 0x5D
    if (v.lengthTypeFlags & 0x08) v.padding = f.at(at++);
    if (v.lengthTypeFlags & 0x10) {
        v.padding = Le16(f, at);
        at += 2;
    }
    v.sendTime = Le32(f, at);
    v.duration = Le16(f, at + 4);
    at += 6;
    size_t n = 1;
    if (v.lengthTypeFlags & 1) n = f.at(at++) & 0x3F;
    for (size_t i = 0; i < n; ++i) {
        PacketView::Payload p;
        p.stream = f.at(at);
        p.objectNumber = f.at(at + 1);
        p.offset = Le32(f, at + 2);
        // replicated data length byte (8) at + 6
        p.objectSize = Le32(f, at + 7);
        p.pts = Le32(f, at + 11);
        at += 15;
        if (v.lengthTypeFlags & 1) {
            p.length = Le16(f, at);
            at += 2;
        } else {
            p.length = static_cast<uint32_t>(headerSize + 50 + (k + 1) * packetSize - at - v.padding);
        }
        at += p.length;
        v.payloads.push_back(p);
    }
    return v;
}

}  // namespace asftest
