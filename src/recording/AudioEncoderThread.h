// Audio encoder: PCM from ra_buf to G.726 at 32 kbit/s (4 bits per sample,
// 400 bytes per 100 ms block) in abs_buf, for the recording writer.
#pragma once

#include <cstdint>

#include "core/DR_shared.h"

// G.726 bytes of one 1600-byte PCM block.
inline constexpr int kAudioCodedBlockBytes = 400;

// Thread body; started by the codec manager with the shared record. Runs
// until REQ_AE_CLOSE (or an encoding failure); clears AE_ALIVE as its last act.
void AudioEncoderThread(dr_common_t* dr);

// What put_bs has reported about a full abs_buf, per thread.
struct AbsFullReport {
    bool printed = false;  // the console line of this full spell
    bool logged = false;   // the log entry, once per thread
};

// Writes coded bytes to abs_buf when there is room for all of them; a block
// that does not fit is dropped whole. Nothing is written once a close is
// requested. Return: the bytes written (len or 0).
int put_bs(dr_common_t* dr, const uint8_t* bsb, int len, AbsFullReport* report);
