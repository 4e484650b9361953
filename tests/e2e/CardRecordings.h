// Reading a recording run's results from outside: commands run with their
// output, the recordings on the card in recording order, what the project's
// reader (diviv-media) says about each, and the camera's frame numbers read
// back from the decoded pictures.
#pragma once

#include <sys/wait.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

namespace e2e {

// Runs a command; its standard output and error, and its exit status.
inline std::string Capture(const std::string& cmd, int* status) {
    std::unique_ptr<FILE, int (*)(FILE*)> p(::popen((cmd + " 2>&1").c_str(), "r"), ::pclose);
    std::string out;
    char buf[4096];
    size_t n;
    while (p && (n = std::fread(buf, 1, sizeof buf, p.get())) > 0) out.append(buf, n);
    const int rc = p ? ::pclose(p.release()) : -1;
    *status = WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
    return out;
}

struct Picture {
    long pts_ms = -1;
    long seq = -1;
    bool marker = false;
};

// The lines of "diviv-media frames": "pts_ms=T seq=N marker=M"; unreadable
// bands and corrupt pictures are counted.
inline std::vector<Picture> ParseFrames(const std::string& text, int* unreadable) {
    std::vector<Picture> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        if (line.find("band=unreadable") != std::string::npos || line.find("corrupt=1") != std::string::npos) {
            ++*unreadable;
            continue;
        }
        const size_t t = line.find("pts_ms="), s = line.find(" seq="), m = line.find(" marker=");
        if (t == std::string::npos || s == std::string::npos || m == std::string::npos) continue;
        out.push_back({std::stol(line.substr(t + 7)), std::stol(line.substr(s + 5)), line.substr(m + 8, 1) == "1"});
    }
    return out;
}

// One recording on the card: "FILEnnnnn.ASF" or an event file "SAVknnnnn.ASF".
struct Recording {
    std::string path;
    std::string name;
    int number = -1;
};

// The recordings under <card>/DATA, in recording-number order.
inline std::vector<Recording> CardRecordings(const std::string& card) {
    std::vector<Recording> out;
    std::error_code ec;
    for (const auto& e : std::filesystem::recursive_directory_iterator(card + "/DATA", ec)) {
        const std::string name = e.path().filename().string();
        if (!e.is_regular_file() || name.size() != 13 || name.substr(9) != ".ASF") continue;
        out.push_back({e.path().string(), name, std::stoi(name.substr(4, 5))});
    }
    std::sort(out.begin(), out.end(), [](const Recording& a, const Recording& b) { return a.number < b.number; });
    return out;
}

// What "diviv-media info" reports of a recording's streams.
struct StreamCounts {
    bool ok = false;
    long video_objects = 0, key_pictures = 0, audio_bytes = 0, binary_objects = 0;
};

inline StreamCounts ReadStreamCounts(const std::string& media_bin, const std::string& file) {
    int status = 0;
    const std::string info = Capture(media_bin + " info " + file, &status);
    StreamCounts c;
    c.ok = status == 0;
    std::istringstream in(info);
    for (std::string line; std::getline(in, line);) {
        long a = 0, b = 0, d = 0, e = 0;
        if (std::sscanf(line.c_str(), "Stream 1 video: %ld objects (%ld key", &a, &b) == 2) {
            c.video_objects = a;
            c.key_pictures = b;
        } else if (std::sscanf(line.c_str(), "Stream 2 audio: %ld objects, %ld payloads, %ld bytes", &a, &d, &e) == 3) {
            c.audio_bytes = e;
        } else if (std::sscanf(line.c_str(), "Stream 3 binary: %ld objects", &a) == 1) {
            c.binary_objects = a;
        }
    }
    return c;
}

// The binary stream's text records, one per line (CR LF removed).
inline std::vector<std::string> TextRecords(const std::string& media_bin, const std::string& file,
                                            const std::string& scratch) {
    int status = 0;
    Capture(media_bin + " extract " + file + " --text " + scratch, &status);
    std::vector<std::string> out;
    std::unique_ptr<FILE, int (*)(FILE*)> f(std::fopen(scratch.c_str(), "rb"), std::fclose);
    std::string all;
    char buf[4096];
    size_t n;
    while (f && (n = std::fread(buf, 1, sizeof buf, f.get())) > 0) all.append(buf, n);
    // Records end with CR LF, GPS sentences with CR alone.
    std::string line;
    for (char ch : all) {
        if (ch == '\r' || ch == '\n') {
            if (!line.empty()) out.push_back(line);
            line.clear();
        } else {
            line += ch;
        }
    }
    if (!line.empty()) out.push_back(line);
    return out;
}

}  // namespace e2e
