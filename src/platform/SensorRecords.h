// The vehicle sensors' drivers as the recorder sees them: the request
// numbers and records of the G-sensor ("/dev/gsensor") and of the pulse
// counter ("/dev/pulse_in"), and the contact-input record built from the
// board's input word. The sensor receivers write these records into their
// ring buffers unchanged, so the recording writer reads the same layout.
//
// Every record has the same size on every platform: fixed-width fields and
// the recorder's own two-word time record (dr_timeval), never the host's
// struct timeval.
#pragma once

#include <cstdint>

#include "platform/Clock.h"

// G-sensor driver requests.
inline constexpr unsigned long kGsensorStart = 0x4700;              // start sampling, no argument
inline constexpr unsigned long kGsensorSetThreshold = 0x40014706;   // argument: gsensor_threshold_axis
inline constexpr unsigned long kGsensorRead = 0x80104704;           // argument: gsensor_buffer

// gsensor_buffer.flag bits.
inline constexpr uint32_t kGsensorNoData = 0x0001;   // no new sample: the rest of the record is not valid
inline constexpr uint32_t kGsensorOverrun = 0x1000;  // the driver's buffer overran before this sample

// gsensor_buffer.event bits: one per axis direction beyond its threshold.
inline constexpr uint8_t kGsensorEventXPositive = 0x01;
inline constexpr uint8_t kGsensorEventXNegative = 0x02;
inline constexpr uint8_t kGsensorEventYPositive = 0x04;
inline constexpr uint8_t kGsensorEventYNegative = 0x08;
inline constexpr uint8_t kGsensorEventZPositive = 0x10;
inline constexpr uint8_t kGsensorEventZNegative = 0x20;

// One sample as the driver delivers it and as gsens_buf carries it.
struct gsensor_buffer {
    dr_timeval timestamp;  // time of the sample (wall clock)
    int8_t xaxis;          // acceleration on the sensor's axes, in the driver's unit
    int8_t yaxis;
    int8_t zaxis;
    uint8_t event;         // kGsensorEvent* bits
    uint32_t flag;         // kGsensorNoData, kGsensorOverrun
};
static_assert(sizeof(gsensor_buffer) == 16);

// The event thresholds handed to the driver, in the driver's unit; 0 turns
// a direction off.
struct gsensor_threshold_axis {
    uint32_t x_positive;
    uint32_t x_negative;
    uint32_t y_positive;
    uint32_t y_negative;
    uint32_t z_positive;
    uint32_t z_negative;
};
static_assert(sizeof(gsensor_threshold_axis) == 24);

// Pulse counter driver requests (none but the read takes an argument).
inline constexpr unsigned long kPulseStart = 0x5000;
inline constexpr unsigned long kPulseStop = 0x5001;
inline constexpr unsigned long kPulseRelease = 0x5002;
inline constexpr unsigned long kPulseRead = 0x801c5004;  // argument: pulse_input_buffer

// pulse_input_buffer.flag bits.
inline constexpr uint32_t kPulseNoData = 0x0001;    // no record: the rest is not valid
inline constexpr uint32_t kPulseMoreData = 0x0002;  // the driver holds at least one more record

// One measuring interval of the two pulse inputs, as the driver delivers it
// and as pulse_buf carries it.
struct pulse_input_buffer {
    uint32_t flag;            // kPulseNoData, kPulseMoreData
    dr_timeval timestamp;     // end of the measuring interval (wall clock)
    dr_timeval elapsed_time;  // length of the interval
    uint32_t count_gpt1;      // vehicle speed pulses in the interval
    uint32_t count_gpt2;      // engine rotation pulses in the interval
};
static_assert(sizeof(pulse_input_buffer) == 28);

// One sample of the contact inputs, as contin_buf carries it.
struct cont_input_buffer {
    dr_timeval timestamp;
    uint32_t sigin;  // contact inputs 0..6 (1: active), 0 when the input word could not be read
};
static_assert(sizeof(cont_input_buffer) == 12);
