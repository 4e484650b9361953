// Live monitor, capture side: camera pictures into dv_buf while the
// recorder neither records nor plays, with the configuration's flip and
// mirror followed while it runs.
#pragma once

#include "core/DR_shared.h"

// Thread body; started by the codec manager with the shared record. Ends on
// REQ_MON_CLOSE; a capture failure ends the program (exit status 1).
void MonitorThread(dr_common_t* dr);
