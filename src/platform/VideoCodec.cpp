#include "platform/VideoCodec.h"

namespace diviv {

// On the PC the codec is software (libx264 / libavcodec) and needs no system
// initialisation; on the board the codec unit's firmware is loaded here.
int VpuSystemInit() { return 0; }

std::string VpuVersion() { return "software H.264 codec"; }

}  // namespace diviv
