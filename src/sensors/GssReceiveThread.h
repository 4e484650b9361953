// G-sensor receiver: configures the three-axis acceleration sensor's driver
// ("/dev/gsensor") with the axis offsets and with event thresholds that
// follow the recorder's mounting position, reads its time-stamped samples
// and, once video capture has started, hands them to the recording writer
// through gsens_buf. The driver marks the directions beyond a threshold in
// each sample's event bits; the receiver only carries them.
//
// Before capture starts only the newest sample is kept; from the capture
// start on every sample at or after the recording start time is forwarded,
// through a local ring of 319 samples that absorbs a writer falling behind.
// An open or read failure disables the sensor for the rest of the run
// (gsens_enable 0, GSensorError 1).
#pragma once

#include <cstdint>
#include <memory>

#include "core/DR_shared.h"
#include "platform/Device.h"
#include "platform/SensorRecords.h"

inline constexpr const char* kGsensorDevice = "/dev/gsensor";
inline constexpr const char* kGsensorOffsetFile = "/proc/driver/gsensor_offset_hex";
// Slots of the local ring; one stays free, so it holds 319 samples.
inline constexpr int kGssLocalRingSlots = 320;
// Samples read at most per pass while capturing.
inline constexpr int kGssReadsPerPass = 20;

// Thread body; started by the codec manager with the shared record when
// gsens_enable is set, after GSS_ALIVE was set. Clears GSS_ALIVE at its end.
void GssReceiveThread(dr_common_t* dr);

// The driver's thresholds for mounting position `position` (1..24): brake
// and accel on the two directions of the axis along the vehicle, steering on
// both directions of the axis across it, 0 on the vertical axis. Any other
// position gives all six 0.
gsensor_threshold_axis GssThresholds(int position, uint8_t brake_limit, uint8_t accel_limit,
                                     uint8_t steering_limit);

// Writes the offsets to the offsets file (skipped when it cannot be opened),
// opens the driver read-write and sends it the thresholds of the shared
// record's position and limits. nullptr, with *error = -errno, when the
// device cannot be opened.
std::unique_ptr<diviv::Device> gss_open(dr_common_t* dr, int* error = nullptr);

// Closes the driver and prints the result.
void gss_close(std::unique_ptr<diviv::Device> dev);

// Writes one sample to gsens_buf. Returns the ring buffer's result (16), or
// 0 when nothing was written: the close was requested, or the buffer is full
// (GSensorError is then set).
int put_gss(dr_common_t* dr, const gsensor_buffer& gssdata);
