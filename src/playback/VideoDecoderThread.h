// Video decoder: H.264 from vbs_buf to pictures in rv_buf.
#pragma once

#include "core/DR_shared.h"

// Thread body; started by the codec manager with the shared record.
void VideoDecoderThread(dr_common_t* dr);
