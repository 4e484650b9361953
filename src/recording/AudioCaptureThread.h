// Audio capture: microphone PCM into ra_buf with capture times in ainfo_buf.
//
// The thread opens the SSI audio device, waits for the video capture to
// start (CaptureStart) so that sound and pictures start together, configures
// the port for 8000 samples per second, 16-bit mono, and then hands over
// blocks of 1600 bytes (800 samples, 100 ms), each followed by the capture
// time of its first sample in ainfo_buf.
#pragma once

#include <cstdint>

#include "core/DR_shared.h"

// One PCM block: 800 samples = 100 ms; 400 bytes once coded.
inline constexpr int kAudioBlockBytes = 1600;

// Thread body; started by the codec manager with the shared record. Runs
// until REQ_AC_CLOSE; clears AC_ALIVE as its last act.
void AudioCaptureThread(dr_common_t* dr);

// Writes one block to ra_buf, waiting for room (10 ms steps) while the
// encoder falls behind, then its capture time to ainfo_buf (waiting likewise).
// Return: len, or 0 when a close is requested before the block is written.
int put_pcm_audio(dr_common_t* dr, const uint8_t* pcmb, int len, dr_timeval capture_time);
