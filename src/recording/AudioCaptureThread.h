// Audio capture: microphone PCM into ra_buf with capture times in ainfo_buf.
#pragma once

#include "core/DR_shared.h"

// Thread body; started by the codec manager with the shared record.
void AudioCaptureThread(dr_common_t* dr);
