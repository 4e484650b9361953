// Audio encoder: PCM from ra_buf to G.726 in abs_buf.
#pragma once

#include "core/DR_shared.h"

// Thread body; started by the codec manager with the shared record.
void AudioEncoderThread(dr_common_t* dr);
