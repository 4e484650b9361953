#include "formats/g726enc.h"

#include <memory>

#include "formats/g726_core.h"

using diviv::g726::Instance;

struct G726Encoder {
    Instance inst;
};

size_t g726_enc_instance_size() { return diviv::g726::kInstanceSize; }

G726Encoder* g726_enc_create(int bits, void* memory) {
    const auto* tables = diviv::g726::TablesForBits(bits);
    if (memory == nullptr || tables == nullptr) return nullptr;
    if (reinterpret_cast<uintptr_t>(memory) % alignof(G726Encoder) != 0) return nullptr;
    auto* enc = std::construct_at(static_cast<G726Encoder*>(memory));
    enc->inst.magic = diviv::g726::kEncoderMagic;
    enc->inst.bits = static_cast<uint8_t>(bits);
    enc->inst.fill = 0;
    enc->inst.acc = 0;
    enc->inst.tables = tables;
    diviv::g726::Reset(enc->inst.state);
    return enc;
}

int g726_encode(G726Encoder* encoder, const int16_t* samples, int count, uint8_t* out) {
    if (encoder == nullptr) return -1;
    Instance& in = encoder->inst;
    if (in.magic != diviv::g726::kEncoderMagic) return -2;
    if ((samples == nullptr && count > 0) || count < 0) return -3;
    if (out == nullptr) return -4;

    const auto& tables = *in.tables;
    const int bits = in.bits;
    uint32_t acc = in.acc;
    int fill = in.fill;
    int written = 0;
    for (int i = 0; i < count; ++i) {
        // Arithmetic shift: the 14 most significant bits are the uniform PCM input.
        const int code = diviv::g726::EncodeSample(in.state, tables, samples[i] >> 2);
        acc = (acc << bits) | static_cast<uint32_t>(code);
        fill += bits;
        if (fill >= 8) {
            fill -= 8;
            out[written++] = static_cast<uint8_t>(acc >> fill);
        }
    }
    in.acc = acc & ((1u << fill) - 1);
    in.fill = static_cast<uint8_t>(fill);
    return written;
}

void g726_enc_close(G726Encoder* encoder) {
    if (encoder != nullptr) encoder->inst.magic = 0;
}
