// The GPS receiver's sequences on a virtual clock against a scripted module:
// power-up and wake-up with their retries, configuration, the first "$" and
// the recovery, reception with the silence watchdog and UART3 copies, and
// hibernation at the end. The module's 5 s and 1 s waits cost nothing here;
// one whole-program scenario goes through them in real time.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <optional>
#include <utility>
#include <string>
#include <vector>

#include "core/DR_shared.h"
#include "sensors/GpsReceiveThread.h"
#include "sensors/GpsReceiver.h"
#include "sim/SimRtc.h"
#include "support/SimBoardFixture.h"

namespace {

using diviv::gps::GpsEnvironment;
using diviv::gps::GpsReceiver;
using diviv::gps::PortFailure;
using diviv::gps::SerialLine;
using ::testing::HasSubstr;
using ::testing::Not;

constexpr int64_t kSecond = 1000000;

std::string WithChecksum(const std::string& body) {
    unsigned sum = 0;
    for (char c : body) sum ^= static_cast<unsigned char>(c);
    char tail[8];
    std::snprintf(tail, sizeof tail, "*%02X\r\n", sum);
    return "$" + body + tail;
}

// An RMC sentence for a whole second of the virtual clock.
std::string Rmc(int64_t second, char status = 'A') {
    char body[96];
    std::snprintf(body, sizeof body, "GPRMC,%02d%02d%02d.000,%c,3540.8742,N,13946.0275,E,0.00,,150624,,",
                  static_cast<int>(second / 3600 % 24), static_cast<int>(second / 60 % 60),
                  static_cast<int>(second % 60), status);
    return WithChecksum(body);
}

int CountOf(const std::string& text, const std::string& what) {
    int n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + what.size())) ++n;
    return n;
}

struct LineWrite {
    int64_t t;
    std::string what;  // "GPS_P_CNT/brightness=1"
};

// The module, its control lines, both serial lines and the clock.
class ScriptedBoard final : public GpsEnvironment {
public:
    explicit ScriptedBoard(dr_common_t* dr) : dr_(dr) {}

    // --- the script
    bool running = false;        // the WAKEUP output
    int wake_from_pulse = 1;     // the first pulse that wakes it (counting all pulses)
    int sleep_from_pulse = 1;    // the first pulse that puts it to sleep
    // Bytes sent at each whole second while running (default: RMC, status A).
    std::function<std::string(int64_t second)> talk = [](int64_t s) { return Rmc(s); };
    PortFailure gps_port = PortFailure::kNone;
    bool uart3_opens = true;
    int gps_write_limit = -1;    // bytes a write takes at most (-1: all)
    int64_t stop_at = -1;        // a stop request at this time

    // --- what happened
    std::vector<LineWrite> lines;
    std::vector<LineWrite> gps_writes;
    std::string uart3;
    int pulses = 0;
    int power_ons = 0;
    int64_t now = 0;  // microseconds

    // Time passes; the module talks at whole seconds.
    void Advance(int64_t us) {
        now += us;
        while (second_ < now / kSecond) {
            ++second_;
            if (running && talk) gps_in_ += talk(second_);
        }
        if (stop_at >= 0 && now >= stop_at) dr_->REQ_GPS_CLOSE = 1;
        if (now > 900 * kSecond) dr_->REQ_GPS_CLOSE = 1;  // a runaway sequence ends the test
    }

    void Sleep(uint32_t usec) override { Advance(usec); }
    bool NowMs(int64_t* ms) override {
        *ms = now / 1000;
        return true;
    }
    int WriteLine(std::string_view name, std::string_view attribute, std::string_view text) override {
        lines.push_back({now, std::string(name) + "/" + std::string(attribute) + "=" + std::string(text)});
        if (name == "GPS_P_CNT" && attribute == "brightness" && text == "1") {
            running = false;  // held in reset
            ++power_ons;
        }
        if (name == "GPSONOFF" && attribute == "times") {
            ++pulses;
            if (running ? pulses >= sleep_from_pulse : pulses >= wake_from_pulse) running = !running;
        }
        return 0;
    }
    int ReadWakeup() override { return running ? 1 : 0; }
    std::unique_ptr<SerialLine> OpenPort(std::string_view path, speed_t speed, PortFailure* failure) override;

    // Times of the writes matching `what`.
    std::vector<int64_t> TimesOf(const std::string& what) const {
        std::vector<int64_t> t;
        for (const LineWrite& w : lines) {
            if (w.what == what) t.push_back(w.t);
        }
        return t;
    }
    std::string GpsText() const {
        std::string s;
        for (const LineWrite& w : gps_writes) s += w.what;
        return s;
    }

private:
    friend class Line;
    dr_common_t* dr_;
    int64_t second_ = 0;
    std::string gps_in_;
};

class Line final : public SerialLine {
public:
    Line(ScriptedBoard& b, bool gps) : b_(b), gps_(gps) {}
    int ReadChar(char* c) override {
        if (!gps_ || b_.gps_in_.empty()) {
            b_.Advance(1000);  // a read takes a moment
            return 0;
        }
        *c = b_.gps_in_.front();
        b_.gps_in_.erase(0, 1);
        return 1;
    }
    ssize_t Write(std::string_view text) override {
        if (!gps_) {
            b_.uart3.append(text);
            return static_cast<ssize_t>(text.size());
        }
        const size_t n = b_.gps_write_limit < 0 ? text.size() : std::min(text.size(), size_t(b_.gps_write_limit));
        b_.gps_writes.push_back({b_.now, std::string(text.substr(0, n))});
        return static_cast<ssize_t>(n);
    }

private:
    ScriptedBoard& b_;
    bool gps_;
};

std::unique_ptr<SerialLine> ScriptedBoard::OpenPort(std::string_view path, speed_t speed, PortFailure* failure) {
    if (path == diviv::gps::kGpsPort) {
        EXPECT_EQ(speed, B4800);
        *failure = gps_port;
        if (gps_port != PortFailure::kNone) return nullptr;
        gps_in_.clear();  // pending input is discarded
        return std::make_unique<Line>(*this, true);
    }
    EXPECT_EQ(path, diviv::gps::kUart3Port);
    EXPECT_EQ(speed, B9600);
    *failure = uart3_opens ? PortFailure::kNone : PortFailure::kOpen;
    return uart3_opens ? std::make_unique<Line>(*this, false) : nullptr;
}

class GpsReceiverTest : public SimBoardTest {
protected:
    void SetUp() override {
        SimBoardTest::SetUp();
        dr_ = NewDrCommon();
        ASSERT_EQ(DR_InitRingBuffer(&dr_->rmc_buf, 2048), 0);
        drc = dr_.get();
        dr_->GPS_ALIVE = 1;
        dr_->PWR_DET_State = 1;
        GpsForgetProcessState();
        board_.emplace(dr_.get());
    }
    void TearDown() override {
        DR_FreeRingBuffer(&dr_->rmc_buf);
        drc = nullptr;
        SimBoardTest::TearDown();
    }
    // Runs the receiver to its end on the scripted board; returns the console.
    std::string Run() {
        testing::internal::CaptureStdout();
        GpsReceiver receiver(dr_.get(), *board_);
        receiver.Run();
        std::fflush(stdout);
        return testing::internal::GetCapturedStdout();
    }
    std::string Logged() const { return Read(diviv::sim::kLogRecordFile); }

    std::unique_ptr<dr_common_t> dr_;
    std::optional<ScriptedBoard> board_;
};

// --- power-up, configuration, reception, hibernation -------------------------

TEST_F(GpsReceiverTest, PowersUpWakesConfiguresReceivesAndHibernatesOnStop) {
    board_->stop_at = 30 * kSecond;
    const std::string out = Run();

    // Power control 5 s high (after its own 1 s), then the first pulse.
    const std::vector<LineWrite> first(board_->lines.begin(), board_->lines.begin() + 6);
    EXPECT_EQ(first[0].what, "GPS_P_CNT/brightness=1");
    EXPECT_EQ(first[0].t, 0);
    EXPECT_EQ(first[1].what, "GPS_P_CNT/brightness=0");
    EXPECT_EQ(first[1].t, 6 * kSecond);
    EXPECT_EQ(first[2].what, "GPSONOFF/trigger=pattern");
    EXPECT_EQ(first[3].what, "GPSONOFF/delay1_on=100");
    EXPECT_EQ(first[4].what, "GPSONOFF/delay1_off=100");
    EXPECT_EQ(first[5].what, "GPSONOFF/times=1");
    EXPECT_EQ(first[5].t, 7 * kSecond);
    EXPECT_THAT(out, HasSubstr("GPS : WAKEUP OK\n"));
    EXPECT_THAT(out, Not(HasSubstr("WAKEUP NG")));

    // Navigation initialisation and every sentence off at once, RMC on a
    // second later.
    ASSERT_EQ(board_->gps_writes.size(), 9u);
    EXPECT_EQ(board_->GpsText(),
              "$PSRF101,0,0,0,0,0,0,12,4*10\r\n$PSRF103,00,00,00,01*24\r\n$PSRF103,01,00,00,01*25\r\n"
              "$PSRF103,02,00,00,01*26\r\n$PSRF103,03,00,00,01*27\r\n$PSRF103,04,00,00,01*20\r\n"
              "$PSRF103,05,00,00,01*21\r\n$PSRF103,08,00,00,01*2C\r\n$PSRF103,04,00,01,01*21\r\n");
    const int64_t config_gap = board_->gps_writes[8].t - board_->gps_writes[0].t;
    EXPECT_GE(config_gap, kSecond);
    EXPECT_LT(config_gap, kSecond + 50000);

    EXPECT_THAT(out, HasSubstr("GPS : Receive Data is OK ! -> Start processing \n"));
    EXPECT_GE(CountOf(out, "[Recv("), 5) << out;
    EXPECT_EQ(dr_->GPSReceiveDataValid.load(), 1);
    EXPECT_EQ(dr_->GPSReceiveError.load(), 0);
    EXPECT_EQ(CountOf(Read(diviv::sim::kRtcSetLog), "\n"), 1) << "the clock is set once within the hour";

    // UART3: the greeting, then each sentence with CR LF after it.
    EXPECT_EQ(board_->uart3.rfind("UART3 COM PORT OPEND !\r\n", 0), 0u);
    EXPECT_THAT(board_->uart3, HasSubstr(Rmc(20).substr(0, Rmc(20).size() - 1) + "\r\n"));

    // Hibernation: one more pulse, and the module sleeps.
    EXPECT_THAT(out, HasSubstr("GPS :  closed after open\nGPS : closed after init\n"));
    EXPECT_THAT(out, HasSubstr("GPS : Detect WAKEUP -> Low [hibernate-mode]\n"));
    EXPECT_EQ(board_->pulses, 2);
    EXPECT_FALSE(board_->running);
    EXPECT_THAT(out, testing::EndsWith("GPS : GPS Receive Thread End \n"));
    EXPECT_EQ(dr_->GPS_ALIVE.load(), 0);
}

TEST_F(GpsReceiverTest, WakeUpFailuresAreRetriedWithoutLimitAndTheTenthIsLoggedOnce) {
    board_->wake_from_pulse = 13;
    board_->stop_at = 45 * kSecond;
    const std::string out = Run();
    EXPECT_EQ(CountOf(out, "GPS : WAKEUP NG -> Retry ON_OFF\n"), 12);
    EXPECT_EQ(CountOf(out, "GPS : WAKEUP NG -> Retry 10 times (Log Output)\n"), 1);
    EXPECT_EQ(CountOf(Logged(), "0xf0000000,Fatal error is found in GPS."), 1);
    EXPECT_THAT(out, HasSubstr("GPS : WAKEUP OK\n"));
    // A pulse, its second, then 2 s before the next.
    const std::vector<int64_t> pulses = board_->TimesOf("GPSONOFF/times=1");
    ASSERT_GE(pulses.size(), 13u);
    for (size_t i = 1; i < 13; ++i) EXPECT_EQ(pulses[i] - pulses[i - 1], 3 * kSecond) << i;
    // The tenth failure's line comes after the tenth retry line.
    size_t tenth = 0;
    for (int i = 0; i < 10; ++i) tenth = out.find("GPS : WAKEUP NG -> Retry ON_OFF\n", tenth) + 1;
    EXPECT_GT(out.find("Retry 10 times"), tenth);
}

TEST_F(GpsReceiverTest, AStopWhileWakingEndsWithoutWaitingForTheModule) {
    board_->wake_from_pulse = 1000;
    board_->stop_at = 20 * kSecond;
    const std::string out = Run();
    EXPECT_LT(board_->now, 23 * kSecond);
    EXPECT_THAT(out, HasSubstr("GPS : closed after init\n"));
    EXPECT_THAT(out, Not(HasSubstr("closed after open")));
    EXPECT_THAT(out, Not(HasSubstr("hibernate"))) << "a sleeping module is left as it is";
    EXPECT_THAT(out, HasSubstr("GPS : GPS Receive Thread End \n"));
    EXPECT_EQ(dr_->GPS_ALIVE.load(), 0);
}

TEST_F(GpsReceiverTest, AStopDuringPowerUpSendsNoPulse) {
    board_->stop_at = 3 * kSecond;
    const std::string out = Run();
    EXPECT_EQ(board_->pulses, 0);
    EXPECT_TRUE(board_->gps_writes.empty());
    EXPECT_THAT(out, HasSubstr("GPS : GPS Receive Thread End \n"));
}

// --- the first sentence and the recovery ------------------------------------

TEST_F(GpsReceiverTest, NoDollarWithinTwoSecondsPowerCyclesTheModuleAndReceptionFollows) {
    // A module that talks only after a power cycle.
    board_->talk = [this](int64_t s) { return board_->power_ons >= 2 ? Rmc(s) : std::string(); };
    board_->stop_at = 60 * kSecond;
    const std::string out = Run();
    const size_t ng = out.find("GPS : Receive Data is NG ! -> Start recovery sequence \n");
    ASSERT_NE(ng, std::string::npos) << out;
    EXPECT_EQ(CountOf(out, "Start recovery sequence"), 1);
    const size_t low = out.find("GPS : WAKEUP -> Low\n", ng);
    const size_t ok = out.find("GPS : WAKEUP OK\n", low);
    const size_t receiving = out.find("GPS : Receive Data is OK ! -> Start processing \n", ok);
    EXPECT_NE(low, std::string::npos);
    EXPECT_NE(ok, std::string::npos);
    EXPECT_NE(receiving, std::string::npos);
    EXPECT_GE(CountOf(out, "[Recv("), 3);

    // Recovery starts 2 s after the configuration ended: the module is put
    // to sleep, held 30 s (plus the line's own second) on power control.
    const int64_t configured = board_->gps_writes.back().t;
    const std::vector<int64_t> power = board_->TimesOf("GPS_P_CNT/brightness=1");
    const std::vector<int64_t> power_off = board_->TimesOf("GPS_P_CNT/brightness=0");
    ASSERT_EQ(power.size(), 2u);
    ASSERT_EQ(power_off.size(), 2u);
    EXPECT_GT(power[1] - configured, 2 * kSecond);
    EXPECT_LT(power[1] - configured, 4 * kSecond);  // after the pulse that put it to sleep
    EXPECT_EQ(power_off[1] - power[1], 31 * kSecond);
    // The module is not configured again.
    EXPECT_EQ(CountOf(board_->GpsText(), "$PSRF101"), 1);
}

TEST_F(GpsReceiverTest, AfterARecoveryTheVeryNextCharacterMustBeADollar) {
    board_->talk = nullptr;  // never a word
    board_->stop_at = 150 * kSecond;
    const std::string out = Run();
    EXPECT_GE(CountOf(out, "GPS : Receive Data is NG ! -> Start recovery sequence \n"), 3);
    EXPECT_THAT(out, Not(HasSubstr("Start processing")));
    EXPECT_EQ(CountOf(board_->GpsText(), "$PSRF101"), 1);
}

// --- reception ----------------------------------------------------------------

TEST_F(GpsReceiverTest, ASilentModuleIsReportedAfterTenSecondsAndTheThreadStops) {
    // Once configured it says "$" (which ends the wait for the first
    // sentence) and nothing more.
    bool said = false;
    board_->talk = [this, &said](int64_t) {
        const bool configured = board_->gps_writes.size() == 9;
        return configured && !std::exchange(said, true) ? std::string("$GP") : std::string();
    };
    const std::string out = Run();
    EXPECT_THAT(out, HasSubstr("GPS : GPS Device is not connected\n"));
    EXPECT_EQ(dr_->GPSReceiveError.load(), 1);
    EXPECT_EQ(dr_->REQ_GPS_CLOSE.load(), 1);
    EXPECT_THAT(Logged(), HasSubstr("0xf0000000,Fatal error is found in GPS."));
    // From the start of reception to the hibernation pulse: ten seconds and a bit.
    const int64_t loop_start = board_->gps_writes.back().t;
    const int64_t hibernate = board_->TimesOf("GPSONOFF/times=1").back();
    EXPECT_GE(hibernate - loop_start, 10 * kSecond);
    EXPECT_LT(hibernate - loop_start, 12 * kSecond + 500000);
    EXPECT_THAT(out, HasSubstr("GPS : Detect WAKEUP -> Low [hibernate-mode]\n"));
    EXPECT_EQ(dr_->GPS_ALIVE.load(), 0);
}

TEST_F(GpsReceiverTest, ASimulatedReceptionFailureLetsNoSentenceThrough) {
    dr_->dummyGPSReceiveError = 1;
    const std::string out = Run();
    EXPECT_THAT(out, HasSubstr("GPS : GPS Device is not connected\n"));
    EXPECT_THAT(out, Not(HasSubstr("[Recv(")));
    EXPECT_EQ(dr_->GPSReceiveError.load(), 1);
}

TEST_F(GpsReceiverTest, AnOverlongSentenceIsDiscardedAndReceptionGoesOn) {
    board_->talk = [](int64_t s) { return s == 12 ? "$GPXXX," + std::string(150, 'X') + "\r\n" : Rmc(s); };
    board_->stop_at = 40 * kSecond;
    const std::string out = Run();
    const std::string cut = "$GPXXX," + std::string(92, 'X');  // 99 characters
    EXPECT_THAT(out, HasSubstr("GPS : Error :: GPS Recv Overflow " + cut + "\n"));
    EXPECT_THAT(out.substr(out.find("Overflow")), HasSubstr("[Recv("));
    EXPECT_THAT(board_->uart3, Not(HasSubstr("XXXX")));
}

TEST_F(GpsReceiverTest, Uart3CopiesOnlyInModeZeroAndReceptionGoesOnWithoutIt) {
    dr_->uart3_mode = 1;
    board_->stop_at = 30 * kSecond;
    std::string out = Run();
    EXPECT_EQ(board_->uart3, "UART3 COM PORT OPEND !\r\n");
    EXPECT_GE(CountOf(out, "[Recv("), 5);

    TearDown();
    SetUp();
    board_->uart3_opens = false;
    board_->stop_at = 30 * kSecond;
    out = Run();
    EXPECT_THAT(out, HasSubstr("uart3_open failed\n"));
    EXPECT_GE(CountOf(out, "[Recv("), 5);
    EXPECT_EQ(board_->uart3, "");
}

// --- ports ------------------------------------------------------------------

TEST_F(GpsReceiverTest, APortThatCannotBeHadEndsTheThreadWithTheModuleHibernated) {
    for (PortFailure f : {PortFailure::kOpen, PortFailure::kSetup}) {
        TearDown();
        SetUp();
            board_->gps_port = f;
        const std::string out = Run();
        EXPECT_THAT(out, HasSubstr(f == PortFailure::kOpen ? "GPS : Error :: COM Open Error /dev/ttymxc1\n"
                                                           : "GPS : Error :: Can not setup COM\n"));
        EXPECT_THAT(out, Not(HasSubstr("closed after open")));
        EXPECT_THAT(out, HasSubstr("GPS : Detect WAKEUP -> Low [hibernate-mode]\n"));
        EXPECT_LT(board_->now, 15 * kSecond);
        EXPECT_EQ(dr_->GPS_ALIVE.load(), 0);
    }
}

TEST_F(GpsReceiverTest, AShortWriteToTheModuleIsReportedAndEndsTheThread) {
    board_->gps_write_limit = 10;
    const std::string out = Run();
    EXPECT_THAT(out, HasSubstr("GPS COM Write Error [10]$PSRF101,0,0,0,0,0,0,12,4*10\r\n\n"));
    EXPECT_THAT(out, Not(HasSubstr("Receive Data is")));
    EXPECT_EQ(dr_->GPS_ALIVE.load(), 0);
}

// --- hibernation --------------------------------------------------------------

TEST_F(GpsReceiverTest, AModuleThatWillNotSleepGetsOneMorePulseWithMainPowerThenIsLogged) {
    board_->sleep_from_pulse = 1000;
    board_->stop_at = 20 * kSecond;
    const std::string out = Run();
    EXPECT_EQ(board_->pulses, 3) << "wake-up, hibernation and its retry";
    EXPECT_EQ(CountOf(out, "GPS : Can't to be hibernate-mode!! [Retry]\n"), 1);
    EXPECT_THAT(out, HasSubstr("GPS : Can't to be hibernate-mode!!\nGPS : GPS Receive Thread End \n"));
    EXPECT_THAT(Logged(), HasSubstr("Fatal error is found in GPS."));
    // Ten looks 500 ms apart, with the retry pulse's second between the fifth and sixth.
    EXPECT_EQ(board_->now - board_->TimesOf("GPSONOFF/times=1")[1], 1 * kSecond + 9 * 500000 + kSecond);
}

TEST_F(GpsReceiverTest, WithoutMainPowerFiveLooksAndNoRetryPulse) {
    board_->sleep_from_pulse = 1000;
    board_->stop_at = 20 * kSecond;
    dr_->PWR_DET_State = 0;
    const std::string out = Run();
    EXPECT_EQ(board_->pulses, 2);
    EXPECT_THAT(out, HasSubstr("GPS : Can't to be hibernate-mode!! [Retry]\nGPS : Can't to be hibernate-mode!!\n"));
    EXPECT_EQ(board_->now - board_->TimesOf("GPSONOFF/times=1")[1], 1 * kSecond + 4 * 500000);
}

TEST_F(GpsReceiverTest, AModuleThatSleepsOnTheRetryPulseIsHibernated) {
    board_->sleep_from_pulse = 3;
    board_->stop_at = 20 * kSecond;
    const std::string out = Run();
    EXPECT_THAT(out, HasSubstr("[Retry]\nGPS : Detect WAKEUP -> Low [hibernate-mode]\n"));
    EXPECT_THAT(out, Not(HasSubstr("hibernate-mode!!\nGPS : GPS Receive")));
    EXPECT_FALSE(board_->running);
}

}  // namespace
