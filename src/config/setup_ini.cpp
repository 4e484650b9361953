#include "config/setup_ini.h"

#include <strings.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <span>
#include <string>

#include "config/param_ini.h"
#include "platform/BoardPath.h"

namespace {

constexpr int kLineMax = 500;   // line buffer: at most 499 characters a line
constexpr int kValueMax = 100;  // value buffer of the merge
constexpr const char* kSection = "HOLMAX";

std::array<char, kLineMax + 1> trim_buffer;

enum class Kind {
    kChoice,     // one of a list of decimal texts, exactly
    kRange,      // a decimal number with leading digits, inside [min, max]
    kAlnumId,    // exactly 8 digits or capital letters
    kDigitText,  // exactly `width` digits
};

// How a found key raises the change marker.
enum class Marker {
    kFound,     // whenever the key is found, valid or not
    kChanged,   // only when a valid value differs from the field
    kValid,     // only when the value is valid
    kNever,     // never (but finding the key forces a write, see the merge)
};

struct KeyRule {
    const char* key;
    Kind kind;
    std::span<const int> choices;
    int min, max;
    size_t offset;  // field in Eep_data
    int width;      // 1 or 2 bytes for numbers, the length for texts
    bool written;   // the writer puts the key into a new file
    Marker marker;
    bool report_text;  // the rejection message shows the rejected text
};

constexpr int kBitRates[] = {128, 256, 512, 1024, 2048};
constexpr int kFrameRates[] = {1, 5, 10, 15, 20, 25, 30};
constexpr int kGops[] = {1, 10, 20, 30, 60};
constexpr int kFlag[] = {0, 1};
constexpr int kDurations[] = {5, 10, 20, 30, 60, 120, 180, 240, 300};
constexpr int kQualities[] = {0, 1, 2};
constexpr int kCameraModes[] = {0, 1, 2, 3, 4};

#define FIELD(f) offsetof(Eep_data, f), static_cast<int>(sizeof(Eep_data::f))

// The merge reads the keys in this order; the writer writes the marked ones
// in the same order.
const KeyRule kKeys[] = {
    {"VIDEO_BITRATE_H", Kind::kChoice, kBitRates, 0, 0, FIELD(vrate_h), false, Marker::kFound, true},
    {"VIDEO_FRATE_H", Kind::kChoice, kFrameRates, 0, 0, FIELD(frate_h), false, Marker::kFound, false},
    {"GOP_NUM_H", Kind::kChoice, kGops, 0, 0, FIELD(gopn_h), false, Marker::kFound, false},
    {"VIDEO_BITRATE_M", Kind::kChoice, kBitRates, 0, 0, FIELD(vrate_m), false, Marker::kFound, true},
    {"VIDEO_FRATE_M", Kind::kChoice, kFrameRates, 0, 0, FIELD(frate_m), false, Marker::kFound, false},
    {"GOP_NUM_M", Kind::kChoice, kGops, 0, 0, FIELD(gopn_m), false, Marker::kFound, false},
    {"VIDEO_BITRATE_L", Kind::kChoice, kBitRates, 0, 0, FIELD(vrate_l), false, Marker::kFound, true},
    {"VIDEO_FRATE_L", Kind::kChoice, kFrameRates, 0, 0, FIELD(frate_l), false, Marker::kFound, false},
    {"GOP_NUM_L", Kind::kChoice, kGops, 0, 0, FIELD(gopn_l), false, Marker::kFound, false},
    {"VIDEO_CTRL", Kind::kChoice, kFlag, 0, 0, FIELD(vemode), false, Marker::kFound, false},
    {"REC_DURATION", Kind::kChoice, kDurations, 0, 0, FIELD(duration), false, Marker::kFound, false},
    {"VIDEO_QSEL", Kind::kChoice, kQualities, 0, 0, FIELD(vqsel), true, Marker::kFound, false},
    {"CAM_MODE", Kind::kChoice, kCameraModes, 0, 0, FIELD(cammode), true, Marker::kFound, false},
    {"MON_OSD", Kind::kChoice, kFlag, 0, 0, FIELD(mon_osd), false, Marker::kFound, false},
    {"REC_OSD", Kind::kChoice, kFlag, 0, 0, FIELD(rec_osd), false, Marker::kFound, false},
    {"AUDIO_REC", Kind::kChoice, kFlag, 0, 0, FIELD(audio_mute), true, Marker::kFound, false},
    {"AUTO_REC", Kind::kChoice, kFlag, 0, 0, FIELD(auto_rec), false, Marker::kFound, false},
    {"PROTECT_EVFILE", Kind::kChoice, kFlag, 0, 0, FIELD(protect_ev), true, Marker::kChanged, false},
    {"REC_STOP_TIMER", Kind::kRange, {}, 0, 1440, FIELD(rec_stop), true, Marker::kFound, false},
    {"PWR_RST_TIMER", Kind::kRange, {}, 0, 60, FIELD(pwr_rst_timer), false, Marker::kFound, false},
    {"STEERING_LIMIT", Kind::kRange, {}, 0, 255, FIELD(steering_limit), true, Marker::kFound, false},
    {"BRAKE_LIMIT", Kind::kRange, {}, 0, 255, FIELD(brake_limit), true, Marker::kFound, false},
    {"ACCEL_LIMIT", Kind::kRange, {}, 0, 255, FIELD(accel_limit), true, Marker::kFound, false},
    {"SPEED_LIMIT", Kind::kRange, {}, 0, 1129, FIELD(speed_limit), true, Marker::kFound, false},
    {"ENGINE_ROT_LIMIT", Kind::kRange, {}, 0, 17476, FIELD(engine_rot_limit), true, Marker::kFound, false},
    {"IDLING_LIMIT", Kind::kRange, {}, 0, 1440, FIELD(idling_limit), true, Marker::kFound, false},
    {"EXT_EVENT_ENABLE", Kind::kChoice, kFlag, 0, 0, FIELD(ext_event_enable), true, Marker::kFound, false},
    {"EXT_EVENT_LOGIC", Kind::kChoice, kFlag, 0, 0, FIELD(ext_event_logic), true, Marker::kFound, false},
    {"DRIVE_ALERT", Kind::kChoice, kFlag, 0, 0, FIELD(drive_alert), true, Marker::kFound, false},
    {"EVENT_NUM_INFO", Kind::kRange, {}, 0, 8000, FIELD(event_num_info), true, Marker::kFound, false},
    {"ID1", Kind::kAlnumId, {}, 0, 0, FIELD(id1), false, Marker::kValid, false},
    {"ID2", Kind::kAlnumId, {}, 0, 0, FIELD(id2), true, Marker::kValid, false},
    {"ID3", Kind::kDigitText, {}, 0, 0, FIELD(id3), true, Marker::kValid, false},
    {"ID4", Kind::kDigitText, {}, 0, 0, FIELD(id4), true, Marker::kValid, false},
    {"GSS_OFFSETX", Kind::kRange, {}, 0, 255, FIELD(gss_offset_x), false, Marker::kFound, false},
    {"GSS_OFFSETY", Kind::kRange, {}, 0, 255, FIELD(gss_offset_y), false, Marker::kFound, false},
    {"GSS_OFFSETZ", Kind::kRange, {}, 0, 255, FIELD(gss_offset_z), false, Marker::kFound, false},
    {"PCODE_NEW", Kind::kDigitText, {}, 0, 0, FIELD(pcode_new), false, Marker::kValid, false},
    {"UART3_MODE", Kind::kChoice, kFlag, 0, 0, FIELD(uart3_mode), false, Marker::kFound, false},
    {"GPOSITION", Kind::kRange, {}, 1, 24, FIELD(gss_position), true, Marker::kNever, false},
};

#undef FIELD

bool IsText(Kind k) { return k == Kind::kAlnumId || k == Kind::kDigitText; }

unsigned char* FieldOf(Eep_data* eep, const KeyRule& r) { return reinterpret_cast<unsigned char*>(eep) + r.offset; }
const unsigned char* FieldOf(const Eep_data* eep, const KeyRule& r) {
    return reinterpret_cast<const unsigned char*>(eep) + r.offset;
}

// Numeric fields are little-endian bytes or 16-bit words.
long GetNumber(const Eep_data* eep, const KeyRule& r) {
    const unsigned char* p = FieldOf(eep, r);
    return r.width == 1 ? p[0] : static_cast<long>(p[0] | (p[1] << 8));
}

void SetNumber(Eep_data* eep, const KeyRule& r, long v) {
    unsigned char* p = FieldOf(eep, r);
    p[0] = static_cast<unsigned char>(v & 0xff);
    if (r.width == 2) p[1] = static_cast<unsigned char>((v >> 8) & 0xff);
}

// The number a decimal text starts with: leading digits only, text without
// them reads as 0, anything after them is ignored.
long LeadingNumber(const char* s) {
    errno = 0;
    const long v = std::strtol(s, nullptr, 10);
    return errno == ERANGE ? -1 : v;  // out of every accepted range
}

bool TextValid(const KeyRule& r, const char* s) {
    if (std::strlen(s) != static_cast<size_t>(r.width)) return false;
    for (const char* p = s; *p; ++p) {
        const unsigned char c = static_cast<unsigned char>(*p);
        const bool digit = c >= '0' && c <= '9';
        const bool capital = c >= 'A' && c <= 'Z';
        if (!(digit || (r.kind == Kind::kAlnumId && capital))) return false;
    }
    return true;
}

// Parses `value` for the rule; on success *number receives the value.
bool Accept(const KeyRule& r, const char* value, long* number) {
    switch (r.kind) {
    case Kind::kChoice:
        for (int c : r.choices) {
            if (std::to_string(c) == value) {
                *number = c;
                return true;
            }
        }
        return false;
    case Kind::kRange:
        *number = LeadingNumber(value);
        return *number >= r.min && *number <= r.max;
    case Kind::kAlnumId:
    case Kind::kDigitText:
        return TextValid(r, value);
    }
    return false;
}

void StripLineEnd(char* line) {
    size_t n = std::strlen(line);
    if (n >= 2 && line[n - 2] == '\r' && line[n - 1] == '\n') {
        line[n - 2] = '\0';
    } else if (n >= 1 && line[n - 1] == '\n') {
        line[n - 1] = '\0';
    }
}

void CopyBounded(char* buffer, int bufflen, const char* text) {
    if (buffer == nullptr || bufflen < 1) return;
    const size_t n = std::min(std::strlen(text), static_cast<size_t>(bufflen - 1));
    std::memcpy(buffer, text, n);
    buffer[n] = '\0';
}

// Reads the open file's whole text and closes it.
std::string ReadAndClose(FILE* fp) {
    std::string text;
    char chunk[4096];
    for (size_t n; (n = std::fread(chunk, 1, sizeof chunk, fp)) > 0;) text.append(chunk, n);
    std::fclose(fp);
    return text;
}

// The file's lines as fgets would hand them over: at most kLineMax - 1 bytes
// a piece, a piece ending after its '\n' (an over-long line comes in pieces,
// a NUL ends a line's text early). The file is read once; the merge looks up
// every key in the same text.
class LineSource {
public:
    explicit LineSource(const std::string& text) : text_(text) {}

    bool Next(char* line, int size) {
        if (at_ >= text_.size()) return false;
        const char* from = text_.data() + at_;
        const size_t most = std::min(static_cast<size_t>(size - 1), text_.size() - at_);
        const void* nl = std::memchr(from, '\n', most);
        const size_t n = nl != nullptr ? static_cast<size_t>(static_cast<const char*>(nl) - from) + 1 : most;
        std::memcpy(line, from, n);
        line[n] = '\0';
        at_ += n;
        return true;
    }

private:
    const std::string& text_;
    size_t at_ = 0;
};

// Reads up to the matching section header. True when found.
bool FindSection(LineSource& src, const std::string& header) {
    char line[kLineMax];
    while (src.Next(line, sizeof line)) {
        char* open = std::strchr(line, '[');
        if (open == nullptr) continue;
        char* close = std::strchr(open + 1, ']');
        if (close == nullptr) continue;
        close[1] = '\0';
        if (strcasecmp(open, header.c_str()) == 0) return true;
    }
    return false;
}

// The value of `key` in `section` into `buffer`; its length, 0 when absent.
int LookUp(LineSource& src, const char* section, const char* key, char* buffer, int bufflen) {
    if (!FindSection(src, std::string("[") + section + "]")) return 0;
    char line[kLineMax];
    while (src.Next(line, sizeof line)) {
        StripLineEnd(line);
        if (line[0] == '\0' || line[0] == ';') continue;
        if (line[0] == '[') break;  // the next section: not found
        char* eq = std::strchr(line, '=');
        if (eq == nullptr) {
            std::printf("GetPrivateProfileString: Error value = Null /%s/\n", line);
            break;
        }
        *eq = '\0';
        if (strcasecmp(trim(line), key) != 0) continue;
        const char* value = trim(eq + 1);
        CopyBounded(buffer, bufflen, value);
        return (buffer != nullptr && bufflen > 0) ? static_cast<int>(std::strlen(buffer)) : 0;
    }
    return 0;
}

}  // namespace

std::string SetupIniPath() { return BoardPath("/mnt/mmc0_p1/setup.ini"); }

char* trim(const char* s) {
    const char* begin = s;
    while (*begin == ' ' || *begin == '\t' || *begin == '\n') ++begin;
    size_t n = std::strlen(begin);
    while (n > 0 && (begin[n - 1] == ' ' || begin[n - 1] == '\t' || begin[n - 1] == '\n')) --n;
    n = std::min(n, trim_buffer.size() - 1);
    std::memmove(trim_buffer.data(), begin, n);  // s may already be the buffer
    trim_buffer[n] = '\0';
    return trim_buffer.data();
}

int GetPrivateProfileString(const char* section, const char* key, const char* def, char* buffer,
                            int bufflen, const char* path) {
    CopyBounded(buffer, bufflen, def != nullptr ? def : "");
    if (path == nullptr || section == nullptr || key == nullptr) {
        std::printf("GetPrivateProfileString: Missing parameters\n");
        std::printf("Missing Parameters\n");
        return -1;
    }
    FILE* fp = std::fopen(path, "r");
    if (fp == nullptr) {
        std::printf("GetPrivateProfileString: Error opening file for read\n");
        std::printf("Error opening file for read\n");
        return -1;
    }
    const std::string text = ReadAndClose(fp);
    LineSource src(text);
    return LookUp(src, section, key, buffer, bufflen);
}

int SetupIniChk(const char* sfile, Eep_data* eep) {
    // The file is read once; every key is looked up in its text as
    // GetPrivateProfileString finds it.
    FILE* fp = sfile != nullptr ? std::fopen(sfile, "r") : nullptr;
    if (fp == nullptr) return -1;
    const std::string text = ReadAndClose(fp);

    bool changed = false;
    bool force_write = false;
    for (const KeyRule& r : kKeys) {
        char value[kValueMax];
        value[0] = '\0';
        LineSource src(text);
        if (LookUp(src, kSection, r.key, value, sizeof value) <= 0) continue;
        long number = 0;
        const bool valid = Accept(r, value, &number);
        if (!valid) {
            if (r.report_text) {
                std::printf("Setup Ini data error %s %s\n", r.key, value);
            } else {
                std::printf("Setup Ini data error %s\n", r.key);
            }
        }
        switch (r.marker) {
        case Marker::kFound: changed = true; break;
        case Marker::kChanged: changed = changed || (valid && number != GetNumber(eep, r)); break;
        case Marker::kValid: changed = changed || valid; break;
        case Marker::kNever: force_write = true; break;
        }
        if (!valid) continue;
        if (IsText(r.kind)) {
            std::memcpy(FieldOf(eep, r), value, static_cast<size_t>(r.width));
        } else {
            SetNumber(eep, r, number);
        }
    }
    if (changed || force_write) save_eeprom_param(eep);
    return 1;
}

int CreateSetupIni(const char* sfile) {
    std::printf("### CreateSetupIni is called ! ###\n");
    if (LoadEepDone) {
        std::printf("Load EepRom already done\n");
    } else {
        std::printf("Load EepRom First Time\n");
        if (load_eeprom_param(&EepData) != 0) {
            std::printf("\nEeprom param can not read\n");
            return -1;
        }
    }
    // A blank record is replaced whenever the file is made, also when it was
    // blanked after the first load: the file must never show 0xFF values.
    if (EepIniChk()) {
        std::printf("### Set and save default values to EepRom ###\n");
        SetupIniDefault(&EepData);
        save_eeprom_param(&EepData);
    }
    LoadEepDone = 1;
    if (sfile == nullptr) return -1;
    std::remove(sfile);
    FILE* fp = std::fopen(sfile, "w");
    if (fp == nullptr) {
        std::printf("Unable to create setup.ini\n");
        return -1;
    }
    std::fprintf(fp, "[HOLMAX]\n");
    for (const KeyRule& r : kKeys) {
        if (!r.written) continue;
        if (IsText(r.kind)) {
            std::fprintf(fp, "%s=%.*s\n", r.key, r.width, reinterpret_cast<const char*>(FieldOf(&EepData, r)));
        } else {
            std::fprintf(fp, "%s=%ld\n", r.key, GetNumber(&EepData, r));
        }
    }
    const bool ok = std::ferror(fp) == 0;
    return (std::fclose(fp) == 0 && ok) ? 0 : -1;
}
