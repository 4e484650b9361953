// ITU-T G.726 ADPCM: the state and per-sample steps shared by the encoder and
// the decoder. Internal to the codec; callers use g726enc.h and g726dec.h.
//
// Number formats follow the Recommendation's fixed-point blocks:
//  - y, yu: quantizer scale factor, 9 fractional bits; yl: 15 fractional bits
//  - a[], b[]: predictor coefficients, 14 fractional bits
//  - dq[], sr[]: delayed samples in the 11-bit floating format of FLOAT A/B
//    (sign at bit 10, 4-bit exponent, 6-bit mantissa)
//  - a difference sample dq is sign-magnitude: bit 15 sign, 15-bit magnitude
#pragma once

#include <cstdint>

namespace diviv::g726 {

// The Recommendation's tables for one rate (Tables 1 to 4 and 5 to 16 of G.726).
struct RateTables {
    int bits;                  // code word length, 2 to 5
    const int16_t* decision;   // quantizer decision levels, log2 domain, 7 fractional bits
    int decisionCount;
    const int16_t* dqln;       // reconstruction levels by code word
    const int32_t* wi;         // scale factor multipliers W(I), 9 fractional bits
    const int16_t* fi;         // speed control function F(I), 9 fractional bits
};

// Null for a rate outside 2..5 bits.
const RateTables* TablesForBits(int bits);

// Predictor and adaptation state (reset values set by Reset()).
struct Adaptation {
    int32_t yl;     // slow scale factor
    int16_t yu;     // fast scale factor
    int16_t dms;    // short-term mean of F(I)
    int16_t dml;    // long-term mean of F(I)
    int16_t ap;     // speed control
    int16_t a[2];   // pole coefficients
    int16_t b[6];   // zero coefficients
    int16_t dq[6];  // past difference samples, floating format
    int16_t sr[2];  // past reconstructed samples, floating format
    uint8_t pk[2];  // signs of past dq + sez
    uint8_t td;     // tone detected
};

void Reset(Adaptation& s);

// One 14-bit uniform PCM sample in, one code word out.
int EncodeSample(Adaptation& s, const RateTables& t, int sl);
// One code word in, the reconstructed 14-bit sample out (not yet scaled).
int DecodeSample(Adaptation& s, const RateTables& t, int code);

// The caller-visible codec object (encoder or decoder). Both fit the 88
// bytes the interface promises on 32- and 64-bit targets.
struct Instance {
    uint32_t magic;             // kEncoderMagic / kDecoderMagic while valid
    uint8_t bits;               // code word length
    uint8_t fill;               // bits pending in acc
    uint16_t reserved;
    uint32_t acc;               // packing accumulator, pending bits at the low end
    const RateTables* tables;
    Adaptation state;
};
static_assert(sizeof(Instance) <= 88, "the codec state must fit the published instance size");

constexpr uint32_t kEncoderMagic = 0x47373245;  // "G72E"
constexpr uint32_t kDecoderMagic = 0x47373244;  // "G72D"
constexpr unsigned kInstanceSize = 88;

}  // namespace diviv::g726
