// The GPS receiver's serial lines: the GPS port and the UART3 copy port,
// opened through the board and set up raw with termios.
#pragma once

#include <sys/types.h>
#include <termios.h>

#include <memory>
#include <string_view>

#include "platform/Owners.h"

namespace diviv::gps {

// One opened serial line.
class SerialLine {
public:
    virtual ~SerialLine() = default;
    // Reads one character without waiting. Return: 1, 0 when nothing
    // waits, or -errno.
    virtual int ReadChar(char* c) = 0;
    // Writes the text at once. Return: bytes written, or -errno.
    virtual ssize_t Write(std::string_view text) = 0;
};

// Why a port could not be had.
enum class PortFailure {
    kNone,
    kOpen,   // the device could not be opened
    kSetup,  // its line settings could not be applied
};

// Sets a terminal up raw at `speed`: input flag IGNPAR only, no output or
// local processing, 8 data bits, receiver on, modem lines ignored, VMIN 1,
// VTIME 0; pending input is discarded first. Return: 0 or -errno.
int SetupRawSerial(int fd, speed_t speed);

// Opens a board serial port read-write, without becoming its controlling
// terminal and non-blocking, and sets it up with SetupRawSerial. On failure
// returns nullptr with *failure saying which step failed.
std::unique_ptr<SerialLine> OpenSerialLine(std::string_view board_path, speed_t speed, PortFailure* failure);

}  // namespace diviv::gps
