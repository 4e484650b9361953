// The writer's stream dump: with DIVIV_DUMP_VIDEO, DIVIV_DUMP_AUDIO,
// DIVIV_DUMP_SENSORS or DIVIV_DUMP_RMC set, the writer writes no files and
// instead hands what the capture and the receivers deliver, unchanged, to
// those files (a coded-stream inspection aid: tests and the demo read the
// capture's output there without the file format in between).
#pragma once

#include "core/DR_shared.h"

namespace diviv::mux {

// True when any dump variable is set.
bool StreamDumpRequested();

// Empties the buffers into the dump files until REQ_AM_CLOSE.
void DumpStreamsUntilClose(dr_common_t* dr);

}  // namespace diviv::mux
