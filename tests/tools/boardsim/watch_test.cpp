#include <gtest/gtest.h>
#include <unistd.h>

#include "BoardWatch.h"
#include "support/SimBoardFixture.h"

namespace {

using boardsim::BoardWatch;
using boardsim::TimelineEntry;

class WatchTest : public SimBoardTest {
protected:
    void SetLed(int n, const char* trigger, const char* brightness, const char* delay = "0") {
        const std::string led = "/sys/class/leds/LED" + std::to_string(n) + "/";
        Write(led + "trigger", trigger);
        Write(led + "brightness", brightness);
        Write(led + "delay_on", delay);
    }
    void Append(const std::string& board_path, const std::string& text) {
        Write(board_path, Read(board_path) + text);
    }
    std::vector<std::string> Poll(BoardWatch& w) {
        std::vector<TimelineEntry> out;
        now_ += 0.02;
        w.Poll(now_, &out);
        std::vector<std::string> what;
        for (const auto& e : out) what.push_back(e.what);
        return what;
    }
    double now_ = 0;
};

TEST_F(WatchTest, LedTripleIsReadFromTheLedFilesAndReportedOnceSteady) {
    boardsim::ResetIndicators(root_);
    BoardWatch w(root_);
    SetLed(1, "none", "1");
    SetLed(2, "timer", "0", "500");
    SetLed(3, "timer", "0", "200");
    EXPECT_EQ(boardsim::ReadLeds(root_), (boardsim::LedTriple{1, 3, 2}));
    // A triple is reported once it stays for a moment, and only once.
    EXPECT_TRUE(Poll(w).empty());
    EXPECT_EQ(Poll(w), (std::vector<std::string>{"LED 1,3,2"}));
    EXPECT_TRUE(Poll(w).empty());
    EXPECT_EQ(w.Leds(), (boardsim::LedTriple{1, 3, 2}));

    SetLed(2, "none", "1");
    Poll(w);
    EXPECT_EQ(Poll(w), (std::vector<std::string>{"LED 1,1,2"}));
}

TEST_F(WatchTest, EachBuzzerPatternIsReportedEvenWhenRepeated) {
    boardsim::ResetIndicators(root_);
    BoardWatch w(root_);
    auto buzz = [this](const char* on1, const char* off1, const char* on2, const char* off2, const char* times) {
        Write("/sys/class/leds/BUZZER/trigger", "pattern");
        Write("/sys/class/leds/BUZZER/delay1_on", on1);
        Write("/sys/class/leds/BUZZER/delay1_off", off1);
        if (on2 != nullptr) {
            Write("/sys/class/leds/BUZZER/delay2_on", on2);
            Write("/sys/class/leds/BUZZER/delay2_off", off2);
        }
        ::usleep(5000);  // a distinct time stamp for the next write
        Write("/sys/class/leds/BUZZER/times", times);
    };
    buzz("50", "50", "50", "350", "3");
    EXPECT_EQ(Poll(w), (std::vector<std::string>{"buzzer 50/50 50/350 ms x3"}));
    buzz("250", "250", nullptr, nullptr, "2");
    EXPECT_EQ(Poll(w), (std::vector<std::string>{"buzzer 250/250 ms x2"})) << "pairs of the last pattern came back";
    buzz("250", "250", nullptr, nullptr, "2");
    EXPECT_EQ(Poll(w), (std::vector<std::string>{"buzzer 250/250 ms x2"}));
    EXPECT_TRUE(Poll(w).empty());
}

TEST_F(WatchTest, PowerCommandsAndUnmountsAreFollowedFromWhereTheRunStarted) {
    Append("/proc/driver/power_cmd", "2\n");  // left from an earlier run
    Append("/sim/events.log", "umount /mnt/mmc0_p1\n");
    BoardWatch w(root_);
    EXPECT_TRUE(Poll(w).empty());
    EXPECT_FALSE(w.SwitchedOff());

    Append("/proc/driver/power_cmd", "1\n0");
    EXPECT_EQ(Poll(w), (std::vector<std::string>{"power controller 1 (power hold on)"}));
    Append("/sim/events.log", "sync\numount /mnt/mmc0_p2\n");
    Append("/proc/driver/power_cmd", "\n2\n");
    EXPECT_EQ(Poll(w), (std::vector<std::string>{"sync", "umount /mnt/mmc0_p2", "power controller 0 (power hold off)",
                                                 "power controller 2 (switch off)"}));
    EXPECT_TRUE(w.SwitchedOff());
}

}  // namespace
