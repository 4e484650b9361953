#include "ExportCommand.h"

#include <filesystem>

namespace media {

int Export(const ExportOptions& o, FILE* out, FILE* progress, std::string& error) {
    if (o.inputs.empty()) {
        error = "export needs at least one FILE.asf";
        return 1;
    }
    if (o.gpx.empty() && o.csv.empty() && o.mp4.empty()) {
        error = "export needs at least one of --gpx, --csv, --mp4";
        return 1;
    }
    // An output written over a recording (or over another output) would
    // destroy what is being read.
    const std::string* outputs[] = {&o.gpx, &o.csv, &o.mp4};
    for (size_t i = 0; i < 3; ++i) {
        if (outputs[i]->empty()) continue;
        for (size_t k = i + 1; k < 3; ++k)
            if (*outputs[k] == *outputs[i]) {
                error = "export: " + *outputs[i] + " is named for two outputs";
                return 1;
            }
        for (const std::string& in : o.inputs) {
            std::error_code ec;
            if (std::filesystem::equivalent(in, *outputs[i], ec) && !ec) {
                error = "export: the output " + *outputs[i] + " is the recording " + in +
                        "; recordings are never overwritten";
                return 1;
            }
        }
    }
    if (!o.gpx.empty() && ExportGpx(o, out, progress, error) != 0) return 1;
    if (!o.csv.empty() && ExportCsv(o, out, progress, error) != 0) return 1;
    if (!o.mp4.empty() && ExportMp4(o, out, progress, error) != 0) return 1;
    return 0;
}

}  // namespace media
