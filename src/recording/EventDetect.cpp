// Event state of a recording and the G-sensor rules: the mounting
// position's axis mapping, the G-sensor text record, steering, braking and
// acceleration, and the choice of the sample for each 10 ms slot.
#include "recording/EventDetect.h"

#include <array>
#include <cstdio>

namespace {

// One vehicle axis as a sensor axis (0 x, 1 y, 2 z) and a sign.
struct AxisPick {
    uint8_t axis;
    bool negate;
};
struct Mounting {
    AxisPick fb, lr, ud;
};

constexpr AxisPick X{0, false}, Y{1, false}, Z{2, false};
constexpr AxisPick NX{0, true}, NY{1, true}, NZ{2, true};

// Front/back, left/right and up/down per mounting position 1..24.
constexpr std::array<Mounting, 24> kMountings{{
    {X, Y, Z},     {NX, NY, Z},   {NY, X, Z},    {Y, NX, Z},    // 1-4
    {X, NY, NZ},   {NX, Y, NZ},   {NY, NX, NZ},  {Y, X, NZ},    // 5-8
    {X, Z, NY},    {NX, NZ, NY},  {NZ, X, NY},   {Z, NX, NY},   // 9-12
    {X, NZ, Y},    {NX, Z, Y},    {NZ, NX, Y},   {Z, X, Y},     // 13-16
    {NZ, NY, NX},  {Z, Y, NX},    {NY, Z, NX},   {Y, NZ, NX},   // 17-20
    {NZ, Y, X},    {Z, NY, X},    {NY, NZ, X},   {Y, Z, X},     // 21-24
}};

constexpr uint8_t kXBits = kGsensorEventXPositive | kGsensorEventXNegative;
constexpr uint8_t kYBits = kGsensorEventYPositive | kGsensorEventYNegative;
constexpr uint8_t kZBits = kGsensorEventZPositive | kGsensorEventZNegative;
constexpr uint8_t B0 = kGsensorEventXPositive, B1 = kGsensorEventXNegative;
constexpr uint8_t B2 = kGsensorEventYPositive, B3 = kGsensorEventYNegative;
constexpr uint8_t B4 = kGsensorEventZPositive, B5 = kGsensorEventZNegative;

// Steering is either direction of the axis across the vehicle; acceleration
// the direction that maps to +FB, braking the one that maps to -FB.
constexpr std::array<GssEventBits, 24> kEventBits{{
    {kYBits, B0, B1}, {kYBits, B1, B0}, {kXBits, B3, B2}, {kXBits, B2, B3},  // 1-4
    {kYBits, B0, B1}, {kYBits, B1, B0}, {kXBits, B3, B2}, {kXBits, B2, B3},  // 5-8
    {kZBits, B0, B1}, {kZBits, B1, B0}, {kXBits, B5, B4}, {kXBits, B4, B5},  // 9-12
    {kZBits, B0, B1}, {kZBits, B1, B0}, {kXBits, B5, B4}, {kXBits, B4, B5},  // 13-16
    {kYBits, B5, B4}, {kYBits, B4, B5}, {kZBits, B3, B2}, {kZBits, B2, B3},  // 17-20
    {kYBits, B5, B4}, {kYBits, B4, B5}, {kZBits, B3, B2}, {kZBits, B2, B3},  // 21-24
}};

bool ValidPosition(int position) { return position >= 1 && position <= 24; }

uint8_t Pick(const gsensor_buffer& s, AxisPick p) {
    const int8_t v = p.axis == 0 ? s.xaxis : (p.axis == 1 ? s.yaxis : s.zaxis);
    const auto u = static_cast<uint8_t>(v);
    return p.negate ? static_cast<uint8_t>(0u - u) : u;
}

int64_t Micros(const dr_timeval& t) { return int64_t{t.tv_sec} * 1000000 + t.tv_usec; }

// Starts or ends one G-sensor event.
struct GssRule {
    uint8_t flag;
    uint8_t GssEventBits::*bits;
    int32_t event_info_forAfile::*counter;
    const char* detected;
    const char* cleared;
};
constexpr std::array<GssRule, 3> kGssRules{{
    {kEventSteer, &GssEventBits::steer, &event_info_forAfile::cnt_steer, "AM: Steering event detected!!",
     "AM: Steering event cleared!!"},
    {kEventBrake, &GssEventBits::brake, &event_info_forAfile::cnt_break, "AM: Sudden braking event detected!!",
     "AM: Sudden braking event cleared!!"},
    {kEventAccel, &GssEventBits::accel, &event_info_forAfile::cnt_accel,
     "AM: Sudden acceleration event detected!!", "AM: Sudden acceleration event cleared!!"},
}};

}  // namespace

EventLimits ReadEventLimits(const dr_common_t* dr) {
    EventLimits l;
    l.gss_position = SharedSetting(dr->gss_position);
    l.speed_limit = SharedSetting(dr->speed_limit);
    l.engine_rot_limit = SharedSetting(dr->engine_rot_limit);
    l.idling_limit = SharedSetting(dr->idling_limit);
    l.ext_event_enable = SharedSetting(dr->ext_event_enable);
    l.ext_event_logic = SharedSetting(dr->ext_event_logic);
    l.acc_in = dr->ACC_IN_State.load(std::memory_order_relaxed);
    return l;
}

void ClearEventState(event_info_forAfile* info) {
    ResetFileEventInfo(info);
    info->in_event = 0;
    info->event_led.store(0);
    info->drv_alert.store(0);
}

void ResetFileEventInfo(event_info_forAfile* info) {
    info->cnt_steer = info->cnt_accel = info->cnt_break = 0;
    info->cnt_speed = info->cnt_espeed = info->cnt_idle = 0;
    info->cnt_contactin = 0;
    info->max_speed = info->distance = 0;
}

bool IsEventFile(const event_info_forAfile& info) {
    return info.cnt_steer + info.cnt_accel + info.cnt_contactin + info.cnt_break > 0;
}

void RequestEventIndication(event_info_forAfile* info, bool alert) {
    // 0 or 2 become 1; a request still at 1 stays as it is.
    info->event_led.store(1);
    if (alert) info->drv_alert.store(1);
}

void ReleaseEventIndication(event_info_forAfile* info, bool alert) {
    int32_t taken = 2;
    info->event_led.compare_exchange_strong(taken, 0);
    taken = 2;
    if (alert) info->drv_alert.compare_exchange_strong(taken, 0);
}

bool MapGssAxes(const gsensor_buffer& sample, int gss_position, GssAxes* axes) {
    if (!ValidPosition(gss_position)) return false;
    const Mounting& m = kMountings[static_cast<size_t>(gss_position - 1)];
    *axes = GssAxes{Pick(sample, m.fb), Pick(sample, m.lr), Pick(sample, m.ud)};
    return true;
}

int Map_GSS(const gsensor_buffer& sample, int gss_position, char* gsens_char) {
    GssAxes a{};
    if (!MapGssAxes(sample, gss_position, &a)) return 0;
    return std::snprintf(gsens_char, kGssTextSize, "$FB,%02X,$LR,%02X,$UD,%02X\r\n", a.fb, a.lr, a.ud);
}

GssEventBits GssEventBitsFor(int gss_position) {
    if (!ValidPosition(gss_position)) return GssEventBits{0, 0, 0};
    return kEventBits[static_cast<size_t>(gss_position - 1)];
}

uint8_t GssEvent(event_info_forAfile* info, int gss_position, const gsensor_buffer& sample) {
    if (!ValidPosition(gss_position)) return 0;
    const GssEventBits bits = GssEventBitsFor(gss_position);
    uint8_t started = 0;
    for (const GssRule& r : kGssRules) {
        const bool active = (sample.event & bits.*r.bits) != 0;
        const bool was = (info->in_event & r.flag) != 0;
        if (active && !was) {
            info->in_event = static_cast<uint8_t>(info->in_event | r.flag);
            std::printf("%s\n", r.detected);
            ++(info->*r.counter);
            RequestEventIndication(info, true);
            started = static_cast<uint8_t>(started | r.flag);
        } else if (!active && was) {
            info->in_event = static_cast<uint8_t>(info->in_event & ~r.flag);
            std::printf("%s\n", r.cleared);
            ReleaseEventIndication(info, true);
        }
    }
    return started;
}

uint8_t GssEvent(dr_common_t* dr, const gsensor_buffer& sample) {
    return GssEvent(&dr->eventinfo, SharedSetting(dr->gss_position), sample);
}

int GssStartAdjustment(const GssSlotState& st, const dr_timeval& picture_time) {
    return Micros(picture_time) - Micros(st.CurrentGssTime) < 5000 ? -1 : 1;
}

int Get_GSS(dr_common_t* dr, GssSlotState* st, const dr_timeval& picture_time, gsensor_buffer* sample) {
    if (dr->gsens_enable.load() == 0 || dr->GSS_ALIVE.load() == 0) {
        if (!st->not_alive_reported) {
            std::printf("AM : G Sensor Thread is not alive !\n");
            st->not_alive_reported = true;
        }
        return 0;
    }
    if (st->nAdjustGss == -1 && st->have_last) {
        // The sensor is behind the file's first picture: this slot repeats
        // the sample the previous slot used.
        st->nAdjustGss = 0;
        *sample = st->last;
        return 1;
    }
    DrRingBuffer* rb = &dr->gsens_buf;
    const int64_t oldest_us = Micros(picture_time) - 5000;
    bool got = false;
    gsensor_buffer s{};
    while (DR_GetRingBufferReadAvailable(rb) >= kGsensorRecordSize) {
        DR_ReadRingBuffer(rb, &s, kGsensorRecordSize);
        got = true;
        // Without a correction pending one sample per slot; with one, skip
        // those more than 5 ms older than the picture.
        if (st->nAdjustGss != 1 || Micros(s.timestamp) >= oldest_us) break;
    }
    if (!got) return 0;
    // A correction ends once a sample was taken; with the buffer empty it
    // stays pending for the next slot.
    st->nAdjustGss = 0;
    st->last = s;
    st->have_last = true;
    st->CurrentGssTime = s.timestamp;
    *sample = s;
    return 1;
}
