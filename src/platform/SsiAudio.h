// The board's SSI audio device (the i.MX SSI audio driver): its path, its
// requests and the records they carry. The capture thread drives it through
// the device layer; the simulated microphone answers the same requests.
//
// The driver takes plain request numbers, not _IOR/_IOW codes. Records are
// the driver's 32-bit layouts, the same on every platform.
#pragma once

#include <cstdint>

#include "platform/Clock.h"

// Configuration of the SSI port (request 0).
struct wave_config {
    int32_t ssi;              // SSI port: 0
    int32_t num_channels;     // 1: mono
    int32_t sample_rate;      // samples per second: 8000
    int32_t bits_per_sample;  // 16: signed 16-bit little-endian samples
};
static_assert(sizeof(wave_config) == 16);

// The driver's lost-data report (request 4), asked for after a read timed out.
struct mxc_ssi_timedout {
    int32_t count;         // time-outs since the port was configured
    dr_timeval losttime;   // length of the sound lost since then
};
static_assert(sizeof(mxc_ssi_timedout) == 12);

namespace diviv {

inline constexpr const char* kSsiAudioDevice = "/dev/mxc_ssi_audio1";

// Requests of the SSI audio driver.
inline constexpr unsigned long IOCTL_SSI_CONFIGURE_SSI = 0;    // wave_config*: configure and start capturing
inline constexpr unsigned long IOCTL_SSI_GET_LOST_TIME = 4;    // mxc_ssi_timedout*: the lost-data report
inline constexpr unsigned long IOCTL_SSI_GET_CAPTURE_TIME = 5; // dr_timeval*: capture time of the first
                                                               // sample of the data just read (wall clock)

}  // namespace diviv
