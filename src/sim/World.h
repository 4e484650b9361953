// The simulated world: the state of the vehicle and its surroundings that a
// boardsim scenario sets (camera and microphone faults, speed, engine speed,
// accelerations and shocks, the G-sensor's mounting, GPS), kept in one small file in
// the board root that boardsim rewrites atomically at each step and the
// device models in the recorder's process read when a request needs it.
//
// The file is text, one "key=value" per line; "#" starts a comment line.
// Readers ignore keys they do not know, so new sensors add keys freely.
//
// One-shot faults (drop N frames, fail the next dequeue) are a value and a
// generation: the writer raises the generation with every step, a reader
// applies the value once per generation it has not seen yet. Lasting state
// (a stall until a time, a buffer limit) is a plain value.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <string_view>

namespace diviv::sim {

// The world file, under the board root.
inline constexpr const char* kWorldFile = "/sim/world";

// Camera keys.
inline constexpr const char* kWorldCameraDrop = "camera_drop";          // frames to drop (one-shot)
inline constexpr const char* kWorldCameraDropGen = "camera_drop_gen";
inline constexpr const char* kWorldCameraEio = "camera_eio";            // dequeues to fail with EIO (one-shot)
inline constexpr const char* kWorldCameraEioGen = "camera_eio_gen";
inline constexpr const char* kWorldCameraStallUntilMs = "camera_stall_until_ms";  // board clock (CLOCK_MONOTONIC) ms
inline constexpr const char* kWorldCameraMaxBuffers = "camera_max_buffers";       // buffers granted at most (0: normal)
inline constexpr const char* kWorldCameraTimeJumpMs = "camera_time_jump_ms";      // capture clock jump (one-shot)
inline constexpr const char* kWorldCameraTimeJumpGen = "camera_time_jump_gen";

// Microphone keys.
inline constexpr const char* kWorldMicEintr = "microphone_eintr";      // reads to fail with EINTR (one-shot)
inline constexpr const char* kWorldMicEintrGen = "microphone_eintr_gen";
inline constexpr const char* kWorldMicTimeout = "microphone_timeout";  // reads to fail with ETIMEDOUT (one-shot)
inline constexpr const char* kWorldMicTimeoutGen = "microphone_timeout_gen";
inline constexpr const char* kWorldMicStallFromMs = "microphone_stall_from_ms";    // board clock ms
inline constexpr const char* kWorldMicStallUntilMs = "microphone_stall_until_ms";  // board clock ms
inline constexpr const char* kWorldMicFile = "microphone_file";  // WAV file the microphone plays (empty: the tone)

// Vehicle keys (the scripted drive). A change carries its board-clock time
// (CLOCK_MONOTONIC, ms), so a model that looks late still splits its
// measurement at the moment the vehicle changed.
inline constexpr const char* kWorldSpeedKmh = "vehicle_speed_kmh";          // decimal km/h
inline constexpr const char* kWorldSpeedSinceMs = "vehicle_speed_since_ms";
inline constexpr const char* kWorldEngineRpm = "engine_rpm";                 // decimal revolutions per minute
inline constexpr const char* kWorldEngineSinceMs = "engine_since_ms";
inline constexpr const char* kWorldAccelFbMg = "accel_fb_mg";  // held acceleration, milli-g: front/back (+ forward)
inline constexpr const char* kWorldAccelLrMg = "accel_lr_mg";  // left/right
inline constexpr const char* kWorldAccelUdMg = "accel_ud_mg";  // up/down (+ up), on top of gravity
inline constexpr const char* kWorldAccelSinceMs = "accel_since_ms";
inline constexpr const char* kWorldShockFbMg = "shock_fb_mg";  // a short jolt, milli-g
inline constexpr const char* kWorldShockLrMg = "shock_lr_mg";
inline constexpr const char* kWorldShockUdMg = "shock_ud_mg";
inline constexpr const char* kWorldShockAtMs = "shock_at_ms";  // when the jolt starts
inline constexpr const char* kWorldGsensorPosition = "gsensor_position";  // how the sensor is mounted, 1..24

// GPS module keys (boardsim plays the module; it reads these itself).
inline constexpr const char* kWorldGpsSignal = "gps_signal";  // fix (status A), nofix (status V) or silent
inline constexpr const char* kWorldGpsWakes = "gps_wakes";    // 1: ON/OFF pulses work; 0: the module never wakes
inline constexpr const char* kWorldGpsRoute = "gps_route";    // CSV file of the route (absolute); empty: the built-in loop

using WorldValues = std::map<std::string, std::string, std::less<>>;

// "key=value" lines to values and back. Blank and "#" lines are skipped,
// blanks around keys and values dropped; a later key wins.
WorldValues ParseWorld(std::string_view text);
std::string FormatWorld(const WorldValues& values);

// Reads the world file; cheap to call per frame: it re-reads the file only
// when it changed (inode, size or time stamps differ, or the last read was
// so soon after a write that a second write in the same time-stamp tick
// could go unseen). A missing file is an empty world. Not thread-safe: one
// owner, or WithBoardWorld.
class WorldReader {
public:
    explicit WorldReader(std::string file_path) : path_(std::move(file_path)) {}

    const std::string& path() const { return path_; }
    // Re-reads the file if it changed. Return: true when the values changed.
    bool Refresh();

    int64_t Int(std::string_view key, int64_t fallback = 0) const;
    std::string Text(std::string_view key) const;
    const WorldValues& values() const { return values_; }

    // A one-shot value: the value of `value_key` when `generation_key` holds
    // a generation not taken before by this reader, else 0.
    int64_t TakeOnce(std::string_view value_key, std::string_view generation_key);

private:
    struct FileStamp {
        ino_t inode = 0;
        off_t size = -1;
        int64_t mtime_ns = 0;
        int64_t ctime_ns = 0;
        bool operator==(const FileStamp&) const = default;
    };

    std::string path_;
    WorldValues values_;
    FileStamp stamp_;
    bool read_once_ = false;
    bool racy_ = false;  // last read within the file system's time-stamp granularity of the write
    std::map<std::string, int64_t, std::less<>> taken_generations_;
};

// Runs fn on this process's reader of the board's world file
// (BoardPath(kWorldFile)), refreshed first, under a lock. Device models
// share it, so a one-shot step is applied once in the process even when a
// device is closed and opened again; it starts afresh when the board root
// changes.
void WithBoardWorld(const std::function<void(WorldReader&)>& fn);

// Writes the world file: boardsim is its only writer. Starts from the
// values already in the file, so generations keep rising across runs.
class WorldWriter {
public:
    explicit WorldWriter(std::string file_path);

    const std::string& path() const { return path_; }
    void Set(std::string_view key, std::string_view value);
    void SetInt(std::string_view key, int64_t value);
    int64_t Int(std::string_view key, int64_t fallback = 0) const;
    const WorldValues& values() const { return values_; }

    // Rewrites the file atomically (a temporary file renamed over it).
    // Return: false with a reason.
    bool Write(std::string* error = nullptr);

    // Camera steps; each writes the file.
    // Drops the next `frames` frames (their sequence numbers are skipped).
    bool CameraDrop(int frames, std::string* error = nullptr);
    // No frame for `ms` milliseconds from now (board clock).
    bool CameraStall(int64_t ms, std::string* error = nullptr);
    // Fails the next `count` dequeues with EIO.
    bool CameraEio(int count = 1, std::string* error = nullptr);
    // Grants at most `buffers` capture buffers from the next request on (0: normal).
    bool CameraMaxBuffers(int buffers, std::string* error = nullptr);
    // Moves the camera's capture time stamps by `ms` from the next frame on
    // (negative: back in time, so a frame is stamped before the one ahead).
    bool CameraTimeJump(int64_t ms, std::string* error = nullptr);

    // Microphone steps; each writes the file.
    // Fails the next `count` reads with EINTR.
    bool MicrophoneEintr(int count = 1, std::string* error = nullptr);
    // Fails the next `count` reads with ETIMEDOUT; the sound waiting to be read is lost.
    bool MicrophoneTimeout(int count = 1, std::string* error = nullptr);
    // No sound for `ms` milliseconds from now (board clock): it is lost.
    bool MicrophoneStall(int64_t ms, std::string* error = nullptr);
    // Plays the WAV file at `path` (absolute) from now on; empty: the tone.
    bool MicrophoneFile(const std::string& path, std::string* error = nullptr);

    // Vehicle steps; each writes the file with the board-clock time of the change.
    // Vehicle speed in km/h (negative counts as 0).
    bool VehicleSpeed(double kmh, std::string* error = nullptr);
    // Engine speed in revolutions per minute (negative counts as 0).
    bool EngineSpeed(double rpm, std::string* error = nullptr);
    // Held acceleration in g along the vehicle's axes: front/back (+ forward),
    // left/right, up/down (+ up, gravity comes on top).
    bool Acceleration(double fb_g, double lr_g, double ud_g, std::string* error = nullptr);
    // A short jolt in g along the vehicle's axes, starting now.
    bool Shock(double fb_g, double lr_g, double ud_g, std::string* error = nullptr);
    // How the G-sensor is mounted in the vehicle (1..24, as the recorder's
    // mounting positions).
    bool GsensorPosition(int position, std::string* error = nullptr);

    // GPS module steps; each writes the file.
    // "fix", "nofix" or "silent"; a module that talks wakes again when pulsed.
    bool GpsSignal(std::string_view signal, std::string* error = nullptr);
    // A module that ignores its ON/OFF pulses from now on.
    bool GpsNeverWakes(std::string* error = nullptr);
    // The route the vehicle drives: a CSV file (absolute path), empty for
    // the built-in loop.
    bool GpsRoute(const std::string& path, std::string* error = nullptr);

private:
    bool OneShot(std::string_view value_key, std::string_view generation_key, int64_t value, std::string* error);

    std::string path_;
    WorldValues values_;
};

}  // namespace diviv::sim
