// A fresh simulated board in a temporary folder for each test: its root in
// DIVIV_ROOT, the simulated board installed (DIVIV_BOARD=sim for programs the
// test starts), removed afterwards.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "sim/SimBoard.h"
#include "sim/SimulatedBoard.h"

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

    // The installed simulated board (device models, fault injection).
    diviv::sim::SimulatedBoard& board() const { return *board_; }

    std::string root_;

private:
    diviv::sim::SimulatedBoard* board_ = nullptr;
    std::unique_ptr<diviv::Board> previous_board_;
    std::string old_cwd_;
};

// Makes a temporary directory; removed by the caller.
std::string MakeTempDir(const char* prefix);

// Death tests run the test program again for the child ("threadsafe"), as
// the board models' threads make a plain fork unsafe; unless the environment
// chose the style: a program under the ARM emulator cannot start itself
// again, and its runs ask for "fast".
void UseThreadsafeDeathTests();
