// The video codec unit: system initialisation per mode and a version query.
// The encoder and decoder instances are added next to these by the capture
// and playback modules.
#pragma once

#include <string>

namespace diviv {

// Opens the codec for one mode. 0 on success, -1 on failure.
int VpuSystemInit();

// Version text of the codec implementation.
std::string VpuVersion();

}  // namespace diviv
