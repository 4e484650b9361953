// ASF object identifiers. A GUID is kept as its 16 bytes in file order: the
// first three groups of the textual form little-endian, the last two as
// written (the Windows GUID layout the ASF format uses).
#pragma once

#include <array>
#include <cstdint>
#include <cstring>

namespace diviv::asf {

using GuidBytes = std::array<uint8_t, 16>;

namespace detail {
constexpr uint8_t Hex(char c) {
    return c >= '0' && c <= '9' ? c - '0' : c >= 'A' && c <= 'F' ? c - 'A' + 10 : c - 'a' + 10;
}
constexpr uint8_t HexByte(const char* s, int at) { return static_cast<uint8_t>(Hex(s[at]) << 4 | Hex(s[at + 1])); }
}  // namespace detail

// "75B22630-668E-11CF-A6D9-00AA0062CE6C" -> 30 26 B2 75 8E 66 CF 11 A6 D9 00 AA 00 62 CE 6C
constexpr GuidBytes GuidFromText(const char (&t)[37]) {
    using detail::HexByte;
    return {HexByte(t, 6),  HexByte(t, 4),  HexByte(t, 2),  HexByte(t, 0),  HexByte(t, 11), HexByte(t, 9),
            HexByte(t, 16), HexByte(t, 14), HexByte(t, 19), HexByte(t, 21), HexByte(t, 24), HexByte(t, 26),
            HexByte(t, 28), HexByte(t, 30), HexByte(t, 32), HexByte(t, 34)};
}

inline bool GuidEquals(const uint8_t* a, const GuidBytes& b) { return std::memcmp(a, b.data(), 16) == 0; }

constexpr GuidBytes kHeaderObject = GuidFromText("75B22630-668E-11CF-A6D9-00AA0062CE6C");
constexpr GuidBytes kFilePropertiesObject = GuidFromText("8CABDCA1-A947-11CF-8EE4-00C00C205365");
constexpr GuidBytes kHeaderExtensionObject = GuidFromText("5FBF03B5-A92E-11CF-8EE3-00C00C205365");
constexpr GuidBytes kReservedField1 = GuidFromText("ABD3D211-A9BA-11CF-8EE6-00C00C205365");
constexpr GuidBytes kMetadataObject = GuidFromText("C5F8CBEA-5BAF-4877-8467-AA8C44FA4CCA");
constexpr GuidBytes kExtendedStreamPropertiesObject = GuidFromText("14E6A5CB-C672-4332-8399-A96952065B5A");
constexpr GuidBytes kStreamPropertiesObject = GuidFromText("B7DC0791-A9B7-11CF-8EE6-00C00C205365");
constexpr GuidBytes kVideoMedia = GuidFromText("BC19EFC0-5B4D-11CF-A8FD-00805F5C442B");
constexpr GuidBytes kAudioMedia = GuidFromText("F8699E40-5B4D-11CF-A8FD-00805F5C442B");
constexpr GuidBytes kBinaryMedia = GuidFromText("3AFB65E2-47EF-40F2-AC2C-70A90D71D343");
constexpr GuidBytes kNoErrorCorrection = GuidFromText("20FB5700-5B55-11CF-A8FD-00805F5C442B");
constexpr GuidBytes kAudioSpread = GuidFromText("BFC3CD50-618F-11CF-8BB2-00AA00B4E220");
constexpr GuidBytes kCodecListObject = GuidFromText("86D15240-311D-11D0-A3A4-00A0C90348F6");
constexpr GuidBytes kReserved2 = GuidFromText("86D15241-311D-11D0-A3A4-00A0C90348F6");
constexpr GuidBytes kDataObject = GuidFromText("75B22636-668E-11CF-A6D9-00AA0062CE6C");
constexpr GuidBytes kSimpleIndexObject = GuidFromText("33000890-E5B1-11CF-89F4-00A0C90349CB");

static_assert(kHeaderObject[0] == 0x30 && kHeaderObject[3] == 0x75 && kHeaderObject[4] == 0x8E &&
              kHeaderObject[7] == 0x11 && kHeaderObject[8] == 0xA6 && kHeaderObject[15] == 0x6C);

}  // namespace diviv::asf
