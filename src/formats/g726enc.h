// G.726 ADPCM encoder (ITU-T G.726 at 16, 24, 32 and 40 kbit/s).
//
// The encoder lives in memory the caller provides (g726_enc_instance_size()
// bytes, aligned for a pointer: any malloc block qualifies). Input samples are
// signed 16-bit linear PCM at 8 kHz; code words are packed most significant
// bit first, so at 4 bits the first sample is the upper half of the first
// byte. Bits that do not fill a byte stay in the encoder for the next call.
#pragma once

#include <cstddef>
#include <cstdint>

struct G726Encoder;

// 88 bytes.
size_t g726_enc_instance_size();

// bits: 2 to 5 bits per code word. Null when memory is null or misaligned or
// bits is out of range.
G726Encoder* g726_enc_create(int bits, void* memory);

// Encodes count samples into out, which must hold (count * bits + 7) / 8
// bytes. Returns the bytes written, or -1 null encoder, -2 encoder not created
// (or closed), -3 samples null with count > 0 (or count < 0), -4 out null.
int g726_encode(G726Encoder* encoder, const int16_t* samples, int count, uint8_t* out);

// Marks the state invalid; the caller frees the memory.
void g726_enc_close(G726Encoder* encoder);
