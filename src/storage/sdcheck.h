// Finding and checking the SD card: is a card present, is it mounted
// writable, is it laid out the way the recorder needs it; and the version
// file in the card's root.
//
// Card layout: "/dev/mmcblk0" with one or two FAT partitions (type 0x06,
// 0x0B or 0x0C), partition 1 mounted at "/mnt/mmc0_p1" holding only reserved
// names in its root, among them the folder "DATA"; partition 2 at
// "/mnt/mmc0_p2".
#pragma once

#include <array>

// Kinds of a reserved name.
inline constexpr int kReservedFile = 0;
inline constexpr int kReservedDir = 1;

struct ReservedName {
    const char* name;  // compared exactly, with case
    int kind;          // kReservedDir or kReservedFile
    int setup;         // 1: the setup file is present when this name is
};

// The names allowed in the root of partition 1.
extern const std::array<ReservedName, 6> ReservedNames;

// CheckSDC verdicts (low two bits) and the setup-file bit.
inline constexpr int kSDCUsable = 0;
inline constexpr int kSDCUnusable = 1;
inline constexpr int kSDCNeedFormat = 2;
inline constexpr int kSDCVerdictMask = 3;
inline constexpr int kSDCSetupFile = 4;  // "setup.ini" found in the root

// 1 when "/sys/bus/mmc/devices" has an entry beginning with "mmc0", else 0.
int CheckSDStatus();

// Slot 1 ("/dev/mmcblk0") or 2 ("/dev/mmcblk1"): 1 mounted read-write,
// 0 read-only (reported on the console), -1 not mounted or unreadable.
int CheckSD(int slot);

// Checks the card in slot 1: verdict | setup bit (0, 1, 2, 4, 5 or 6).
int CheckSDC();

// Makes "DiVivVer.ini" in the root of partition 1 show the running version.
void VersionFileCheck();

// The version file's line, "DIVIV_VERSION=03.01.01.03\n".
const char* VersionFileLine();
