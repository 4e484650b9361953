#include "playback/MonitorThread.h"

#include "core/WorkerHandshake.h"

// This mode worker does not produce anything yet: it honours the start/stop
// handshake so that the codec manager can run and stop its mode.
void MonitorThread(dr_common_t* dr) { diviv::IdleUntilClosed(dr->MON_ALIVE, dr->REQ_MON_CLOSE); }
