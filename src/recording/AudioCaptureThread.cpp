#include "recording/AudioCaptureThread.h"

#include <fcntl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <memory>
#include <span>

#include "core/DR_common.h"
#include "platform/Board.h"
#include "platform/SsiAudio.h"

static_assert(sizeof(dr_timeval) == kAudioStampRecordSize);

namespace {

constexpr uint32_t kVideoWaitUs = 100000;     // step of the wait for the video's first frame
constexpr uint32_t kBlockRestUs = 5000;       // after each block
constexpr uint32_t kShortReadWaitUs = 100000; // before completing a short read, and after
constexpr uint32_t kReadErrorRestUs = 10000;  // after an unexpected read error
constexpr uint32_t kRoomWaitUs = 10000;       // step of the waits for ring-buffer room

double Seconds(dr_timeval t) { return t.tv_sec + t.tv_usec / 1e6; }

// Seconds from a to b, from the integer fields (no rounding of the epoch).
double Elapsed(dr_timeval a, dr_timeval b) {
    return static_cast<double>(int64_t{b.tv_sec} - a.tv_sec) + (int64_t{b.tv_usec} - a.tv_usec) / 1e6;
}

bool CloseRequested(const dr_common_t* dr) { return dr->REQ_AC_CLOSE.load() != 0; }

class AudioCapture {
public:
    explicit AudioCapture(dr_common_t* dr) : dr_(dr) {}

    void Run() {
        if (!Open()) return;
        if (WaitForVideo() && Configure()) {
            Loop();
            Statistics();
        }
        Close();
    }

    unsigned long total() const { return total_; }

private:
    bool Open();
    bool WaitForVideo();
    bool Configure();
    void Loop();
    void ShortBlock(int first);
    void ReadFailed(int rc);
    void PutBlock();
    void Statistics() const;
    void Close();

    dr_common_t* dr_;
    std::unique_ptr<diviv::Device> dev_;
    std::array<uint8_t, kAudioBlockBytes> block_{};
    dr_timeval now_{};    // capture time of the block being read
    dr_timeval first_{};  // of the first read
    dr_timeval last_{};   // of the last read that gave a time
    bool started_ = false;
    unsigned long total_ = 0;        // bytes read
    unsigned long before_last_ = 0;  // bytes read before the read of last_
    bool timeout_logged_ = false;
};

bool AudioCapture::Open() {
    int err = 0;
    dev_ = diviv::TheBoard().OpenDevice(diviv::kSsiAudioDevice, O_RDWR, &err);
    if (dev_) return true;
    dr_->HW_Error = 1;
    DR_SYSLOG(DR_ERR_FATAL, "Failure of opening the device.", 0);
    return false;
}

// Sound starts with the pictures: the port is configured (and starts
// capturing) once the video capture has its first frame. False when a close
// came first.
bool AudioCapture::WaitForVideo() {
    while (dr_->CaptureStart.load() == 0 && !CloseRequested(dr_)) dr_usleep(kVideoWaitUs);
    return !CloseRequested(dr_);
}

bool AudioCapture::Configure() {
    wave_config config{0, 1, 8000, 16};
    if (dev_->Ioctl(diviv::IOCTL_SSI_CONFIGURE_SSI, &config) < 0) {
        std::printf("error in IOCTL_SSI_CONFIGURE_SSI ioctl\n");
        DR_SYSLOG(DR_ERR_FATAL, "Failure of device initialization.", 0);
        return false;
    }
    return true;
}

void AudioCapture::Loop() {
    while (!CloseRequested(dr_)) {
        const ssize_t n = dev_->Read(std::as_writable_bytes(std::span(block_)));
        if (n < 0) {
            ReadFailed(static_cast<int>(n));
            continue;
        }
        // The capture time of what was just read is the block's time; a
        // driver that cannot tell leaves the previous one.
        const unsigned long before = total_;
        total_ += static_cast<unsigned long>(n);
        dr_timeval t{};
        if (dev_->Ioctl(diviv::IOCTL_SSI_GET_CAPTURE_TIME, &t) == 0) {
            now_ = t;
            if (!started_) {
                started_ = true;
                first_ = t;
                std::printf("AC : Audio Capture Start [%10.03f]\n", Seconds(t));
                dr_->AudioRecStartTime = t;
            }
            last_ = t;
            before_last_ = before;
        }
        if (n == kAudioBlockBytes) {
            PutBlock();
            dr_usleep(kBlockRestUs);
        } else {
            ShortBlock(static_cast<int>(n));
        }
    }
}

// The driver had less than a block: the rest is read after it had time to
// capture it, so the block still holds 100 ms of consecutive sound.
void AudioCapture::ShortBlock(int first) {
    dr_usleep(kShortReadWaitUs);
    const ssize_t rest = dev_->Read(std::as_writable_bytes(std::span(block_).subspan(static_cast<size_t>(first))));
    if (rest > 0) total_ += static_cast<unsigned long>(rest);
    const int got = first + static_cast<int>(std::max<ssize_t>(rest, 0));
    // What the second read did not bring is silence, not the previous
    // block's sound left in the buffer.
    std::fill(block_.begin() + got, block_.end(), uint8_t{0});
    PutBlock();
    // The second figure is what read() returned (-1 for a failure).
    if (got != kAudioBlockBytes) {
        std::printf("AC : Error First Read Data = %d [%d]\n", first, rest < 0 ? -1 : static_cast<int>(rest));
    }
    dr_usleep(kShortReadWaitUs);
    dr_usleep(kBlockRestUs);
}

void AudioCapture::PutBlock() {
    // Muted sound is still captured and stamped, as silence, so the sound
    // track keeps its timing.
    if (dr_->audio_mute.load() != 0) block_.fill(0);
    put_pcm_audio(dr_, block_.data(), kAudioBlockBytes, now_);
}

void AudioCapture::ReadFailed(int rc) {
    if (rc == -EINTR) {
        std::printf("AC : read() failes [EINTR]\n");
        DR_SYSLOG(DR_ERR_SURVIVABLE, "Failure of reading data.", 0);
        return;
    }
    if (rc == -ETIMEDOUT) {
        std::printf("AC : read() failes [ETIMEDOUT]\n");
        mxc_ssi_timedout lost{};
        if (dev_->Ioctl(diviv::IOCTL_SSI_GET_LOST_TIME, &lost) == 0) {
            std::printf("AC : Get Lost Time :: count = %d losttime=%10.60f\n", lost.count, Seconds(lost.losttime));
        } else {
            std::printf("AC : Error :: Get Lost Time Failed\n");
        }
        // A port that keeps timing out would fill the log: once a run.
        if (!timeout_logged_) {
            timeout_logged_ = true;
            DR_SYSLOG(DR_ERR_SURVIVABLE, "Failure of reading data.", 0);
        }
        return;
    }
    std::printf("AC : read() failes [ret=%d errono=%d]\n", -1, -rc);
    DR_SYSLOG(DR_ERR_SURVIVABLE, "Failure of reading data.", 0);
    dr_usleep(kReadErrorRestUs);
}

// The rate counts the samples between the first and the last capture time:
// those read before the last timed read (bytes / 2).
void AudioCapture::Statistics() const {
    std::printf("AC : First bytes read: [%10.03f]\n", Seconds(first_));
    std::printf("AC : Last  bytes read: [%10.03f]\n", Seconds(last_));
    std::printf("AC : total bytes read: (%lu)\n", total_);
    const double elapsed = Elapsed(first_, last_);
    const double rate = elapsed > 0 ? static_cast<double>(before_last_ / 2) / elapsed : 0.0;
    std::printf("AC : Actual Audio Sampling Rate is %10.3f[Sample/Sec]\n", rate);
}

void AudioCapture::Close() {
    if (dev_->Close() < 0) {
        std::printf("AC : Cannot close fd_audio \n");
        DR_SYSLOG(DR_ERR_SURVIVABLE, "Failure of closing the device.", 0);
    }
    dev_.reset();
}

}  // namespace

int put_pcm_audio(dr_common_t* dr, const uint8_t* pcmb, int len, dr_timeval capture_time) {
    if (CloseRequested(dr)) return 0;
    for (;;) {
        const int room = DR_GetRingBufferWriteAvailable(&dr->ra_buf);
        if (room >= len) break;
        std::printf("AC : Error :: Write Data Failed [available ring buffer is %d, req=%d]\n", room, len);
        // The encoder frees a block every 50 ms at least: wait for it
        // without spinning.
        dr_usleep(kRoomWaitUs);
        ++dr->AC_rabuf_W_wait;
        if (CloseRequested(dr)) return 0;
    }
    DR_WriteRingBuffer(&dr->ra_buf, pcmb, len);
    // The time stamp follows its block, never precedes it.
    while (DR_GetRingBufferWriteAvailable(&dr->ainfo_buf) < kAudioStampRecordSize) {
        if (CloseRequested(dr)) return len;
        dr_usleep(kRoomWaitUs);
    }
    DR_WriteRingBuffer(&dr->ainfo_buf, &capture_time, kAudioStampRecordSize);
    return len;
}

void AudioCaptureThread(dr_common_t* dr) {
    std::printf("AC : Audio Capture Thread Start [ppid=%d tid=%ld] ###\n", static_cast<int>(getppid()),
                static_cast<long>(syscall(SYS_gettid)));
    unsigned long total = 0;
    {
        AudioCapture capture(dr);
        capture.Run();
        total = capture.total();
    }
    std::printf("AC : Audio Capture Thread End [Total %lu bytes]\n", total);
    std::fflush(stdout);
    dr->AC_ALIVE = 0;
}
