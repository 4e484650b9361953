// Live monitor, display side: pictures from dv_buf to the display's video
// plane with the monitor captions (heading, time, quadrant labels, GPS
// mark), over a colour-keyed window of the graphics plane.
#pragma once

#include <ctime>
#include <string>

#include "core/DR_shared.h"

// Thread body; started by the codec manager with the shared record. Ends on
// REQ_DISP_CLOSE or REQ_CLOSE and then sets REQ_CLOSE.
void VideoDispThread(dr_common_t* dr);

// The local time as "%Y/%m/%d %H:%M:%S " (with the trailing space).
std::string MyStrTime(time_t t);
