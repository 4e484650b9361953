// export --gpx and --csv: a drive's sensor records as a GPS track (GPX 1.1)
// and as one table line per record. The command's entry points (ExportGpx,
// ExportCsv) are declared in ExportCommand.h; these write an already read
// track to an open file.
#pragma once

#include <cstdio>
#include <string>

#include "SensorTrack.h"

namespace media {

struct GpxSummary {
    uint64_t points = 0, segments = 0;
};

// The valid RMC positions (status "A") as one track, a new segment after an
// invalid fix or a pause of more than 10 s on the recorder's clock. Each
// point carries the satellite time and, as a TrackPointExtension, the speed
// in m/s and the course. False when writing failed.
bool WriteGpx(const SensorTrack& track, FILE* f, GpxSummary* summary);

// A header line, then one line per sensor record in file order:
//   time,file,pts_ms,kind,fb_g,lr_g,ud_g,speed_pulses,engine_pulses,contacts,
//   gps_status,latitude,longitude,speed_knots,course,gps_time,max_speed,distance,events,text
// time is the recorder's clock (ISO 8601 UTC, ms); a column applies to the
// kinds it names and is empty for the others. Kinds: id, gsensor, gps,
// speed, engine, contacts, trip, events, other, and malformed for a record
// without its kind's layout (its text is in the last column).
bool WriteCsv(const SensorTrack& track, FILE* f);

// Text for XML (and HTML) character data and attribute values; control
// characters, which XML 1.0 does not allow, are left out.
std::string XmlEscaped(std::string_view s);

// The kind names of the CSV's kind column.
const char* CsvKindName(const SensorRecord& r);

// Reads a drive for export: the track, with one progress line per file on
// `progress` (rewritten in place) when more than one file is read.
bool ReadTrackWithProgress(const std::vector<std::string>& inputs, const TrackOptions& o, const char* what,
                           FILE* progress, SensorTrack& track, std::string& error);

// A note on `out` for each file read only up to a damage.
void NoteDamaged(const SensorTrack& track, FILE* out);

}  // namespace media
