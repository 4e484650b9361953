#include <gtest/gtest.h>
#include <signal.h>
#include <sys/time.h>

#include <atomic>

#include "core/DR_common.h"
#include "platform/Clock.h"

namespace {

std::atomic<int> g_alarms{0};
void OnAlarm(int) { g_alarms.fetch_add(1, std::memory_order_relaxed); }

// The application's 100 ms timer keeps interrupting sleeps.
struct AlarmEvery100ms {
    AlarmEvery100ms() {
        struct sigaction sa{};
        sa.sa_handler = OnAlarm;
        sigaction(SIGALRM, &sa, nullptr);
        itimerval it{{0, 100000}, {0, 100000}};
        setitimer(ITIMER_REAL, &it, nullptr);
    }
    ~AlarmEvery100ms() {
        itimerval off{};
        setitimer(ITIMER_REAL, &off, nullptr);
        signal(SIGALRM, SIG_DFL);
    }
};

TEST(Sleep, LastsItsFullTimeWhileTheTimerSignalInterruptsIt) {
    AlarmEvery100ms timer;
    g_alarms = 0;
    const int64_t start = diviv::MonotonicUs();
    EXPECT_EQ(dr_usleep(1500000), 0);
    const int64_t took = diviv::MonotonicUs() - start;
    EXPECT_GE(took, 1500000);
    EXPECT_LT(took, 7500000);
    EXPECT_GE(g_alarms.load(), 10) << "the timer did not interrupt the sleep";
}

TEST(Sleep, TaskwaitOfZeroReturnsAtOnce) {
    const int64_t start = diviv::MonotonicUs();
    EXPECT_EQ(dr_taskwait(0), 0);
    EXPECT_LT(diviv::MonotonicUs() - start, 5000);
    EXPECT_EQ(dr_taskwait(20000), 0);
    EXPECT_GE(diviv::MonotonicUs() - start, 20000);
}

TEST(ElapsedTime, CountsWholeSecondsSinceTheMark) {
    EXPECT_EQ(GetElapsedTime(1), 0);
    EXPECT_EQ(GetElapsedTime(0), 0);
    dr_usleep(1100000);
    EXPECT_EQ(GetElapsedTime(0), 1);
}

}  // namespace
