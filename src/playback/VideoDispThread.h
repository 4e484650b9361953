// Video display: live pictures from dv_buf to the display.
#pragma once

#include "core/DR_shared.h"

// Thread body; started by the codec manager with the shared record.
void VideoDispThread(dr_common_t* dr);
