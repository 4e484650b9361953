// repair: makes a recording whole that was cut before the recorder closed it
// (a power loss): the header's sizes and counts, the Data Object's size and
// packet count and the simple index are rebuilt from the whole packets that
// are there, and whatever follows the last whole packet is dropped.
#pragma once

#include <cstdio>
#include <string>

namespace media {

struct RepairOptions {
    std::string input;
    std::string output;  // empty: INPUT.repaired.asf beside the input
};

// 0 with one line on `out` saying what was kept, or 1 with a one-line reason
// in `error` (no header to build on, no whole packet, cannot write). The
// input is never written.
int Repair(const RepairOptions& o, FILE* out, std::string& error);

}  // namespace media
