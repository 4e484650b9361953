// Demultiplexer: splits a recording into vbs_buf, abs_buf and pts_buf.
#pragma once

#include "core/DR_shared.h"

// Thread body; started by the codec manager with the shared record.
void AsfDemuxThread(dr_common_t* dr);
