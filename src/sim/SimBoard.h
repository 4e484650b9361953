// Creating a simulated board root: a directory tree that looks like the real
// board's file system (driver files, LED folders, input FIFOs, a card with a
// real MBR, an EEPROM image and stand-in programs that record their calls).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace diviv::sim {

// One primary partition of the simulated card.
struct SimPartition {
    uint8_t type = 0x0C;     // 0x0C FAT32 (LBA), 0x0B FAT32, 0x06 FAT16
    uint64_t size_mb = 0;    // 0: the rest of the card
};

struct SimBoardOptions {
    uint64_t card_mb = 8192;  // stated card size
    std::vector<SimPartition> partitions{{0x0C, 0}, {0x0C, 64}};
    bool card_present = true;   // device folder and mounts lines exist
    bool card_writable = true;  // "rw," or "ro," in the mounts lines
    bool supply_power = true;   // PWR_DET
    bool ignition = true;       // ACC
    size_t eeprom_bytes = 1024; // 1024: four pages answer; 512: two
};

// Files of the simulator itself, under the board root.
inline constexpr const char* kSimDir = "/sim";
inline constexpr const char* kEepromImage = "/sim/eeprom.bin";
inline constexpr const char* kLogRecordFile = "/sim/log_record.log";  // one line per log call
inline constexpr const char* kCallsFile = "/sim/calls.log";  // stand-in programs' calls

// Creates (or refreshes) a board root in dir. Returns false with a reason.
bool CreateSimBoard(const std::string& dir, const SimBoardOptions& options, std::string* error);

// Writes a 512-byte MBR with the given partitions onto the card image.
bool WriteCardImage(const std::string& image_path, const SimBoardOptions& options);

// Writes the power state word: 5 hexadecimal characters, bit 0 set = supply
// power absent, bit 1 = ACC on, bit 2 = power switch on.
bool WritePowerState(const std::string& dir, bool supply_power, bool ignition, bool power_switch = false);

// Writes the board input word: eight hexadecimal digits and LF; bits 0..4
// held keys, bits 9..15 contact inputs (the lower four active-low).
bool WriteInputWord(const std::string& dir, uint32_t word);
inline constexpr uint32_t kInputIdle = 0x00001e00;  // no key held, contacts open

// Rewrites the mounts file: both SD card partitions mounted (rw or ro) or
// none, and the microSD card's partition (rw) when `microsd_mounted`.
bool WriteMounts(const std::string& dir, bool mounted, bool writable, bool microsd_mounted = false);

// Small file helpers for the simulator and tests.
bool WriteTextFile(const std::string& path, const std::string& text);
std::string ReadTextFile(const std::string& path);

}  // namespace diviv::sim
