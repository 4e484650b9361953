// The board's power controller file "/proc/driver/power".
//
// On the board the one file is read for the input states and written with
// commands ("1\n" hold, "2\n" switch off, ...). On the simulated board a plain
// file cannot be both, so commands are appended, one per line, to a command
// log beside it ("/proc/driver/power_cmd") that the simulator watches, and
// the state stays readable in "/proc/driver/power".
#pragma once

#include <string>
#include <string_view>

namespace diviv {

// The command log of the simulated board, under the board root.
inline constexpr std::string_view kSimPowerCommandLog = "/proc/driver/power_cmd";

// Writes one command ("2\n") to the power controller. Returns false if the
// controller file cannot be opened or written.
bool WritePowerCommand(std::string_view command);

// Reads the power file's text (the state word); empty on failure.
std::string ReadPowerState();

}  // namespace diviv
