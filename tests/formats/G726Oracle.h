// spandsp's G.726 (linear coding, code words packed into the high bits first)
// behind a small interface, so test files need not see its C names, which
// coincide with ours.
#pragma once

#include <cstdint>
#include <vector>

namespace oracle {

// Encodes the whole signal in one call at 2 to 5 bits per code word.
std::vector<uint8_t> SpandspEncode(int bits, const std::vector<int16_t>& pcm);
// Decodes the whole code stream in one call.
std::vector<int16_t> SpandspDecode(int bits, const std::vector<uint8_t>& codes);

}  // namespace oracle
