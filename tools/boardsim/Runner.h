// `boardsim run` and `boardsim ctl`: running a program on a simulated board
// and driving it from a scenario or by hand.
#pragma once

#include <string>
#include <vector>

namespace boardsim {

struct RunOptions {
    std::string root;                  // the board root (created if missing)
    std::string scenario_text;         // empty: no scenario
    std::vector<std::string> program;  // PROGRAM ARGS...
    double timeout = 0;                // seconds; 0: 300 with a scenario, none without
    bool quiet = false;                // do not echo the program's console
};

// Runs the program on the board until it is switched off, ends by itself,
// the scenario ends it or the time runs out. Returns 0 when every check of
// the scenario passed, 1 when one failed, 2 when the run could not start.
int Run(const RunOptions& options);

// Sends one step ("key stop", "host 9 1") to the board running in `root`,
// or asks it for a screenshot. Returns 0, 1 on failure, 2 on a usage error.
int Control(const std::string& root, const std::vector<std::string>& words);

// The control FIFO a running board reads steps from, under the board root.
inline constexpr const char* kControlFifo = "/sim/ctl";
// The screenshot request: the PNG path the recorder is to write.
inline constexpr const char* kScreenshotRequest = "/sim/screenshot_request";

}  // namespace boardsim
