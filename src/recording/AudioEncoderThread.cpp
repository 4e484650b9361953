#include "recording/AudioEncoderThread.h"

#include <sys/syscall.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <memory>

#include "core/DR_common.h"
#include "formats/g726enc.h"
#include "recording/AudioCaptureThread.h"

namespace {

constexpr int kBlockSamples = kAudioBlockBytes / 2;
constexpr int kG726Bits = 4;                  // 32 kbit/s
constexpr uint32_t kStarvedWaitUs = 200000;   // less than a block in ra_buf
constexpr uint32_t kRoundRestUs = 50000;      // after every round

static_assert(kBlockSamples * kG726Bits / 8 == kAudioCodedBlockBytes);

struct FreeMemory {
    void operator()(void* p) const { std::free(p); }
};

void RunEncoder(dr_common_t* dr) {
    // malloc's block is aligned for any object, as the codec's state needs.
    std::unique_ptr<void, FreeMemory> memory(std::malloc(g726_enc_instance_size()));
    if (!memory) {
        DR_SYSLOG(DR_ERR_FATAL, "Failure of memory allocation.", 0);
        return;
    }
    G726Encoder* encoder = g726_enc_create(kG726Bits, memory.get());
    if (encoder == nullptr) {
        DR_SYSLOG(DR_ERR_FATAL, "Failure of initialization.", 0);
        return;
    }
    std::array<int16_t, kBlockSamples> pcm{};
    std::array<uint8_t, kAudioCodedBlockBytes> coded{};
    // A block of silence, coded and thrown away, takes the coder out of its
    // start state. A decoder starts from that state at a file's start, but
    // the writer may first put packets of silence there (sound starting
    // after the pictures): a coder still in its start state would then
    // code the first sound for a decoder that is no longer there, and a
    // player hears a full-scale burst. From a settled state either start
    // decodes cleanly.
    g726_encode(encoder, pcm.data(), kBlockSamples, coded.data());
    AbsFullReport report;
    while (dr->REQ_AE_CLOSE.load() == 0) {
        if (DR_GetRingBufferReadAvailable(&dr->ra_buf) >= kAudioBlockBytes) {
            DR_ReadRingBuffer(&dr->ra_buf, pcm.data(), kAudioBlockBytes);
            const int n = g726_encode(encoder, pcm.data(), kBlockSamples, coded.data());
            if (n < 0) {
                DR_SYSLOG(DR_ERR_FATAL, "Failure of encoding.", 0);
                break;
            }
            put_bs(dr, coded.data(), n, &report);
        } else {
            dr_usleep(kStarvedWaitUs);
            ++dr->AE_rabuf_R_wait;
        }
        dr_usleep(kRoundRestUs);
    }
    g726_enc_close(encoder);
}

}  // namespace

int put_bs(dr_common_t* dr, const uint8_t* bsb, int len, AbsFullReport* report) {
    if (dr->REQ_AE_CLOSE.load() != 0) return 0;
    if (DR_GetRingBufferWriteAvailable(&dr->abs_buf) < len) {
        if (!report->printed) {
            report->printed = true;
            std::printf("AE : #### ABS is FULL !! ###\n");
        }
        if (!report->logged) {
            report->logged = true;
            DR_SYSLOG(DR_ERR_SURVIVABLE, "Failure of writing to buffer.", 0);
        }
        return 0;
    }
    report->printed = false;  // the next full spell is reported again
    return DR_WriteRingBuffer(&dr->abs_buf, bsb, len);
}

void AudioEncoderThread(dr_common_t* dr) {
    std::printf("AE : Audio Encoder Thread Start [ppid=%d tid=%ld] ###\n", static_cast<int>(getppid()),
                static_cast<long>(syscall(SYS_gettid)));
    RunEncoder(dr);
    std::fflush(stdout);
    dr->AE_ALIVE = 0;
}
