// Driving events: the writer hands every sensor record it stores to these
// rules, which keep the active-event bits and the per-file counters of
// drc->eventinfo, raise the event LED and buzzer requests, and give the
// G-sensor text record in the vehicle's axes.
//
// Every rule has a pure form over an event_info_forAfile and the settings
// (unit tests drive those with recorded sensor records) and a form over the
// shared record that the writer calls. All of them run on the writer's
// thread; the indicator logic on the main thread only moves drv_alert and
// event_led from 1 to 2, so those two are the only atomics touched here.
#pragma once

#include <cstdint>

#include "core/DR_shared.h"
#include "platform/SensorRecords.h"

// Bits of eventinfo.in_event: the events active now. They outlive a file
// change, so an event still active at a file's end is not counted again.
inline constexpr uint8_t kEventSteer = 0x01;     // steering
inline constexpr uint8_t kEventAccel = 0x02;     // sudden acceleration
inline constexpr uint8_t kEventBrake = 0x04;     // sudden braking
inline constexpr uint8_t kEventSpeed = 0x08;     // speed over the limit
inline constexpr uint8_t kEventEngine = 0x10;    // engine speed over the limit
inline constexpr uint8_t kEventIdle = 0x20;      // standing with the ignition on
inline constexpr uint8_t kEventExternal = 0x40;  // the external event input

// The settings the rules read, copied from the shared record.
struct EventLimits {
    int gss_position = 0;           // sensor mounting 1..24; anything else: no G-sensor events
    uint32_t speed_limit = 0;       // speed pulses per record; 0: no speed events
    uint32_t engine_rot_limit = 0;  // engine pulses per record; 0: no engine events
    uint32_t idling_limit = 0;      // minutes; 0: no idling events
    int ext_event_enable = 0;       // 1: the external input is evaluated
    int ext_event_logic = 0;        // 0: input active when 1, 1: active when 0
    int acc_in = 0;                 // ignition input, 1 = on (ACC_IN_State)
};

EventLimits ReadEventLimits(const dr_common_t* dr);

// ---- Start of recording and of each file ----------------------------------

// At the writer's start: no event active, no indication pending.
void ClearEventState(event_info_forAfile* info);
// At each file's start: counters and trip values back to 0 (in_event and
// the indicator requests are kept).
void ResetFileEventInfo(event_info_forAfile* info);
// A file is an event file when it saw steering, acceleration, braking or
// the external input; speed, engine and idling events alone do not count.
bool IsEventFile(const event_info_forAfile& info);

// Indicator requests: raise event_led (and drv_alert when `alert`) to 1
// unless already 1; release them from 2 (taken over by the indicator
// logic) to 0, leaving a request still at 1 for the indicators to show.
void RequestEventIndication(event_info_forAfile* info, bool alert);
void ReleaseEventIndication(event_info_forAfile* info, bool alert);

// ---- G-sensor ---------------------------------------------------------------

// The sample's acceleration in the vehicle's axes, as 8-bit values
// (negation is the 8-bit two's complement, so -(-128) stays 0x80).
struct GssAxes {
    uint8_t fb;  // front/back
    uint8_t lr;  // left/right
    uint8_t ud;  // up/down
};
// False for a position outside 1..24 (*axes untouched).
bool MapGssAxes(const gsensor_buffer& sample, int gss_position, GssAxes* axes);

// Room for one G-sensor text record "$FB,hh,$LR,hh,$UD,hh\r\n" (22 bytes)
// and its NUL.
inline constexpr int kGssTextSize = 24;
// Writes the sample's G-sensor text record into gsens_char (kGssTextSize
// bytes, NUL-terminated). A position outside 1..24 leaves gsens_char as it
// was. Returns the record's length without the NUL (22), or 0 when the text
// was left unchanged.
int Map_GSS(const gsensor_buffer& sample, int gss_position, char* gsens_char);

// The event bits (kGsensorEvent*) that mean steering, acceleration and
// braking at a mounting position; all 0 outside 1..24.
struct GssEventBits {
    uint8_t steer;
    uint8_t accel;
    uint8_t brake;
};
GssEventBits GssEventBitsFor(int gss_position);

// Evaluates one G-sensor sample (once per 10 ms slot): steering, braking
// and acceleration start and end, with their console lines, counters and
// indicator requests. Returns the kEvent* bits that started with this sample.
uint8_t GssEvent(event_info_forAfile* info, int gss_position, const gsensor_buffer& sample);
uint8_t GssEvent(dr_common_t* dr, const gsensor_buffer& sample);

// The writer's G-sensor reading state, kept across files of one recording.
struct GssSlotState {
    // Set by the writer at each file start (GssStartAdjustment), used up by
    // the next Get_GSS: -1 reuse the previous sample for one slot, 1 skip
    // samples older than the picture, 0 nothing to correct.
    int nAdjustGss = 0;
    gsensor_buffer last{};           // the sample taken most recently
    bool have_last = false;          // `last` holds a real sample
    dr_timeval CurrentGssTime{};     // time of `last`
    bool not_alive_reported = false; // "G Sensor Thread is not alive" printed
};

// nAdjustGss for a file whose first picture was captured at picture_time:
// -1 when the picture is less than 5 ms after the latest G-sensor time,
// else 1.
int GssStartAdjustment(const GssSlotState& st, const dr_timeval& picture_time);

// Takes the sample for the next 10 ms slot from gsens_buf into *sample,
// applying a pending nAdjustGss (picture_time: capture time of the current
// picture). Only with the G-sensor enabled and its thread alive; otherwise
// prints "AM : G Sensor Thread is not alive !" once. Returns 1 with a
// sample (also stored in st->last, its time in st->CurrentGssTime), 0 when
// none is available for this slot.
int Get_GSS(dr_common_t* dr, GssSlotState* st, const dr_timeval& picture_time, gsensor_buffer* sample);

// ---- Pulses -----------------------------------------------------------------

// The idle timer: milliseconds since its last reset, on the monotonic clock
// (setting the wall clock does not move it). A clock that fails prints
// "AM : failed to gettimeofday", logs it and reads as -1.
class IdleTimer {
public:
    // now_ms: 0 and the time in milliseconds, or -1 on failure.
    using NowFn = int (*)(int64_t* now_ms);
    explicit IdleTimer(NowFn now = nullptr);  // nullptr: the system clock
    // reset != 0: restart and return 0; else the milliseconds since then.
    long GetIdleElapsedMilliTime(int reset);
    // The last value GetIdleElapsedMilliTime(0) returned.
    long last_elapsed() const { return last_ms_; }

private:
    NowFn now_;
    int64_t mark_ms_ = 0;
    long last_ms_ = 0;
};

// The writer's idle timer (one per process).
long GetIdleElapsedMilliTime(int reset);

// Evaluates one pulse record: maximum speed, distance, speed over, idling
// and engine speed over, with their console lines, counters and requests.
// Returns the kEvent* bits that started (or, for idling, completed a full
// period) with this record.
uint8_t PulseEvent(event_info_forAfile* info, const EventLimits& limits, const pulse_input_buffer& rec,
                   IdleTimer* timer);
uint8_t PulseEvent(dr_common_t* dr, const pulse_input_buffer& rec);

// ---- Contact inputs ---------------------------------------------------------

// Whether the external event input (bit 3 of sigin) is active under
// ext_event_logic.
bool ExternalInputActive(uint32_t sigin, int ext_event_logic);

// Evaluates one contact record for the external event input (only when
// ext_event_enable is 1). Returns kEventExternal when the input became
// active with this record, else 0.
uint8_t ContactEvent(event_info_forAfile* info, const EventLimits& limits, const cont_input_buffer& rec);
uint8_t ContactEvent(dr_common_t* dr, const cont_input_buffer& rec);

// ---- Summaries written at a file's end ---------------------------------------

// Room for either summary record and its NUL.
inline constexpr int kSummaryTextSize = 40;
// "$MAXSP,%08d,$TRIP,%08d\r\n" (32 bytes). Returns the length.
int FormatTripSummary(const event_info_forAfile& info, char* out);
// "$EVENT,ss,aa,bb,sp,es,id\r\n" (26 bytes): steering, acceleration,
// braking, speed, engine and idling counts; the idling field holds
// idling_limit when an idling event was counted. Returns the length.
int FormatEventSummary(const event_info_forAfile& info, uint32_t idling_limit, char* out);
