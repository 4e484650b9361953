// G.726 ADPCM decoder (ITU-T G.726 at 16, 24, 32 and 40 kbit/s).
//
// Same memory and packing rules as the encoder (g726enc.h): code words are
// read most significant bit first; bits left over at the end of a call are
// kept, so a stream may be fed in pieces of any size.
#pragma once

#include <cstddef>
#include <cstdint>

struct G726Decoder;

// 88 bytes.
size_t g726_dec_instance_size();

// Null when memory is null or misaligned or bits is not 2 to 5.
G726Decoder* g726_dec_create(int bits, void* memory);

// Decodes length bytes into samples, which must hold
// (length * 8 + 7) / bits samples. Returns the samples produced (0 for length
// 0), or -1 null decoder, -2 not created (or closed), -3 data null with
// length > 0 (or length < 0), -4 samples null.
int g726_decode(G726Decoder* decoder, const uint8_t* data, int length, int16_t* samples);

// Marks the state invalid; the caller frees the memory.
void g726_dec_close(G726Decoder* decoder);
