// Pulse and contact rules: trip values, speed over, engine speed over,
// idling with its wall-clock timer, the external event input, and the two
// summary records a file ends with.
#include <time.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>

#include "core/DR_common.h"
#include "recording/EventDetect.h"

namespace {

// The idle timer measures elapsed time, so it reads the monotonic clock:
// the wall clock is set from the satellite time while recording, and a jump
// there must not complete (or hold back) an idling period.
int SystemNowMs(int64_t* now_ms) {
    struct timespec ts {};
    if (::clock_gettime(CLOCK_MONOTONIC, &ts) != 0) return -1;
    *now_ms = int64_t{ts.tv_sec} * 1000 + ts.tv_nsec / 1000000;
    return 0;
}

IdleTimer& WriterIdleTimer() {
    static IdleTimer timer;
    return timer;
}

// Speed and engine speed over: start above the limit, end at or below it.
// Returns true when the event started with this count.
bool OverLimit(event_info_forAfile* info, uint32_t pulses, uint32_t limit, uint8_t flag, int32_t* counter,
               bool alert, const char* what) {
    const bool was = (info->in_event & flag) != 0;
    if (pulses > limit && !was) {
        info->in_event = static_cast<uint8_t>(info->in_event | flag);
        ++*counter;
        RequestEventIndication(info, alert);
        std::printf("AM : %s over event detected! (PLS:%u,FLG:%d)\n", what, pulses, info->in_event);
        return true;
    }
    if (pulses <= limit && was) {
        info->in_event = static_cast<uint8_t>(info->in_event & ~flag);
        ReleaseEventIndication(info, alert);
        std::printf("AM : %s over event cleared! (PLS:%u,FLG:%d)\n", what, pulses, info->in_event);
    }
    return false;
}

// Idling: standing (no speed pulses) with the ignition on. Returns true when
// a full idling period was completed with this record.
bool Idling(event_info_forAfile* info, const EventLimits& limits, uint32_t p1, IdleTimer* timer) {
    const bool idling = (info->in_event & kEventIdle) != 0;
    if (p1 == 0 && limits.acc_in == 1) {
        if (!idling) {
            timer->GetIdleElapsedMilliTime(1);
            info->in_event = static_cast<uint8_t>(info->in_event | kEventIdle);
            return false;
        }
        const long elapsed = timer->GetIdleElapsedMilliTime(0);
        if (elapsed <= static_cast<long>(limits.idling_limit) * 60000) return false;
        std::printf("AM : Idling event detected! (%ld:%ld)\n", elapsed, elapsed / 1000);
        timer->GetIdleElapsedMilliTime(1);
        ++info->cnt_idle;
        RequestEventIndication(info, false);
        return true;
    }
    if (p1 == 0) {
        if (idling) {
            info->in_event = static_cast<uint8_t>(info->in_event & ~kEventIdle);
            ReleaseEventIndication(info, false);
            std::printf("AM : Idling event was cleared due to ACC OFF!!\n");
        } else {
            std::printf("AM : Idling event with ACC OFF is dropped!!\n");
        }
        return false;
    }
    if (idling) {
        const long last = timer->last_elapsed();
        std::printf("AM : Idling event cleared! (%ld:%ld)\n", last, last / 1000);
        info->in_event = static_cast<uint8_t>(info->in_event & ~kEventIdle);
        ReleaseEventIndication(info, false);
    }
    return false;
}

}  // namespace

IdleTimer::IdleTimer(NowFn now) : now_(now != nullptr ? now : SystemNowMs) {}

long IdleTimer::GetIdleElapsedMilliTime(int reset) {
    int64_t now = 0;
    if (now_(&now) != 0) {
        std::printf("AM : failed to gettimeofday\n");
        DR_SYSLOG(DR_ERR_SURVIVABLE, "Failure of counting the time.", 0);
        return -1;
    }
    if (reset != 0) {
        mark_ms_ = now;
        last_ms_ = 0;
        return 0;
    }
    last_ms_ = static_cast<long>(now - mark_ms_);
    return last_ms_;
}

long GetIdleElapsedMilliTime(int reset) { return WriterIdleTimer().GetIdleElapsedMilliTime(reset); }

uint8_t PulseEvent(event_info_forAfile* info, const EventLimits& limits, const pulse_input_buffer& rec,
                   IdleTimer* timer) {
    const uint32_t p1 = rec.count_gpt1;
    const uint32_t p2 = rec.count_gpt2;
    // A count beyond the 32-bit signed fields (a garbled driver record)
    // saturates instead of wrapping them negative.
    constexpr int64_t kMax = INT32_MAX;
    info->max_speed = static_cast<int32_t>(std::max<int64_t>(info->max_speed, std::min<int64_t>(p1, kMax)));
    info->distance = static_cast<int32_t>(std::min<int64_t>(int64_t{info->distance} + p1, kMax));
    uint8_t started = 0;
    if (limits.speed_limit != 0 &&
        OverLimit(info, p1, limits.speed_limit, kEventSpeed, &info->cnt_speed, false, "Speed"))
        started |= kEventSpeed;
    if (limits.idling_limit != 0 && Idling(info, limits, p1, timer)) started |= kEventIdle;
    if (limits.engine_rot_limit != 0 &&
        OverLimit(info, p2, limits.engine_rot_limit, kEventEngine, &info->cnt_espeed, true, "Engine speed"))
        started |= kEventEngine;
    return started;
}

uint8_t PulseEvent(dr_common_t* dr, const pulse_input_buffer& rec) {
    return PulseEvent(&dr->eventinfo, ReadEventLimits(dr), rec, &WriterIdleTimer());
}

bool ExternalInputActive(uint32_t sigin, int ext_event_logic) {
    const uint32_t pin = (sigin >> 3) & 1u;
    return (pin == 0 && ext_event_logic == 1) || (pin == 1 && ext_event_logic == 0);
}

uint8_t ContactEvent(event_info_forAfile* info, const EventLimits& limits, const cont_input_buffer& rec) {
    if (limits.ext_event_enable != 1) return 0;
    const bool active = ExternalInputActive(rec.sigin, limits.ext_event_logic);
    const bool was = (info->in_event & kEventExternal) != 0;
    const unsigned pin = (rec.sigin >> 3) & 1u;
    if (active && !was) {
        info->in_event = static_cast<uint8_t>(info->in_event | kEventExternal);
        RequestEventIndication(info, false);
        ++info->cnt_contactin;
        std::printf("AM : PIN4 event detected! (PIN:%u,FLG:%d)\n", pin, info->in_event);
        return kEventExternal;
    }
    if (!active && was) {
        info->in_event = static_cast<uint8_t>(info->in_event & ~kEventExternal);
        ReleaseEventIndication(info, false);
        std::printf("AM : PIN4 event cleared! (PIN:%u,FLG:%d)\n", pin, info->in_event);
    }
    return 0;
}

uint8_t ContactEvent(dr_common_t* dr, const cont_input_buffer& rec) {
    return ContactEvent(&dr->eventinfo, ReadEventLimits(dr), rec);
}

int FormatTripSummary(const event_info_forAfile& info, char* out) {
    return std::snprintf(out, kSummaryTextSize, "$MAXSP,%08d,$TRIP,%08d\r\n", info.max_speed, info.distance);
}

int FormatEventSummary(const event_info_forAfile& info, uint32_t idling_limit, char* out) {
    // Each field is two digits at a fixed place; a count above 99 shows as
    // 99 rather than pushing the later fields out of the record.
    auto field = [](long v) { return static_cast<int>(std::clamp(v, 0L, 99L)); };
    const long idle = info.cnt_idle != 0 ? static_cast<long>(idling_limit) : 0L;
    return std::snprintf(out, kSummaryTextSize, "$EVENT,%02d,%02d,%02d,%02d,%02d,%02d\r\n", field(info.cnt_steer),
                         field(info.cnt_accel), field(info.cnt_break), field(info.cnt_speed), field(info.cnt_espeed),
                         field(idle));
}
