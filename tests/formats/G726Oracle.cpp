#include "G726Oracle.h"

#include <spandsp.h>

namespace oracle {

std::vector<uint8_t> SpandspEncode(int bits, const std::vector<int16_t>& pcm) {
    g726_state_t* s = g726_init(nullptr, bits * 8000, G726_ENCODING_LINEAR, G726_PACKING_LEFT);
    std::vector<uint8_t> out(pcm.size() * bits / 8 + 8);
    int n = g726_encode(s, out.data(), pcm.data(), static_cast<int>(pcm.size()));
    g726_free(s);
    out.resize(n);
    return out;
}

std::vector<int16_t> SpandspDecode(int bits, const std::vector<uint8_t>& codes) {
    g726_state_t* s = g726_init(nullptr, bits * 8000, G726_ENCODING_LINEAR, G726_PACKING_LEFT);
    std::vector<int16_t> out(codes.size() * 8 / bits + 8);
    int n = g726_decode(s, out.data(), codes.data(), static_cast<int>(codes.size()));
    g726_free(s);
    out.resize(n);
    return out;
}

}  // namespace oracle
