#include "MediaCommands.h"

#include "ExportCommand.h"
#include "RepairCommand.h"
#include "ReportCommand.h"

#include <cstdlib>
#include <cstring>
#include <string_view>
#include <vector>

namespace media {
namespace {

constexpr const char* kUsage =
    "usage:\n"
    "  diviv-media mux --video IN.h264 [--audio IN.wav] [--text RECORDS.txt] [--scramble CODE]\n"
    "                  [--date SECONDS] -o OUT.asf\n"
    "      H.264 Annex-B pictures at 30 per second (stream 1), 8 kHz 16-bit mono PCM as\n"
    "      32 kbit/s G.726 (stream 2), one text record per line (stream 3). --scramble\n"
    "      scrambles key pictures with the 4-digit pass code as the recorder does.\n"
    "  diviv-media info FILE.asf [--pass CODE]\n"
    "      header objects, streams, packets, duration, objects per stream, index.\n"
    "  diviv-media extract FILE.asf [--video OUT.h264] [--audio OUT.wav] [--text OUT.txt]\n"
    "                      [--pass CODE]\n"
    "      the streams back out; --pass descrambles key pictures.\n"
    "  diviv-media frames FILE.asf|STREAM.h264 [--pass CODE]\n"
    "      per decoded picture its time and the frame band read back from it:\n"
    "      \"pts_ms=T seq=N marker=0|1\" or \"pts_ms=T band=unreadable\" (raw streams at 30\n"
    "      pictures per second).\n"
    "  diviv-media check FILE.asf|FOLDER... [--pass CODE]\n"
    "      per recording: sound or damaged, duration, pictures and gaps in their times,\n"
    "      audio against video, sensor records by kind, trip and event summaries,\n"
    "      scrambling; exit 1 when a recording is damaged.\n"
    "  diviv-media repair FILE.asf [-o OUT.asf]\n"
    "      a recording cut before it was closed (power lost) made whole: header sizes and\n"
    "      counts, Data Object and simple index rebuilt from the whole packets, a partial\n"
    "      last packet dropped. Writes OUT.asf, or beside the input FILE.repaired.asf\n"
    "      (its name with .repaired.asf for the extension); the input is never changed.\n"
    "  diviv-media export FILE.asf... [--pass CODE] [--gpx OUT.gpx] [--csv OUT.csv]\n"
    "                     [--mp4 OUT.mp4]\n"
    "      recordings joined in the order given: --mp4 the pictures (descrambled with\n"
    "      --pass, not re-encoded) and the sound as AAC in an MP4 file; --gpx the valid GPS\n"
    "      positions as a GPX 1.1 track with times, speed and course; --csv one line per\n"
    "      sensor record: time, kind, G-sensor in g per vehicle axis, pulses, contacts,\n"
    "      position, summaries.\n"
    "  diviv-media report FILE.asf|FOLDER... [--pass CODE] -o TRIP.html\n"
    "      one self-contained web page for the drive: the GPS track, speed, pulses and\n"
    "      G-forces over time with the events marked, the recordings with their\n"
    "      summaries and a still of each (--pass opens scrambled key pictures).\n"
    "  diviv-media g726 encode|decode --bits N IN OUT\n"
    "      WAV (8 kHz 16-bit mono) to packed G.726 code words at N = 2..5 bits, or back.\n";

bool ParsePass(std::string_view text, PassCode& pass, std::string& error) {
    if (text.size() != 4) {
        error = "pass code must be 4 digits, got \"" + std::string(text) + "\"";
        return false;
    }
    for (size_t i = 0; i < 4; ++i) {
        if (text[i] < '0' || text[i] > '9') {
            error = "pass code must be 4 digits, got \"" + std::string(text) + "\"";
            return false;
        }
        pass[i] = static_cast<uint8_t>(text[i]);
    }
    return true;
}

// Option list: "--name value" pairs and positional arguments.
struct Args {
    std::vector<std::pair<std::string, std::string>> options;
    std::vector<std::string> positional;
};

bool Split(int argc, const char* const* argv, int first, const std::vector<std::string_view>& known, Args& a,
           std::string& error) {
    for (int i = first; i < argc; ++i) {
        std::string_view arg = argv[i];
        if (arg.size() > 1 && arg[0] == '-') {
            bool ok = false;
            for (auto k : known) ok = ok || k == arg;
            if (!ok) {
                error = "unknown option " + std::string(arg);
                return false;
            }
            if (i + 1 >= argc) {
                error = "option " + std::string(arg) + " needs a value";
                return false;
            }
            a.options.emplace_back(std::string(arg), argv[++i]);
        } else {
            a.positional.emplace_back(arg);
        }
    }
    return true;
}

int Fail(FILE* err, const std::string& reason) {
    std::fprintf(err, "diviv-media: %s\n", reason.c_str());
    return 1;
}

}  // namespace

int RunCommandLine(int argc, const char* const* argv, FILE* out, FILE* err) {
    if (argc < 2 || std::string_view(argv[1]) == "--help" || std::string_view(argv[1]) == "-h") {
        std::fputs(kUsage, argc < 2 ? err : out);
        return argc < 2 ? 2 : 0;
    }
    // Help asked for among a command's arguments; every option takes a value,
    // so a word right after an option is that option's value.
    for (int i = 2; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            std::fputs(kUsage, out);
            return 0;
        }
        if (arg.size() > 1 && arg[0] == '-') ++i;
    }
    const std::string_view cmd = argv[1];
    std::string error;
    Args a;
    if (cmd == "mux") {
        MuxOptions o;
        if (!Split(argc, argv, 2, {"--video", "--audio", "--text", "--scramble", "--date", "-o"}, a, error))
            return Fail(err, error);
        if (!a.positional.empty()) return Fail(err, "mux: unexpected argument " + a.positional[0]);
        for (auto& [k, v] : a.options) {
            if (k == "--video") o.video = v;
            if (k == "--audio") o.audio = v;
            if (k == "--text") o.text = v;
            if (k == "-o") o.output = v;
            if (k == "--date") {
                char* end = nullptr;
                o.date = std::strtoll(v.c_str(), &end, 10);
                if (v.empty() || *end != '\0' || o.date < 0) return Fail(err, "--date wants seconds since 1970");
            }
            if (k == "--scramble") {
                if (!ParsePass(v, o.pass, error)) return Fail(err, error);
                o.scramble = true;
            }
        }
        if (o.video.empty() || o.output.empty()) return Fail(err, "mux needs --video IN.h264 and -o OUT.asf");
        return Mux(o, out, error) == 0 ? 0 : Fail(err, error);
    }
    if (cmd == "info" || cmd == "extract") {
        ReadOptions o;
        const bool extract = cmd == "extract";
        std::vector<std::string_view> known = {"--pass"};
        if (extract) known.insert(known.end(), {"--video", "--audio", "--text"});
        if (!Split(argc, argv, 2, known, a, error)) return Fail(err, error);
        if (a.positional.size() != 1) return Fail(err, std::string(cmd) + " needs exactly one FILE.asf");
        o.input = a.positional[0];
        for (auto& [k, v] : a.options) {
            if (k == "--video") o.video = v;
            if (k == "--audio") o.audio = v;
            if (k == "--text") o.text = v;
            if (k == "--pass") {
                if (!ParsePass(v, o.pass, error)) return Fail(err, error);
                o.havePass = true;
            }
        }
        if (extract && o.video.empty() && o.audio.empty() && o.text.empty())
            return Fail(err, "extract needs at least one of --video, --audio, --text");
        const int rc = extract ? Extract(o, out, error) : Info(o, out, error);
        return rc == 0 ? 0 : Fail(err, error);
    }
    if (cmd == "frames") {
        FramesOptions o;
        if (!Split(argc, argv, 2, {"--pass"}, a, error)) return Fail(err, error);
        if (a.positional.size() != 1) return Fail(err, "frames needs exactly one FILE.asf or STREAM.h264");
        o.input = a.positional[0];
        for (auto& [k, v] : a.options) {
            if (!ParsePass(v, o.pass, error)) return Fail(err, error);
            o.havePass = true;
        }
        return Frames(o, out, error) == 0 ? 0 : Fail(err, error);
    }
    if (cmd == "check") {
        CheckOptions o;
        if (!Split(argc, argv, 2, {"--pass"}, a, error)) return Fail(err, error);
        if (a.positional.empty()) return Fail(err, "check needs at least one FILE.asf or folder");
        o.inputs = a.positional;
        for (auto& [k, v] : a.options) {
            if (!ParsePass(v, o.pass, error)) return Fail(err, error);
            o.havePass = true;
        }
        return Check(o, out, error) == 0 ? 0 : Fail(err, error);
    }
    if (cmd == "repair") {
        RepairOptions o;
        if (!Split(argc, argv, 2, {"-o"}, a, error)) return Fail(err, error);
        if (a.positional.size() != 1) return Fail(err, "repair needs exactly one FILE.asf");
        o.input = a.positional[0];
        for (auto& [k, v] : a.options) o.output = v;
        return Repair(o, out, error) == 0 ? 0 : Fail(err, error);
    }
    if (cmd == "export") {
        ExportOptions o;
        if (!Split(argc, argv, 2, {"--pass", "--gpx", "--csv", "--mp4"}, a, error)) return Fail(err, error);
        o.inputs = a.positional;
        for (auto& [k, v] : a.options) {
            if (k == "--gpx") o.gpx = v;
            if (k == "--csv") o.csv = v;
            if (k == "--mp4") o.mp4 = v;
            if (k == "--pass") {
                if (!ParsePass(v, o.pass, error)) return Fail(err, error);
                o.havePass = true;
            }
        }
        return Export(o, out, err, error) == 0 ? 0 : Fail(err, error);
    }
    if (cmd == "report") {
        ReportOptions o;
        if (!Split(argc, argv, 2, {"--pass", "-o"}, a, error)) return Fail(err, error);
        o.inputs = a.positional;
        for (auto& [k, v] : a.options) {
            if (k == "-o") o.output = v;
            if (k == "--pass") {
                if (!ParsePass(v, o.pass, error)) return Fail(err, error);
                o.havePass = true;
            }
        }
        return Report(o, out, err, error) == 0 ? 0 : Fail(err, error);
    }
    if (cmd == "g726") {
        if (argc < 3) return Fail(err, "g726 needs encode or decode");
        const std::string_view dir = argv[2];
        if (dir != "encode" && dir != "decode") return Fail(err, "g726 needs encode or decode, got " + std::string(dir));
        if (!Split(argc, argv, 3, {"--bits"}, a, error)) return Fail(err, error);
        int bits = 4;
        for (auto& [k, v] : a.options) {
            char* end = nullptr;
            bits = static_cast<int>(std::strtol(v.c_str(), &end, 10));
            if (v.empty() || *end != '\0' || bits < 2 || bits > 5) return Fail(err, "--bits must be 2, 3, 4 or 5");
        }
        if (a.positional.size() != 2) return Fail(err, "g726 needs IN and OUT");
        return G726Convert(dir == "encode", bits, a.positional[0], a.positional[1], error) == 0 ? 0
                                                                                              : Fail(err, error);
    }
    std::fprintf(err, "diviv-media: unknown %s %s\n%s", argv[1][0] == '-' ? "option" : "command", argv[1], kUsage);
    return 2;
}

}  // namespace media
