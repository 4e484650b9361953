// Live monitor: camera pictures into dv_buf while idle.
#pragma once

#include "core/DR_shared.h"

// Thread body; started by the codec manager with the shared record.
void MonitorThread(dr_common_t* dr);
