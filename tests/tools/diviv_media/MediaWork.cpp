#include "MediaWork.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include <unistd.h>

namespace mediawork {

const fs::path& Folder() {
    static const fs::path folder = [] {
        fs::path p = fs::temp_directory_path() / ("diviv-media-work-" + std::to_string(getpid()));
        fs::create_directories(p);
        return p;
    }();
    return folder;
}

void Remove() {
    std::error_code ec;
    fs::remove_all(Folder(), ec);
}

std::string Path(const std::string& name) { return (Folder() / name).string(); }

bool HaveFfmpeg() {
    static const bool have =
        std::system("command -v ffmpeg >/dev/null 2>&1 && command -v ffprobe >/dev/null 2>&1") == 0;
    return have;
}

namespace {
std::string Slurp(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}
}  // namespace

Shell RunShell(const std::string& cmd) {
    const fs::path o = Folder() / "cmd.out", e = Folder() / "cmd.err";
    const int rc = std::system((cmd + " >'" + o.string() + "' 2>'" + e.string() + "'").c_str());
    return {rc, Slurp(o), Slurp(e)};
}

std::vector<uint8_t> Bytes(const std::string& path) {
    const std::string s = Slurp(path);
    return {s.begin(), s.end()};
}

void Save(const std::string& path, const std::vector<uint8_t>& bytes) {
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

std::string MakeRecording(const std::string& name, int seconds, const std::string& pass,
                          const std::string& testSource) {
    const std::string base = Path(name);
    const std::string t = std::to_string(seconds);
    if (RunShell("ffmpeg -v error -y -f lavfi -i " + testSource + "=size=160x120:rate=30 -t " + t +
                 " -pix_fmt yuv420p -c:v libx264 -profile:v baseline -bf 0 -g 15 -f h264 '" + base + ".h264'")
            .rc != 0)
        return "";
    if (RunShell("ffmpeg -v error -y -f lavfi -i sine=frequency=440:sample_rate=8000 -t " + t +
                 " -ac 1 -c:a pcm_s16le '" + base + ".wav'")
            .rc != 0)
        return "";
    {
        std::ofstream text(base + ".txt", std::ios::binary);
        for (int s = 0; s < seconds; ++s) text << "$SPCNT," << (10000000 + s) << "\r\n";
    }
    std::vector<std::string> args = {"mux",         "--video", base + ".h264", "--audio", base + ".wav", "--text",
                                     base + ".txt", "--date",  "1700000000",   "-o",      base};
    if (!pass.empty()) args.insert(args.end(), {"--scramble", pass});
    return mediatest::Tool(args).rc == 0 ? base : "";
}

int DecodedPictures(const std::string& path, std::string* errors) {
    Shell r = RunShell(
        "ffprobe -v error -count_frames -select_streams v:0 -show_entries stream=nb_read_frames "
        "-of csv=p=0 '" +
        path + "'");
    if (errors) *errors = r.err;
    if (r.rc != 0 || !r.err.empty()) return -1;
    return std::atoi(r.out.c_str());
}

}  // namespace mediawork
