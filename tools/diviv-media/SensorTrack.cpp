#include "SensorTrack.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <ctime>

#include "AsfFileReader.h"
#include "formats/AsfCrypt.h"
#include "sensors/GpsRmc.h"
#include "sim/SimGsensor.h"

namespace media {
namespace {

// 100-ns units between 1601-01-01 and 1970-01-01, as ASF creation dates count.
constexpr uint64_t kFiletimeEpochMs = 11644473600000ULL;

bool StartsWithStartCode(const std::vector<uint8_t>& d) {
    return (d.size() >= 4 && d[0] == 0 && d[1] == 0 && d[2] == 0 && d[3] == 1) ||
           (d.size() >= 3 && d[0] == 0 && d[1] == 0 && d[2] == 1);
}

// A decimal number of the whole field (digits and at most one point).
bool Decimal(std::string_view s, double* out) {
    if (s.empty() || s.size() > 31) return false;
    bool point = false, digit = false;
    for (char c : s) {
        if (c == '.' && !point) {
            point = true;
        } else if (c >= '0' && c <= '9') {
            digit = true;
        } else {
            return false;
        }
    }
    if (!digit) return false;
    *out = std::strtod(std::string(s).c_str(), nullptr);
    return true;
}

// "ddmm.mmmm" / "dddmm.mmmm" and the hemisphere letter to signed degrees.
bool Coordinate(std::string_view value, std::string_view hemisphere, char positive, char negative, double limit,
                double* degrees) {
    double v = 0;
    if (!Decimal(value, &v) || hemisphere.size() != 1) return false;
    if (hemisphere[0] != positive && hemisphere[0] != negative) return false;
    const double whole = std::floor(v / 100.0);
    const double minutes = v - whole * 100.0;
    if (minutes >= 60.0) return false;
    const double d = whole + minutes / 60.0;
    if (d > limit) return false;
    *degrees = hemisphere[0] == negative ? -d : d;
    return true;
}

int64_t UtcMs(const diviv::gps::RmcClock& c, std::string_view timeField) {
    int64_t ms = diviv::gps::RmcClockToUtc(c) * 1000;
    // "hhmmss.sss": the fraction of the second.
    if (timeField.size() == 10 && timeField[6] == '.') {
        int frac = 0;
        for (size_t i = 7; i < 10; ++i) {
            if (timeField[i] < '0' || timeField[i] > '9') return ms;
            frac = frac * 10 + (timeField[i] - '0');
        }
        ms += frac;
    }
    return ms;
}

std::string_view WithoutLineEnd(const std::vector<uint8_t>& data) {
    std::string_view s(reinterpret_cast<const char*>(data.data()), data.size());
    while (!s.empty() && (s.back() == '\n' || s.back() == '\r' || s.back() == '\0')) s.remove_suffix(1);
    return s;
}

uint32_t Number(std::string_view s) { return static_cast<uint32_t>(std::strtoul(std::string(s).c_str(), nullptr, 10)); }
int8_t HexByte(std::string_view s) {
    return static_cast<int8_t>(static_cast<uint8_t>(std::strtoul(std::string(s).c_str(), nullptr, 16)));
}

// The values of a record whose layout has been checked.
void ReadValues(std::string_view s, SensorRecord& r) {
    switch (r.kind) {
        case kRecordGsensor:  // "$FB,hh,$LR,hh,$UD,hh"
            r.axes = {HexByte(s.substr(4, 2)), HexByte(s.substr(11, 2)), HexByte(s.substr(18, 2))};
            break;
        case kRecordSpeed:  // "$SPCNT,dddddddd"
        case kRecordEngine:
            r.pulses = Number(s.substr(7, 8));
            break;
        case kRecordPin:  // "$PIN,0000bbbb", input 3 first
            for (size_t i = 0; i < 4; ++i) r.contacts = static_cast<uint8_t>(r.contacts << 1 | (s[9 + i] == '1'));
            break;
        case kRecordTrip:  // "$MAXSP,dddddddd,$TRIP,dddddddd"
            r.max_speed = Number(s.substr(7, 8));
            r.distance = Number(s.substr(22, 8));
            break;
        case kRecordEvent:  // "$EVENT,dd,dd,dd,dd,dd,dd"
            for (size_t i = 0; i < r.events.size(); ++i) r.events[i] = static_cast<int>(Number(s.substr(7 + 3 * i, 2)));
            break;
        case kRecordRmc:
            r.well_formed = ParseRmcSentence(s, &r.fix) && r.well_formed;
            break;
        default:
            break;
    }
}

struct FileReader {
    const TrackOptions& o;
    TrackFile& file;
    std::vector<SensorRecord>& out;
    uint32_t index;
    ObjectAssembler video, text;
    MediaObject obj;
    uint32_t maxPts = 0;
    uint64_t playDuration100ns = 0;
    bool haveKey = false;

    void Text(const MediaObject& m) {
        file.tally.Add(m);
        SensorRecord r;
        r.kind = ClassifyRecord(m.data.data(), m.data.size(), &r.well_formed);
        r.file = index;
        r.pts_ms = m.pts;
        const std::string_view s = WithoutLineEnd(m.data);
        if (r.well_formed) ReadValues(s, r);
        if (!r.well_formed || r.kind == kRecordId || r.kind == kRecordOther) r.text = std::string(s);
        out.push_back(std::move(r));
    }

    void Picture(MediaObject& m) {
        if (!m.key) return;
        haveKey = true;
        // A recording made without scrambling is read as it is, pass code or not.
        if (o.havePass && !StartsWithStartCode(m.data))
            DeCryptData(m.data.data(), m.data.data(), static_cast<uint32_t>(m.data.size()), o.pass.data());
        file.first_key_plain = StartsWithStartCode(m.data);
        if (o.keepFirstKey) file.first_key = std::move(m.data);
    }

    bool operator()(ASF_DEMUX_STATE st, const ASF_DEMUX_CONTEXT& c, uint64_t) {
        switch (st) {
            case ASF_DEMUX_STATE_FILE_PROPERTIES_OBJECT: {
                const uint64_t date = c.asfFilePropertiesObject.qwCreationDate / 10000;
                file.created_ms = static_cast<int64_t>(date) - static_cast<int64_t>(kFiletimeEpochMs);
                playDuration100ns = c.asfFilePropertiesObject.qwPlayDuration;
                break;
            }
            case ASF_DEMUX_STATE_STREAM_PROPERTIES_OBJECT_VIDEO:
                file.width = c.asfStreamPropertiesObjectVideo.typeSpecificData.dwEncodedImageWidth;
                file.height = c.asfStreamPropertiesObjectVideo.typeSpecificData.dwEncodedImageHeight;
                break;
            case ASF_DEMUX_STATE_VIDEO_DATA:
                // Pictures are counted by their first payloads; only the first
                // key picture is put together.
                maxPts = std::max(maxPts, c.asfPayloadVideo.dwPTS);
                if (c.asfPayloadVideo.dwOffsetIntoMediaObject == 0) ++file.pictures;
                if (!haveKey && video.Add(c.asfPayloadVideo, obj)) Picture(obj);
                break;
            case ASF_DEMUX_STATE_AUDIO_DATA:
                maxPts = std::max(maxPts, c.asfPayloadAudio.dwPTS);
                break;
            case ASF_DEMUX_STATE_BINARY_DATA:
                if (text.Add(c.asfPayloadBinary, obj)) {
                    maxPts = std::max(maxPts, obj.pts);
                    Text(obj);
                }
                break;
            default:
                break;
        }
        return true;
    }
};

}  // namespace

double GsensorG(int8_t value) { return static_cast<double>(value) / diviv::sim::kGsensorUnitsPerG; }

bool ParseRmcSentence(std::string_view sentence, GpsFix* fix) {
    namespace gps = diviv::gps;
    if (sentence.size() < 7 || sentence[0] != '$' || sentence.substr(3, 4) != "RMC,") return false;
    const std::vector<std::string_view> f = gps::SplitFields(sentence);
    auto field = [&](size_t i) { return i < f.size() ? f[i] : std::string_view(); };
    GpsFix g;
    g.valid = field(gps::kRmcStatusField) == "A";
    g.have_position = Coordinate(field(gps::kRmcLatitudeField), field(gps::kRmcLatitudeField + 1), 'N', 'S', 90.0,
                                 &g.latitude) &&
                      Coordinate(field(gps::kRmcLongitudeField), field(gps::kRmcLongitudeField + 1), 'E', 'W', 180.0,
                                 &g.longitude);
    if (!g.have_position) g.latitude = g.longitude = 0;
    g.have_speed = Decimal(field(gps::kRmcSpeedField), &g.speed_knots);
    g.have_course = Decimal(field(gps::kRmcCourseField), &g.course);
    gps::RmcClock clock;
    std::string bad;
    if (gps::ReadRmcClock(sentence, &clock, &bad)) g.utc_ms = UtcMs(clock, field(gps::kRmcTimeField));
    *fix = g;
    return true;
}

bool ReadSensorTrack(const std::vector<std::string>& paths, const TrackOptions& o, SensorTrack& track,
                     std::string& error) {
    track = SensorTrack{};
    int64_t previousEnd = INT64_MIN;
    for (const std::string& path : paths) {
        if (o.onFile) o.onFile(track.files.size(), paths.size(), path);
        TrackFile& file = track.files.emplace_back();
        file.path = path;
        const size_t first = track.records.size();
        FileReader reader{o, file, track.records, static_cast<uint32_t>(track.files.size() - 1), {}, {}, {}};
        const WalkResult w = WalkAsfFile(path, std::ref(reader));
        file.readable = w.ok;
        if (!w.ok) {
            file.error = w.error;
            if (file.pictures == 0 && track.records.size() == first) {
                error = path + ": " + w.error;
                return false;
            }
        }
        file.duration_ms = reader.playDuration100ns != 0 ? static_cast<uint32_t>(reader.playDuration100ns / 10000)
                                                         : reader.maxPts;
        file.start_ms = previousEnd != INT64_MIN && file.created_ms < previousEnd ? previousEnd : file.created_ms;
        previousEnd = file.start_ms + file.duration_ms;
        file.first_record = first;
        file.record_count = track.records.size() - first;
        for (size_t i = first; i < track.records.size(); ++i)
            track.records[i].time_ms = file.start_ms + track.records[i].pts_ms;
    }
    return true;
}

std::vector<std::vector<const SensorRecord*>> PositionRuns(const SensorTrack& track) {
    constexpr int64_t kPauseMs = 10000;
    std::vector<std::vector<const SensorRecord*>> runs;
    bool open = false;
    for (const SensorRecord& r : track.records) {
        if (r.kind != kRecordRmc || !r.well_formed) continue;
        if (!r.fix.valid || !r.fix.have_position) {
            open = false;
            continue;
        }
        if (open && r.time_ms - runs.back().back()->time_ms > kPauseMs) open = false;
        if (!open) runs.emplace_back();
        open = true;
        runs.back().push_back(&r);
    }
    return runs;
}

std::string IsoTime(int64_t ms) {
    const int64_t secs = ms >= 0 ? ms / 1000 : (ms - 999) / 1000;
    const std::time_t t = static_cast<std::time_t>(secs);
    std::tm tm{};
    char buf[48] = "?";
    if (gmtime_r(&t, &tm)) {
        char whole[32];
        std::strftime(whole, sizeof whole, "%Y-%m-%dT%H:%M:%S", &tm);
        std::snprintf(buf, sizeof buf, "%s.%03dZ", whole, static_cast<int>(ms - secs * 1000));
    }
    return buf;
}

}  // namespace media
