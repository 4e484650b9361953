#include "playback/AsfDemuxThread.h"

#include "core/WorkerHandshake.h"

// This mode worker does not produce anything yet: it honours the start/stop
// handshake so that the codec manager can run and stop its mode.
void AsfDemuxThread(dr_common_t* dr) { diviv::IdleUntilClosed(dr->AD_ALIVE, dr->REQ_AD_CLOSE); }
