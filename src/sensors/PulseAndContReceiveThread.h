// Pulse and contact receiver: pulse and contact records into pulse_buf and contin_buf.
#pragma once

#include "core/DR_shared.h"

// Thread body; started by the codec manager with the shared record.
void PulseAndContReceiveThread(dr_common_t* dr);
