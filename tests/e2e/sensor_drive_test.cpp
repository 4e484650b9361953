// A short scripted drive through the whole recorder: boardsim sets speed,
// engine speed, a braking jolt and a contact input; the recorder's G-sensor
// and pulse/contact receivers hand what the simulated devices measured to
// the writer, whose stand-in keeps the records (DIVIV_DUMP_SENSORS).
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "config/param_ini.h"
#include "diviv_version.h"
#include "platform/SensorRecords.h"
#include "sim/SimBoard.h"
#include "support/SimBoardFixture.h"

namespace {

namespace fs = std::filesystem;
using diviv::sim::ReadTextFile;
using diviv::sim::WriteTextFile;

template <typename R>
std::vector<R> Records(const std::string& path) {
    const std::string bytes = ReadTextFile(path);
    std::vector<R> out(bytes.size() / sizeof(R));
    if (!out.empty()) std::memcpy(out.data(), bytes.data(), out.size() * sizeof(R));
    return out;
}

int64_t Micros(const dr_timeval& t) { return int64_t{t.tv_sec} * 1000000 + t.tv_usec; }

class SensorDrive : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = MakeTempDir("diviv-drive-");
        ASSERT_FALSE(dir_.empty());
    }
    void TearDown() override {
        for (const char* report : {"WARNING: ThreadSanitizer", "ERROR: AddressSanitizer", "runtime error:",
                                   "ERROR: LeakSanitizer"}) {
            EXPECT_EQ(output_.find(report), std::string::npos) << output_;
        }
        std::error_code ec;
        if (!HasFailure()) fs::remove_all(dir_, ec);
    }

    // A board whose parameter record mounts the G-sensor in `position`.
    void MakeBoard(int position) {
        std::string error;
        ASSERT_TRUE(diviv::sim::CreateSimBoard(dir_, {}, &error)) << error;
        Eep_data eep{};
        SetupIniDefault(&eep);
        eep.app_version = nCurrentAppVersion;
        eep.gps_enable = 0;
        eep.pwr_rst_timer = 1;
        eep.gss_enable = 1;
        eep.gss_position = static_cast<uint8_t>(position);
        std::string image(1024, '\xff');
        std::memcpy(image.data(), &eep, sizeof eep);
        ASSERT_TRUE(WriteTextFile(dir_ + diviv::sim::kEepromImage, image));
    }

    int Run(const std::string& scenario) {
        const std::string sc = dir_ + "/sim/scenario.txt";
        WriteTextFile(sc, scenario);
        const std::string cmd = "DIVIV_DUMP_SENSORS=" + dir_ + "/sim/sensors " + BOARDSIM_BIN + " run " + dir_ +
                                " --scenario " + sc + " --timeout 60 -- " + DIVIV_BIN + " > " + dir_ +
                                "/sim/run.log 2>&1";
        const int status = std::system(cmd.c_str());
        output_ = ReadTextFile(dir_ + "/sim/run.log");
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    bool Printed(const std::string& text) const { return output_.find(text) != std::string::npos; }

    std::string dir_;
    std::string output_;
};

TEST_F(SensorDrive, TheDrivesAccelerationsPulsesAndContactsReachTheWriter) {
    // Mounted standing on its side: Y along the vehicle, Z across, X down.
    MakeBoard(20);
    ASSERT_EQ(Run("0 gsensor position 20\n"
                  "0 speed 72\n"
                  "0 engine 2400\n"
                  "0 wait line \"VCE : Set EncodeStart=1\" within 30\n"
                  "+0.5 contact 3 on\n"
                  "+1.5 shock -0.8 0 0\n"
                  "+1.5 contact 3 off\n"
                  "+0 speed 0\n"
                  "+1.5 host 0\n"
                  "+0 expect exit 0 within 30\n"),
              0)
        << output_;
    EXPECT_TRUE(Printed("CM : Exec G Sensor Receiver"));
    EXPECT_TRUE(Printed("GSS: Threshhold_axis(xn=00,xp=00,yn=05,yp=05,zn=05,zp=05")) << output_;
    EXPECT_TRUE(Printed("GSS : GssReceiveThread End "));
    EXPECT_TRUE(Printed("PAC : Pulse and Contact-in ReceiveThread End "));

    // G-sensor: every 10 ms from the start on, gravity on -X, the jolt on -Y
    // with its braking bit.
    const std::string prefix = dir_ + "/sim/sensors";
    const auto gsens = Records<gsensor_buffer>(prefix + ".gsens");
    ASSERT_GE(gsens.size(), 300u) << output_;
    int jolt = 0;
    for (size_t i = 0; i < gsens.size(); ++i) {
        const gsensor_buffer& s = gsens[i];
        if (i > 0) {
            ASSERT_EQ(Micros(s.timestamp) - Micros(gsens[i - 1].timestamp), 10000) << i;
        }
        ASSERT_EQ(s.flag, 0u) << i;
        ASSERT_EQ(s.xaxis, -16) << i;
        ASSERT_EQ(s.zaxis, 0) << i;
        if (s.yaxis == -13) {
            ++jolt;
            EXPECT_EQ(s.event, kGsensorEventYNegative) << i;
        } else {
            ASSERT_EQ(s.yaxis, 0) << i;
            ASSERT_EQ(s.event, 0) << i;
        }
    }
    EXPECT_GE(jolt, 9);
    EXPECT_LE(jolt, 10);

    // Pulses: 72 km/h is 50.96 speed pulses a second, 2400 rpm 80 engine
    // pulses; once stopped, none.
    const auto pulses = Records<pulse_input_buffer>(prefix + ".pulse");
    ASSERT_GE(pulses.size(), 3u) << output_;
    int cruising = 0;
    for (const pulse_input_buffer& r : pulses) {
        EXPECT_EQ(r.elapsed_time.tv_sec, 1);
        EXPECT_LE(r.count_gpt1, 52u);
        if (std::abs(r.count_gpt1 - 50.96) <= 1.0) {
            ++cruising;
            EXPECT_LE(std::abs(r.count_gpt2 - 80.0), 1.0);
        }
    }
    EXPECT_GE(cruising, 2);
    EXPECT_EQ(pulses.back().count_gpt1, 0u) << "the vehicle stood at the end";
    for (size_t i = 1; i < pulses.size(); ++i) {
        EXPECT_EQ(Micros(pulses[i].timestamp) - Micros(pulses[i - 1].timestamp), 1000000) << "no record lost";
    }

    // Contacts: input 3 (active-low on the board) read as active while on.
    const auto contacts = Records<cont_input_buffer>(prefix + ".contin");
    ASSERT_GE(contacts.size(), 10u);
    int active = 0;
    for (const cont_input_buffer& c : contacts) {
        EXPECT_TRUE(c.sigin == 0 || c.sigin == 0x08) << c.sigin;
        active += c.sigin == 0x08;
    }
    EXPECT_GE(active, 5) << "1.5 s of samples every 200 ms";
    EXPECT_EQ(contacts.front().sigin, 0u);
    EXPECT_EQ(contacts.back().sigin, 0u);
}

}  // namespace
