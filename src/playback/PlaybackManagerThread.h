// Playback manager: paces decoded pictures to the display.
#pragma once

#include "core/DR_shared.h"

// Thread body; started by the codec manager with the shared record.
void PlaybackManagerThread(dr_common_t* dr);
