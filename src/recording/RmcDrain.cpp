#include "recording/RmcDrain.h"

#include <cstdlib>
#include <cstring>

#include "platform/GpsRecord.h"

namespace diviv::recording {

std::string DumpRmcPath() {
    const char* p = std::getenv(kDumpRmcVariable);
    return p != nullptr ? std::string(p) : std::string();
}

RmcDrain::RmcDrain(std::string dump_path) {
    if (!dump_path.empty()) {
        dump_.reset(std::fopen(dump_path.c_str(), "a"));
        if (!dump_) std::perror(dump_path.c_str());
    }
}

int RmcDrain::Poll(dr_common_t* dr) {
    int taken = 0;
    while (DR_GetRingBufferReadAvailable(&dr->rmc_buf) >= kGpsRecordSize) {
        gps_buffer rec{};
        DR_ReadRingBuffer(&dr->rmc_buf, &rec, kGpsRecordSize);
        if (dump_) {
            // Never trusted to be terminated: at most the record's 100 bytes.
            size_t n = strnlen(rec.rmc_data, sizeof rec.rmc_data);
            while (n > 0 && (rec.rmc_data[n - 1] == '\r' || rec.rmc_data[n - 1] == '\n')) --n;
            std::fprintf(dump_.get(), "%d.%06d %.*s\n", static_cast<int>(rec.timestamp.tv_sec),
                         static_cast<int>(rec.timestamp.tv_usec), static_cast<int>(n), rec.rmc_data);
            std::fflush(dump_.get());
        }
        ++records_;
        ++taken;
    }
    return taken;
}

}  // namespace diviv::recording
