// The vehicle's records of one recording, or of a drive recorded in several
// files, read back as typed and timed records: positions from the RMC
// sentences, the G-sensor texts in g per vehicle axis, speed and engine
// pulses, contact inputs, and the trip and event summaries that close each
// file. Export (GPX, CSV) and the trip report read drives through this.
//
// Times: a record's presentation time in its file (ms), and the recorder's
// clock: the file's creation date (the capture time of its first picture)
// plus that presentation time. Files are joined in the order given; a file
// whose creation date lies before the end of the previous one (a clock set
// back, a recording made by a tool) is placed right after it.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "CheckCommand.h"
#include "MediaCommands.h"

namespace media {

// The G-sensor texts carry the driver's 8-bit values; the recorder's driver
// counts 1/16 g per step.
double GsensorG(int8_t value);

// One RMC sentence read by field position.
struct GpsFix {
    bool valid = false;          // status "A"
    bool have_position = false;  // latitude and longitude present and in range
    double latitude = 0;         // degrees, south negative
    double longitude = 0;        // degrees, west negative
    bool have_speed = false;
    double speed_knots = 0;
    bool have_course = false;
    double course = 0;       // degrees from true north
    int64_t utc_ms = -1;     // satellite time and date, ms since 1970 UTC; -1 when missing
};
// False when the sentence is not an RMC sentence at all.
bool ParseRmcSentence(std::string_view sentence, GpsFix* fix);

struct SensorRecord {
    RecordKind kind = kRecordOther;
    bool well_formed = false;  // the kind's exact layout; values are read only then
    uint32_t file = 0;         // index into SensorTrack::files
    uint32_t pts_ms = 0;       // presentation time in its file
    int64_t time_ms = 0;       // recorder's clock, ms since 1970
    std::array<int8_t, 3> axes{};  // G-sensor: front/back, left/right, up/down (driver units)
    uint32_t pulses = 0;           // $SPCNT / $ENCNT
    uint8_t contacts = 0;          // $PIN: inputs 3..0 as bits 3..0
    GpsFix fix;                    // RMC
    uint32_t max_speed = 0, distance = 0;  // $MAXSP
    std::array<int, 6> events{};  // $EVENT: steering, acceleration, braking, speed, engine speed, idling
    std::string text;             // ID, other and malformed records: the text without its line end
};

// One recording of the drive.
struct TrackFile {
    std::string path;
    bool readable = false;  // read to its end
    std::string error;      // why not (what was read before the fault is kept)
    int64_t start_ms = 0;   // on the recorder's clock (see above)
    int64_t created_ms = 0; // its creation date as written, ms since 1970
    uint32_t duration_ms = 0;
    uint32_t width = 0, height = 0;
    uint64_t pictures = 0;
    SensorTally tally;  // records by kind and the summaries
    size_t first_record = 0, record_count = 0;  // its records in SensorTrack::records
    // The first key picture (descrambled with the pass code when given) and
    // whether it begins with a start code, i.e. can be decoded.
    std::vector<uint8_t> first_key;
    bool first_key_plain = false;
};

struct SensorTrack {
    std::vector<TrackFile> files;
    std::vector<SensorRecord> records;  // in file order, then in the order stored
};

struct TrackOptions {
    bool havePass = false;
    PassCode pass{};
    bool keepFirstKey = false;  // keep each file's first key picture
    // Called before each file is read (index from 0, count, path).
    std::function<void(size_t, size_t, const std::string&)> onFile;
};

// Reads the files in order. A file that cannot be read at all fails the
// call (error says which); a damaged one keeps what was read before the
// fault, with its error noted in its TrackFile.
bool ReadSensorTrack(const std::vector<std::string>& paths, const TrackOptions& o, SensorTrack& track,
                     std::string& error);

// The valid positions (status "A" with latitude and longitude) in runs: a
// new run after an invalid fix, or after a pause of more than 10 s on the
// recorder's clock (a recorder switched off while the vehicle moved).
std::vector<std::vector<const SensorRecord*>> PositionRuns(const SensorTrack& track);

// "2024-01-01T12:00:05.250Z"
std::string IsoTime(int64_t ms);

}  // namespace media
