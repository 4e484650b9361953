// A fresh simulated board in a temporary folder for each test, selected
// through DIVIV_ROOT and DIVIV_BOARD=sim, removed afterwards.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "sim/SimBoard.h"

class SimBoardTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
    // Override to change the board before it is created.
    virtual diviv::sim::SimBoardOptions BoardOptions() const { return {}; }

    // "/proc/driver/power" -> "<root>/proc/driver/power"
    std::string Path(const std::string& board_path) const { return root_ + board_path; }
    std::string Read(const std::string& board_path) const { return diviv::sim::ReadTextFile(Path(board_path)); }
    bool Write(const std::string& board_path, const std::string& text) const {
        return diviv::sim::WriteTextFile(Path(board_path), text);
    }

    std::string root_;

private:
    std::string old_cwd_;
};

// Makes a temporary directory; removed by the caller.
std::string MakeTempDir(const char* prefix);
