// Takes the G-sensor, pulse and contact records out of gsens_buf, pulse_buf
// and contin_buf in whole records, for the writer's stand-in while it does
// not store them yet, so the receivers never find their buffers full.
//
// When the environment variable DIVIV_DUMP_SENSORS names a path prefix, the
// records are appended as they come, unchanged, to "<prefix>.gsens" (16-byte
// gsensor_buffer), "<prefix>.pulse" (28-byte pulse_input_buffer) and
// "<prefix>.contin" (12-byte cont_input_buffer), so a whole-program test can
// read what the receivers handed over.
#pragma once

#include <array>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

#include "core/DR_shared.h"

namespace diviv::sensors {

inline constexpr const char* kDumpSensorsVariable = "DIVIV_DUMP_SENSORS";

class SensorDrain {
public:
    // dump_prefix: path prefix of the dump files; empty for none.
    explicit SensorDrain(const std::string& dump_prefix = {});

    // Takes every whole record waiting. Returns the number taken.
    int Poll(dr_common_t* dr);

    // Records taken so far: G-sensor, pulse, contact.
    int64_t taken(int stream) const { return streams_[static_cast<size_t>(stream)].taken; }

private:
    struct FileClose {
        void operator()(FILE* f) const { std::fclose(f); }
    };
    struct Stream {
        DrRingBuffer dr_common_t::*buffer;
        int record_size;
        const char* suffix;
        std::unique_ptr<FILE, FileClose> dump;
        int64_t taken = 0;
    };
    std::array<Stream, 3> streams_;
};

inline constexpr int kGsensorStream = 0;
inline constexpr int kPulseStream = 1;
inline constexpr int kContactStream = 2;

// DIVIV_DUMP_SENSORS, or empty.
std::string DumpSensorsPrefix();

}  // namespace diviv::sensors
