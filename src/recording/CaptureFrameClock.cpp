#include "recording/CaptureFrameClock.h"

#include <algorithm>
#include <cstdio>

namespace diviv::vce {

namespace {

int64_t MicrosecondsBetween(dr_timeval a, dr_timeval b) {
    return (int64_t{b.tv_sec} - a.tv_sec) * 1000000 + (int64_t{b.tv_usec} - a.tv_usec);
}

// floor(us * 30 / 1e6) in integers: a stamp exactly on a grid line (100 ms)
// lands on it, not a rounding error below.
int64_t GridSteps(int64_t us) {
    const int64_t scaled = us * static_cast<int64_t>(kFrameGridHz);
    return scaled >= 0 ? scaled / 1000000 : -((-scaled + 999999) / 1000000);
}

}  // namespace

double StampSeconds(dr_timeval t) { return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) * 1e-6; }

FrameNumbering CalcCapFrameNumAndRate(CaptureFrameClock& clock, dr_timeval stamp, double request_rate) {
    FrameNumbering f;
    if (!clock.started) {
        clock.started = true;
        clock.first = stamp;
        clock.last = stamp;
        clock.nCalcFNum = 0;
        f.first = true;
    } else {
        f.past = MicrosecondsBetween(clock.last, stamp) < 0;
        const int64_t us = MicrosecondsBetween(clock.first, stamp);
        f.elapsed = static_cast<double>(us) * 1e-6;
        f.computed = static_cast<int32_t>(GridSteps(us) + 1);
        f.number = f.computed;
        // Equal numbers would give two pictures one presentation time; a
        // lower one (after a raise, or a stamp out of order) would send the
        // writer's clock backwards.
        if (f.number <= clock.nCalcFNum) {
            f.number = clock.nCalcFNum + 1;
            f.bumped = true;
        }
        clock.nCalcFNum = f.number;
        clock.last = stamp;
    }
    if (f.elapsed > 0) {
        f.cap_rate = clock.nCapNum / f.elapsed;
        f.mean_proc_rate = clock.nProcNum / f.elapsed;
    }
    f.statistics = clock.nCapNum > 0 && clock.nCapNum % kStatisticsPeriod == 0;
    f.take = request_rate > kFullRateThreshold || f.mean_proc_rate <= request_rate;
    return f;
}

void CountFrame(CaptureFrameClock& clock, bool taken) {
    ++clock.nCapNum;
    if (taken) ++clock.nProcNum;
}

std::string StatisticsLine(const FrameNumbering& f, const CaptureFrameClock& clock, double proc_frame_rate,
                           double request_rate, dr_timeval stamp, int32_t skipped) {
    char text[256];
    int n = std::snprintf(text, sizeof text,
                          "VCE:FNUM=%d Cap=%d Proc=%d CapRate=%02.02f ProcRate=%02.02f MeanProcRate=%02.02f "
                          "ReqRate=%02.02f TC=%10.03f",
                          f.number, clock.nCapNum, clock.nProcNum, f.cap_rate, proc_frame_rate, f.mean_proc_rate,
                          request_rate, StampSeconds(stamp));
    std::string line(text, n > 0 ? static_cast<size_t>(std::min<int>(n, sizeof text - 1)) : 0);
    if (skipped > 0) {
        std::snprintf(text, sizeof text, "  SkipFrame=%d", skipped);
        line += text;
    }
    return line;
}

}  // namespace diviv::vce
