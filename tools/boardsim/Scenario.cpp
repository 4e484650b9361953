#include "Scenario.h"

#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <sstream>

#include "CardService.h"

namespace boardsim {

namespace {

// Event codes and held-key bits of the board's keys. REC has no event code:
// the board reports it only as a held key.
constexpr KeyInfo kKeys[] = {
    {"stop", 2, 1u << 0}, {"rec", 0, 1u << 1},  {"select", 4, 1u << 2},
    {"up", 5, 1u << 3},   {"down", 6, 1u << 4}, {"event", 3, 0},
};

// Splits a line into words; "quoted text" is one word (\" and \\ escape),
// '#' outside quotes starts a comment.
bool Tokenize(std::string_view line, std::vector<std::string>* words, std::string* error) {
    size_t i = 0;
    while (i < line.size()) {
        const char c = line[i];
        if (c == ' ' || c == '\t' || c == '\r') {
            ++i;
        } else if (c == '#') {
            break;
        } else if (c == '"') {
            std::string word;
            ++i;
            bool closed = false;
            while (i < line.size()) {
                if (line[i] == '\\' && i + 1 < line.size()) {
                    word += line[i + 1];
                    i += 2;
                } else if (line[i] == '"') {
                    closed = true;
                    ++i;
                    break;
                } else {
                    word += line[i++];
                }
            }
            if (!closed) {
                *error = "unterminated quote";
                return false;
            }
            words->push_back(word);
        } else {
            const size_t start = i;
            while (i < line.size() && line[i] != ' ' && line[i] != '\t' && line[i] != '\r') ++i;
            words->emplace_back(line.substr(start, i - start));
        }
    }
    return true;
}

bool ParseNumber(const std::string& s, double* out) {
    if (s.empty()) return false;
    char* end = nullptr;
    errno = 0;
    const double v = std::strtod(s.c_str(), &end);
    if (errno != 0 || *end != '\0' || !std::isfinite(v) || v < 0) return false;
    *out = v;
    return true;
}

// A number that may be negative (accelerations).
bool ParseSigned(const std::string& s, double* out) {
    if (s.empty()) return false;
    char* end = nullptr;
    errno = 0;
    const double v = std::strtod(s.c_str(), &end);
    if (errno != 0 || *end != '\0' || !std::isfinite(v)) return false;
    *out = v;
    return true;
}

bool ParseInt(const std::string& s, int* out) {
    if (s.empty()) return false;
    char* end = nullptr;
    errno = 0;
    const long v = std::strtol(s.c_str(), &end, 0);
    if (errno != 0 || *end != '\0' || v < INT32_MIN || v > INT32_MAX) return false;
    *out = static_cast<int>(v);
    return true;
}

// Takes a trailing "within S" off the words.
bool TakeWithin(std::vector<std::string>* w, double* seconds, std::string* error) {
    if (w->size() >= 2 && (*w)[w->size() - 2] == "within") {
        if (!ParseNumber(w->back(), seconds)) {
            *error = "bad time after 'within': " + w->back();
            return false;
        }
        w->resize(w->size() - 2);
    }
    return true;
}

// "1 1 0", "1,1,0" or "1, 1, 0".
bool ParseLed(const std::vector<std::string>& w, size_t from, std::array<int, 3>* led, std::string* error) {
    std::string joined;
    for (size_t i = from; i < w.size(); ++i) joined += w[i] + " ";
    for (char& c : joined) {
        if (c == ',') c = ' ';
    }
    std::istringstream in(joined);
    std::vector<std::string> parts;
    for (std::string p; in >> p;) parts.push_back(p);
    if (parts.size() != 3) {
        *error = "an LED triple needs three modes";
        return false;
    }
    for (int i = 0; i < 3; ++i) {
        if (!ParseInt(parts[i], &(*led)[i]) || (*led)[i] < 0 || (*led)[i] > 3) {
            *error = "LED modes are 0 (off), 1 (on), 2 (fast blink) or 3 (slow blink)";
            return false;
        }
    }
    return true;
}

bool ParseKeys(const std::string& names, std::vector<const KeyInfo*>* keys, std::string* error) {
    std::string rest = names;
    size_t pos;
    do {
        pos = rest.find('+');
        const std::string name = rest.substr(0, pos);
        const KeyInfo* k = FindKey(name);
        if (k == nullptr) {
            *error = "unknown key '" + name + "' (rec, stop, select, up, down, event)";
            return false;
        }
        keys->push_back(k);
        if (pos != std::string::npos) rest = rest.substr(pos + 1);
    } while (pos != std::string::npos);
    return true;
}

bool ParseOnOff(const std::string& word, const char* on, const char* off, bool* out, std::string* error) {
    if (word == on) {
        *out = true;
    } else if (word == off) {
        *out = false;
    } else {
        *error = std::string("expected '") + on + "' or '" + off + "'";
        return false;
    }
    return true;
}

bool ParseCheck(const std::string& kind, std::vector<std::string> w, bool wait, Step* s, std::string* error) {
    if (!TakeWithin(&w, &s->seconds, error)) return false;
    const size_t args = w.size() - 2;  // after "expect KIND"
    if (kind == "line" || kind == "noline") {
        if (args != 1) {
            *error = "expected one text (quote it if it has blanks)";
            return false;
        }
        if (wait && kind == "noline") {
            *error = "'wait noline' makes no sense";
            return false;
        }
        s->verb = wait ? Verb::WaitLine : (kind == "line" ? Verb::ExpectLine : Verb::ExpectNoLine);
        s->text = w[2];
        return true;
    }
    if (kind == "led") {
        s->verb = wait ? Verb::WaitLed : Verb::ExpectLed;
        return ParseLed(w, 2, &s->led, error);
    }
    if (kind == "off" && args == 0) {
        s->verb = wait ? Verb::WaitOff : Verb::ExpectOff;
        return true;
    }
    if (kind == "on" && args == 0 && !wait) {
        s->verb = Verb::ExpectOn;
        return true;
    }
    if (kind == "exit" && args == 1 && !wait) {
        s->verb = Verb::ExpectExit;
        if (!ParseInt(w[2], &s->status)) {
            *error = "bad exit status";
            return false;
        }
        return true;
    }
    *error = std::string("unknown or malformed '") + (wait ? "wait " : "expect ") + kind + "'";
    return false;
}

// card insert [sd|readonly] | card remove [sd] | card insert microsd
// [--free-mb N] [--carrier NAME] | card remove microsd | card panic |
// card event insert|remove|panic MNTDIR. The card kind goes into `text`;
// a read-only SD card or the raw event's type into `param`; the microSD
// card's free megabytes into `value`, its carrier or the raw event's mount
// directory into `file`.
bool ParseCardStep(const std::vector<std::string>& w, Step* s, std::string* error) {
    s->verb = Verb::Card;
    s->text = kCardKindSd;
    s->param = 0;
    const size_t n = w.size();
    auto bad = [&] {
        *error = "'card' takes insert [sd|readonly], remove [sd], insert microsd [--free-mb N] [--carrier "
                 "docomo|au|softbank], remove microsd, panic, or event insert|remove|panic MNTDIR";
        return false;
    };
    if (n == 2 && w[1] == "panic") {
        s->text = kCardKindPanic;
        return true;
    }
    if (n == 4 && w[1] == "event") {
        static constexpr std::pair<const char*, int> kTypes[] = {{"insert", 1}, {"remove", 2}, {"panic", 3}};
        for (const auto& [name, type] : kTypes) {
            if (w[2] == name) s->param = type;
        }
        if (s->param == 0 || w[3].empty() || w[3][0] != '/') return bad();
        s->text = kCardKindEvent;
        s->file = w[3];
        return true;
    }
    if (n < 2 || !ParseOnOff(w[1], "insert", "remove", &s->on, error)) return bad();
    if (n == 2 || (n == 3 && w[2] == "sd")) return true;
    if (n == 3 && w[2] == "readonly" && s->on) {
        s->param = 1;
        return true;
    }
    if (w[2] != "microsd") return bad();
    s->text = kCardKindMicroSd;
    s->value = 1024;
    if (!s->on) return n == 3 ? true : bad();
    for (size_t i = 3; i < n; i += 2) {
        if (i + 1 >= n) return bad();
        if (w[i] == "--free-mb") {
            if (!ParseNumber(w[i + 1], &s->value)) return bad();
        } else if (w[i] == "--carrier" &&
                   (w[i + 1] == "docomo" || w[i + 1] == "au" || w[i + 1] == "softbank")) {
            s->file = w[i + 1];
        } else {
            return bad();
        }
    }
    return true;
}

bool ParseWords(const std::vector<std::string>& w, Step* s, std::string* error) {
    if (w.empty()) {
        *error = "missing verb";
        return false;
    }
    const std::string& verb = w[0];
    const size_t n = w.size();
    auto need = [&](size_t count) {
        if (n == count) return true;
        *error = "'" + verb + "' takes " + std::to_string(count - 1) + " argument(s)";
        return false;
    };
    if (verb == "ignition") {
        s->verb = Verb::Ignition;
        return need(2) && ParseOnOff(w[1], "on", "off", &s->on, error);
    }
    if (verb == "power") {
        s->verb = Verb::Power;
        return need(2) && ParseOnOff(w[1], "back", "lost", &s->on, error);
    }
    if (verb == "powersw") {
        s->verb = Verb::PowerSwitch;
        return need(2) && ParseOnOff(w[1], "on", "off", &s->on, error);
    }
    if (verb == "card") return ParseCardStep(w, s, error);
    if (verb == "camera") {
        s->verb = Verb::Camera;
        const std::string kind = n >= 2 ? w[1] : "";
        s->text = kind;
        s->param = 1;
        if (kind == "drop" && n == 3 && ParseInt(w[2], &s->param) && s->param > 0) return true;
        if (kind == "stall" && n == 3 && ParseNumber(w[2], &s->seconds) && s->seconds > 0) return true;
        if (kind == "eio" && (n == 2 || (n == 3 && ParseInt(w[2], &s->param) && s->param > 0))) return true;
        *error = "'camera' takes drop N, stall SECONDS or eio [COUNT]";
        return false;
    }
    if (verb == "microphone") {
        // The kind in `text`: tone, eintr, timeout, stall, or the WAV file's path.
        s->verb = Verb::Microphone;
        const std::string kind = n >= 2 ? w[1] : "";
        s->text = kind;
        s->param = 1;
        const bool counted = kind == "eintr" || kind == "timeout";
        if (counted && (n == 2 || (n == 3 && ParseInt(w[2], &s->param) && s->param > 0))) return true;
        if (kind == "stall" && n == 3 && ParseNumber(w[2], &s->seconds) && s->seconds > 0) return true;
        if (n == 2 && !kind.empty() && !counted && kind != "stall") return true;  // tone, or a file
        *error = "'microphone' takes FILE, tone, eintr [COUNT], timeout [COUNT] or stall SECONDS";
        return false;
    }
    if (verb == "speed" || verb == "engine") {
        s->verb = verb == "speed" ? Verb::Speed : Verb::Engine;
        if (n == 2 && ParseNumber(w[1], &s->value)) return true;
        *error = verb == "speed" ? "'speed' takes the vehicle's speed in km/h" : "'engine' takes the engine's speed in rpm";
        return false;
    }
    if (verb == "shock" || verb == "accel") {
        s->verb = verb == "shock" ? Verb::Shock : Verb::Accel;
        if (n == 4 && ParseSigned(w[1], &s->g[0]) && ParseSigned(w[2], &s->g[1]) && ParseSigned(w[3], &s->g[2]) &&
            std::abs(s->g[0]) <= 16 && std::abs(s->g[1]) <= 16 && std::abs(s->g[2]) <= 16) {
            return true;
        }
        *error = "'" + verb + "' takes front/back, left/right and up/down in g (at most 16 each)";
        return false;
    }
    if (verb == "contact") {
        s->verb = Verb::Contact;
        if (n == 3 && ParseInt(w[1], &s->param) && s->param >= 0 && s->param <= 6) {
            return ParseOnOff(w[2], "on", "off", &s->on, error);
        }
        *error = "'contact' takes an input number 0 to 6 and on or off";
        return false;
    }
    if (verb == "gsensor") {
        s->verb = Verb::Gsensor;
        if (n == 3 && w[1] == "position" && ParseInt(w[2], &s->param) && s->param >= 1 && s->param <= 24) return true;
        *error = "'gsensor' takes 'position P' with P from 1 to 24";
        return false;
    }
    if (verb == "gps") {
        s->verb = Verb::Gps;
        const std::string kind = n >= 2 ? w[1] : "";
        s->text = kind;
        if (n == 2 && (kind == "fix" || kind == "nofix" || kind == "silent" || kind == "nowake")) return true;
        if (n == 3 && kind == "route") {
            s->file = w[2];
            return true;
        }
        *error = "'gps' takes fix, nofix, silent, nowake, or route FILE|loop";
        return false;
    }
    if (verb == "key") {
        s->verb = Verb::Key;
        return need(2) && ParseKeys(w[1], &s->keys, error);
    }
    if (verb == "hold") {
        s->verb = Verb::Hold;
        if (n < 3) {
            *error = "'hold' takes keys and a time in seconds";
            return false;
        }
        for (size_t i = 1; i + 1 < n; ++i) {
            if (!ParseKeys(w[i], &s->keys, error)) return false;
        }
        if (!ParseNumber(w[n - 1], &s->seconds) || s->seconds <= 0) {
            *error = "bad hold time: " + w[n - 1];
            return false;
        }
        return true;
    }
    if (verb == "host" && n >= 2 && w[1] == "fill") {
        s->verb = Verb::HostFill;
        if (!need(3)) return false;
        if (!ParseInt(w[2], &s->command) || s->command < 1) {
            *error = "'host fill' takes a message type of 1 or more";
            return false;
        }
        return true;
    }
    if (verb == "host" && n >= 2 && w[1] == "replies") {
        s->verb = Verb::HostReplies;
        return need(3) && ParseOnOff(w[2], "on", "off", &s->on, error);
    }
    if (verb == "host") {
        s->verb = Verb::Host;
        if (n < 2 || n > 3 || !ParseInt(w[1], &s->command)) {
            *error = "'host' takes a command number and an optional parameter";
            return false;
        }
        s->text_param = IsTextCommand(s->command);
        if (n == 3) {
            if (s->text_param) {
                if (w[2].size() > 59) {
                    *error = "a text parameter holds at most 59 characters";
                    return false;
                }
                s->text = w[2];
            } else if (!ParseInt(w[2], &s->param)) {
                *error = "bad integer parameter: " + w[2];
                return false;
            }
        }
        return true;
    }
    if (verb == "screenshot") {
        s->verb = Verb::Screenshot;
        if (!need(2)) return false;
        s->text = w[1];
        return true;
    }
    if (verb == "end") {
        s->verb = Verb::End;
        return need(1);
    }
    if ((verb == "wait" || verb == "expect") && n >= 2) return ParseCheck(w[1], w, verb == "wait", s, error);
    *error = "unknown verb '" + verb + "'";
    return false;
}

}  // namespace

const KeyInfo* FindKey(std::string_view name) {
    if (name == "sel") name = "select";
    for (const KeyInfo& k : kKeys) {
        if (name == k.name) return &k;
    }
    return nullptr;
}

bool IsTextCommand(int command) { return (command >= 72 && command <= 75) || command == 115 || command == 116; }

bool IsCheck(Verb v) {
    switch (v) {
        case Verb::WaitLine: case Verb::WaitLed: case Verb::WaitOff: case Verb::ExpectLine:
        case Verb::ExpectNoLine: case Verb::ExpectLed: case Verb::ExpectOff: case Verb::ExpectOn:
        case Verb::ExpectExit:
            return true;
        default:
            return false;
    }
}

bool IsAction(Verb v) { return !IsCheck(v); }

bool ParseStep(std::string_view line, Step* step, std::string* error) {
    std::vector<std::string> words;
    if (!Tokenize(line, &words, error)) return false;
    step->source = std::string(line);
    return ParseWords(words, step, error);
}

bool ParseScenario(std::string_view text, std::vector<Step>* steps, std::string* error) {
    int line_no = 0;
    size_t pos = 0;
    while (pos <= text.size()) {
        const size_t end = text.find('\n', pos);
        const std::string_view line = text.substr(pos, end == std::string_view::npos ? text.npos : end - pos);
        pos = end == std::string_view::npos ? text.size() + 1 : end + 1;
        ++line_no;
        std::vector<std::string> words;
        std::string why;
        if (!Tokenize(line, &words, &why)) {
            *error = "line " + std::to_string(line_no) + ": " + why;
            return false;
        }
        if (words.empty()) continue;
        Step s;
        s.line_no = line_no;
        std::string t = words[0];
        if (!t.empty() && t[0] == '+') {
            s.relative = true;
            t = t.substr(1);
        }
        if (!ParseNumber(t, &s.time)) {
            *error = "line " + std::to_string(line_no) + ": a step starts with its time in seconds ('12.5' or '+2')";
            return false;
        }
        words.erase(words.begin());
        if (!ParseWords(words, &s, &why)) {
            *error = "line " + std::to_string(line_no) + ": " + why;
            return false;
        }
        // The step as written, after its time.
        std::string src(line);
        while (!src.empty() && (src.back() == ' ' || src.back() == '\t' || src.back() == '\r')) src.pop_back();
        size_t from = src.find_first_not_of(" \t");
        from = src.find_first_of(" \t", from);
        from = from == std::string::npos ? src.size() : src.find_first_not_of(" \t", from);
        s.source = from == std::string::npos ? std::string() : src.substr(from);
        steps->push_back(std::move(s));
    }
    return true;
}

}  // namespace boardsim
