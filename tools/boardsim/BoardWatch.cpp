#include "BoardWatch.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

#include "sim/SimBoard.h"

namespace boardsim {

namespace {

constexpr double kSteadySeconds = 0.015;

std::string Trimmed(std::string s) {
    while (!s.empty() && (s.back() == '\n' || s.back() == ' ' || s.back() == '\r')) s.pop_back();
    return s;
}

std::string ReadAttr(const std::string& folder, const char* name) {
    return Trimmed(diviv::sim::ReadTextFile(folder + "/" + name));
}

int ReadInt(const std::string& folder, const char* name) { return std::atoi(ReadAttr(folder, name).c_str()); }

std::string LedFolder(const std::string& root, int n) {
    return root + "/sys/class/leds/LED" + std::to_string(n);
}

std::string BuzzerFolder(const std::string& root) { return root + "/sys/class/leds/BUZZER"; }

const char* PowerCommandMeaning(const std::string& cmd) {
    if (cmd == "1") return "power hold on";
    if (cmd == "0") return "power hold off";
    if (cmd == "2") return "switch off";
    return "unknown command";
}

}  // namespace

LedTriple ReadLeds(const std::string& root) {
    LedTriple t{};
    ReadLedsIfWhole(root, &t);
    return t;
}

bool ReadLedsIfWhole(const std::string& root, LedTriple* leds) {
    bool whole = true;
    for (int i = 0; i < 3; ++i) {
        const std::string folder = LedFolder(root, i + 1);
        const std::string trigger = ReadAttr(folder, "trigger");
        if (trigger == "timer") {
            const std::string delay = ReadAttr(folder, "delay_on");
            whole = whole && !delay.empty();
            (*leds)[i] = std::atoi(delay.c_str()) <= 350 ? 2 : 3;
        } else {
            const std::string brightness = ReadAttr(folder, "brightness");
            whole = whole && !trigger.empty() && !brightness.empty();
            (*leds)[i] = std::atoi(brightness.c_str()) != 0 ? 1 : 0;
        }
    }
    return whole;
}

std::string LedText(const LedTriple& leds) {
    return std::to_string(leds[0]) + "," + std::to_string(leds[1]) + "," + std::to_string(leds[2]);
}

void ResetIndicators(const std::string& root) {
    for (int n = 1; n <= 3; ++n) {
        diviv::sim::WriteTextFile(LedFolder(root, n) + "/trigger", "none");
        diviv::sim::WriteTextFile(LedFolder(root, n) + "/brightness", "0");
    }
    const std::string buzzer = BuzzerFolder(root);
    diviv::sim::WriteTextFile(buzzer + "/trigger", "none");
    for (const char* f : {"delay1_on", "delay2_on", "delay3_on", "delay4_on", "times"}) {
        diviv::sim::WriteTextFile(buzzer + "/" + f, "0");
    }
}

BoardWatch::BoardWatch(std::string root) : root_(std::move(root)) {
    leds_ = candidate_ = ReadLeds(root_);
    struct stat st{};
    if (::stat((BuzzerFolder(root_) + "/times").c_str(), &st) == 0) buzzer_mtime_ = st.st_mtim;
    if (::stat((root_ + "/proc/driver/power_cmd").c_str(), &st) == 0) power_offset_ = st.st_size;
    if (::stat((root_ + "/sim/events.log").c_str(), &st) == 0) events_offset_ = st.st_size;
}

void BoardWatch::Poll(double now, std::vector<TimelineEntry>* out) {
    PollEvents(now, out);  // the recorder unmounts before it switches off
    PollPowerCommands(now, out);
    PollLeds(now, out);
    PollBuzzer(now, out);
}

void BoardWatch::Settle(double now, std::vector<TimelineEntry>* out) {
    Poll(now, out);
    candidate_ = ReadLeds(root_);
    candidate_since_ = now - kSteadySeconds;
    PollLeds(now, out);
}

void BoardWatch::PollLeds(double now, std::vector<TimelineEntry>* out) {
    // The recorder writes an LED's files one after another (and a file is
    // empty for a moment while it is rewritten): a triple counts once it
    // has stayed the same for a while, so half-written states are not reported.
    LedTriple seen{};
    if (!ReadLedsIfWhole(root_, &seen)) return;
    if (seen != candidate_) {
        candidate_ = seen;
        candidate_since_ = now;
        return;
    }
    if (seen == leds_ || now - candidate_since_ < kSteadySeconds) return;
    leds_ = seen;
    out->push_back({now, "LED " + LedText(leds_)});
}

void BoardWatch::PollBuzzer(double now, std::vector<TimelineEntry>* out) {
    // The pattern starts when "times" is written; its time stamp tells a
    // new pattern even when it repeats the last one.
    const std::string folder = BuzzerFolder(root_);
    struct stat st{};
    if (::stat((folder + "/times").c_str(), &st) != 0) return;
    if (st.st_mtim.tv_sec == buzzer_mtime_.tv_sec && st.st_mtim.tv_nsec == buzzer_mtime_.tv_nsec) return;
    std::string pattern;
    for (int pair = 1; pair <= 4; ++pair) {
        const std::string on_name = "delay" + std::to_string(pair) + "_on";
        const std::string off_name = "delay" + std::to_string(pair) + "_off";
        const int on = ReadInt(folder, on_name.c_str());
        if (pair > 1 && on <= 0) continue;
        if (pair > 1) pattern += ' ';
        pattern += std::to_string(on);
        pattern += '/';
        pattern += std::to_string(ReadInt(folder, off_name.c_str()));
    }
    std::string what = "buzzer ";
    what += pattern;
    what += " ms x";
    what += ReadAttr(folder, "times");
    out->push_back({now, what});
    // The simulated buzzer plays a pattern once and forgets it, so pairs of
    // an earlier pattern do not show up in the next one.
    for (const char* f : {"delay2_on", "delay3_on", "delay4_on"}) diviv::sim::WriteTextFile(folder + "/" + f, "0");
    buzzer_mtime_ = st.st_mtim;
}

std::vector<std::string> BoardWatch::NewLines(const std::string& path, off_t* offset, std::string* partial) {
    std::vector<std::string> lines;
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return lines;
    struct stat st{};
    if (::fstat(fd, &st) == 0 && st.st_size < *offset) {
        *offset = 0;  // the file was started anew
        partial->clear();
    }
    char buf[4096];
    ssize_t n;
    while ((n = ::pread(fd, buf, sizeof buf, *offset)) > 0) {
        *offset += n;
        partial->append(buf, static_cast<size_t>(n));
    }
    ::close(fd);
    size_t nl;
    while ((nl = partial->find('\n')) != std::string::npos) {
        lines.push_back(Trimmed(partial->substr(0, nl)));
        partial->erase(0, nl + 1);
    }
    return lines;
}

void BoardWatch::PollPowerCommands(double now, std::vector<TimelineEntry>* out) {
    for (const std::string& cmd : NewLines(root_ + "/proc/driver/power_cmd", &power_offset_, &power_partial_)) {
        out->push_back({now, "power controller " + cmd + " (" + PowerCommandMeaning(cmd) + ")"});
        if (cmd == "2") switched_off_ = true;
    }
}

void BoardWatch::PollEvents(double now, std::vector<TimelineEntry>* out) {
    for (const std::string& line : NewLines(root_ + "/sim/events.log", &events_offset_, &events_partial_)) {
        out->push_back({now, line});
    }
}

}  // namespace boardsim
