// report: one self-contained web page for a drive (no network, no outside
// scripts, styles, fonts or pictures): the GPS track drawn as a map, speed,
// pulses and the three G-force axes over time with the events and file
// changes marked, the events listed, and the recordings with their
// durations, event kinds, summaries and a still of each (its first key
// picture as an embedded PNG).
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "MediaCommands.h"
#include "SensorTrack.h"

namespace media {

struct ReportOptions {
    std::vector<std::string> inputs;  // recordings joined in this order; folders by creation date
    bool havePass = false;
    PassCode pass{};
    std::string output;
};

// 0, or 1 with a one-line reason in `error`. Progress on `progress`.
int Report(const ReportOptions& o, FILE* out, FILE* progress, std::string& error);

// One event of the drive. The recordings keep per file only how many events
// of each kind began; each is placed at the strongest reading of the record
// that raises it within its file (the G-sensor axis, the pulse count, the
// external input's change).
struct DriveEvent {
    int64_t t_ms = 0;  // recorder's clock
    uint32_t file = 0;
    std::string kind;    // "steering", "acceleration", "braking", "speed", "engine speed", "idling", "external input"
    int count = 0;       // how many the file counted
    std::string detail;  // the reading it is placed at
};
std::vector<DriveEvent> FindDriveEvents(const SensorTrack& track);

// The recordings named, folders expanded; the files found in folders are put
// in the order of their creation dates.
std::vector<std::string> DriveFiles(const std::vector<std::string>& inputs);

}  // namespace media
