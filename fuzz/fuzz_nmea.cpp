// One sentence from the GPS module as the receiver hands it over (from "$"
// up to the LF, at most 99 characters, NUL-terminated): examined for RMC, the
// clock set from satellite time, and the sentence recorded while a recording
// runs. The clock must be set exactly when the sentence's time and date are
// well formed, and the record must hold the sentence, terminated.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>

#include "FuzzBoard.h"
#include "core/DR_shared.h"
#include "core/dr_ringbuffer.h"
#include "platform/GpsRecord.h"
#include "sensors/GpsReceiveThread.h"
#include "sensors/GpsRmc.h"

namespace {

// The shared record with its RMC buffer, made at the first input; the clock
// converts in UTC.
dr_common_t* Record() {
    static std::unique_ptr<dr_common_t> dr;
    if (!dr) {
        ::setenv("TZ", "UTC0", 1);
        ::tzset();
        dr = NewDrCommon();
        if (DR_InitRingBuffer(&dr->rmc_buf, 2048) != 0) std::abort();
        drc = dr.get();
    }
    return dr.get();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    char sentence[kGpsSentenceSize] = {};
    const size_t n = std::min(size, sizeof sentence - 1);
    const auto* lf = static_cast<const uint8_t*>(std::memchr(data, '\n', n));
    std::memcpy(sentence, data, lf ? static_cast<size_t>(lf - data) : n);

    GpsForgetProcessState();
    dr_common_t* dr = Record();
    dr->GPSWriteRmcData = 1;
    dr->EncodeStart = 1;
    int seconds = static_cast<int>(size % 4000);
    ChkRmc(dr, sentence, &seconds);

    // A recorded sentence is the sentence, terminated.
    const bool rmc = std::strncmp(sentence, "$GPRMC", 6) == 0;
    const int records = DR_GetRingBufferReadAvailable(&dr->rmc_buf) / kGpsRecordSize;
    if (records != (rmc ? 1 : 0)) __builtin_trap();
    if (records) {
        gps_buffer rec{};
        DR_ReadRingBuffer(&dr->rmc_buf, &rec, kGpsRecordSize);
        if (strnlen(rec.rmc_data, sizeof rec.rmc_data) == sizeof rec.rmc_data) __builtin_trap();
        if (std::strncmp(rec.rmc_data, sentence, sizeof rec.rmc_data - 1) != 0) __builtin_trap();
    }

    // The clock is set from exactly the sentences whose time and date read.
    diviv::gps::RmcClock clock;
    std::string bad;
    const bool readable = diviv::gps::ReadRmcClock(sentence, &clock, &bad);
    const int before = fuzzboard::RtcSettings();
    const int rc = GpsRTC(sentence);
    if ((rc == 0) != readable) __builtin_trap();
    if ((fuzzboard::RtcSettings() != before) != readable) __builtin_trap();
    return 0;
}
