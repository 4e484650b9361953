// Whole-program scenarios: the real DiViv on a fresh simulated board in a
// temporary folder, driven by boardsim through a scenario. Each test reads
// what a user would: the console and board timeline, the board's files, the
// card.
#pragma once

#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <sstream>
#include <string>

#include "config/param_ini.h"
#include "diviv_version.h"
#include "sim/SimBoard.h"
#include "support/SimBoardFixture.h"

class RecorderScenario : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = MakeTempDir("diviv-e2e-");
        ASSERT_FALSE(dir_.empty());
    }
    void TearDown() override {
        // Sanitizer builds of the recorder report here, whichever road it took.
        for (const char* report : {"WARNING: ThreadSanitizer", "ERROR: AddressSanitizer", "runtime error:",
                                   "ERROR: LeakSanitizer"}) {
            EXPECT_FALSE(Printed(report)) << output_;
        }
        std::error_code ec;
        if (!HasFailure()) std::filesystem::remove_all(dir_, ec);
    }

    // Creates the board with a parameter record already in its EEPROM (GPS
    // off, a one-second power-reset time, then `tune`).
    void MakeBoard(const diviv::sim::SimBoardOptions& o, void (*tune)(Eep_data*) = nullptr) {
        std::string error;
        ASSERT_TRUE(diviv::sim::CreateSimBoard(dir_, o, &error)) << error;
        Eep_data eep{};
        SetupIniDefault(&eep);
        eep.app_version = nCurrentAppVersion;
        eep.gps_enable = 0;
        eep.pwr_rst_timer = 1;
        if (tune) tune(&eep);
        std::string image(1024, '\xff');
        std::memcpy(image.data(), &eep, sizeof eep);
        ASSERT_TRUE(diviv::sim::WriteTextFile(dir_ + diviv::sim::kEepromImage, image));
    }

    // Runs the recorder through a scenario; returns boardsim's exit status.
    // `env` ("NAME=value ...") is set for boardsim and the recorder.
    int Run(const std::string& scenario, int timeout_s = 120, const std::string& args = "",
            const std::string& env = "") {
        const std::string sc = dir_ + "/sim/scenario.txt";
        diviv::sim::WriteTextFile(sc, scenario);
        const std::string cmd = env + " " + std::string(BOARDSIM_BIN) + " run " + dir_ +
                                " --scenario " + sc + " --timeout " + std::to_string(timeout_s) + " -- " +
                                DIVIV_BIN + args + " > " + dir_ + "/sim/run.log 2>&1";
        const int status = std::system(cmd.c_str());
        output_ = diviv::sim::ReadTextFile(dir_ + "/sim/run.log");
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
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
    // How many console lines hold `text`.
    int CountPrinted(const std::string& text) const {
        int n = 0;
        for (size_t at = output_.find(text); at != std::string::npos; at = output_.find(text, at + 1)) ++n;
        return n;
    }
    bool Printed(const std::string& text) const { return output_.find(text) != std::string::npos; }
    std::string Board(const std::string& path) const { return diviv::sim::ReadTextFile(dir_ + path); }

    std::string dir_;
    std::string output_;
};
