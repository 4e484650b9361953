// H.264 Annex-B byte streams cut into access units (one coded picture each,
// with the parameter sets and SEI that precede it).
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace media {

struct AccessUnit {
    size_t offset = 0;  // in the stream
    size_t size = 0;
    bool key = false;  // holds an IDR slice (NAL type 5)
};

// Every byte of the stream belongs to exactly one unit, so concatenating the
// units gives the stream back. Bytes before the first start code go with the
// first unit.
std::vector<AccessUnit> SplitAccessUnits(const uint8_t* data, size_t size);

// Picture size from the first sequence parameter set in the stream (cropping
// applied); false when there is none or it cannot be read.
bool PictureSize(const uint8_t* data, size_t size, uint32_t& width, uint32_t& height);

// The sequence and picture parameter sets of a stream (NAL types 7 and 8),
// each behind a 4-byte start code: the stream description a container
// carries. Empty when there are none.
std::vector<uint8_t> ParameterSets(const uint8_t* data, size_t size);

// A picture that begins with a start code: what a plain (or descrambled)
// picture of the recorder does, and a scrambled key picture does not.
bool StartsWithStartCode(const std::vector<uint8_t>& picture);

// NAL unit types in order of appearance (diagnostics and tests).
std::vector<int> NalTypes(const uint8_t* data, size_t size);

}  // namespace media
