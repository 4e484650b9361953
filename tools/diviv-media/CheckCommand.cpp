// check: is each recording whole, and what does it hold. The layout must be
// what a closed file of the recorder's writer looks like (read to its end,
// header totals matching what is there, every object complete); a file that
// is not is damaged and makes the command fail. The contents are reported:
// duration, pictures and gaps in their times, sound against pictures, the
// sensor records by kind, the trip and event summaries, and scrambling.
#include <algorithm>
#include <cinttypes>
#include <cstring>
#include <filesystem>
#include <string_view>
#include <vector>

#include "CheckCommand.h"
#include "MediaCommands.h"
#include "formats/AsfCrypt.h"

namespace media {
namespace {

namespace fs = std::filesystem;

bool Digits(std::string_view s) {
    return !s.empty() && std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}
bool UpperHex(std::string_view s) {
    return std::all_of(s.begin(), s.end(), [](char c) { return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'); });
}
int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

// Fields of a fixed layout: literal text and runs of characters of a class.
// '#' a decimal digit, '^' an upper-case hex digit, '~' 0 or 1, '?' any.
bool MatchesLayout(std::string_view s, std::string_view layout) {
    if (s.size() != layout.size()) return false;
    for (size_t i = 0; i < s.size(); ++i) {
        const char c = s[i];
        switch (layout[i]) {
            case '#':
                if (!Digits(s.substr(i, 1))) return false;
                break;
            case '^':
                if (!UpperHex(s.substr(i, 1))) return false;
                break;
            case '~':
                if (c != '0' && c != '1') return false;
                break;
            case '?':
                break;  // any character
            default:
                if (c != layout[i]) return false;
        }
    }
    return true;
}

// "$xxRMC,…" with "*hh" checked when present; a line end is allowed.
bool RmcWellFormed(std::string_view s) {
    while (!s.empty() && (s.back() == '\n' || s.back() == '\r')) s.remove_suffix(1);
    const size_t star = s.rfind('*');
    if (star == std::string_view::npos) return true;
    if (star + 3 != s.size()) return false;
    uint8_t sum = 0;
    for (size_t i = 1; i < star; ++i) sum ^= static_cast<uint8_t>(s[i]);
    const int hi = HexValue(s[star + 1]), lo = HexValue(s[star + 2]);
    return hi >= 0 && lo >= 0 && sum == hi * 16 + lo;
}

struct KindRule {
    std::string_view prefix;
    RecordKind kind;
    std::string_view layout;  // empty: checked by its own rule
};
constexpr KindRule kRules[] = {
    {"$ID1,", kRecordId, "$ID1,????????,$ID2,????????,$ID3,????????,$ID4,????????\r\n"},
    {"$FB,", kRecordGsensor, "$FB,^^,$LR,^^,$UD,^^\r\n"},
    {"$SPCNT,", kRecordSpeed, "$SPCNT,########\r\n"},
    {"$ENCNT,", kRecordEngine, "$ENCNT,########\r\n"},
    {"$PIN,", kRecordPin, "$PIN,0000~~~~\r\n"},
    {"$MAXSP,", kRecordTrip, "$MAXSP,########,$TRIP,########\r\n"},
    {"$EVENT,", kRecordEvent, "$EVENT,##,##,##,##,##,##\r\n"},
};

const char* const kKindNames[kRecordKinds] = {"ID",     "G-sensor", "RMC",    "$SPCNT", "$ENCNT",
                                              "$PIN",   "$MAXSP",   "$EVENT", "other"};

}  // namespace

RecordKind ClassifyRecord(const uint8_t* data, size_t size, bool* well_formed) {
    const std::string_view s(reinterpret_cast<const char*>(data), size);
    for (const KindRule& r : kRules) {
        if (s.substr(0, r.prefix.size()) == r.prefix) {
            *well_formed = MatchesLayout(s, r.layout);
            return r.kind;
        }
    }
    if (s.size() >= 7 && s[0] == '$' && s.substr(3, 4) == "RMC,") {
        *well_formed = RmcWellFormed(s);
        return kRecordRmc;
    }
    *well_formed = false;
    return kRecordOther;
}

void SensorTally::Add(const MediaObject& record) {
    bool ok = false;
    const RecordKind kind = ClassifyRecord(record.data.data(), record.data.size(), &ok);
    if (objects == 0) id_first = kind == kRecordId && record.pts == 0;
    ++objects;
    ++count[kind];
    if (!ok) ++malformed[kind];
    before_last_kind = last_kind;
    last_kind = kind;
    const char* text = reinterpret_cast<const char*>(record.data.data());
    if (kind == kRecordGsensor) {
        const uint32_t expected = count[kind] == 1 ? 0 : gsensor_last_pts + 10;
        if (record.pts != expected) ++gsensor_off_grid;
        gsensor_last_pts = record.pts;
    } else if (kind == kRecordTrip && ok) {
        have_trip = true;
        max_speed = std::strtol(std::string(text + 7, 8).c_str(), nullptr, 10);
        distance = std::strtol(std::string(text + 22, 8).c_str(), nullptr, 10);
    } else if (kind == kRecordEvent && ok) {
        have_event = true;
        for (size_t i = 0; i < events.size(); ++i) events[i] = (text[7 + 3 * i] - '0') * 10 + (text[8 + 3 * i] - '0');
    }
}

void PrintSummaries(FILE* out, const SensorTally& t, const char* indent) {
    if (t.have_trip)
        std::fprintf(out, "%sTrip: maximum speed %ld pulses per record, distance %ld pulses\n", indent, t.max_speed,
                     t.distance);
    else
        std::fprintf(out, "%sTrip: no summary\n", indent);
    if (!t.have_event) {
        std::fprintf(out, "%sEvents: no summary\n", indent);
        return;
    }
    // The idling field holds the idling limit (minutes) once idling was counted.
    const auto& e = t.events;
    const std::string idling = e[5] != 0 ? "yes (limit " + std::to_string(e[5]) + " min)" : "no";
    std::fprintf(out, "%sEvents: steering %d, acceleration %d, braking %d, speed %d, engine speed %d, idling %s\n",
                 indent, e[0], e[1], e[2], e[3], e[4], idling.c_str());
}

namespace {

bool StartsWithStartCode(const std::vector<uint8_t>& d) {
    return (d.size() >= 4 && d[0] == 0 && d[1] == 0 && d[2] == 0 && d[3] == 1) ||
           (d.size() >= 3 && d[0] == 0 && d[1] == 0 && d[2] == 1);
}

// What one walk over a recording gathered.
struct Recording {
    uint64_t fileSize = 0;        // bytes on disk
    uint64_t headerFileSize = 0;  // as the File Properties Object gives it
    uint64_t headerPackets = 0, dataObjectPackets = 0, packetsRead = 0;
    uint64_t playDuration100ns = 0;
    uint32_t packetSize = 0;
    uint32_t audioBytesPerSecond = 4000;
    bool haveDataObject = false, haveIndex = false;
    uint32_t indexEntries = 0;
    uint64_t starts[4] = {}, objects[4] = {}, unknownPayloads = 0;
    uint32_t maxPts = 0;
    std::vector<uint32_t> videoPts;
    uint64_t keys = 0, keysReadable = 0, plainPicturesUnreadable = 0;
    bool firstPictureKey = false;
    uint64_t audioBytes = 0;
    int64_t audioFirst = -1, audioEnd = 0;  // ms
    SensorTally records;
    WalkResult walk;
};

Recording Read(const std::string& path, const CheckOptions& o) {
    Recording r;
    std::error_code ec;
    r.fileSize = fs::file_size(path, ec);
    ObjectAssembler assemble[4];
    MediaObject obj;
    uint64_t dataStart = UINT64_MAX;
    r.walk = WalkAsfFile(path, [&](ASF_DEMUX_STATE st, const ASF_DEMUX_CONTEXT& c, uint64_t offset) {
        switch (st) {
            case ASF_DEMUX_STATE_FILE_PROPERTIES_OBJECT:
                r.headerFileSize = c.asfFilePropertiesObject.qwFileSize;
                r.headerPackets = c.asfFilePropertiesObject.qwDataPacketsCount;
                r.playDuration100ns = c.asfFilePropertiesObject.qwPlayDuration;
                r.packetSize = c.asfFilePropertiesObject.dwMaximumDataPacketSize;
                break;
            case ASF_DEMUX_STATE_STREAM_PROPERTIES_OBJECT_AUDIO:
                if (c.asfStreamPropertiesObjectAudio.typeSpecificData.dwAverageNumberOfBytesPerSecond != 0)
                    r.audioBytesPerSecond = c.asfStreamPropertiesObjectAudio.typeSpecificData.dwAverageNumberOfBytesPerSecond;
                break;
            case ASF_DEMUX_STATE_DATA_OBJECT:
                r.haveDataObject = true;
                r.dataObjectPackets = c.asfDataObject.qwTotalDataPackets;
                dataStart = offset + 50;
                break;
            case ASF_DEMUX_STATE_SKIPPED:
                // Packets have a fixed size: a unit skipped at a packet's start is its header.
                if (r.packetSize != 0 && offset >= dataStart && (offset - dataStart) % r.packetSize == 0)
                    ++r.packetsRead;
                break;
            case ASF_DEMUX_STATE_SIMPLE_INDEX_OBJECT:
                r.haveIndex = true;
                r.indexEntries = c.asfSimpleIndexObject.dwIndexEntriesCount;
                break;
            case ASF_DEMUX_STATE_UNKNOWN:
                ++r.unknownPayloads;
                break;
            case ASF_DEMUX_STATE_VIDEO_DATA:
            case ASF_DEMUX_STATE_AUDIO_DATA:
            case ASF_DEMUX_STATE_BINARY_DATA: {
                const int s = st - ASF_DEMUX_STATE_VIDEO_DATA + 1;
                const STRUCT_ASF_PAYLOAD& p = s == 1 ? c.asfPayloadVideo : s == 2 ? c.asfPayloadAudio : c.asfPayloadBinary;
                if (p.dwOffsetIntoMediaObject == 0) ++r.starts[s];
                if (!assemble[s].Add(p, obj)) break;
                ++r.objects[s];
                r.maxPts = std::max(r.maxPts, obj.pts);
                if (s == 1) {
                    if (r.videoPts.empty()) r.firstPictureKey = obj.key;
                    r.videoPts.push_back(obj.pts);
                    if (obj.key) {
                        ++r.keys;
                        if (o.havePass)
                            DeCryptData(obj.data.data(), obj.data.data(), static_cast<uint32_t>(obj.data.size()),
                                        o.pass.data());
                        if (StartsWithStartCode(obj.data)) ++r.keysReadable;
                    } else if (!StartsWithStartCode(obj.data)) {
                        ++r.plainPicturesUnreadable;
                    }
                } else if (s == 2) {
                    if (r.audioFirst < 0) r.audioFirst = obj.pts;
                    r.audioBytes += obj.data.size();
                    r.audioEnd = obj.pts + static_cast<int64_t>(obj.data.size()) * 1000 / r.audioBytesPerSecond;
                } else {
                    r.records.Add(obj);
                }
                break;
            }
            default:
                break;
        }
        return true;
    });
    return r;
}

// Why the layout is not that of a closed recording; empty when it is.
std::vector<std::string> LayoutFaults(const Recording& r) {
    std::vector<std::string> f;
    if (!r.walk.ok) {
        f.push_back(r.walk.error);
        return f;
    }
    if (r.headerFileSize == 0)
        f.push_back("the header was never completed (file size 0): the file was not closed");
    else if (r.headerFileSize != r.fileSize)
        f.push_back("the header gives " + std::to_string(r.headerFileSize) + " bytes, the file has " +
                    std::to_string(r.fileSize));
    if (r.headerPackets != r.packetsRead || r.dataObjectPackets != r.packetsRead)
        f.push_back("the header counts " + std::to_string(r.headerPackets) + " data packets, the Data Object " +
                    std::to_string(r.dataObjectPackets) + ", the file holds " + std::to_string(r.packetsRead));
    uint64_t incomplete = 0;
    for (int s = 1; s <= 3; ++s) incomplete += r.starts[s] - std::min(r.starts[s], r.objects[s]);
    if (incomplete != 0) f.push_back(std::to_string(incomplete) + " media objects are incomplete");
    if (r.unknownPayloads != 0) f.push_back(std::to_string(r.unknownPayloads) + " units could not be read");
    if (r.keys != 0 && !r.haveIndex) f.push_back("no index although the file has key pictures");
    const uint64_t playMs = r.playDuration100ns / 10000;
    if (r.headerFileSize != 0 && playMs != r.maxPts)
        f.push_back("the play duration is " + std::to_string(playMs) + " ms, the last object is at " +
                    std::to_string(r.maxPts) + " ms");
    return f;
}

// The usual step between picture times, its gaps and their missing pictures.
struct PictureTimes {
    uint32_t step = 0;  // median step, ms
    uint64_t gaps = 0, missing = 0, backwards = 0;
    uint32_t longest = 0;  // longest step, ms
};

PictureTimes AnalysePictureTimes(const std::vector<uint32_t>& pts) {
    PictureTimes t;
    if (pts.size() < 2) return t;
    std::vector<uint32_t> steps;
    for (size_t i = 1; i < pts.size(); ++i) {
        if (pts[i] <= pts[i - 1]) {
            ++t.backwards;
            continue;
        }
        steps.push_back(pts[i] - pts[i - 1]);
    }
    if (steps.empty()) return t;
    std::vector<uint32_t> sorted = steps;
    std::nth_element(sorted.begin(), sorted.begin() + static_cast<long>(sorted.size() / 2), sorted.end());
    t.step = sorted[sorted.size() / 2];
    for (uint32_t d : steps) {
        t.longest = std::max(t.longest, d);
        // Rounded whole-millisecond times vary by 1 ms around the step.
        if (d * 2 > t.step * 3) {
            ++t.gaps;
            t.missing += (d + t.step / 2) / t.step - 1;
        }
    }
    return t;
}

// Returns true when the file is damaged.
bool CheckOne(const std::string& path, const CheckOptions& o, FILE* out) {
    const Recording r = Read(path, o);
    const std::vector<std::string> faults = LayoutFaults(r);
    std::vector<std::string> notes;
    std::fprintf(out, "%s: %s\n", path.c_str(), faults.empty() ? "sound" : "DAMAGED");
    for (const std::string& f : faults) std::fprintf(out, "  damaged: %s\n", f.c_str());
    if (!r.haveDataObject) return true;

    std::fprintf(out, "  layout: %" PRIu64 " packets of %u bytes, %s\n", r.packetsRead, r.packetSize,
                 r.haveIndex ? ("index of " + std::to_string(r.indexEntries) + " entries").c_str() : "no index");
    const PictureTimes t = AnalysePictureTimes(r.videoPts);
    const int64_t videoEnd = r.videoPts.empty() ? 0 : int64_t{r.videoPts.back()} + t.step;
    std::fprintf(out, "  duration: %.3f s (pictures from %.3f s to %.3f s)\n", r.playDuration100ns / 1e7,
                 r.videoPts.empty() ? 0.0 : r.videoPts.front() / 1000.0, videoEnd / 1000.0);
    std::fprintf(out, "  pictures: %zu, key pictures %" PRIu64 "\n", r.videoPts.size(), r.keys);
    if (!r.videoPts.empty() && !r.firstPictureKey) notes.push_back("the first picture is not a key picture");
    if (t.gaps == 0)
        std::fprintf(out, "  picture times: every %u ms, no gaps\n", t.step);
    else
        std::fprintf(out,
                     "  picture times: every %u ms, %" PRIu64 " gap(s), longest %u ms, about %" PRIu64
                     " picture(s) missing\n",
                     t.step, t.gaps, t.longest, t.missing);
    if (t.backwards) notes.push_back(std::to_string(t.backwards) + " picture times do not move forward");

    if (r.objects[2] == 0) {
        std::fprintf(out, "  audio: none\n");
    } else {
        const int64_t diff = r.audioEnd - videoEnd;
        std::fprintf(out, "  audio: %.3f s of sound from %.3f s to %.3f s, %s the pictures by %" PRId64 " ms\n",
                     r.audioBytes * 1.0 / r.audioBytesPerSecond, r.audioFirst / 1000.0, r.audioEnd / 1000.0,
                     diff < 0 ? "ends before" : "ends after", diff < 0 ? -diff : diff);
        if (!r.videoPts.empty() && (diff > 100 || diff < -100))
            notes.push_back("the audio " + std::string(diff < 0 ? "ends " : "lasts ") + std::to_string(diff < 0 ? -diff : diff) +
                            " ms " + (diff < 0 ? "before" : "after") + " the pictures");
    }

    const SensorTally& s = r.records;
    std::string kinds;
    for (int k = 0; k < kRecordKinds; ++k) {
        if (k == kRecordOther && s.count[k] == 0) continue;
        kinds += (kinds.empty() ? "" : ", ") + std::string(kKindNames[k]) + " " + std::to_string(s.count[k]);
    }
    std::fprintf(out, "  sensor records: %" PRIu64 " (%s)\n", s.objects, kinds.c_str());
    uint64_t malformed = 0;
    for (int k = 0; k < kRecordKinds; ++k) {
        if (s.malformed[k] != 0 && k != kRecordOther)
            notes.push_back(std::to_string(s.malformed[k]) + " " + kKindNames[k] + " records do not have their layout");
        malformed += s.malformed[k];
    }
    if (s.count[kRecordOther] != 0) notes.push_back(std::to_string(s.count[kRecordOther]) + " records of no known kind");
    if (s.objects != 0 && !s.id_first) notes.push_back("the binary stream does not begin with the ID record at 0 ms");
    if (s.count[kRecordGsensor] != 0 && s.gsensor_off_grid != 0)
        notes.push_back(std::to_string(s.gsensor_off_grid) + " G-sensor texts are not 10 ms after the previous one");
    if (s.objects != 0 && !s.SummariesLast()) notes.push_back("the binary stream does not end with $MAXSP and $EVENT");
    PrintSummaries(out, s, "  ");
    const int digit = EventDigit(path);
    if (digit >= 0) {
        std::string why;
        for (auto [bit, what] : {std::pair{4, "steering"}, {1, "acceleration"}, {2, "braking"}, {8, "external input"}})
            if (digit & bit) why += (why.empty() ? "" : ", ") + std::string(what);
        std::fprintf(out, "  event file: %s\n", why.empty() ? "no event named" : why.c_str());
        if (s.have_event) {
            const int fromCounts = (s.events[1] ? 1 : 0) | (s.events[2] ? 2 : 0) | (s.events[0] ? 4 : 0);
            if ((digit & 7) != fromCounts) notes.push_back("the event file's name does not match its $EVENT counts");
        }
    }

    if (r.keys == 0) {
        std::fprintf(out, "  scrambled: no key pictures\n");
    } else if (r.keysReadable == r.keys) {
        std::fprintf(out, "  scrambled: %s\n", o.havePass ? "the pass code opens every key picture" : "no");
    } else if (r.keysReadable == 0) {
        std::fprintf(out, "  scrambled: yes, %" PRIu64 " key pictures%s\n", r.keys,
                     o.havePass ? ", which the pass code does not open" : " need the pass code");
        if (o.havePass) notes.push_back("the pass code does not open the key pictures");
    } else {
        std::fprintf(out, "  scrambled: %" PRIu64 " of %" PRIu64 " key pictures do not begin with a start code\n",
                     r.keys - r.keysReadable, r.keys);
        notes.push_back("some key pictures are scrambled and some are not");
    }
    if (r.plainPicturesUnreadable)
        notes.push_back(std::to_string(r.plainPicturesUnreadable) + " other pictures do not begin with a start code");
    for (const std::string& n : notes) std::fprintf(out, "  note: %s\n", n.c_str());
    return !faults.empty();
}

}  // namespace

int EventDigit(const std::string& path) {
    const std::string name = fs::path(path).filename().string();
    if (name.size() < 4 || name.compare(0, 3, "SAV") != 0) return -1;
    const int d = HexValue(name[3]);
    return d;
}

std::vector<std::string> Expand(const std::vector<std::string>& inputs) {
    std::vector<std::string> files;
    for (const std::string& in : inputs) {
        std::error_code ec;
        if (!fs::is_directory(in, ec)) {
            files.push_back(in);
            continue;
        }
        std::vector<std::string> found;
        for (const auto& e : fs::recursive_directory_iterator(in, fs::directory_options::skip_permission_denied, ec)) {
            std::string ext = e.path().extension().string();
            std::transform(ext.begin(), ext.end(), ext.begin(), [](unsigned char c) { return std::tolower(c); });
            if (e.is_regular_file(ec) && ext == ".asf") found.push_back(e.path().string());
        }
        std::sort(found.begin(), found.end());
        files.insert(files.end(), found.begin(), found.end());
    }
    return files;
}

int Check(const CheckOptions& o, FILE* out, std::string& error) {
    const std::vector<std::string> files = Expand(o.inputs);
    if (files.empty()) {
        error = "check: no recordings found";
        return 1;
    }
    size_t damaged = 0;
    for (const std::string& f : files) damaged += CheckOne(f, o, out) ? 1 : 0;
    std::fprintf(out, "%zu recording(s) checked, %zu damaged\n", files.size(), damaged);
    if (damaged != 0) {
        error = "check: " + std::to_string(damaged) + " of " + std::to_string(files.size()) + " recordings damaged";
        return 1;
    }
    return 0;
}

}  // namespace media
