#include "playback/AudioOutputThread.h"

#include <fcntl.h>
#include <sched.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <span>

#include "core/DR_common.h"
#include "platform/Board.h"
#include "platform/SsiAudio.h"

namespace {

constexpr int kFirstBytes = 16000;        // one second of sound, buffered before the device opens
constexpr int kBlockBytes = 1600;         // 0.1 s played at a time
constexpr uint32_t kWaitUs = 100000;      // step of the start waits
constexpr uint32_t kPartialWaitUs = 10000;
constexpr uint32_t kRefusedWaitUs = 400000;
constexpr uint32_t kIdleUs = 1000;        // when ra_buf has less than a block

bool OutputCloseRequested(const dr_common_t* dr) {
    return dr->REQ_AO_CLOSE.load() != 0 || dr->REQ_CLOSE.load() != 0;
}

// put_pcm_audio: plays one block; a close request ends it at once.
void put_pcm_audio(dr_common_t* dr, diviv::Device& dev, const uint8_t* pcmb, int length) {
    int done = 0;
    while (done < length && !OutputCloseRequested(dr)) {
        const ssize_t n = dev.Write(std::as_bytes(std::span(pcmb + done, static_cast<size_t>(length - done))));
        if (n < 0) return;  // the block is given up
        if (n == 0) {
            dr_usleep(kRefusedWaitUs);
            continue;
        }
        done += static_cast<int>(n);
        if (done < length) {
            dr_usleep(kPartialWaitUs);
            sched_yield();
        }
    }
}

}  // namespace

void AudioOutputThread(dr_common_t* dr) {
    std::printf("AO : Start Audio Output Thread \n");
    while (dr->DecodeStart.load() != 1 && dr->REQ_ADC_CLOSE.load() == 0 && !OutputCloseRequested(dr))
        dr_usleep(kWaitUs);
    std::printf("AO : Wait until data for 0.5sec\n");
    // A recording with less than a second of sound waits here until the
    // mode closes, by its own request or the common one.
    while (DR_GetRingBufferReadAvailable(&dr->ra_buf) < kFirstBytes && !OutputCloseRequested(dr))
        dr_usleep(kWaitUs);
    std::printf("AO : Got data for 1sec\n");
    std::array<uint8_t, kFirstBytes> first{};
    const int first_size = DR_ReadRingBuffer(&dr->ra_buf, first.data(), kFirstBytes);

    int err = 0;
    std::unique_ptr<diviv::Device> dev = diviv::TheBoard().OpenDevice(diviv::kSsiAudioDevice, O_RDWR, &err);
    if (!dev) std::exit(1);  // the board's sound path is gone: the program cannot go on
    std::printf("AO : Open %s \n", diviv::kSsiAudioDevice);
    wave_config config{0, 1, 8000, 16};
    if (dev->Ioctl(diviv::IOCTL_SSI_CONFIGURE_SSI, &config) < 0) {
        std::printf("error in IOCTL_SSI_CONFIGURE_SSI ioctl\n");
    } else {
        put_pcm_audio(dr, *dev, first.data(), first_size);
        std::printf("AO : Start Audio Output[ReadSize = %d]\n", first_size);
        std::array<uint8_t, kBlockBytes> block{};
        while (!OutputCloseRequested(dr)) {
            if (DR_GetRingBufferReadAvailable(&dr->ra_buf) >= kBlockBytes) {
                DR_ReadRingBuffer(&dr->ra_buf, block.data(), kBlockBytes);
                if (dr->VideoOnlyMode.load() == 0) put_pcm_audio(dr, *dev, block.data(), kBlockBytes);
            } else {
                sched_yield();
                dr_usleep(kIdleUs);
            }
        }
        std::printf("AO : End Audio Decode\n");
    }
    if (dev->Close() < 0) EndProcess(1);
    dev.reset();  // fd_audio = -1
    dr->AO_ALIVE = 0;
    std::printf("AO : Audio Output Thread End \n");
}
