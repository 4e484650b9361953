#include "ReportCommand.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <memory>
#include <span>

#include "CheckCommand.h"
#include "GpxCsvExport.h"
#include "ReportCharts.h"
#include "StillPicture.h"

namespace media {
namespace {

namespace fs = std::filesystem;

constexpr double kKmhPerKnot = 1.852;
constexpr int kChartWidth = 960, kChartHeight = 170;
constexpr int kMapWidth = 960, kMapHeight = 440;
constexpr int64_t kGpsGapMs = 5000;      // RMC comes once per second
constexpr int64_t kGsensorGapMs = 1000;  // G-sensor texts every 10 ms
constexpr int64_t kPulseGapMs = 3000;    // pulse records every 500 ms

constexpr const char* kStyle = R"(
body{font-family:sans-serif;margin:1.5em;color:#222;background:#fafafa}
h1{margin-bottom:.2em}h2{margin-top:1.6em;border-bottom:1px solid #ccc}
.summary{color:#444}
svg{display:block;margin:.4em 0;background:#fff;font-size:11px}
.plot{fill:none;stroke:#bbb}.grid{stroke:#eee}.filechange{stroke:#999;stroke-dasharray:3 3}
.series{fill:none;stroke-width:1.2}.ctitle{font-weight:bold}
.event line{stroke:#d00;stroke-width:1.5}.event text{fill:#d00;font-weight:bold}
.event circle{fill:#d00;stroke:#fff}
.mapbg{fill:#eef3ee}.route{fill:none;stroke:#1565c0;stroke-width:3;stroke-linejoin:round}
.start{fill:#2e7d32;stroke:#fff}.end{fill:#222;stroke:#fff}.scale line{stroke:#222;stroke-width:2}
.north{font-weight:bold;font-size:14px}
table{border-collapse:collapse;background:#fff}td,th{border:1px solid #ccc;padding:.3em .5em;vertical-align:top;text-align:left}
tr.eventfile td{background:#fff3f3}.damaged{color:#b00;font-weight:bold}img{display:block}
)";

std::string FileName(const std::string& path) { return fs::path(path).filename().string(); }

std::string Fixed(const char* fmt, double v) {
    char buf[64];
    std::snprintf(buf, sizeof buf, fmt, v);
    return buf;
}

// The file's $EVENT counts (the last one it holds), all 0 without one.
std::span<const SensorRecord> FileRecords(const SensorTrack& t, uint32_t file) {
    const TrackFile& f = t.files[file];
    return std::span<const SensorRecord>(t.records).subspan(f.first_record, f.record_count);
}

std::array<int, 6> FileEventCounts(const SensorTrack& t, uint32_t file) {
    std::array<int, 6> e{};
    for (const SensorRecord& r : FileRecords(t, file))
        if (r.kind == kRecordEvent && r.well_formed) e = r.events;
    return e;
}

double Haversine(const GpsFix& a, const GpsFix& b) {
    constexpr double kRad = 3.14159265358979323846 / 180.0;
    const double dlat = (b.latitude - a.latitude) * kRad, dlon = (b.longitude - a.longitude) * kRad;
    const double h = std::sin(dlat / 2) * std::sin(dlat / 2) +
                     std::cos(a.latitude * kRad) * std::cos(b.latitude * kRad) * std::sin(dlon / 2) * std::sin(dlon / 2);
    return 2 * 6371000.0 * std::asin(std::min(1.0, std::sqrt(h)));
}

bool UsableFix(const SensorRecord& r) {
    return r.kind == kRecordRmc && r.well_formed && r.fix.valid && r.fix.have_position;
}

int64_t ReadCreationMs(const std::string& path) {
    int64_t ms = 0;
    WalkAsfFile(path, [&](ASF_DEMUX_STATE st, const ASF_DEMUX_CONTEXT& c, uint64_t) {
        if (st != ASF_DEMUX_STATE_FILE_PROPERTIES_OBJECT) return st != ASF_DEMUX_STATE_DATA_OBJECT;
        ms = static_cast<int64_t>(c.asfFilePropertiesObject.qwCreationDate / 10000);
        return false;
    });
    return ms;
}

// The position nearest in time to t (within 5 s), if any.
const GpsFix* FixNear(const SensorTrack& t, int64_t ms) {
    const GpsFix* best = nullptr;
    int64_t bestD = kGpsGapMs;
    for (const SensorRecord& r : t.records) {
        if (!UsableFix(r)) continue;
        const int64_t d = std::llabs(r.time_ms - ms);
        if (d <= bestD) {
            best = &r.fix;
            bestD = d;
        }
    }
    return best;
}

class Page {
public:
    Page(const SensorTrack& t, const std::vector<DriveEvent>& events) : t_(t), events_(events) {
        start_ = t.files.empty() ? 0 : t.files.front().start_ms;
        end_ = start_;
        for (const TrackFile& f : t.files) end_ = std::max(end_, f.start_ms + int64_t{f.duration_ms});
        if (end_ <= start_) end_ = start_ + 1000;
    }

    std::string Html(const std::vector<std::string>& stills) {
        h_ = "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\"/>\n<title>DiViv trip report</title>\n"
             "<style>" +
             std::string(kStyle) + "</style>\n</head>\n<body>\n<h1>Trip report</h1>\n";
        Summary();
        Map();
        Charts();
        EventList();
        FileTable(stills);
        h_ += "</body>\n</html>\n";
        return h_;
    }

    uint64_t trackPoints() const { return points_; }

private:
    void Summary() {
        double metres = 0, topKmh = 0;
        const GpsFix* prev = nullptr;
        for (const SensorRecord& r : t_.records) {
            if (r.kind != kRecordRmc || !r.well_formed) continue;
            if (!UsableFix(r)) {
                prev = nullptr;
                continue;
            }
            if (prev) metres += Haversine(*prev, r.fix);
            if (r.fix.have_speed) topKmh = std::max(topKmh, r.fix.speed_knots * kKmhPerKnot);
            prev = &r.fix;
        }
        uint64_t pulses = 0;
        uint64_t recorded = 0;
        for (const TrackFile& f : t_.files) {
            pulses += f.tally.have_trip ? static_cast<uint64_t>(f.tally.distance) : 0;
            recorded += f.duration_ms;
        }
        h_ += "<p class=\"summary\">" + IsoTime(start_) + " to " + IsoTime(end_) + " (recorder's clock) &#183; " +
              std::to_string(t_.files.size()) + " recording(s), " + Fixed("%.1f", recorded / 1000.0) +
              " s recorded &#183; GPS: " + Fixed("%.2f", metres / 1000.0) + " km, top speed " + Fixed("%.0f", topKmh) +
              " km/h &#183; speed pulses: " + std::to_string(pulses) + " &#183; " + std::to_string(events_.size()) +
              " event(s)</p>\n";
    }

    void Map() {
        std::vector<std::vector<MapPoint>> segs;
        for (const auto& run : PositionRuns(t_)) {
            segs.emplace_back();
            for (const SensorRecord* r : run) segs.back().push_back({r->fix.latitude, r->fix.longitude});
            points_ += run.size();
        }
        std::vector<MapMark> marks;
        for (const DriveEvent& e : events_)
            if (const GpsFix* f = FixNear(t_, e.t_ms)) marks.push_back({{f->latitude, f->longitude}, e.kind});
        h_ += "<h2>Route</h2>\n" + TrackMapSvg(segs, marks, kMapWidth, kMapHeight);
    }

    TimeChart Chart(const std::string& id, const std::string& title, const std::string& unit) const {
        TimeChart c;
        c.id = id;
        c.title = title;
        c.unit = unit;
        c.start_ms = start_;
        c.end_ms = end_;
        for (size_t i = 1; i < t_.files.size(); ++i) c.boundaries.push_back(t_.files[i].start_ms);
        for (const DriveEvent& e : events_) c.marks.push_back({e.t_ms, e.kind});
        return c;
    }

    void Charts() {
        TimeChart speed = Chart("speed", "Speed (GPS)", "km/h");
        speed.series.push_back({"GPS speed", "#1565c0", {}, kGpsGapMs});
        TimeChart pulses = Chart("pulses", "Pulses per record", "pulses");
        pulses.series.push_back({"speed", "#2e7d32", {}, kPulseGapMs});
        pulses.series.push_back({"engine", "#8e24aa", {}, kPulseGapMs});
        TimeChart g = Chart("gforce", "G-forces", "g");
        g.symmetric = true;
        g.series.push_back({"front/back", "#d84315", {}, kGsensorGapMs});
        g.series.push_back({"left/right", "#1565c0", {}, kGsensorGapMs});
        g.series.push_back({"up/down", "#777777", {}, kGsensorGapMs});
        for (const SensorRecord& r : t_.records) {
            if (!r.well_formed) continue;
            if (r.kind == kRecordRmc && r.fix.valid && r.fix.have_speed)
                speed.series[0].points.push_back({r.time_ms, r.fix.speed_knots * kKmhPerKnot});
            if (r.kind == kRecordSpeed) pulses.series[0].points.push_back({r.time_ms, double(r.pulses)});
            if (r.kind == kRecordEngine) pulses.series[1].points.push_back({r.time_ms, double(r.pulses)});
            if (r.kind == kRecordGsensor)
                for (int i = 0; i < 3; ++i) g.series[i].points.push_back({r.time_ms, GsensorG(r.axes[i])});
        }
        h_ += "<h2>Speed and G-forces</h2>\n";
        h_ += TimeChartSvg(speed, kChartWidth, kChartHeight);
        h_ += TimeChartSvg(pulses, kChartWidth, kChartHeight);
        h_ += TimeChartSvg(g, kChartWidth, kChartHeight + 60);
        h_ += "<p>Times are the recorder's clock (UTC); dashed lines are file changes. An event is marked at the "
              "strongest reading of its kind in the file that counted it.</p>\n";
    }

    void EventList() {
        h_ += "<h2>Events</h2>\n";
        if (events_.empty()) {
            h_ += "<p>No events were counted.</p>\n";
            return;
        }
        h_ += "<table id=\"events\">\n<tr><th>time</th><th>event</th><th>count in file</th><th>file</th>"
              "<th>marked at</th></tr>\n";
        for (const DriveEvent& e : events_)
            h_ += "<tr><td>" + ClockText(e.t_ms) + "</td><td>" + XmlEscaped(e.kind) + "</td><td>" +
                  std::to_string(e.count) + "</td><td>" + XmlEscaped(FileName(t_.files[e.file].path)) + "</td><td>" +
                  XmlEscaped(e.detail) + "</td></tr>\n";
        h_ += "</table>\n";
    }

    void FileTable(const std::vector<std::string>& stills) {
        h_ += "<h2>Recordings</h2>\n<table id=\"files\">\n<tr><th>recording</th><th>start</th><th>duration</th>"
              "<th>events</th><th>summaries</th><th>still</th></tr>\n";
        for (size_t i = 0; i < t_.files.size(); ++i) {
            const TrackFile& f = t_.files[i];
            const int digit = EventDigit(f.path);
            std::string kinds;
            for (auto [bit, what] : {std::pair{4, "steering"}, {1, "acceleration"}, {2, "braking"}, {8, "external input"}})
                if (digit > 0 && (digit & bit)) kinds += (kinds.empty() ? "" : ", ") + std::string(what);
            h_ += std::string("<tr") + (digit > 0 ? " class=\"eventfile\"" : "") + "><td>" +
                  XmlEscaped(FileName(f.path)) + "<br/>" + std::to_string(f.width) + " &#215; " +
                  std::to_string(f.height) + ", " + std::to_string(f.pictures) + " pictures";
            if (!f.readable) h_ += "<br/><span class=\"damaged\">damaged: " + XmlEscaped(f.error) + "</span>";
            h_ += "</td><td>" + ClockText(f.start_ms) + "</td><td>" + Fixed("%.1f", f.duration_ms / 1000.0) +
                  " s</td><td>" + (kinds.empty() ? std::string("none") : "event file: " + kinds) + "</td><td>";
            const SensorTally& s = f.tally;
            if (s.have_trip)
                h_ += "maximum speed " + std::to_string(s.max_speed) + " pulses per record, distance " +
                      std::to_string(s.distance) + " pulses";
            else
                h_ += "no trip summary";
            h_ += "<br/>";
            if (s.have_event) {
                const auto& e = s.events;
                h_ += "steering " + std::to_string(e[0]) + ", acceleration " + std::to_string(e[1]) + ", braking " +
                      std::to_string(e[2]) + ", speed " + std::to_string(e[3]) + ", engine speed " +
                      std::to_string(e[4]) + ", idling " + (e[5] ? "yes (limit " + std::to_string(e[5]) + " min)" : "no");
            } else {
                h_ += "no event summary";
            }
            h_ += "</td><td>" + stills[i] + "</td></tr>\n";
        }
        h_ += "</table>\n";
    }

    const SensorTrack& t_;
    const std::vector<DriveEvent>& events_;
    int64_t start_ = 0, end_ = 0;
    uint64_t points_ = 0;
    std::string h_;
};

// The still cell of a file: the picture, or why there is none.
std::string StillCell(const TrackFile& f, bool havePass, int* made) {
    if (f.first_key.empty()) return "no key picture";
    if (!f.first_key_plain)
        return havePass ? "the pass code does not open the key picture" : "scrambled: give the pass code (--pass)";
    StillImage still;
    std::string why;
    if (!DecodeStill(f.first_key, still, why)) return XmlEscaped(why);
    ++*made;
    // Shown at most 320 pixels wide; the PNG keeps the full picture.
    const int w = std::min(still.width, 320);
    const int h = still.height * w / still.width;
    return "<img src=\"" + PngDataUri(still.png) + "\" width=\"" + std::to_string(w) + "\" height=\"" +
           std::to_string(h) + "\" alt=\"first key picture of " + XmlEscaped(FileName(f.path)) + "\"/>";
}

}  // namespace

std::vector<std::string> DriveFiles(const std::vector<std::string>& inputs) {
    std::vector<std::string> files;
    for (const std::string& in : inputs) {
        std::vector<std::string> found = Expand({in});
        std::error_code ec;
        if (fs::is_directory(in, ec)) {
            std::vector<std::pair<int64_t, std::string>> dated;
            for (std::string& p : found) dated.emplace_back(ReadCreationMs(p), std::move(p));
            std::stable_sort(dated.begin(), dated.end(),
                             [](const auto& a, const auto& b) { return a.first < b.first; });
            found.clear();
            for (auto& d : dated) found.push_back(std::move(d.second));
        }
        files.insert(files.end(), found.begin(), found.end());
    }
    return files;
}

std::vector<DriveEvent> FindDriveEvents(const SensorTrack& t) {
    std::vector<DriveEvent> out;
    for (uint32_t i = 0; i < t.files.size(); ++i) {
        const TrackFile& f = t.files[i];
        const std::array<int, 6> counts = FileEventCounts(t, i);
        // The record of the file with the largest score, or none.
        auto strongest = [&](auto score, RecordKind kind) -> const SensorRecord* {
            const SensorRecord* best = nullptr;
            for (const SensorRecord& r : FileRecords(t, i))
                if (r.kind == kind && r.well_formed && (!best || score(r) > score(*best))) best = &r;
            return best;
        };
        auto add = [&](const char* kind, int count, const SensorRecord* at, const std::string& detail) {
            out.push_back({at ? at->time_ms : f.start_ms, i, kind, count, at ? detail : "the file's start"});
        };
        if (counts[0] > 0) {
            const SensorRecord* r = strongest([](const SensorRecord& x) { return std::abs(int{x.axes[1]}); }, kRecordGsensor);
            add("steering", counts[0], r, r ? "left/right " + Fixed("%+.2f g", GsensorG(r->axes[1])) : "");
        }
        if (counts[1] > 0) {
            const SensorRecord* r = strongest([](const SensorRecord& x) { return int{x.axes[0]}; }, kRecordGsensor);
            add("acceleration", counts[1], r, r ? "front/back " + Fixed("%+.2f g", GsensorG(r->axes[0])) : "");
        }
        if (counts[2] > 0) {
            const SensorRecord* r = strongest([](const SensorRecord& x) { return -int{x.axes[0]}; }, kRecordGsensor);
            add("braking", counts[2], r, r ? "front/back " + Fixed("%+.2f g", GsensorG(r->axes[0])) : "");
        }
        if (counts[3] > 0) {
            const SensorRecord* r = strongest([](const SensorRecord& x) { return x.pulses; }, kRecordSpeed);
            add("speed", counts[3], r, r ? std::to_string(r->pulses) + " speed pulses" : "");
        }
        if (counts[4] > 0) {
            const SensorRecord* r = strongest([](const SensorRecord& x) { return x.pulses; }, kRecordEngine);
            add("engine speed", counts[4], r, r ? std::to_string(r->pulses) + " engine pulses" : "");
        }
        if (counts[5] > 0) {
            const SensorRecord* r = strongest([](const SensorRecord& x) { return x.pulses == 0 ? -int64_t{x.pts_ms} : INT64_MIN; },
                                              kRecordSpeed);
            add("idling", 1, r && r->pulses == 0 ? r : nullptr, "standing, limit " + std::to_string(counts[5]) + " min");
        }
        const int digit = EventDigit(f.path);
        if (digit > 0 && (digit & 8)) {
            // The first change of input 3 in the file.
            const SensorRecord* first = nullptr;
            const SensorRecord* change = nullptr;
            for (const SensorRecord& r : FileRecords(t, i)) {
                if (r.kind != kRecordPin || !r.well_formed) continue;
                if (!first) first = &r;
                else if (!change && ((r.contacts ^ first->contacts) & 8)) change = &r;
            }
            add("external input", 1, change, "input 4 changed");
        }
    }
    std::stable_sort(out.begin(), out.end(), [](const DriveEvent& a, const DriveEvent& b) { return a.t_ms < b.t_ms; });
    return out;
}

int Report(const ReportOptions& o, FILE* out, FILE* progress, std::string& error) {
    if (o.output.empty()) {
        error = "report needs -o OUT.html";
        return 1;
    }
    const std::vector<std::string> files = DriveFiles(o.inputs);
    if (files.empty()) {
        error = "report needs at least one recording";
        return 1;
    }
    TrackOptions t;
    t.havePass = o.havePass;
    t.pass = o.pass;
    t.keepFirstKey = true;
    SensorTrack track;
    if (!ReadTrackWithProgress(files, t, "report", progress, track, error)) return 1;
    NoteDamaged(track, out);
    std::vector<std::string> stills;
    int made = 0;
    for (const TrackFile& f : track.files) stills.push_back(StillCell(f, o.havePass, &made));
    const std::vector<DriveEvent> events = FindDriveEvents(track);
    Page page(track, events);
    const std::string html = page.Html(stills);
    const std::string part = o.output + ".part";
    std::unique_ptr<FILE, int (*)(FILE*)> f(std::fopen(part.c_str(), "w"), &std::fclose);
    bool ok = f && std::fwrite(html.data(), 1, html.size(), f.get()) == html.size();
    ok = f && std::fclose(f.release()) == 0 && ok;
    if (!ok || std::rename(part.c_str(), o.output.c_str()) != 0) {
        std::remove(part.c_str());
        error = "cannot write " + o.output + ": " + std::strerror(errno);
        return 1;
    }
    std::fprintf(out, "%s: %zu recording(s), %llu track points, %zu event(s), %d still(s)\n", o.output.c_str(),
                 track.files.size(), static_cast<unsigned long long>(page.trackPoints()), events.size(), made);
    return 0;
}

}  // namespace media
