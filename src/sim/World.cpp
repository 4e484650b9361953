#include "sim/World.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>

#include "platform/BoardPath.h"
#include "platform/Clock.h"

namespace diviv::sim {

namespace {

std::string_view Trim(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t' || s.front() == '\r')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) s.remove_suffix(1);
    return s;
}

int64_t ToNs(const timespec& t) { return static_cast<int64_t>(t.tv_sec) * 1000000000 + t.tv_nsec; }

// Reads a whole small file. False when it cannot be opened.
bool Slurp(const std::string& path, std::string& out) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    out.clear();
    char buf[4096];
    for (;;) {
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        out.append(buf, static_cast<size_t>(n));
    }
    ::close(fd);
    return true;
}

bool WriteAll(int fd, const std::string& text) {
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

}  // namespace

WorldValues ParseWorld(std::string_view text) {
    WorldValues values;
    while (!text.empty()) {
        const size_t eol = text.find('\n');
        std::string_view line = Trim(text.substr(0, eol));
        text = eol == std::string_view::npos ? std::string_view{} : text.substr(eol + 1);
        if (line.empty() || line.front() == '#') continue;
        const size_t eq = line.find('=');
        if (eq == std::string_view::npos) continue;
        const std::string_view key = Trim(line.substr(0, eq));
        if (key.empty()) continue;
        values.insert_or_assign(std::string(key), std::string(Trim(line.substr(eq + 1))));
    }
    return values;
}

std::string FormatWorld(const WorldValues& values) {
    std::string text = "# DiViv simulated world (written by boardsim)\n";
    for (const auto& [k, v] : values) text += k + "=" + v + "\n";
    return text;
}

bool WorldReader::Refresh() {
    struct stat st {};
    FileStamp now;
    if (::stat(path_.c_str(), &st) == 0) {
        now = {st.st_ino, st.st_size, ToNs(st.st_mtim), ToNs(st.st_ctim)};
    }
    if (read_once_ && now == stamp_ && !racy_) return false;

    WorldValues fresh;
    std::string text;
    if (now.size >= 0 && Slurp(path_, text)) fresh = ParseWorld(text);
    read_once_ = true;
    stamp_ = now;
    // A write landing in the same time-stamp tick as this read (and reusing
    // the freed inode with an equal size) would look unchanged: read again
    // until the file's time lies safely in the past.
    timespec wall{};
    clock_gettime(CLOCK_REALTIME, &wall);
    racy_ = now.size >= 0 && ToNs(wall) - now.mtime_ns < 1000000000LL;
    if (fresh == values_) return false;
    values_ = std::move(fresh);
    return true;
}

int64_t WorldReader::Int(std::string_view key, int64_t fallback) const {
    const auto it = values_.find(key);
    if (it == values_.end() || it->second.empty()) return fallback;
    char* end = nullptr;
    errno = 0;
    const long long v = std::strtoll(it->second.c_str(), &end, 10);
    if (errno != 0 || *end != '\0') return fallback;
    return v;
}

std::string WorldReader::Text(std::string_view key) const {
    const auto it = values_.find(key);
    return it == values_.end() ? std::string() : it->second;
}

int64_t WorldReader::TakeOnce(std::string_view value_key, std::string_view generation_key) {
    const int64_t generation = Int(generation_key, 0);
    if (generation == 0) return 0;
    auto it = taken_generations_.find(generation_key);
    if (it != taken_generations_.end() && it->second == generation) return 0;
    taken_generations_.insert_or_assign(std::string(generation_key), generation);
    return Int(value_key, 0);
}

void WithBoardWorld(const std::function<void(WorldReader&)>& fn) {
    static std::mutex mutex;
    static std::unique_ptr<WorldReader> reader;  // guarded by mutex
    std::lock_guard lock(mutex);
    const std::string path = BoardPath(kWorldFile);
    if (!reader || reader->path() != path) reader = std::make_unique<WorldReader>(path);
    reader->Refresh();
    fn(*reader);
}

WorldWriter::WorldWriter(std::string file_path) : path_(std::move(file_path)) {
    std::string text;
    if (Slurp(path_, text)) values_ = ParseWorld(text);
}

void WorldWriter::Set(std::string_view key, std::string_view value) {
    values_.insert_or_assign(std::string(key), std::string(value));
}

void WorldWriter::SetInt(std::string_view key, int64_t value) { Set(key, std::to_string(value)); }

int64_t WorldWriter::Int(std::string_view key, int64_t fallback) const {
    const auto it = values_.find(key);
    if (it == values_.end()) return fallback;
    char* end = nullptr;
    const long long v = std::strtoll(it->second.c_str(), &end, 10);
    return (it->second.empty() || *end != '\0') ? fallback : v;
}

bool WorldWriter::Write(std::string* error) {
    const std::string tmp = path_ + ".tmp." + std::to_string(::getpid());
    const int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        if (error) *error = "cannot create " + tmp + ": " + std::strerror(errno);
        return false;
    }
    const bool written = WriteAll(fd, FormatWorld(values_));
    const int close_rc = ::close(fd);
    if (!written || close_rc != 0 || ::rename(tmp.c_str(), path_.c_str()) != 0) {
        if (error) *error = "cannot write " + path_ + ": " + std::strerror(errno);
        ::unlink(tmp.c_str());
        return false;
    }
    return true;
}

bool WorldWriter::OneShot(std::string_view value_key, std::string_view generation_key, int64_t value,
                          std::string* error) {
    SetInt(value_key, value);
    SetInt(generation_key, Int(generation_key, 0) + 1);
    return Write(error);
}

bool WorldWriter::CameraDrop(int frames, std::string* error) {
    return OneShot(kWorldCameraDrop, kWorldCameraDropGen, frames, error);
}

bool WorldWriter::CameraEio(int count, std::string* error) { return OneShot(kWorldCameraEio, kWorldCameraEioGen, count, error); }

bool WorldWriter::CameraStall(int64_t ms, std::string* error) {
    SetInt(kWorldCameraStallUntilMs, MonotonicMs() + ms);
    return Write(error);
}

bool WorldWriter::CameraTimeJump(int64_t ms, std::string* error) {
    return OneShot(kWorldCameraTimeJumpMs, kWorldCameraTimeJumpGen, ms, error);
}

bool WorldWriter::CameraMaxBuffers(int buffers, std::string* error) {
    SetInt(kWorldCameraMaxBuffers, buffers);
    return Write(error);
}

bool WorldWriter::MicrophoneEintr(int count, std::string* error) {
    return OneShot(kWorldMicEintr, kWorldMicEintrGen, count, error);
}

bool WorldWriter::MicrophoneTimeout(int count, std::string* error) {
    return OneShot(kWorldMicTimeout, kWorldMicTimeoutGen, count, error);
}

bool WorldWriter::MicrophoneStall(int64_t ms, std::string* error) {
    const int64_t now = MonotonicMs();
    SetInt(kWorldMicStallFromMs, now);
    SetInt(kWorldMicStallUntilMs, now + ms);
    return Write(error);
}

bool WorldWriter::MicrophoneFile(const std::string& path, std::string* error) {
    Set(kWorldMicFile, path);
    return Write(error);
}

namespace {

// g to whole milli-g.
int64_t MilliG(double g) { return std::llround(g * 1000.0); }

std::string Decimal(double v) {
    char text[32];
    std::snprintf(text, sizeof text, "%.3f", v < 0 ? 0.0 : v);
    return text;
}

}  // namespace

bool WorldWriter::VehicleSpeed(double kmh, std::string* error) {
    Set(kWorldSpeedKmh, Decimal(kmh));
    SetInt(kWorldSpeedSinceMs, MonotonicMs());
    return Write(error);
}

bool WorldWriter::EngineSpeed(double rpm, std::string* error) {
    Set(kWorldEngineRpm, Decimal(rpm));
    SetInt(kWorldEngineSinceMs, MonotonicMs());
    return Write(error);
}

bool WorldWriter::Acceleration(double fb_g, double lr_g, double ud_g, std::string* error) {
    SetInt(kWorldAccelFbMg, MilliG(fb_g));
    SetInt(kWorldAccelLrMg, MilliG(lr_g));
    SetInt(kWorldAccelUdMg, MilliG(ud_g));
    SetInt(kWorldAccelSinceMs, MonotonicMs());
    return Write(error);
}

bool WorldWriter::Shock(double fb_g, double lr_g, double ud_g, std::string* error) {
    SetInt(kWorldShockFbMg, MilliG(fb_g));
    SetInt(kWorldShockLrMg, MilliG(lr_g));
    SetInt(kWorldShockUdMg, MilliG(ud_g));
    SetInt(kWorldShockAtMs, MonotonicMs());
    return Write(error);
}

bool WorldWriter::GsensorPosition(int position, std::string* error) {
    SetInt(kWorldGsensorPosition, position);
    return Write(error);
}

bool WorldWriter::GpsSignal(std::string_view signal, std::string* error) {
    Set(kWorldGpsSignal, signal);
    SetInt(kWorldGpsWakes, 1);
    return Write(error);
}

bool WorldWriter::GpsNeverWakes(std::string* error) {
    SetInt(kWorldGpsWakes, 0);
    return Write(error);
}

bool WorldWriter::GpsRoute(const std::string& path, std::string* error) {
    Set(kWorldGpsRoute, path);
    return Write(error);
}

}  // namespace diviv::sim
