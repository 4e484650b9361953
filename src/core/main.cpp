#include <cstdlib>
#include <cstring>

#include "core/CommandLine.h"
#include "core/DriveRecorderApp.h"
#include "platform/Board.h"
#include "sim/SimulatedBoard.h"

// The one place that chooses the board: DIVIV_BOARD=sim runs the recorder on
// the simulated board, anything else on the real one.
int main(int argc, char** argv) {
    if (const auto status = diviv::CheckCommandLine(argc, argv, stdout, stderr)) return *status;
    const char* board = std::getenv("DIVIV_BOARD");
    const bool simulated = board != nullptr && std::strcmp(board, "sim") == 0;
    diviv::InstallBoard(simulated ? diviv::sim::MakeSimBoard() : diviv::MakeLinuxBoard());
    return DriveRecorderMain(argc, argv);
}
