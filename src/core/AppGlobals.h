// Process-wide words of the main program that several of its modules share
// (start-up, main loop, key commands, host commands, card events).
#pragma once

#include <atomic>
#include <cstdint>

namespace app {

// Exit cause: ignition off or supply power lost; neither = orderly end.
extern std::atomic<int> ExitByACC;
extern std::atomic<int> ExitByPWR_DET;
// Recording starts by itself when the recorder is idle with a usable card.
extern std::atomic<int> AutoRecodeEnable;
// The first file list after a recording start puts the cursor on the newest file.
extern std::atomic<int> SetCursolFirstTime;
// The no-card screen has been shown since the last failed card insertion.
extern std::atomic<int> DispNoSD_Done;
// Card warnings are printed once until a card event re-arms them.
extern std::atomic<int> print_error_state;
extern std::atomic<int> first_time_transcode;
extern std::atomic<int> skip_microSD_event;
// Capture format chosen by host commands (0: 640x480).
extern std::atomic<int> VideoMode;

// Text parameter of the last host command (64 bytes, main thread only).
extern char ComStrBuf[64];

}  // namespace app
