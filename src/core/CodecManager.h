// The codec manager: one thread per mode. It starts the mode's workers,
// waits for REQ_CLOSE, stops the workers one by one with a bounded wait and
// ends by clearing CM_ALIVE.
#pragma once

#include "core/DR_shared.h"

// Thread body; the starter sets CM_ALIVE = 1 and clears REQ_CLOSE first.
void CodecManager(dr_common_t* dr);

// Starts the codec manager on a detached thread (CM_ALIVE must already be 1).
// Returns false and clears CM_ALIVE if no thread could be made.
bool StartCodecManager(dr_common_t* dr);

namespace diviv {

// Waits for one worker to end after raising its close request: up to 50
// waits of 100 ms (none with unbounded). Returns true when it ended.
// `repeat_request` raises the request again before every wait.
bool CloseWorker(dr_flag& alive, dr_flag& request, const char* name, const char* error_name,
                 bool repeat_request, bool unbounded = false);

// Time one wait step takes, in microseconds (tests shorten it).
extern unsigned g_cm_wait_step_us;
// Seconds between REQ_CLOSE polls, in microseconds (tests shorten it).
extern unsigned g_cm_close_poll_us;

}  // namespace diviv
