// boardsim's GPS module: NMEA checksums (the recorder's configuration
// messages among them), RMC sentences read back by the recorder's own field
// reader, routes, and the module on its pseudo-terminals following its
// control lines, the recorder's input messages and the world file.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <string>
#include <thread>
#include <vector>

#include "GpsModule.h"
#include "sensors/GpsRmc.h"
#include "sensors/GpsSerial.h"
#include "sim/SimBoard.h"
#include "sim/World.h"
#include "support/SimBoardFixture.h"

namespace {

using boardsim::GpsModule;
using boardsim::RoutePoint;
using ::testing::HasSubstr;
using ::testing::StartsWith;

// --- NMEA -----------------------------------------------------------------

TEST(GpsNmea, ChecksumsAgreeWithTheRecordersConfigurationAndAClassicSentence) {
    EXPECT_EQ(boardsim::NmeaChecksum("PSRF101,0,0,0,0,0,0,12,4"), 0x10u);
    EXPECT_EQ(boardsim::NmeaChecksum("PSRF103,00,00,00,01"), 0x24u);
    EXPECT_EQ(boardsim::NmeaChecksum("PSRF103,08,00,00,01"), 0x2Cu);
    EXPECT_EQ(boardsim::NmeaChecksum("PSRF103,04,00,01,01"), 0x21u);
    EXPECT_EQ(boardsim::NmeaSentence("GPRMC,123519,A,4807.038,N,01131.000,E,022.4,084.4,230394,003.1,W"),
              "$GPRMC,123519,A,4807.038,N,01131.000,E,022.4,084.4,230394,003.1,W*6A\r\n");
    std::string body;
    EXPECT_TRUE(boardsim::CheckNmea("$PSRF103,04,00,01,01*21\r\n", &body));
    EXPECT_EQ(body, "PSRF103,04,00,01,01");
    EXPECT_FALSE(boardsim::CheckNmea("$PSRF103,04,00,01,01*20", &body)) << "wrong checksum";
    EXPECT_FALSE(boardsim::CheckNmea("$PSRF103,04,00,01,01", &body)) << "no checksum";
    EXPECT_FALSE(boardsim::CheckNmea("PSRF103,04,00,01,01*21", &body)) << "no $";
}

std::tm Utc(time_t t) {
    std::tm tm{};
    gmtime_r(&t, &tm);
    return tm;
}

TEST(GpsNmea, RmcCarriesPositionSpeedCourseAndTheDateWhereTheRecorderReadsThem) {
    boardsim::RmcReport r;
    r.utc = Utc(4102444799);  // 2099-12-31 23:59:59
    r.at = {35.681236, 139.767125, 36};
    r.course = 87.5;
    const std::string s = boardsim::RmcSentence(r);
    std::string body;
    ASSERT_TRUE(boardsim::CheckNmea(s, &body)) << s;
    EXPECT_EQ(s.substr(s.size() - 2), "\r\n");
    EXPECT_EQ(s[18], 'A') << "the status sits where the recorder looks";
    const auto f = diviv::gps::SplitFields(s);
    ASSERT_GE(f.size(), 10u);
    EXPECT_EQ(f[1], "235959.000");
    EXPECT_EQ(f[3], "3540.8742");
    EXPECT_EQ(f[4], "N");
    EXPECT_EQ(f[5], "13946.0275");
    EXPECT_EQ(f[6], "E");
    EXPECT_EQ(f[7], "19.44") << "knots";
    EXPECT_EQ(f[8], "87.50");
    EXPECT_EQ(f[9], "311299");
    diviv::gps::RmcClock c;
    std::string bad;
    EXPECT_TRUE(diviv::gps::ReadRmcClock(s, &c, &bad));
    EXPECT_EQ(c.year, 199);

    // Standing still: no course. South and west. No fix: time and date only.
    r.at = {-33.8688, -0.1278, 0};
    r.course.reset();
    const std::string south_west = boardsim::RmcSentence(r);
    const auto g = diviv::gps::SplitFields(south_west);
    EXPECT_EQ(g[3], "3352.1280");
    EXPECT_EQ(g[4], "S");
    EXPECT_EQ(g[5], "00007.6680");
    EXPECT_EQ(g[6], "W");
    EXPECT_EQ(g[7], "0.00");
    EXPECT_EQ(g[8], "");
    EXPECT_EQ(g[9], "311299");
    r.fix = false;
    const std::string v = boardsim::RmcSentence(r);
    EXPECT_THAT(v, StartsWith("$GPRMC,235959.000,V,,,,,,,311299,,*"));
    EXPECT_TRUE(boardsim::CheckNmea(v, &body));
}

// --- routes -----------------------------------------------------------------

TEST(GpsRoute, RowsWithAHeaderAndCommentsAndMistakesByLine) {
    std::vector<RoutePoint> route;
    std::string error;
    ASSERT_TRUE(boardsim::ParseRoute("lat,lon,speed\n# a drive\n35.0, 139.0, 0\n\n35.001,139.0,40.5\n", &route, &error))
        << error;
    ASSERT_EQ(route.size(), 2u);
    EXPECT_DOUBLE_EQ(route[1].lat, 35.001);
    EXPECT_DOUBLE_EQ(route[1].speed_kmh, 40.5);
    EXPECT_FALSE(boardsim::ParseRoute("35,139,0\n35,139\n", &route, &error));
    EXPECT_EQ(error, "line 2: expected latitude,longitude,km/h");
    EXPECT_FALSE(boardsim::ParseRoute("35,139,0\n95,139,0\n", &route, &error));
    EXPECT_EQ(error, "line 2: out of range");
    EXPECT_FALSE(boardsim::ParseRoute("35,139,-1\n", &route, &error));
    EXPECT_FALSE(boardsim::ParseRoute("lat,lon,speed\n", &route, &error));
    EXPECT_EQ(error, "no route rows");
}

TEST(GpsRoute, TheBuiltInLoopStandsThenDrivesOneClosedCircle) {
    const std::vector<RoutePoint> loop = boardsim::BuiltInLoop();
    ASSERT_EQ(loop.size(), 63u);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(loop[static_cast<size_t>(i)].speed_kmh, 0);
    // 10 m/s: consecutive rows 10 m apart; the circle ends where it began.
    auto metres = [](const RoutePoint& a, const RoutePoint& b) {
        const double dy = (b.lat - a.lat) * 111320.0;
        const double dx = (b.lon - a.lon) * 111320.0 * std::cos(a.lat * 3.14159265358979 / 180);
        return std::hypot(dx, dy);
    };
    for (size_t i = 3; i < loop.size(); ++i) EXPECT_NEAR(metres(loop[i - 1], loop[i]), 10.0, 0.1) << i;
    EXPECT_LT(metres(loop.back(), loop.front()), 0.01);
    // Anticlockwise from due east: the course turns all the way round, 6
    // degrees a second (each chord heads along the circle's middle).
    for (size_t k = 2; k + 1 < loop.size(); ++k) {
        const double expected = std::fmod(360.0 + 90.0 - (6.0 * static_cast<double>(k - 2) + 3.0), 360.0);
        EXPECT_NEAR(boardsim::CourseDegrees(loop[k], loop[k + 1]), expected, 0.5) << k;
    }
}

// --- the module ---------------------------------------------------------------

class GpsModuleTest : public SimBoardTest {
protected:
    static constexpr time_t kT0 = 1718413425;  // 2024-06-15 01:03:45 UTC

    void SetUp() override {
        SimBoardTest::SetUp();
        module_.emplace(root_, [this](bool running) { wakeups_.push_back(running); });
        std::string error;
        ASSERT_TRUE(module_->Open(&error)) << error;
        diviv::gps::PortFailure failure;
        line_ = diviv::gps::OpenSerialLine("/dev/ttymxc1", B4800, &failure);
        ASSERT_TRUE(line_) << "the recorder's own port code opens the link";
        uart3_ = diviv::gps::OpenSerialLine("/dev/ttymxc2", B9600, &failure);
        ASSERT_TRUE(uart3_);
    }
    void TearDown() override {
        line_.reset();
        uart3_.reset();
        module_.reset();
        SimBoardTest::TearDown();
    }

    // One poll at `second` past kT0 (plus a fraction).
    void PollAt(double second) {
        timespec utc{kT0 + static_cast<time_t>(second), static_cast<long>((second - std::floor(second)) * 1e9)};
        module_->Poll(second, utc, &notes_);
    }
    // A poll at each whole second from `from` to `to`; returns what came.
    std::string Seconds(int from, int to) {
        for (int s = from; s <= to; ++s) PollAt(s + 0.01);
        return Received();
    }
    std::string Received() {
        std::string got;
        char c;
        while (line_->ReadChar(&c) == 1) got += c;
        return got;
    }
    void Pulse() {
        // Pulses are a second apart on the board; here they are apart by
        // more than the file system's time-stamp tick at least.
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        Write("/sys/class/leds/GPSONOFF/trigger", "pattern");
        Write("/sys/class/leds/GPSONOFF/times", "1");
    }
    // A pulse, and polls until the module has answered it.
    void PulseAt(double second) {
        Pulse();
        PollAt(second);
        PollAt(second + 0.15);
    }
    void Send(const std::string& body) { line_->Write(boardsim::NmeaSentence(body)); }
    // The sentence types in the text, in order ("GPRMC,GPGGA").
    static std::vector<std::string> Kinds(const std::string& text) {
        std::vector<std::string> kinds;
        size_t at = 0;
        while ((at = text.find('$', at)) != std::string::npos) {
            const size_t eol = text.find("\r\n", at);
            std::string body;
            EXPECT_TRUE(boardsim::CheckNmea(text.substr(at, eol - at), &body)) << text.substr(at, eol - at);
            kinds.push_back(body.substr(0, 5));
            at = eol;
        }
        return kinds;
    }
    bool Noted(const std::string& what) const {
        for (const auto& n : notes_) {
            if (n.what.find(what) != std::string::npos) return true;
        }
        return false;
    }

    std::optional<GpsModule> module_;
    std::unique_ptr<diviv::gps::SerialLine> line_, uart3_;
    std::vector<bool> wakeups_;
    std::vector<boardsim::TimelineEntry> notes_;
};

TEST_F(GpsModuleTest, LinksTheSerialLinesIntoTheBoardRoot) {
    char target[256] = {};
    ASSERT_GT(::readlink(Path("/dev/ttymxc1").c_str(), target, sizeof target - 1), 0);
    EXPECT_THAT(target, StartsWith("/dev/pts/"));
    module_.reset();
    struct stat st {};
    EXPECT_NE(::lstat(Path("/dev/ttymxc1").c_str(), &st), 0) << "removed with the module";
    EXPECT_NE(::lstat(Path("/dev/ttymxc2").c_str(), &st), 0);
}

TEST_F(GpsModuleTest, WakesOnAPulseSendsDefaultsThenOnlyRmcOnceConfigured) {
    PollAt(0);
    EXPECT_EQ(Seconds(1, 2), "") << "hibernating at power-on";
    EXPECT_EQ(wakeups_, std::vector<bool>{false});
    Pulse();
    PollAt(2.05);
    EXPECT_FALSE(module_->running()) << "the pulse lasts 100 ms";
    PollAt(2.2);
    EXPECT_TRUE(module_->running());
    EXPECT_EQ(wakeups_, (std::vector<bool>{false, true}));

    // Default sentences every second, GSV every fifth (kT0 + 5 is one).
    EXPECT_EQ(Kinds(Seconds(3, 5)), (std::vector<std::string>{"GPGGA", "GPGSA", "GPRMC", "GPGGA", "GPGSA", "GPRMC",
                                                             "GPGGA", "GPGSA", "GPGSV", "GPRMC"}));

    // The recorder's configuration.
    Send("PSRF101,0,0,0,0,0,0,12,4");
    for (const char* m : {"00", "01", "02", "03", "04", "05", "08"}) Send(std::string("PSRF103,") + m + ",00,00,01");
    EXPECT_EQ(Seconds(6, 7), "");
    Send("PSRF103,04,00,01,01");
    EXPECT_EQ(Kinds(Seconds(8, 12)), std::vector<std::string>(5, "GPRMC"));
    EXPECT_EQ(module_->rate(4), 1);
    EXPECT_EQ(module_->rate(0), 0);
    EXPECT_TRUE(Noted("navigation initialisation (reset mode 4)"));
    EXPECT_TRUE(Noted("GPS module sends: RMC/1s"));

    // A message with a wrong checksum is not obeyed.
    line_->Write("$PSRF103,00,00,01,01*00\r\n");
    EXPECT_EQ(Kinds(Seconds(13, 13)), std::vector<std::string>{"GPRMC"});
    EXPECT_TRUE(Noted("ignored input"));
}

TEST_F(GpsModuleTest, RmcFollowsTheRouteRowByRowAndTheWorldsFix) {
    const std::string route = root_ + "/route.csv";
    ASSERT_TRUE(diviv::sim::WriteTextFile(route, "35.0,139.0,0\n35.001,139.0,36\n35.002,139.0,36\n35.003,139.001,20\n"));
    diviv::sim::WorldWriter world(root_ + diviv::sim::kWorldFile);
    ASSERT_TRUE(world.GpsRoute(route));
    PollAt(0);
    PulseAt(0.5);
    ASSERT_TRUE(module_->running());
    Send("PSRF103,00,00,00,01");
    Send("PSRF103,02,00,00,01");
    Send("PSRF103,03,00,00,01");
    const std::string text = Seconds(1, 5);
    std::vector<std::vector<std::string>> rows;
    for (size_t at = 0; (at = text.find("$GPRMC", at)) != std::string::npos; ++at) {
        const std::string sentence = text.substr(at, text.find("\r\n", at) - at);
        std::vector<std::string> f;
        for (auto v : diviv::gps::SplitFields(sentence)) f.emplace_back(v);
        rows.push_back(f);
    }
    ASSERT_EQ(rows.size(), 5u) << text;
    const char* lat[] = {"3500.0000", "3500.0600", "3500.1200", "3500.1800", "3500.0000"};
    for (size_t i = 0; i < rows.size(); ++i) {
        EXPECT_EQ(rows[i][2], "A");
        EXPECT_EQ(rows[i][3], lat[i]) << "row " << i;
        EXPECT_EQ(rows[i][9], "150624");
    }
    EXPECT_EQ(rows[0][1], "010346.000");
    EXPECT_EQ(rows[4][1], "010350.000");
    EXPECT_EQ(rows[0][8], "") << "standing: no course";
    EXPECT_EQ(rows[1][8], "0.00") << "due north";
    EXPECT_EQ(rows[1][7], "19.44");
    EXPECT_EQ(rows[3][7], "10.80");
    EXPECT_EQ(module_->route_row(), 5);

    ASSERT_TRUE(world.GpsSignal("nofix"));
    EXPECT_THAT(Seconds(6, 6), StartsWith("$GPRMC,010351.000,V,,,,,,,150624,,*"));
    ASSERT_TRUE(world.GpsSignal("silent"));
    EXPECT_EQ(Seconds(7, 9), "");
    EXPECT_TRUE(module_->running()) << "silent, not asleep";
    ASSERT_TRUE(world.GpsSignal("fix"));
    EXPECT_THAT(Seconds(10, 10), StartsWith("$GPRMC,010355.000,A,"));
}

TEST_F(GpsModuleTest, PowerControlResetsTheModuleAndAModuleThatNeverWakesIgnoresPulses) {
    PollAt(0);
    PulseAt(0.3);
    Send("PSRF103,00,00,00,01");
    PollAt(0.6);
    EXPECT_EQ(module_->rate(0), 0);

    Write("/sys/class/leds/GPS_P_CNT/brightness", "1");
    PollAt(0.7);
    EXPECT_FALSE(module_->running());
    EXPECT_EQ(Seconds(1, 2), "") << "silent while held in reset";
    Pulse();
    PollAt(2.5);
    EXPECT_FALSE(module_->running()) << "no pulse gets through the reset";
    Write("/sys/class/leds/GPS_P_CNT/brightness", "0");
    PollAt(2.6);
    PulseAt(2.7);
    EXPECT_TRUE(module_->running());
    EXPECT_EQ(module_->rate(0), 1) << "the settings were lost";
    EXPECT_EQ(wakeups_, (std::vector<bool>{false, true, false, true}));

    diviv::sim::WorldWriter world(root_ + diviv::sim::kWorldFile);
    ASSERT_TRUE(world.GpsNeverWakes());
    PulseAt(3.0);
    EXPECT_FALSE(module_->running()) << "it still goes to sleep";
    PulseAt(3.5);
    EXPECT_FALSE(module_->running());
    EXPECT_TRUE(Noted("ON/OFF pulse ignored (never wakes)"));
    ASSERT_TRUE(world.GpsSignal("fix"));
    PulseAt(4.0);
    EXPECT_TRUE(module_->running());
}

TEST_F(GpsModuleTest, WhatArrivesOnUart3IsKeptInTheBoardRoot) {
    uart3_->Write("UART3 COM PORT OPEND !\r\n");
    PollAt(0);
    uart3_->Write("$GPRMC,1*00\r\r\n");
    PollAt(0.1);
    EXPECT_EQ(Read(boardsim::kUart3Log), "UART3 COM PORT OPEND !\r\n$GPRMC,1*00\r\r\n");
}

}  // namespace
