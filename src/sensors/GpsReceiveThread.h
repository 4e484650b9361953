// GPS receiver: NMEA RMC sentences into rmc_buf; runs from start-up to shutdown.
#pragma once

#include "core/DR_shared.h"

// Thread body; started by the codec manager with the shared record.
void GpsReceiveThread(dr_common_t* dr);
