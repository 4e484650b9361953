// Video capture and encoding: camera pictures, captions, H.264 into vbs_buf
// with one video_info_t per picture in vinfo_buf, for the recording writer.
#pragma once

#include "core/DR_shared.h"

// Thread body; started by the codec manager with the shared record. Runs
// until REQ_VCE_CLOSE (or REQ_VE_CLOSE, a power-down, an encoder failure or
// a refused write); clears VCE_ALIVE as its last act.
void VideoCaptureEncoderThread(dr_common_t* dr);

// Switches the video power off: writes "3\n" to the power controller.
// Returns -1 when the controller cannot be written, else 0.
int set_voff();
