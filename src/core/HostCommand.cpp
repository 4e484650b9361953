#include "core/HostCommand.h"

#include <cstdio>

#include "core/AppGlobals.h"
#include "core/DR_shared.h"
#include "core/HostQueue.h"
#include "core/KeyCommand.h"
#include "core/ModeControl.h"

namespace {

// Command 9: recording on (1) or off (0), as the REC and STOP keys do. A
// start is taken only while idle (the live monitor is stopped first): in
// another mode the recording start would claim the recording state and then
// find the codec manager busy.
void RecordingCommand(int param) {
    if (param == 1) {
        if (drc->AppState.load() != STATE_IDLE) return;
        if (drc->MonitorStart.load()) MonitorControl(0);
        if (StartRecordingFromIdle()) {
            std::printf("DiViv : Recording Start\n");
        } else {
            std::printf("DiViv : Error :: Could not start recording\n");
        }
    } else if (param == 0) {
        const bool recording = drc->AppState.load() == STATE_REC;
        const int rc = RecordControl(DRA_DOWN_QID, DRA_UP_QID, 0);
        if (!recording) return;  // "Recording is not started" was printed
        if (rc == 0) std::printf("DiViv : Recording Stop\n");
        else std::printf("DiViv : Error :: Could not stop recording\n");
    }
}

}  // namespace

int MonCommand(int command, int param, const char* /*ComStrBuf*/) {
    switch (command) {
        case 0:
            if (drc->MonitorStart.load()) MonitorControl(0);
            return 0;
        case 9:
            RecordingCommand(param);
            return 1;
        case 30:
        case 31:
        case 32:
        case 33:
        case 34:
            KeyInputHandler(command);
            return 1;
        default:
            // Acknowledged and ignored.
            return 1;
    }
}
