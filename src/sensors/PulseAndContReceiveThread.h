// Pulse and contact receiver: during a recording run, the pulse counter's
// records (vehicle speed and engine rotation pulses per measuring interval,
// from "/dev/pulse_in") into pulse_buf every 500 ms, and a time-stamped
// sample of the contact inputs (bits 9 to 15 of the board's input word)
// into contin_buf every 200 ms, for the recording writer. Nothing reaches
// either buffer before video capture has started.
#pragma once

#include <cstdint>
#include <memory>
#include <string_view>

#include "core/DR_shared.h"
#include "platform/Device.h"
#include "platform/SensorRecords.h"

inline constexpr const char* kPulseDevice = "/dev/pulse_in";
inline constexpr const char* kInputWordFile = "/proc/driver/input";

// Thread body; started by the codec manager with every recording run after
// PAC_ALIVE was set. Clears PAC_ALIVE at its end.
void PulseAndContReceiveThread(dr_common_t* dr);

// Opens the pulse counter read-write. nullptr, with *error = -errno, when
// it cannot be opened.
std::unique_ptr<diviv::Device> pulse_open(int* error = nullptr);
// Closes it.
void pulse_close(std::unique_ptr<diviv::Device> dev);

// `sigin` from the input word's line: bits 9 to 15 of the word with the
// lower four inverted (active-low inputs). The line must be exactly nine
// characters (eight hexadecimal digits and LF), else 0; a character that is
// not a hexadecimal digit counts as 0.
uint32_t ContactInputBits(std::string_view line);
