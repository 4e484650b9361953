// The recording writer's sound: 100 ms blocks of G.726 from abs_buf cut into
// packets of 132, 132 and 136 bytes, each block's time stamp from
// ainfo_buf, and the start-of-file correction (packets dropped or silent
// packets inserted).
#pragma once

#include <cstdint>

#include "recording/MuxState.h"

namespace diviv::mux {

// Writes one audio packet at dwAPTS (or drops one while a drop is pending).
// Waits for a time stamp (10 ms steps) and for the packet's bytes (100 ms
// steps). False when a close request ended a wait.
bool WriteAudioPacket(MuxState& s);

// Writes packets while dwAPTS < until_ms. False when a close request came.
bool WriteAudioUntil(MuxState& s, uint32_t until_ms);

// Time in seconds of the next audio packet to be taken: the block's stamp
// plus the packets already taken from it; before any, AudioRecStartTime.
double NextAudioSeconds(const MuxState& s);

}  // namespace diviv::mux
