// The simulated microphone: a device model for the SSI audio device
// "/dev/mxc_ssi_audio1" answering the capture thread's requests as the
// board's SSI audio driver does (platform/SsiAudio.h).
//
// - Request 0 (wave_config: port 0, 1 channel, 8000 samples per second,
//   16 bits) configures the port and starts capturing; other settings are
//   refused with EINVAL. A read before it fails with EINVAL.
// - Capture is paced by the board clock (CLOCK_MONOTONIC): sample k of the
//   port is taken 125 us * k after the configuration, and the driver hands
//   samples over in DMA periods of 10 ms (80 samples), so a read returns
//   what whole periods have brought so far, up to the bytes asked for: short
//   reads happen, as on the board. With nothing captured a read waits for
//   the next period, for at most 500 ms (then ETIMEDOUT). A read never spans
//   a gap of lost sound, so its samples are consecutive.
// - Request 5 answers the wall-clock capture time of the first sample of the
//   data just read (the sample's board-clock instant in gettimeofday's time,
//   as the camera stamps its frames).
// - The driver keeps 2 s of sound; what a reader leaves longer is
//   overwritten (lost), and the next read fails with ETIMEDOUT. Request 4
//   reports the time-outs since the configuration and the sound lost.
// - The sound: a steady 440 Hz tone with a click, 10 ms of a loud 1 kHz
//   burst starting at each whole second of the wall-clock capture time (the
//   instants the camera marks in its frame band); or the WAV file the world
//   names, played in a loop from the period after it was named.
// - Faults from the world file (boardsim steps): interrupted reads (EINTR),
//   a time-out (the next read fails with ETIMEDOUT and the sound waiting to
//   be read is lost), a stall (no sound for a while: reads time out and the
//   sound of the stall is lost). DeviceModel::InjectFault works on every
//   request.
// - The same device plays sound: writes after request 0 go to the board's
//   speaker (sim/SimSpeaker.h) when it has one, else fail with EINVAL.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/SsiAudio.h"
#include "sim/DeviceModel.h"
#include "sim/SimSpeaker.h"

namespace diviv::sim {

inline constexpr const char* kMicrophoneDevicePath = kSsiAudioDevice;
inline constexpr int kMicrophoneRate = 8000;               // samples per second
inline constexpr int kMicrophonePeriodSamples = 80;        // one DMA period: 10 ms
inline constexpr int kMicrophoneReadTimeoutMs = 500;       // a read waits this long for sound
inline constexpr int kMicrophoneBufferSamples = 2 * 8000;  // the driver's buffer: 2 s

// The tone and its click.
inline constexpr int kToneHz = 440;
inline constexpr int kToneAmplitude = 4000;
inline constexpr int kClickHz = 1000;
inline constexpr int kClickAmplitude = 24000;
inline constexpr int64_t kClickNs = 10000000;  // 10 ms from each whole second

// The microphone's tone at a wall-clock instant (ns since the epoch).
int16_t MicrophoneToneSample(int64_t wall_ns);

// What the microphone has done since it was opened.
struct MicrophoneCounters {
    int configurations = 0;    // accepted request 0
    int64_t samples_read = 0;  // samples handed to readers
    int64_t samples_lost = 0;  // overwritten, or not captured during a stall or time-out
    int timeouts = 0;          // reads answered with ETIMEDOUT
};

class SimMicrophone : public DeviceModel {
public:
    explicit SimMicrophone(std::string board_path, std::shared_ptr<SimSpeaker> speaker = nullptr);

    MicrophoneCounters Counters() const;

private:
    // Consecutive captured samples not read yet.
    struct Segment {
        int64_t first = 0;  // port sample index
        int64_t count = 0;
    };

    int DoIoctl(unsigned long request, void* arg) override;
    ssize_t DoRead(std::span<std::byte> buffer) override;
    ssize_t DoWrite(std::span<const std::byte> data) override;
    int DoPoll(short events, int timeout_ms) override;
    MappedMemory DoMap(size_t length, off_t offset, int* error) override;

    // Called with mutex_ held.
    int Configure(const wave_config* config);
    void ApplyWorld();
    void Advance(int64_t now_ns);  // captures every period complete by now_ns
    void Lose(int64_t samples);
    int64_t PendingSamples() const;
    int64_t PeriodEndNs(int64_t period) const;
    int64_t WallNs(int64_t sample) const;
    int16_t Sample(int64_t index) const;
    int TimedOut();

    mutable std::mutex mutex_;  // guards all below; taken by every request
    bool configured_ = false;
    int64_t anchor_ns_ = 0;       // board clock of sample 0
    int64_t wall_offset_ns_ = 0;  // wall clock minus board clock
    int64_t next_period_ = 0;     // the next DMA period to complete
    std::deque<Segment> segments_;
    int64_t last_read_wall_ns_ = 0;  // capture time of the last read's first sample (request 5)
    bool overflowed_ = false;  // sound was overwritten: the next read times out
    int64_t lost_ns_ = 0;      // sound lost since the configuration (request 4)
    int timeouts_reported_ = 0;
    MicrophoneCounters counters_;

    // World faults.
    int64_t pending_eintr_ = 0, pending_timeouts_ = 0;
    int64_t stall_from_ns_ = 0, stall_until_ns_ = 0;  // board clock; periods ending within are lost

    // The sound: the tone, or a WAV file's samples from port sample file_start_.
    std::string file_path_;
    std::vector<int16_t> file_;
    int64_t file_start_ = 0;

    const std::shared_ptr<SimSpeaker> speaker_;  // the play side; may be none
};

// The factory the simulated board registers for kMicrophoneDevicePath.
std::unique_ptr<Device> MakeSimMicrophone(const std::string& board_path, int flags, int* error);
// The same device with its play side on `speaker`.
std::unique_ptr<Device> MakeSimSsiAudio(std::shared_ptr<SimSpeaker> speaker, const std::string& board_path, int flags,
                                        int* error);

}  // namespace diviv::sim
