// export: a drive's recordings (one file, or several joined in order) into
// files other programs open. Each output has its own writer; Export runs the
// ones asked for, one after another, over the same inputs.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "MediaCommands.h"

namespace media {

struct ExportOptions {
    std::vector<std::string> inputs;  // recordings, joined in this order
    bool havePass = false;
    PassCode pass{};                  // descrambles key pictures
    std::string gpx, csv, mp4;        // outputs; empty = not written
};

// Runs every output asked for; 0, or 1 with a one-line reason in `error`.
// Long exports report their progress on `progress` (one line, rewritten).
int Export(const ExportOptions& o, FILE* out, FILE* progress, std::string& error);

// The writers. Each reads o.inputs and writes its own output path.
int ExportGpx(const ExportOptions& o, FILE* out, FILE* progress, std::string& error);
int ExportCsv(const ExportOptions& o, FILE* out, FILE* progress, std::string& error);
int ExportMp4(const ExportOptions& o, FILE* out, FILE* progress, std::string& error);

}  // namespace media
