// Key commands: what a button press does in each state of the recorder.
#pragma once

#include "core/InputHandler.h"

// Executes one key command in the current state. Returns 1.
int KeyCommand(KEY_CMD cmd);

// Host key emulation (host commands 30..34): sets the key latch as a press
// would. Returns 0, or -1 for another key number.
int KeyInputHandler(int key);
