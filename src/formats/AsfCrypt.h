// Scrambling of key pictures in recordings. The key is four bytes: the
// program's constant combined by exclusive or with the 4-byte pass code; byte
// i of a picture is combined with key byte i mod 4. Applying the routine
// twice gives the original, so descrambling is the same operation.
#pragma once

#include <array>
#include <cstdint>

// The program's constant, fixed once for every recording ever made: changing
// it makes older recordings unreadable.
inline constexpr std::array<uint8_t, 4> kCryptConstant = {0x5A, 0xC3, 0x3C, 0x96};

// dst may equal src (in place).
void CryptData(const uint8_t* src, uint8_t* dst, uint32_t len, const uint8_t pass[4]);
void DeCryptData(const uint8_t* src, uint8_t* dst, uint32_t len, const uint8_t pass[4]);
