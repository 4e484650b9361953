#include "formats/g726dec.h"

#include <memory>

#include "formats/g726_core.h"

using diviv::g726::Instance;

struct G726Decoder {
    Instance inst;
};

size_t g726_dec_instance_size() { return diviv::g726::kInstanceSize; }

G726Decoder* g726_dec_create(int bits, void* memory) {
    const auto* tables = diviv::g726::TablesForBits(bits);
    if (memory == nullptr || tables == nullptr) return nullptr;
    if (reinterpret_cast<uintptr_t>(memory) % alignof(G726Decoder) != 0) return nullptr;
    auto* dec = std::construct_at(static_cast<G726Decoder*>(memory));
    dec->inst.magic = diviv::g726::kDecoderMagic;
    dec->inst.bits = static_cast<uint8_t>(bits);
    dec->inst.fill = 0;
    dec->inst.acc = 0;
    dec->inst.tables = tables;
    diviv::g726::Reset(dec->inst.state);
    return dec;
}

// The reconstructed 14-bit sample scaled back to 16 bits; the predictor can
// overshoot the 14-bit range on a full-scale signal, so the result saturates
// instead of wrapping into a loud click.
static inline int16_t ToLinear(int sr) {
    int v = sr * 4;
    if (v > 32767) v = 32767;
    if (v < -32768) v = -32768;
    return static_cast<int16_t>(v);
}

int g726_decode(G726Decoder* decoder, const uint8_t* data, int length, int16_t* samples) {
    if (decoder == nullptr) return -1;
    Instance& in = decoder->inst;
    if (in.magic != diviv::g726::kDecoderMagic) return -2;
    if ((data == nullptr && length > 0) || length < 0) return -3;
    if (samples == nullptr) return -4;

    const auto& tables = *in.tables;
    const int bits = in.bits;
    const uint32_t mask = (1u << bits) - 1;
    uint32_t acc = in.acc;
    int fill = in.fill;
    int produced = 0;
    for (int i = 0; i < length; ++i) {
        acc = (acc << 8) | data[i];
        fill += 8;
        while (fill >= bits) {
            fill -= bits;
            const int code = static_cast<int>((acc >> fill) & mask);
            samples[produced++] = ToLinear(diviv::g726::DecodeSample(in.state, tables, code));
        }
    }
    in.acc = acc & ((1u << fill) - 1);
    in.fill = static_cast<uint8_t>(fill);
    return produced;
}

void g726_dec_close(G726Decoder* decoder) {
    if (decoder != nullptr) decoder->inst.magic = 0;
}
