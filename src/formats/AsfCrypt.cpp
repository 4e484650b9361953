#include "formats/AsfCrypt.h"

void CryptData(const uint8_t* src, uint8_t* dst, uint32_t len, const uint8_t pass[4]) {
    if (src == nullptr || dst == nullptr || pass == nullptr) return;
    const uint8_t key[4] = {uint8_t(kCryptConstant[0] ^ pass[0]), uint8_t(kCryptConstant[1] ^ pass[1]),
                            uint8_t(kCryptConstant[2] ^ pass[2]), uint8_t(kCryptConstant[3] ^ pass[3])};
    for (uint32_t i = 0; i < len; ++i) dst[i] = src[i] ^ key[i & 3];
}

void DeCryptData(const uint8_t* src, uint8_t* dst, uint32_t len, const uint8_t pass[4]) {
    CryptData(src, dst, len, pass);
}
