// The simulated speaker: the play side of the SSI audio device
// "/dev/mxc_ssi_audio1" (the simulated microphone's device takes the
// writes and hands them here).
//
// - Writes after request 0 carry 8000 samples per second, mono, signed
//   16-bit little-endian samples; a write before it fails with EINVAL, an
//   odd byte count leaves the last byte unaccepted.
// - The driver keeps kSpeakerBufferSamples of sound; playing drains it at
//   8000 samples per second by the board clock. A write waits until all of
//   its samples fit (a block longer than the buffer is accepted up to the
//   buffer: a partial write). When the buffer ran empty the sound restarts
//   with the write (an underrun leaves silence on the speaker, not in the
//   file).
// - Everything played is appended to the WAV file kSpeakerWavFile in the
//   board root (8 kHz mono 16-bit; the header is kept valid after every
//   write, so the file is complete even when the recorder is ended), and
//   each write to the log kSpeakerLogFile as a line
//   "<wall-clock us its first sample plays> <sample offset in the WAV> <samples>".
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <span>
#include <sys/types.h>

#include "platform/Owners.h"

namespace diviv::sim {

inline constexpr const char* kSpeakerWavFile = "/sim/speaker.wav";
inline constexpr const char* kSpeakerLogFile = "/sim/speaker.log";
inline constexpr int kSpeakerRate = 8000;
inline constexpr int64_t kSpeakerBufferSamples = 4000;  // 0.5 s

// One per simulated board, shared by every opening of the SSI device.
class SimSpeaker {
public:
    // Plays the bytes; waits for room. Return: bytes accepted, or -errno.
    ssize_t Play(std::span<const std::byte> data);
    // Samples played (written to the file) so far.
    int64_t SamplesPlayed() const;

private:
    int OpenFiles();  // called with mutex_ held; 0 or -errno
    void Append(const int16_t* samples, int64_t count, int64_t first_wall_ns);

    mutable std::mutex mutex_;
    int64_t queue_end_ns_ = 0;  // board clock when the accepted sound has played
    int64_t samples_ = 0;       // samples in the WAV file
    OwnedFd wav_, log_;
};

}  // namespace diviv::sim
