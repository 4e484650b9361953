#include "recording/SensorDrain.h"

#include <cstdlib>

#include "platform/SensorRecords.h"

static_assert(sizeof(gsensor_buffer) == kGsensorRecordSize);
static_assert(sizeof(pulse_input_buffer) == kPulseRecordSize);
static_assert(sizeof(cont_input_buffer) == kContactRecordSize);

namespace diviv::sensors {

namespace {
constexpr int kLargestRecord = kPulseRecordSize;
}  // namespace

std::string DumpSensorsPrefix() {
    const char* p = std::getenv(kDumpSensorsVariable);
    return p != nullptr ? std::string(p) : std::string();
}

SensorDrain::SensorDrain(const std::string& dump_prefix)
    : streams_{{{&dr_common_t::gsens_buf, kGsensorRecordSize, ".gsens", nullptr},
                {&dr_common_t::pulse_buf, kPulseRecordSize, ".pulse", nullptr},
                {&dr_common_t::contin_buf, kContactRecordSize, ".contin", nullptr}}} {
    if (dump_prefix.empty()) return;
    for (Stream& s : streams_) {
        const std::string path = dump_prefix + s.suffix;
        s.dump.reset(std::fopen(path.c_str(), "ab"));
        if (!s.dump) std::perror(path.c_str());
    }
}

int SensorDrain::Poll(dr_common_t* dr) {
    int taken = 0;
    char record[kLargestRecord];
    for (Stream& s : streams_) {
        DrRingBuffer* rb = &(dr->*s.buffer);
        // The receivers write whole records only, so a whole one is there
        // or none; a part is left for the next call.
        while (DR_GetRingBufferReadAvailable(rb) >= s.record_size) {
            DR_ReadRingBuffer(rb, record, s.record_size);
            if (s.dump) std::fwrite(record, 1, static_cast<size_t>(s.record_size), s.dump.get());
            ++s.taken;
            ++taken;
        }
        if (s.dump) std::fflush(s.dump.get());
    }
    return taken;
}

}  // namespace diviv::sensors
