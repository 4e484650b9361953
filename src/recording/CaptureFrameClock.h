// Frame numbering and decimation of the captured camera frames.
//
// Every frame seen gets a number on a 30 Hz grid counted from the thread's
// first frame (the writer turns it into the picture's presentation time), and
// the decimation decides whether it is encoded: frames are dropped while the
// mean processing rate runs above the requested rate. Pure arithmetic, so
// the rules can be checked without a camera.
#pragma once

#include <cstdint>
#include <string>

#include "platform/Clock.h"

namespace diviv::vce {

// The grid the frame numbers count on, whatever the camera's rate.
inline constexpr double kFrameGridHz = 30.0;
// Requested rates above this take every frame (the camera's full rate).
inline constexpr double kFullRateThreshold = 28.0;
// A statistics line is printed every this many frames seen.
inline constexpr int32_t kStatisticsPeriod = 30;

struct CaptureFrameClock {
    bool started = false;
    dr_timeval first{};     // time stamp of the thread's first frame
    dr_timeval last{};      // time stamp of the previous frame
    int32_t nCalcFNum = 0;  // number of the previous frame
    int32_t nCapNum = 0;    // frames seen
    int32_t nProcNum = 0;   // frames taken for encoding
};

// What CalcCapFrameNumAndRate found for one frame.
struct FrameNumbering {
    bool first = false;         // the thread's first frame: the start time
    bool past = false;          // stamped earlier than the previous frame
    bool bumped = false;        // raised to one above the previous number
    int32_t computed = 0;       // the grid number before any raise
    int32_t number = 0;         // the frame's number (nCalcFNum)
    double elapsed = 0;         // seconds since the first frame
    double cap_rate = 0;        // frames seen per second so far
    double mean_proc_rate = 0;  // frames taken per second so far
    bool statistics = false;    // a statistics line is due
    bool take = false;          // the frame is encoded (else dropped)
};

// Numbers one frame seen, with time stamp `stamp`, and decides whether it is
// taken at the requested rate (pictures per second). The first frame is 0;
// a later one, t seconds after the first, is floor(t * 30) + 1, and is
// raised to one above the previous frame's number when it would not be
// above it (two stamps in one grid step, or a stamp out of order), so the
// numbers of a thread always increase. Rates count the frames before this
// one. Updates the clock's number and stamps; the counts are moved by
// CountFrame.
FrameNumbering CalcCapFrameNumAndRate(CaptureFrameClock& clock, dr_timeval stamp, double request_rate);

// Counts a frame seen, and taken or not.
void CountFrame(CaptureFrameClock& clock, bool taken);

// The periodic statistics line (without its newline). `skipped` > 0 appends
// the substituted-picture count.
std::string StatisticsLine(const FrameNumbering& f, const CaptureFrameClock& clock, double proc_frame_rate,
                           double request_rate, dr_timeval stamp, int32_t skipped);

// A time stamp as seconds with three decimals' worth of precision (%10.03f).
double StampSeconds(dr_timeval t);

}  // namespace diviv::vce
