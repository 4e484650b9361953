// A board held in memory for the fuzz targets: an EEPROM image answered at
// the SMBus transfer, a real-time clock that checks every time it is set,
// and nothing else (every other device is absent). Nothing sleeps, nothing
// touches a file, so a target runs its parser thousands of times a second.
#pragma once

#include <linux/rtc.h>

#include <array>
#include <cstddef>
#include <cstdint>

namespace fuzzboard {

inline constexpr size_t kEepromBytes = 512;  // two pages, as the recorder's part

// Installs the memory board once for the whole process and makes a private
// board root (DIVIV_ROOT) under /dev/shm for targets that need files.
// Returns that root. Every target linked with this board has it installed,
// and its console quiet, before its first input.
const char* Install();

// The EEPROM's bytes, read and written by the EEPROM library through the bus.
std::array<uint8_t, kEepromBytes>& EepromImage();

// The last time written to the clock, and how many were written.
const rtc_time& LastRtcTime();
int RtcSettings();

// Writes `size` bytes to a file under the board root; returns its full path.
const char* WriteRootFile(const char* name, const uint8_t* data, size_t size);

// Sends stdout to /dev/null: the parsers print a line per step.
void QuietConsole();

}  // namespace fuzzboard
