// The binary stream's text records read back: counted by kind, checked
// against their fixed layouts, and the trip and event summaries taken out.
// Used by check and info.
#pragma once

#include <array>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "AsfFileReader.h"

namespace media {

enum RecordKind {
    kRecordId,       // "$ID1,…,$ID4,…"
    kRecordGsensor,  // "$FB,hh,$LR,hh,$UD,hh"
    kRecordRmc,      // an NMEA RMC sentence
    kRecordSpeed,    // "$SPCNT,dddddddd"
    kRecordEngine,   // "$ENCNT,dddddddd"
    kRecordPin,      // "$PIN,0000bbbb"
    kRecordTrip,     // "$MAXSP,dddddddd,$TRIP,dddddddd"
    kRecordEvent,    // "$EVENT,dd,dd,dd,dd,dd,dd"
    kRecordOther,
    kRecordKinds
};

// The kind a record claims by its start (kRecordOther for none), and whether
// it has that kind's exact layout (an RMC sentence: its checksum, when it
// carries one, matches).
RecordKind ClassifyRecord(const uint8_t* data, size_t size, bool* well_formed);

struct SensorTally {
    std::array<uint64_t, kRecordKinds> count{};
    std::array<uint64_t, kRecordKinds> malformed{};
    uint64_t objects = 0;
    bool id_first = false;        // the first record is the ID record at time 0
    RecordKind last_kind = kRecordOther, before_last_kind = kRecordOther;
    // G-sensor texts: one per 10 ms from time 0.
    uint64_t gsensor_off_grid = 0;  // texts not 10 ms after the previous one
    uint32_t gsensor_last_pts = 0;
    // The summaries (the last of each kind).
    bool have_trip = false;
    long max_speed = 0, distance = 0;
    bool have_event = false;
    std::array<int, 6> events{};  // steering, acceleration, braking, speed, engine speed, idling

    void Add(const MediaObject& record);
    // The two summaries close the stream, trip first.
    bool SummariesLast() const { return before_last_kind == kRecordTrip && last_kind == kRecordEvent; }
};

// "Trip: …" and "Events: …" lines (or that the summaries are missing), each
// after `indent`.
void PrintSummaries(FILE* out, const SensorTally& t, const char* indent = "");

// The event kinds an event file's name carries: "SAV" and a hex digit with
// 1 acceleration, 2 braking, 4 steering, 8 the external input; -1 for a
// name that is not an event file's.
int EventDigit(const std::string& path);

// The recordings named: files as they are, folders by their .ASF files
// (searched below the folder, in name order).
std::vector<std::string> Expand(const std::vector<std::string>& inputs);

}  // namespace media
