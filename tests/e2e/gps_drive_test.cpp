// The GPS receiver in the whole recorder, on a simulated board whose GPS
// module boardsim plays over pseudo-terminals, in real time: power-up, wake-
// up and configuration, the clock set from the first valid sentence, the
// route's sentences handed to the writer only while encoding runs, copies on
// UART3, hibernation at the end; and a module that falls silent.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "config/param_ini.h"
#include "core/DriveRecorderApp.h"
#include "sensors/GpsRmc.h"
#include "sim/SimBoard.h"
#include "sim/SimRtc.h"
#include "support/SimBoardFixture.h"

namespace {

namespace fs = std::filesystem;
using diviv::sim::ReadTextFile;
using diviv::sim::WriteTextFile;

constexpr int kStandingRows = 6;
constexpr int kMovingRows = 80;

// "ddmm.mmmm" of a latitude as the module writes it.
std::string LatitudeField(double lat) {
    const int whole = static_cast<int>(lat);
    char text[32];
    std::snprintf(text, sizeof text, "%02d%07.4f", whole, (lat - whole) * 60.0);
    return text;
}
double RowLatitude(int row) { return row < kStandingRows ? 35.0 : 35.0 + (row - kStandingRows + 1) * 0.0001; }

bool ChecksumOk(const std::string& sentence) {
    const size_t star = sentence.rfind('*');
    if (sentence.empty() || sentence[0] != '$' || star == std::string::npos) return false;
    unsigned sum = 0;
    for (size_t i = 1; i < star; ++i) sum ^= static_cast<unsigned char>(sentence[i]);
    return std::strtoul(sentence.substr(star + 1, 2).c_str(), nullptr, 16) == sum;
}

// Seconds since the epoch of an RMC sentence's time and date.
time_t RmcTime(const std::string& sentence) {
    diviv::gps::RmcClock c;
    std::string bad;
    if (!diviv::gps::ReadRmcClock(sentence, &c, &bad)) return -1;
    return static_cast<time_t>(diviv::gps::RmcClockToUtc(c));
}

std::string Field(const std::string& sentence, size_t index) {
    const auto f = diviv::gps::SplitFields(sentence);
    return index < f.size() ? std::string(f[index]) : std::string();
}

class GpsDrive : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = MakeTempDir("diviv-gps-");
        ASSERT_FALSE(dir_.empty());
        std::string error;
        ASSERT_TRUE(diviv::sim::CreateSimBoard(dir_, {}, &error)) << error;
        Eep_data eep{};
        SetupIniDefault(&eep);
        eep.app_version = nCurrentAppVersion;
        eep.gps_enable = 1;
        eep.uart3_mode = 0;
        eep.auto_rec = 1;  // recording starts when the scenario says
        eep.pwr_rst_timer = 1;
        std::string image(1024, '\xff');
        std::memcpy(image.data(), &eep, sizeof eep);
        ASSERT_TRUE(WriteTextFile(dir_ + diviv::sim::kEepromImage, image));
    }
    void TearDown() override {
        for (const char* report : {"WARNING: ThreadSanitizer", "ERROR: AddressSanitizer", "runtime error:",
                                   "ERROR: LeakSanitizer"}) {
            EXPECT_EQ(output_.find(report), std::string::npos) << output_;
        }
        std::error_code ec;
        if (!HasFailure()) fs::remove_all(dir_, ec);
    }

    int Run(const std::string& scenario, int timeout_s) {
        const std::string sc = dir_ + "/sim/scenario.txt";
        WriteTextFile(sc, scenario);
        const std::string cmd = "DIVIV_DUMP_RMC=" + dir_ + "/sim/rmc.txt " + BOARDSIM_BIN + " run " + dir_ +
                                " --scenario " + sc + " --timeout " + std::to_string(timeout_s) + " -- " + DIVIV_BIN +
                                " > " + dir_ + "/sim/run.log 2>&1";
        const int status = std::system(cmd.c_str());
        output_ = ReadTextFile(dir_ + "/sim/run.log");
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    bool Printed(const std::string& text) const { return output_.find(text) != std::string::npos; }
    // Seconds into the run of the first timeline entry holding text, or -1.
    double TimelineTime(const std::string& text) const {
        std::istringstream in(output_);
        for (std::string line; std::getline(in, line);) {
            const size_t open = line.find("boardsim: [");
            if (open == std::string::npos || line.find(text) == std::string::npos) continue;
            return std::stod(line.substr(open + 11));
        }
        return -1;
    }
    // The sentences of the console lines "[Recv(n)cnt[n]]:$GPRMC..." from
    // `from` to `to` (offsets into the output).
    std::vector<std::string> Examined(size_t from, size_t to) const {
        std::vector<std::string> out;
        for (size_t at = output_.find("]]:$GPRMC", from); at != std::string::npos && at < to;
             at = output_.find("]]:$GPRMC", at + 1)) {
            std::string s = output_.substr(at + 3, output_.find('\n', at) - at - 3);
            while (!s.empty() && s.back() == '\r') s.pop_back();
            out.push_back(s);
        }
        return out;
    }

    std::string dir_;
    std::string output_;
};

TEST_F(GpsDrive, TheClockIsSetOnceAndTheRouteIsRecordedOnlyWhileEncoding) {
    std::string route = "lat,lon,km/h\n";
    for (int row = 0; row < kStandingRows + kMovingRows; ++row) {
        route += std::to_string(RowLatitude(row)) + ",139.0," + (row < kStandingRows ? "0" : "40") + "\n";
    }
    ASSERT_TRUE(WriteTextFile(dir_ + "/route.csv", route));
    // Recording starts as reception does, but a camera that gives no
    // picture for a while keeps encoding from starting, although the
    // writer already wants records, until after the first valid sentences.
    // (The stall comes once the live monitor has let go of the camera: the
    // monitor ends the program when its camera stays silent.)
    ASSERT_EQ(Run("0 gps route " + dir_ + "/route.csv\n"
                  "0 wait line \"GPS : Receive Data is OK ! -> Start processing\" within 40\n"
                  "+0 host 9 1\n"
                  "+0 wait line \"DiViv : Monitor Stopped\" within 10\n"
                  "+0 camera stall 9\n"
                  "+0 wait line \"VCE : Set EncodeStart=1\" within 20\n"
                  "+3.5 host 0\n"
                  "+0 expect exit 0 within 30\n",
                  120),
              0)
        << output_;

    // Power-up, wake-up and configuration through the real lines.
    EXPECT_TRUE(Printed("GPS : WAKEUP OK"));
    EXPECT_GT(TimelineTime("GPS module hibernating (power control off)") -
                  TimelineTime("GPS module held in reset (power control on)"),
              4.5);
    EXPECT_GT(TimelineTime("GPS module sends: RMC/1s"), TimelineTime("GPS module sends: nothing"));

    // The clock: set once, from the first valid sentence (a vehicle standing
    // still, so its course is empty), to its UTC time plus 9 hours.
    const size_t rtc_start = output_.find("GPS : GPS RTC start!![");
    ASSERT_NE(rtc_start, std::string::npos);
    std::string first = output_.substr(rtc_start + 22, output_.find(']', rtc_start + 22) - rtc_start - 22);
    while (!first.empty() && first.back() == '\r') first.pop_back();
    EXPECT_EQ(Field(first, 7), "0.00");
    EXPECT_EQ(Field(first, 8), "") << first;
    EXPECT_EQ(output_.find("GPS : GPS RTC start!![", rtc_start + 1), std::string::npos) << "once";
    EXPECT_EQ(Examined(0, output_.size()).front(), first);
    const time_t rtc = RmcTime(first) + 9 * 3600;
    std::tm tm{};
    gmtime_r(&rtc, &tm);
    char expected[32];
    std::strftime(expected, sizeof expected, "%Y-%m-%d %H:%M:%S\n", &tm);
    EXPECT_EQ(ReadTextFile(dir_ + diviv::sim::kRtcSetLog), expected);
    EXPECT_TRUE(Printed("rtc_date\t: "));

    // The writer's records: the route's rows, one per second, in order.
    std::vector<std::string> records;
    std::istringstream dump(ReadTextFile(dir_ + "/sim/rmc.txt"));
    for (std::string line; std::getline(dump, line);) records.push_back(line.substr(line.find(' ') + 1));
    ASSERT_GE(records.size(), 2u) << output_;
    std::map<std::string, int> row_of;
    for (int row = kStandingRows; row < kStandingRows + kMovingRows; ++row) row_of[LatitudeField(RowLatitude(row))] = row;
    int moving = 0;
    for (size_t i = 0; i < records.size(); ++i) {
        ASSERT_TRUE(ChecksumOk(records[i])) << records[i];
        EXPECT_EQ(Field(records[i], 2), "A");
        const std::string lat = Field(records[i], 3);
        EXPECT_TRUE(lat == LatitudeField(35.0) || row_of.count(lat)) << records[i];
        moving += row_of.count(lat) ? 1 : 0;
        if (i == 0) continue;
        EXPECT_EQ(RmcTime(records[i]) - RmcTime(records[i - 1]), 1) << "none lost, none twice";
        const std::string prev = Field(records[i - 1], 3);
        if (row_of.count(lat) && row_of.count(prev)) {
            EXPECT_EQ(row_of[lat] - row_of[prev], 1) << records[i];
        }
    }
    EXPECT_GT(moving, 0) << "the recording reached the moving part of the route";

    // Nothing examined before encoding started reached the writer, though
    // the writer wanted records while the camera stalled.
    const size_t start = output_.find("DiViv : Start Recording");
    const size_t encoding = output_.find("VCE : Set EncodeStart=1", start);
    ASSERT_NE(encoding, std::string::npos);
    const std::vector<std::string> before = Examined(0, encoding);
    EXPECT_FALSE(Examined(start, encoding).empty()) << "valid sentences came while the camera stalled";
    for (const std::string& s : before) {
        for (const std::string& r : records) EXPECT_NE(r, s);
    }
    const std::vector<std::string> during = Examined(encoding, output_.find("DiViv : Stop Recording", encoding));
    ASSERT_FALSE(during.empty());
    EXPECT_EQ(records.front(), during.front()) << "the first sentence examined while encoding is the first record";

    // UART3: the greeting, then every sentence with CR LF after its CR.
    const std::string uart3 = ReadTextFile(dir_ + "/sim/uart3.log");
    EXPECT_EQ(uart3.rfind("UART3 COM PORT OPEND !\r\n", 0), 0u);
    for (const std::string& r : records) EXPECT_NE(uart3.find(r + "\r\r\n"), std::string::npos) << r;

    // At the end the module is put to sleep.
    EXPECT_TRUE(Printed("GPS : Detect WAKEUP -> Low [hibernate-mode]"));
    EXPECT_GT(TimelineTime("GPS module hibernating (ON/OFF pulse)"), TimelineTime("> host 0"));
    EXPECT_TRUE(Printed("GPS : GPS Receive Thread End"));
}

TEST_F(GpsDrive, AModuleThatFallsSilentIsReportedAfterTenSecondsAndPutToSleep) {
    ASSERT_EQ(Run("0 wait line \"GPS : Receive Data is OK ! -> Start processing\" within 40\n"
                  "+0 gps silent\n"
                  "+0 wait line \"GPS : GPS Device is not connected\" within 20\n"
                  "+0 wait line \"GPS : GPS Receive Thread End\" within 10\n"
                  "+0 host 0\n"
                  "+0 expect exit 0 within 30\n",
                  120),
              0)
        << output_;
    // From the start of reception to the hibernation that follows the
    // report: ten seconds of silence, the report, a pulse.
    const double silent = TimelineTime("> gps silent");
    const double asleep = TimelineTime("GPS module hibernating (ON/OFF pulse)");
    EXPECT_GT(asleep - silent, 10.0);
    EXPECT_LT(asleep - silent, 13.0);
    EXPECT_TRUE(Printed("GPS : Detect WAKEUP -> Low [hibernate-mode]"));
    EXPECT_FALSE(Printed("[Recv(")) << "no complete sentence";
    EXPECT_NE(ReadTextFile(dir_ + diviv::sim::kLogRecordFile).find("Fatal error is found in GPS."), std::string::npos);
    EXPECT_EQ(ReadTextFile(dir_ + diviv::sim::kRtcSetLog), "");
    // The recorder itself goes on until told to end.
    EXPECT_LT(asleep, TimelineTime("> host 0"));
}

}  // namespace
