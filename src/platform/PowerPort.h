// The board's power controller "/proc/driver/power", on the installed board
// (platform/Board.h): the one file is read for the input states and written
// with commands ("1\n" hold, "2\n" switch off, ...).
#pragma once

#include <string>
#include <string_view>

namespace diviv {

// Writes one command ("2\n") to the power controller. Returns false if the
// controller file cannot be opened or written.
bool WritePowerCommand(std::string_view command);

// Reads the power file's text (the state word); empty on failure.
std::string ReadPowerState();

}  // namespace diviv
