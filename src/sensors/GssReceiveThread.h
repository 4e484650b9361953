// G-sensor receiver: samples into gsens_buf.
#pragma once

#include "core/DR_shared.h"

// Thread body; started by the codec manager with the shared record.
void GssReceiveThread(dr_common_t* dr);
