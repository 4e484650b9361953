#include "GpxCsvExport.h"

#include <cinttypes>
#include <cstring>
#include <filesystem>
#include <memory>

#include <unistd.h>

#include "ExportCommand.h"

namespace media {
namespace {

constexpr double kMetresPerSecondPerKnot = 1852.0 / 3600.0;

struct FileCloser {
    void operator()(FILE* f) const { std::fclose(f); }
};

std::string FileName(const std::string& path) { return std::filesystem::path(path).filename().string(); }

// A CSV field, quoted when it holds a separator, a quote or a line end.
std::string CsvField(std::string_view s) {
    if (s.find_first_of(",\"\r\n") == std::string_view::npos) return std::string(s);
    std::string q = "\"";
    for (char c : s) {
        if (c == '"') q += '"';
        q += c;
    }
    return q + '"';
}

std::string Format(const char* fmt, double v) {
    char buf[64];
    std::snprintf(buf, sizeof buf, fmt, v);
    return buf;
}

// Writes `write` into `path` through a file of its own; a failed write or
// close is a failure.
bool WriteFile(const std::string& path, const std::function<bool(FILE*)>& write, std::string& error) {
    std::unique_ptr<FILE, FileCloser> f(std::fopen(path.c_str(), "w"));
    if (!f) {
        error = "cannot create " + path + ": " + std::strerror(errno);
        return false;
    }
    const bool ok = write(f.get());
    const bool flushed = std::fflush(f.get()) == 0 && !std::ferror(f.get());
    const bool closed = std::fclose(f.release()) == 0;
    if (!ok || !flushed || !closed) {
        error = "cannot write " + path;
        return false;
    }
    return true;
}

}  // namespace

std::string XmlEscaped(std::string_view s) {
    std::string e;
    for (char c : s) {
        switch (c) {
            case '&': e += "&amp;"; break;
            case '<': e += "&lt;"; break;
            case '>': e += "&gt;"; break;
            case '"': e += "&quot;"; break;
            default:
                // Control characters are not allowed in XML 1.0.
                if (static_cast<unsigned char>(c) >= 0x20 || c == '\t') e += c;
        }
    }
    return e;
}

bool WriteGpx(const SensorTrack& track, FILE* f, GpxSummary* summary) {
    GpxSummary s;
    std::fputs("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
               "<gpx version=\"1.1\" creator=\"diviv-media\" xmlns=\"http://www.topografix.com/GPX/1/1\"\n"
               "     xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\"\n"
               "     xmlns:gpxtpx=\"http://www.garmin.com/xmlschemas/TrackPointExtension/v2\"\n"
               "     xsi:schemaLocation=\"http://www.topografix.com/GPX/1/1 "
               "http://www.topografix.com/GPX/1/1/gpx.xsd\">\n",
               f);
    int64_t firstFix = -1;
    for (const SensorRecord& r : track.records)
        if (r.kind == kRecordRmc && r.well_formed && r.fix.valid && r.fix.have_position && r.fix.utc_ms >= 0) {
            firstFix = r.fix.utc_ms;
            break;
        }
    std::fputs("  <metadata>\n    <name>DiViv drive</name>\n", f);
    if (firstFix >= 0) std::fprintf(f, "    <time>%s</time>\n", IsoTime(firstFix).c_str());
    std::fputs("  </metadata>\n  <trk>\n    <name>DiViv drive</name>\n", f);
    std::string files;
    for (const TrackFile& tf : track.files) files += (files.empty() ? "" : ", ") + FileName(tf.path);
    std::fprintf(f, "    <desc>%s</desc>\n", XmlEscaped(files).c_str());

    for (const auto& run : PositionRuns(track)) {
        std::fputs("    <trkseg>\n", f);
        ++s.segments;
        for (const SensorRecord* r : run) {
            const GpsFix& g = r->fix;
            ++s.points;
            std::fprintf(f, "      <trkpt lat=\"%.7f\" lon=\"%.7f\">", g.latitude, g.longitude);
            if (g.utc_ms >= 0) std::fprintf(f, "<time>%s</time>", IsoTime(g.utc_ms).c_str());
            if (g.have_speed || g.have_course) {
                std::fputs("<extensions><gpxtpx:TrackPointExtension>", f);
                if (g.have_speed)
                    std::fprintf(f, "<gpxtpx:speed>%.3f</gpxtpx:speed>", g.speed_knots * kMetresPerSecondPerKnot);
                if (g.have_course && g.course < 360.0) std::fprintf(f, "<gpxtpx:course>%.2f</gpxtpx:course>", g.course);
                std::fputs("</gpxtpx:TrackPointExtension></extensions>", f);
            }
            std::fputs("</trkpt>\n", f);
        }
        std::fputs("    </trkseg>\n", f);
    }
    std::fputs("  </trk>\n</gpx>\n", f);
    if (summary) *summary = s;
    return !std::ferror(f);
}

const char* CsvKindName(const SensorRecord& r) {
    if (!r.well_formed && r.kind != kRecordOther) return "malformed";
    switch (r.kind) {
        case kRecordId: return "id";
        case kRecordGsensor: return "gsensor";
        case kRecordRmc: return "gps";
        case kRecordSpeed: return "speed";
        case kRecordEngine: return "engine";
        case kRecordPin: return "contacts";
        case kRecordTrip: return "trip";
        case kRecordEvent: return "events";
        default: return "other";
    }
}

bool WriteCsv(const SensorTrack& track, FILE* f) {
    std::fputs("time,file,pts_ms,kind,fb_g,lr_g,ud_g,speed_pulses,engine_pulses,contacts,gps_status,latitude,"
               "longitude,speed_knots,course,gps_time,max_speed,distance,events,text\n",
               f);
    std::vector<std::string> names;
    for (const TrackFile& tf : track.files) names.push_back(CsvField(FileName(tf.path)));
    for (const SensorRecord& r : track.records) {
        // Columns from fb_g on; each kind fills its own.
        std::string c[16];
        if (r.well_formed) {
            switch (r.kind) {
                case kRecordGsensor:
                    for (int i = 0; i < 3; ++i) c[i] = Format("%.4f", GsensorG(r.axes[i]));
                    break;
                case kRecordSpeed: c[3] = std::to_string(r.pulses); break;
                case kRecordEngine: c[4] = std::to_string(r.pulses); break;
                case kRecordPin:
                    for (int bit = 3; bit >= 0; --bit) c[5] += (r.contacts >> bit & 1) ? '1' : '0';
                    break;
                case kRecordRmc: {
                    const GpsFix& g = r.fix;
                    c[6].assign(1, g.valid ? 'A' : 'V');
                    if (g.have_position) {
                        c[7] = Format("%.7f", g.latitude);
                        c[8] = Format("%.7f", g.longitude);
                    }
                    if (g.have_speed) c[9] = Format("%.3f", g.speed_knots);
                    if (g.have_course) c[10] = Format("%.2f", g.course);
                    if (g.utc_ms >= 0) c[11] = IsoTime(g.utc_ms);
                    break;
                }
                case kRecordTrip:
                    c[12] = std::to_string(r.max_speed);
                    c[13] = std::to_string(r.distance);
                    break;
                case kRecordEvent: {
                    static const char* const kNames[6] = {"steering", "acceleration", "braking",
                                                          "speed",    "engine",       "idling"};
                    for (int i = 0; i < 6; ++i) {
                        if (i) c[14] += ' ';
                        c[14].append(kNames[i]).append(1, '=').append(std::to_string(r.events[i]));
                    }
                    break;
                }
                default:
                    break;
            }
        }
        c[15] = CsvField(r.text);
        std::fprintf(f, "%s,%s,%" PRIu32 ",%s", IsoTime(r.time_ms).c_str(), names[r.file].c_str(), r.pts_ms,
                     CsvKindName(r));
        for (const std::string& col : c) std::fprintf(f, ",%s", col.c_str());
        std::fputc('\n', f);
    }
    return !std::ferror(f);
}

bool ReadTrackWithProgress(const std::vector<std::string>& inputs, const TrackOptions& base, const char* what,
                           FILE* progress, SensorTrack& track, std::string& error) {
    TrackOptions o = base;
    const bool show = progress != nullptr && inputs.size() > 1;
    // On a terminal one line rewritten in place; in a log one line per file.
    const bool terminal = show && isatty(fileno(progress));
    if (show)
        o.onFile = [&](size_t i, size_t n, const std::string& path) {
            std::fprintf(progress, terminal ? "\r%s: reading %zu of %zu (%s)\033[K" : "%s: reading %zu of %zu (%s)\n",
                         what, i + 1, n, FileName(path).c_str());
            std::fflush(progress);
        };
    const bool ok = ReadSensorTrack(inputs, o, track, error);
    if (terminal) std::fputc('\n', progress);
    return ok;
}

void NoteDamaged(const SensorTrack& track, FILE* out) {
    for (const TrackFile& f : track.files)
        if (!f.readable)
            std::fprintf(out, "note: %s is damaged (%s); its records up to the damage are taken\n", f.path.c_str(),
                         f.error.c_str());
}

int ExportGpx(const ExportOptions& o, FILE* out, FILE* progress, std::string& error) {
    SensorTrack track;
    TrackOptions t;
    if (!ReadTrackWithProgress(o.inputs, t, "export --gpx", progress, track, error)) return 1;
    NoteDamaged(track, out);
    GpxSummary s;
    if (!WriteFile(o.gpx, [&](FILE* f) { return WriteGpx(track, f, &s); }, error)) return 1;
    std::fprintf(out, "%s: %" PRIu64 " track points in %" PRIu64 " segment(s) from %zu recording(s)\n", o.gpx.c_str(),
                 s.points, s.segments, track.files.size());
    return 0;
}

int ExportCsv(const ExportOptions& o, FILE* out, FILE* progress, std::string& error) {
    SensorTrack track;
    TrackOptions t;
    if (!ReadTrackWithProgress(o.inputs, t, "export --csv", progress, track, error)) return 1;
    NoteDamaged(track, out);
    if (!WriteFile(o.csv, [&](FILE* f) { return WriteCsv(track, f); }, error)) return 1;
    std::fprintf(out, "%s: %zu sensor records from %zu recording(s)\n", o.csv.c_str(), track.records.size(),
                 track.files.size());
    return 0;
}

}  // namespace media
