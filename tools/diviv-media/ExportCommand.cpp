#include "ExportCommand.h"

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
    if (!o.gpx.empty() && ExportGpx(o, out, progress, error) != 0) return 1;
    if (!o.csv.empty() && ExportCsv(o, out, progress, error) != 0) return 1;
    if (!o.mp4.empty() && ExportMp4(o, out, progress, error) != 0) return 1;
    return 0;
}

}  // namespace media
