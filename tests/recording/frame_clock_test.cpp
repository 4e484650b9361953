// Frame numbering on the 30 Hz grid and the decimation to the requested
// rate: what the writer later turns into presentation times and how many
// pictures a recording holds per second.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "recording/CaptureFrameClock.h"

namespace diviv::vce {
namespace {

constexpr int32_t kT0 = 1700000000;  // seconds of the first frame

dr_timeval At(double seconds) {
    const int64_t us = static_cast<int64_t>(std::llround(seconds * 1e6));
    return dr_timeval{static_cast<int32_t>(kT0 + us / 1000000), static_cast<int32_t>(us % 1000000)};
}

// Feeds frames at the given times (seconds after the first) and counts them
// as the capture does.
std::vector<FrameNumbering> Feed(CaptureFrameClock& clock, const std::vector<double>& times, double request) {
    std::vector<FrameNumbering> out;
    for (double t : times) {
        FrameNumbering f = CalcCapFrameNumAndRate(clock, At(t), request);
        CountFrame(clock, f.take);
        out.push_back(f);
    }
    return out;
}

std::vector<int32_t> Numbers(const std::vector<FrameNumbering>& fs) {
    std::vector<int32_t> n;
    for (const auto& f : fs) n.push_back(f.number);
    return n;
}

TEST(FrameNumbering, FirstFrameIsZeroAndLaterOnesCountThirtiethsPlusOne) {
    CaptureFrameClock clock;
    auto fs = Feed(clock, {0.0, 0.040, 0.1, 0.5, 2.0}, 30);
    EXPECT_TRUE(fs[0].first);
    EXPECT_FALSE(fs[1].first);
    EXPECT_EQ(Numbers(fs), (std::vector<int32_t>{0, 2, 4, 16, 61}));
    EXPECT_EQ(clock.first.tv_sec, kT0);
}

TEST(FrameNumbering, TwoFramesOnOneNumberGetConsecutiveNumbers) {
    CaptureFrameClock clock;
    auto fs = Feed(clock, {0.0, 0.040, 0.050, 0.070}, 30);
    // 0.040 and 0.050 both fall on 2: the second becomes 3.
    EXPECT_EQ(Numbers(fs), (std::vector<int32_t>{0, 2, 3, 4}));
    EXPECT_FALSE(fs[1].bumped);
    EXPECT_TRUE(fs[2].bumped);
    EXPECT_EQ(fs[2].computed, 2);
    // 0.070 falls on 3, already used after the raise: it becomes 4, so no
    // two pictures share a time.
    EXPECT_TRUE(fs[3].bumped);
}

TEST(FrameNumbering, DroppedFramesLeaveAGapAndTheNumbersCatchUpWithTime) {
    CaptureFrameClock clock;
    std::vector<double> times;
    for (int i = 0; i < 10; ++i) times.push_back(i / 30.0 + 0.001);
    times[0] = 0;
    // The camera loses frames 10..19: the next is a third of a second later.
    for (int i = 20; i < 25; ++i) times.push_back(i / 30.0 + 0.001);
    auto fs = Feed(clock, times, 30);
    std::vector<int32_t> n = Numbers(fs);
    EXPECT_EQ(n[9], 10);
    EXPECT_EQ(n[10], 21);  // the gap of ten frames is kept
    for (size_t i = 1; i < n.size(); ++i) EXPECT_GT(n[i], n[i - 1]);
}

TEST(FrameNumbering, AFrameStampedInThePastIsUsedWithANumberAboveThePrevious) {
    CaptureFrameClock clock;
    auto fs = Feed(clock, {0.0, 0.1, 0.05, 0.2}, 30);
    EXPECT_FALSE(fs[1].past);
    EXPECT_TRUE(fs[2].past);
    EXPECT_TRUE(fs[2].take);
    EXPECT_EQ(Numbers(fs), (std::vector<int32_t>{0, 4, 5, 7}));
    EXPECT_FALSE(fs[3].past);  // compared with the frame before, not the first
}

TEST(FrameNumbering, StatisticsAreDueEveryThirtyFramesSeen) {
    CaptureFrameClock clock;
    std::vector<double> times;
    for (int i = 0; i < 91; ++i) times.push_back(i / 30.0);
    auto fs = Feed(clock, times, 15);
    std::vector<int> due;
    for (size_t i = 0; i < fs.size(); ++i) {
        if (fs[i].statistics) due.push_back(static_cast<int>(i));
    }
    // Frames seen before the 31st, 61st and 91st frame: 30, 60, 90.
    EXPECT_EQ(due, (std::vector<int>{30, 60, 90}));
    EXPECT_EQ(clock.nCapNum, 91);
}

TEST(FrameNumbering, StatisticsLineShowsCountsRatesAndSubstitutions) {
    CaptureFrameClock clock;
    FrameNumbering f;
    f.number = 31;
    f.cap_rate = 29.97;
    f.mean_proc_rate = 14.5;
    clock.nCapNum = 30;
    clock.nProcNum = 15;
    const dr_timeval stamp{1700000001, 250000};
    EXPECT_EQ(StatisticsLine(f, clock, 15, 15, stamp, 0),
              "VCE:FNUM=31 Cap=30 Proc=15 CapRate=29.97 ProcRate=15.00 MeanProcRate=14.50 ReqRate=15.00 "
              "TC=1700000001.250");
    EXPECT_EQ(StatisticsLine(f, clock, 15, 15, stamp, 3),
              "VCE:FNUM=31 Cap=30 Proc=15 CapRate=29.97 ProcRate=15.00 MeanProcRate=14.50 ReqRate=15.00 "
              "TC=1700000001.250  SkipFrame=3");
}

// A 30 Hz camera for `seconds`, stamps rounded to microseconds as the
// driver gives them.
std::vector<FrameNumbering> Camera30(CaptureFrameClock& clock, double request, int seconds) {
    std::vector<double> times;
    for (int i = 0; i < 30 * seconds; ++i) times.push_back(i / 30.0);
    return Feed(clock, times, request);
}

int TakenIn(const std::vector<FrameNumbering>& fs, int from, int to) {
    int n = 0;
    for (int i = from; i < to; ++i) n += fs[static_cast<size_t>(i)].take ? 1 : 0;
    return n;
}

TEST(Decimation, FifteenRequestedKeepsEverySecondFrame) {
    CaptureFrameClock clock;
    auto fs = Camera30(clock, 15, 10);
    EXPECT_TRUE(fs[0].take);
    EXPECT_NEAR(clock.nProcNum, 150, 2);
    // Evenly over the recording, not in bursts: every second holds 15 +- 1.
    for (int s = 0; s < 10; ++s) EXPECT_NEAR(TakenIn(fs, 30 * s, 30 * s + 30), 15, 1) << "second " << s;
    // Never two frames dropped in a row at half the camera rate.
    for (size_t i = 2; i < fs.size(); ++i) EXPECT_TRUE(fs[i].take || fs[i - 1].take || fs[i - 2].take) << i;
}

TEST(Decimation, TenRequestedKeepsEveryThirdFrame) {
    CaptureFrameClock clock;
    auto fs = Camera30(clock, 10, 10);
    EXPECT_NEAR(clock.nProcNum, 100, 2);
    for (int s = 0; s < 10; ++s) EXPECT_NEAR(TakenIn(fs, 30 * s, 30 * s + 30), 10, 1) << "second " << s;
}

TEST(Decimation, RatesAboveTwentyEightTakeEveryFrame) {
    for (double request : {29.0, 30.0}) {
        CaptureFrameClock clock;
        Camera30(clock, request, 3);
        EXPECT_EQ(clock.nProcNum, 90) << request;
    }
    // 28 itself is decimated: the camera's 30 are slightly too many.
    CaptureFrameClock clock;
    Camera30(clock, 28, 3);
    EXPECT_LT(clock.nProcNum, 90);
    EXPECT_NEAR(clock.nProcNum, 84, 2);
}

TEST(Decimation, ACameraSlowerThanTheRequestLosesNothing) {
    CaptureFrameClock clock;
    std::vector<double> times;
    for (int i = 0; i < 60; ++i) times.push_back(i / 10.0);  // 10 frames per second
    auto fs = Feed(clock, times, 15);
    EXPECT_EQ(clock.nProcNum, 60);
    EXPECT_NEAR(fs.back().cap_rate, 10, 0.2);
}

}  // namespace
}  // namespace diviv::vce
