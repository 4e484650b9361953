// Helpers for the ASF tests: in-memory files and a counting heap behind the
// writer's and reader's callbacks, and whole-file write and read helpers.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "formats/AsfDemultiplexer.h"
#include "formats/AsfMultiplexer.h"
#include "formats/AsfRecorderInit.h"

namespace asftest {

// The callbacks carry no user pointer, so the memory files and the heap
// accounting are process-wide (tests run one at a time).
std::vector<uint8_t>& MemFile(const std::string& name);
bool MemFileExists(const std::string& name);
void ForgetMemFiles();
void UseMemoryFiles(ASF_MUX_INIT_STRUCT& in);
// fopen refuses every file while set.
extern bool gFailOpen;

struct HeapStats {
    int outstanding = 0;   // blocks not yet freed
    int requests = 0;      // allocation requests so far
    int failAt = -1;       // the request with this index (0-based) returns null
    size_t largest = 0;    // largest block requested
    uint64_t requested = 0;
};
HeapStats& Heap();
void UseCountingHeap(ASF_MUX_INIT_STRUCT& in);
void CountingMuxMalloc(void** p, size_t n, ASF_MUX_MALLOC_REASON why);
void CountingDemuxMalloc(void** p, size_t n, ASF_DEMUX_MALLOC_REASON why);
void CountingFree(void* p);

uint16_t Le16(const std::vector<uint8_t>& d, size_t at);
uint32_t Le32(const std::vector<uint8_t>& d, size_t at);
uint64_t Le64(const std::vector<uint8_t>& d, size_t at);

struct Obj {
    int type = 0;  // ASF_MUX_DATA_TYPE
    bool key = false;
    uint32_t pts = 0;
    std::vector<uint8_t> data;
    bool operator==(const Obj&) const = default;
};

// The recorder's configuration writing into the memory file `name`.
struct Writer {
    AsfRecorderSetup setup;
    ASF_MUX_CONTEXT* ctx = nullptr;
    std::string name;
    explicit Writer(const std::string& fileName, uint32_t packetSize = kAsfPacketSize);
    ~Writer();
    int Write(const Obj& o);
    const std::vector<uint8_t>& Close();
};

// Writes the objects in order and returns the file.
std::vector<uint8_t> WriteAll(const std::vector<Obj>& objs, uint32_t packetSize = kAsfPacketSize);

// One data packet as laid out in the file.
struct PacketView {
    uint8_t lengthTypeFlags = 0;
    uint32_t padding = 0;  // padding length field
    uint32_t sendTime = 0;
    uint16_t duration = 0;
    struct Payload {
        uint8_t stream = 0;  // with the key bit
        uint8_t objectNumber = 0;
        uint32_t offset = 0, objectSize = 0, pts = 0, length = 0;
    };
    std::vector<Payload> payloads;
};
// Decodes packet k of a writer's file by its fixed layout (independent of the reader).
PacketView Packet(const std::vector<uint8_t>& file, size_t k, uint32_t headerSize = 1034,
                  uint32_t packetSize = kAsfPacketSize);

}  // namespace asftest
