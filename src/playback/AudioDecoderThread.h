// Audio decoder: G.726 from abs_buf to PCM in ra_buf.
#pragma once

#include "core/DR_shared.h"

// Thread body; started by the codec manager with the shared record.
void AudioDecoderThread(dr_common_t* dr);
