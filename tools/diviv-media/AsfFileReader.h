// Drives the ASF reader over a file: keeps a buffer of unconsumed bytes,
// refills it when the reader asks for more, and hands every parsed unit to a
// callback. Also reassembles media objects from their payloads.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "formats/AsfDemultiplexer.h"

namespace media {

struct WalkResult {
    bool ok = false;         // the file was read to its end (or onUnit stopped the walk)
    std::string error;       // why not, one line
    uint64_t endOffset = 0;  // bytes parsed
};

// Called after every parsed unit with the file offset where the unit began;
// returning false stops the walk.
using UnitCallback = std::function<bool(ASF_DEMUX_STATE, const ASF_DEMUX_CONTEXT&, uint64_t offset)>;

// Calls onUnit after every parsed unit. Stops at the end of the file, at a
// unit the reader does not recognise or finds damaged, at an answer that
// consumed nothing, or when onUnit returns false. A file read to its end is
// a recording only when it starts with the Header Object, reaches the Data
// Object and ends between two units: an empty file, or one cut inside its
// header, is refused (a whole header without packets is an empty recording).
WalkResult WalkAsfFile(const std::string& path, const UnitCallback& onUnit);

// The same over bytes in memory, fed in pieces of at most `chunk` bytes to
// exercise the reader's need-more-data path.
WalkResult WalkAsfBytes(const uint8_t* data, size_t size, size_t chunk, const UnitCallback& onUnit);

// One reassembled media object.
struct MediaObject {
    int stream = 0;
    bool key = false;
    uint32_t pts = 0;
    uint32_t number = 0;
    std::vector<uint8_t> data;
};

// Collects the payloads of one stream into whole objects, in file order.
// A payload that does not continue the object being built (lost packet)
// starts over; an object is complete when its declared size is reached.
class ObjectAssembler {
public:
    // True when `p` completed an object, which is then in `done`.
    bool Add(const STRUCT_ASF_PAYLOAD& p, MediaObject& done);
    uint64_t broken() const { return broken_; }

private:
    MediaObject cur_;
    bool active_ = false;
    uint64_t broken_ = 0;  // objects dropped incomplete
};

}  // namespace media
