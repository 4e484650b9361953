#include "ExportCommand.h"

namespace media {

int ExportMp4(const ExportOptions&, FILE*, FILE*, std::string& error) {
    error = "export --mp4: not built yet";
    return 1;
}

}  // namespace media
