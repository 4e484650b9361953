// Audio output: PCM from ra_buf to the speaker.
#pragma once

#include "core/DR_shared.h"

// Thread body; started by the codec manager with the shared record.
void AudioOutputThread(dr_common_t* dr);
