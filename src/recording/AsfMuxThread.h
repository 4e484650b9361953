// Recording file writer: assembles the recordings from the coded pictures,
// audio packets and sensor records, one file after another.
#pragma once

#include "core/DR_shared.h"

// Thread body; started by the codec manager with the shared record.
void AsfMuxThread(dr_common_t* dr);

// Full path of the recorded-file index: "/mnt/mmc0_p2/DATA/.INDEXFILE3"
// under the board root.
std::string RecordingIndexPath();
