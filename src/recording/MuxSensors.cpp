#include "recording/MuxSensors.h"

#include <cstdio>
#include <cstring>

#include "recording/MuxRules.h"

namespace diviv::mux {

namespace {

constexpr uint32_t kSlotMs = 10;

// Picture time minus record time, in seconds.
double Behind(const MuxState& s, const dr_timeval& record_time) {
    return StampSeconds(s.CurrentFrameTime) - StampSeconds(record_time);
}

bool ReadRecord(DrRingBuffer* buf, void* record, int size) {
    if (DR_GetRingBufferReadAvailable(buf) < size) return false;
    DR_ReadRingBuffer(buf, record, size);
    return true;
}

void WriteGssText(MuxState& s) {
    if (s.gsens_len > 0)
        WriteObject(s, ASF_MUX_DATA_TYPE_BINARY, reinterpret_cast<const uint8_t*>(s.gsens_char),
                    static_cast<uint32_t>(s.gsens_len), s.dwDPTS, true);
}

}  // namespace

void StartSensorSlots(MuxState& s, const dr_timeval& picture_time) {
    if (s.dr->gsens_enable.load() != 0) s.gss.nAdjustGss = GssStartAdjustment(s.gss, picture_time);
}

void FillSensorSlots(MuxState& s) {
    if (s.dwVPTS < s.dwDPTS) return;
    if (s.id_pending) {
        WriteText(s, s.IDBuf, s.dwDPTS);
        s.id_pending = false;
    }
    if (s.dr->gsens_enable.load() == 0) {
        s.dwDPTS = (s.dwVPTS / 1000 + 1) * 1000;
        return;
    }
    const int position = SharedSetting(s.dr->gss_position);
    while (s.dwDPTS <= s.dwVPTS) {
        gsensor_buffer sample{};
        if (Get_GSS(s.dr, &s.gss, s.CurrentFrameTime, &sample) == 1) {
            GssEvent(s.dr, sample);
            if (Map_GSS(sample, position, s.gsens_char) > 0) s.gsens_len = static_cast<int>(std::strlen(s.gsens_char));
        } else {
            // A receiver that has ended (at a recording's close it stops
            // before the writer's last file is done) was reported once by
            // Get_GSS: a line for every 10 ms slot would flood the console.
            if (s.dr->GSS_ALIVE.load() != 0)
                std::printf("AM: No G sensor data!! (dwDPTS:%u) Previous data has been used instead.\n", s.dwDPTS);
            if (s.gss.have_last) GssEvent(s.dr, s.gss.last);
        }
        WriteGssText(s);
        s.dwDPTS += kSlotMs;
    }
}

void WriteGpsRecord(MuxState& s) {
    if (s.dr->GPSWriteRmcData.load() == 0 || SharedSetting(s.dr->gps_enable) == 0) return;
    if (!s.PassRMC && !ReadRecord(&s.dr->rmc_buf, &s.rmc, kGpsRecordSize)) return;
    if (PulseOrGpsTiming(Behind(s, s.rmc.timestamp), s.enc_fps) == RecordTiming::kHold) {
        s.PassRMC = true;
        return;
    }
    s.PassRMC = false;
    const size_t length = strnlen(s.rmc.rmc_data, sizeof s.rmc.rmc_data);
    WriteObject(s, ASF_MUX_DATA_TYPE_BINARY, reinterpret_cast<const uint8_t*>(s.rmc.rmc_data),
                static_cast<uint32_t>(length), s.dwVPTS, true);
}

void WritePulseRecord(MuxState& s) {
    if (!s.PassPULSE && !ReadRecord(&s.dr->pulse_buf, &s.pulse, kPulseRecordSize)) return;
    if (PulseOrGpsTiming(Behind(s, s.pulse.timestamp), s.enc_fps) == RecordTiming::kHold) {
        s.PassPULSE = true;
        return;
    }
    s.PassPULSE = false;
    PulseEvent(s.dr, s.pulse);
    WriteText(s, SpeedPulseRecord(s.pulse.count_gpt1), s.dwVPTS);
    WriteText(s, EnginePulseRecord(s.pulse.count_gpt2), s.dwVPTS);
}

void WriteContactRecord(MuxState& s) {
    if (!s.PassCONTIN && !ReadRecord(&s.dr->contin_buf, &s.contin, kContactRecordSize)) return;
    switch (ContactTiming(Behind(s, s.contin.timestamp), s.enc_fps)) {
        case RecordTiming::kHold:
            s.PassCONTIN = true;
            return;
        case RecordTiming::kCatchUp:
            // Records older than the picture were missed: read on, storing
            // nothing, to the first one that is not older.
            for (;;) {
                if (!ReadRecord(&s.dr->contin_buf, &s.contin, kContactRecordSize)) {
                    s.PassCONTIN = false;
                    return;
                }
                if (ContactCatchUpEnds(Behind(s, s.contin.timestamp))) {
                    s.PassCONTIN = true;
                    return;
                }
            }
        case RecordTiming::kWrite:
            break;
    }
    s.PassCONTIN = false;
    ContactEvent(s.dr, s.contin);
    WriteText(s, ContactRecord(s.contin.sigin), s.dwVPTS);
}

}  // namespace diviv::mux
