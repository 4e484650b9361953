#include "playback/AudioOutputThread.h"

#include "core/WorkerHandshake.h"

// This mode worker does not produce anything yet: it honours the start/stop
// handshake so that the codec manager can run and stop its mode.
void AudioOutputThread(dr_common_t* dr) { diviv::IdleUntilClosed(dr->AO_ALIVE, dr->REQ_AO_CLOSE); }
