// Video capture and encoding: camera pictures, captions, H.264 into vbs_buf.
#pragma once

#include "core/DR_shared.h"

// Thread body; started by the codec manager with the shared record.
void VideoCaptureEncoderThread(dr_common_t* dr);
