// A stand-in recorder for the board simulator's tests, made of the
// application's real input, indicator and host queue modules: it acknowledges
// host commands, turns keys into commands, lights its LEDs and switches the
// board off when the ignition goes off or the supply power is lost.
//
//   fake_recorder DOWN UP DRA_DOWN DRA_UP
// Host command 0 ends it with status 0; 9 with 1/0 shows recording on LED2.
#include <cstdio>
#include <cstdlib>

#include "core/DR_common.h"
#include "core/DR_shared.h"
#include "core/HostQueue.h"
#include "core/Indicator.h"
#include "core/InputHandler.h"
#include "platform/Board.h"
#include "platform/Mount.h"
#include "sim/SimulatedBoard.h"

namespace {

[[noreturn]] void SwitchOff(const char* why) {
    std::printf("fake : %s\n", why);
    diviv::SyncDisks();
    diviv::UnmountCard("/mnt/mmc0_p1");
    PowerControl(2);
    while (true) dr_usleep(100000);  // the board cuts the power
}

}  // namespace

int main(int argc, char** argv) {
    diviv::InstallBoard(diviv::sim::MakeSimBoard());  // runs only on the simulated board
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    if (argc < 5) return 3;
    DRM_DOWN_QID = static_cast<int32_t>(std::strtol(argv[1], nullptr, 16));
    DRM_UP_QID = static_cast<int32_t>(std::strtol(argv[2], nullptr, 16));
    auto record = NewDrCommon();
    drc = record.get();
    drc->AppState = STATE_IDLE;
    drc->PWR_DET_State = 1;
    drc->ACC_IN_State = 1;
    drc->RsvParam_1 = 1;

    SetLEDInit();
    SetLED(1, 3, 0);
    PowerControl(1);
    StartTimer();
    StartKeyEventHandler();
    StartPowerEventHandler();
    GetPortStat(0);
    ClearKeyLatches();
    SetLED(1, 0, 0);
    std::printf("fake : ready\n");

    char text[kHostMessageSize] = {};
    while (true) {
        GetPortStat(0);
        int command = 0, param = 0;
        if (GetHostCommand(&command, &param, text) == 1) {
            std::printf("fake : command %d %d\n", command, param);
            if (command == 0) break;
            if (command == 9) SetLED(1, param != 0 ? 1 : 0, 0);
        } else {
            const KEY_CMD key = CheckButtonState();
            if (key != NULL_CMD) std::printf("fake : key %d\n", static_cast<int>(key));
            if ((key == CFG_CMD || key == TRANS_CMD) && CheckKeyHold(key) == 1) std::printf("fake : held\n");
            if (key == EVENT_CMD) SetBUZZER(250, 250, 2);
        }
        if (drc->PWR_DET_State == 0) {
            SetLED(1, 2, 0);
            SwitchOff("power lost");
        }
        if (drc->ACC_IN_State == 0) SwitchOff("ignition off");
    }
    StopTimer();
    StopInputThreads();
    drc = nullptr;
    std::printf("fake : end\n");
    return 0;
}
