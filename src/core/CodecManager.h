// The codec manager: one thread per mode. It starts the mode's workers,
// waits for REQ_CLOSE, stops the workers one by one with a bounded wait and
// ends by clearing CM_ALIVE.
#pragma once

#include "core/DR_shared.h"

// Thread body; the starter sets CM_ALIVE = 1 and clears REQ_CLOSE first. It
// paces its waits by the codec manager settings current when it starts.
void CodecManager(dr_common_t* dr);

// Starts the codec manager on a detached thread (CM_ALIVE must already be 1).
// Returns false and clears CM_ALIVE if no thread could be made.
bool StartCodecManager(dr_common_t* dr);

namespace diviv {

// How a codec manager paces its waits. The defaults are the recorder's.
struct CodecManagerSettings {
    unsigned wait_step_us = 100000;    // one wait for a worker to end
    int close_waits = 50;              // waits before a worker is reported and left behind
    unsigned close_poll_us = 1000000;  // between looks at REQ_CLOSE
};

// The settings of codec managers started from now on; one that runs keeps
// the settings it started with. Tests shorten the waits.
void SetCodecManagerSettings(const CodecManagerSettings& settings);
CodecManagerSettings GetCodecManagerSettings();

// Waits for one worker to end after raising its close request: up to
// settings.close_waits waits of settings.wait_step_us (no limit with
// unbounded). Returns true when it ended. `repeat_request` raises the
// request again before every wait.
bool CloseWorker(dr_flag& alive, dr_flag& request, const char* name, const char* error_name,
                 bool repeat_request, bool unbounded = false,
                 const CodecManagerSettings& settings = CodecManagerSettings{});

}  // namespace diviv
