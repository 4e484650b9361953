#include "HostCommands.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/HostMessage.h"

namespace diviv_host {
namespace {

// What follows a command's name.
enum class Param {
    kNone,      // nothing: the parameter is 0
    kInt,       // an integer
    kOnOff,     // on = 1, off = 0
    kOffOn,     // on = 0, off = 1 (automatic recording and event protection)
    kText,      // a text of at most 59 characters
};

struct Name {
    const char* name;
    int command;
    Param param;
    const char* help;
};

// Bytes 4..63 of the message carry the text; the last one stays zero.
constexpr size_t kMaxText = sizeof(commsg_t) - 4 - 1;

constexpr std::array kNames = {
    Name{"quit", 0, Param::kNone, "end the recorder (stops the live monitor; no switch-off)"},
    Name{"status", 1, Param::kNone, "print the status report"},
    Name{"rectime", 8, Param::kInt, "seconds per file (0: one file for the whole recording)"},
    Name{"rec", 9, Param::kOnOff, "start or stop recording"},
    Name{"list", 12, Param::kNone, "print the list of recordings"},
    Name{"card", 13, Param::kNone, "print the card information"},
    Name{"play", 14, Param::kInt, "play the recording at index N of the list"},
    Name{"flip", 17, Param::kInt, "picture flip mode"},
    Name{"mirror", 18, Param::kInt, "picture mirror mode"},
    Name{"buffers", 19, Param::kNone, "print the ring-buffer report"},
    Name{"filelist", 20, Param::kOnOff, "file-list mode"},
    Name{"camera", 21, Param::kInt, "camera mode 0 (four cameras) or 1-4 (one camera)"},
    Name{"monosd", 22, Param::kOnOff, "captions on the live picture"},
    Name{"recosd", 23, Param::kOnOff, "captions in the recording"},
    Name{"reload", 24, Param::kNone, "reload the parameters from the EEPROM and print them"},
    Name{"save", 25, Param::kNone, "save the parameters to the EEPROM and rewrite setup.ini"},
    Name{"params", 26, Param::kNone, "print the parameters"},
    Name{"autorec", 27, Param::kOffOn, "automatic recording"},
    Name{"protect", 28, Param::kOffOn, "event file protection"},
    Name{"recstop", 29, Param::kInt, "recording-stop timer in minutes (0-90)"},
    Name{"powerrst", 37, Param::kInt, "power-reset timer"},
    Name{"ping", 40, Param::kNone, "acknowledged with 41, does nothing"},
    Name{"test", 53, Param::kInt, "test function N"},
    Name{"datemenu", 54, Param::kNone, "open or close the date and time menu"},
    Name{"defaults", 55, Param::kNone, "reset the parameters to their defaults and rewrite setup.ini"},
    Name{"fps-h", 60, Param::kInt, "preset H frame rate"},
    Name{"kbps-h", 61, Param::kInt, "preset H bit rate (kbit/s)"},
    Name{"gop-h", 62, Param::kInt, "preset H GOP (seconds)"},
    Name{"fps-m", 63, Param::kInt, "preset M frame rate"},
    Name{"kbps-m", 64, Param::kInt, "preset M bit rate (kbit/s)"},
    Name{"gop-m", 65, Param::kInt, "preset M GOP (seconds)"},
    Name{"fps-l", 66, Param::kInt, "preset L frame rate"},
    Name{"kbps-l", 67, Param::kInt, "preset L bit rate (kbit/s)"},
    Name{"gop-l", 68, Param::kInt, "preset L GOP (seconds)"},
    Name{"id1", 72, Param::kText, "ID text 1 (8 characters kept)"},
    Name{"id2", 73, Param::kText, "ID text 2"},
    Name{"id3", 74, Param::kText, "ID text 3"},
    Name{"id4", 75, Param::kText, "ID text 4"},
    Name{"gps", 81, Param::kOnOff, "GPS receiver"},
    Name{"mute", 82, Param::kOnOff, "sound muted in the recording"},
    Name{"gss", 83, Param::kOnOff, "G-sensor receiver"},
    Name{"vqsel", 101, Param::kInt, "video quality preset"},
    Name{"steering-limit", 102, Param::kInt, "steering rotation limit (at most 255)"},
    Name{"brake-limit", 103, Param::kInt, "brake limit (at most 255)"},
    Name{"accel-limit", 104, Param::kInt, "acceleration limit (at most 255)"},
    Name{"speed-limit", 105, Param::kInt, "speed limit (at most 1129)"},
    Name{"engine-limit", 106, Param::kInt, "engine rotation limit (at most 17476)"},
    Name{"idling-limit", 107, Param::kInt, "idling time limit (at most 1440)"},
    Name{"ext-event", 108, Param::kOnOff, "external event input"},
    Name{"ext-logic", 109, Param::kInt, "external event input logic (0 or 1)"},
    Name{"drive-alert", 110, Param::kOnOff, "drive alert"},
    Name{"event-files", 111, Param::kInt, "event file number (at most 8000)"},
    Name{"gss-offset-x", 112, Param::kInt, "G-sensor offset X"},
    Name{"gss-offset-y", 113, Param::kInt, "G-sensor offset Y"},
    Name{"gss-offset-z", 114, Param::kInt, "G-sensor offset Z"},
    Name{"pass-old", 115, Param::kText, "old pass code (4 characters kept)"},
    Name{"pass-new", 116, Param::kText, "new pass code (4 characters kept)"},
    Name{"uart3", 117, Param::kInt, "third serial port mode"},
    Name{"gss-position", 118, Param::kInt, "G-sensor mounting position (1-24)"},
};

// The key emulation commands, REC first.
constexpr std::array kKeys = {"rec", "stop", "select", "up", "down"};
constexpr int kFirstKeyCommand = 30;

bool ParseInt(const std::string& word, int* value) {
    if (word.empty()) return false;
    errno = 0;
    char* end = nullptr;
    const bool hex = word.rfind("0x", 0) == 0 || word.rfind("-0x", 0) == 0;
    const long long v = std::strtoll(word.c_str(), &end, hex ? 16 : 10);
    if (errno != 0 || end == word.c_str() || *end != '\0' || v < INT_MIN || v > INT_MAX) return false;
    *value = static_cast<int>(v);
    return true;
}

const Name* FindName(const std::string& word) {
    for (const Name& n : kNames)
        if (word == n.name) return &n;
    return nullptr;
}

bool Fail(std::string* error, const std::string& why) {
    *error = why;
    return false;
}

bool ParseParam(Param kind, const std::string& what, const std::vector<std::string>& rest, Request* r,
                std::string* error) {
    if (kind == Param::kNone) {
        if (!rest.empty()) return Fail(error, what + " takes no parameter");
        return true;
    }
    if (rest.size() != 1) {
        // A text with blanks comes as several words when it is not quoted.
        if (kind == Param::kText && rest.size() > 1) return Fail(error, what + ": quote a text with blanks");
        return Fail(error, what + " needs one parameter");
    }
    const std::string& p = rest[0];
    switch (kind) {
        case Param::kOnOff:
        case Param::kOffOn:
            if (p != "on" && p != "off") return Fail(error, what + " takes on or off");
            r->param = (p == "on") == (kind == Param::kOnOff) ? 1 : 0;
            return true;
        case Param::kText:
            if (p.size() > kMaxText) return Fail(error, what + ": a text of at most 59 characters");
            r->has_text = true;
            r->text = p;
            return true;
        default:
            if (!ParseInt(p, &r->param)) return Fail(error, what + ": not an integer: " + p);
            return true;
    }
}

}  // namespace

int ExpectedEcho(int command) { return command == 40 ? 41 : command; }

bool ParseRequest(const std::vector<std::string>& words, Request* request, std::string* error) {
    if (words.empty()) return Fail(error, "no command given");
    Request r;
    const std::string& first = words[0];
    const std::vector<std::string> rest(words.begin() + 1, words.end());
    if (first == "key") {
        if (rest.size() != 1) return Fail(error, "key needs one of rec, stop, select, up, down");
        for (size_t i = 0; i < kKeys.size(); ++i)
            if (rest[0] == kKeys[i] || (rest[0] == "sel" && i == 2)) r.command = kFirstKeyCommand + static_cast<int>(i);
        if (r.command == 0) return Fail(error, "no such key: " + rest[0]);
    } else if (const Name* n = FindName(first)) {
        r.command = n->command;
        if (!ParseParam(n->param, first, rest, &r, error)) return false;
    } else if (ParseInt(first, &r.command)) {
        // By number: a text for the text commands, else an optional integer.
        if (TakesTextParameter(r.command)) {
            if (!ParseParam(Param::kText, first, rest, &r, error)) return false;
        } else if (!rest.empty() && !ParseParam(Param::kInt, first, rest, &r, error)) {
            return false;
        }
    } else {
        return Fail(error, "no such command: " + first + " (diviv-host --help lists them)");
    }
    *request = r;
    return true;
}

commsg_t Encode(const Request& request) {
    commsg_t m{};
    const int32_t command = request.command;
    std::memcpy(m.MsgData, &command, sizeof command);
    if (request.has_text) {
        std::memcpy(m.MsgData + 4, request.text.data(), std::min(request.text.size(), kMaxText));
    } else {
        const int32_t param = request.param;
        std::memcpy(m.MsgData + 4, &param, sizeof param);
    }
    return m;
}

std::string CommandName(int command) {
    if (command >= kFirstKeyCommand && command < kFirstKeyCommand + static_cast<int>(kKeys.size()))
        return std::string("key ") + kKeys[static_cast<size_t>(command - kFirstKeyCommand)];
    if (command == 41) return "ping";
    for (const Name& n : kNames)
        if (n.command == command) return n.name;
    return "";
}

std::string NamesHelp() {
    std::string out;
    auto line = [&out](const std::string& left, int command, const char* help) {
        char buf[160];
        std::snprintf(buf, sizeof buf, "  %-24s %3d  %s\n", left.c_str(), command, help);
        out += buf;
    };
    for (const Name& n : kNames) {
        std::string left = n.name;
        switch (n.param) {
            case Param::kInt: left += " N"; break;
            case Param::kOnOff:
            case Param::kOffOn: left += " on|off"; break;
            case Param::kText: left += " TEXT"; break;
            case Param::kNone: break;
        }
        line(left, n.command, n.help);
        if (n.command == 29)
            for (size_t i = 0; i < kKeys.size(); ++i)
                line(std::string("key ") + kKeys[i], kFirstKeyCommand + static_cast<int>(i), "press the key");
    }
    return out;
}

bool ParseQueueId(const std::string& word, int* qid) {
    if (word.empty()) return false;
    bool hex = false;
    std::string digits = word;
    if (word.rfind("0x", 0) == 0 || word.rfind("0X", 0) == 0) {
        hex = true;
        digits = word.substr(2);
    }
    if (digits.empty()) return false;
    for (char c : digits) {
        if (c >= '0' && c <= '9') continue;
        if ((c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F')) {
            hex = true;
            continue;
        }
        return false;
    }
    errno = 0;
    const unsigned long long v = std::strtoull(digits.c_str(), nullptr, hex ? 16 : 10);
    if (errno != 0 || v > INT_MAX) return false;
    *qid = static_cast<int>(v);
    return true;
}

}  // namespace diviv_host
