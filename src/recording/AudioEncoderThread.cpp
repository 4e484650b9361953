#include "recording/AudioEncoderThread.h"

#include "core/WorkerHandshake.h"

// This mode worker does not produce anything yet: it honours the start/stop
// handshake so that the codec manager can run and stop its mode.
void AudioEncoderThread(dr_common_t* dr) { diviv::IdleUntilClosed(dr->AE_ALIVE, dr->REQ_AE_CLOSE); }
