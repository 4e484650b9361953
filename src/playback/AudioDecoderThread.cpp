#include "playback/AudioDecoderThread.h"

#include <array>
#include <cstdio>
#include <cstdlib>
#include <memory>

#include "core/DR_common.h"
#include "formats/g726dec.h"

namespace {

constexpr int kChunkBytes = 1600;         // code words per decode call
constexpr uint32_t kStartWaitUs = 50000;  // step of the wait for decoding to start
constexpr uint32_t kDataWaitUs = 10000;   // step of the waits for code words and for room

bool CloseRequested(const dr_common_t* dr) { return dr->REQ_ADC_CLOSE.load() != 0 || dr->REQ_CLOSE.load() != 0; }

// get_bs: one whole chunk from abs_buf. Return: bytes read, or 0 on a close request.
int get_bs(dr_common_t* dr, uint8_t* bsb, int len) {
    while (DR_GetRingBufferReadAvailable(&dr->abs_buf) < len) {
        if (CloseRequested(dr)) return 0;
        dr_usleep(kDataWaitUs);
    }
    return DR_ReadRingBuffer(&dr->abs_buf, bsb, len);
}

struct FreeMemory {
    void operator()(void* p) const { std::free(p); }
};

}  // namespace

void AudioDecoderThread(dr_common_t* dr) {
    if (dr->REQ_ADC_CLOSE.load() == 0) {
        while (dr->DecodeStart.load() != 1 && dr->REQ_CLOSE.load() == 0 && dr->REQ_ADC_CLOSE.load() == 0)
            dr_usleep(kStartWaitUs);
    }
    std::printf("ADC : Start G.726 Audio Decoder Thread \n");
    // The decoder state wants 16-byte alignment; malloc gives it.
    std::unique_ptr<void, FreeMemory> memory(std::malloc(g726_dec_instance_size()));
    G726Decoder* decoder = nullptr;
    if (!memory) {
        std::printf("Cannot allocate memory for decoder instance.\n");
        DR_SYSLOG(DR_ERR_SURVIVABLE, "Failure of memory allocation.", 0);
    } else {
        // The rate comes from the file's audio stream, read before decoding starts.
        decoder = g726_dec_create(dr->DemuxedAudioBitRate.load() == 2 ? 2 : 4, memory.get());
        if (decoder == nullptr) {
            std::printf("Cannot create decoder.\n");
            DR_SYSLOG(DR_ERR_SURVIVABLE, "Failure of initialization.", 0);
        }
    }
    if (decoder != nullptr) {
        std::printf("ADC : Start Audio Decode\n");
        std::array<uint8_t, kChunkBytes> codes{};
        std::array<int16_t, kChunkBytes * 8 / 2> samples{};  // 2 bits per sample at most
        bool room_logged = false;
        while (!CloseRequested(dr)) {
            if (get_bs(dr, codes.data(), kChunkBytes) != kChunkBytes) continue;
            if (dr->VideoOnlyMode.load() != 0) continue;
            const int n = g726_decode(decoder, codes.data(), kChunkBytes, samples.data());
            if (n < 0) {
                std::printf("ADC : Cannot decode data.\n");
                DR_SYSLOG(DR_ERR_SURVIVABLE, "Failure of decoding.", 0);
                break;
            }
            const int bytes = n * 2;
            bool abandoned = false;
            while (DR_GetRingBufferWriteAvailable(&dr->ra_buf) < bytes) {
                // The output drains ra_buf at the pace of the sound, so the
                // decoder waits here most of the time: logged once a run,
                // not on every look.
                if (!room_logged) {
                    DR_SYSLOG(DR_ERR_SURVIVABLE, "Failure of writing to buffer.", 0);
                    room_logged = true;
                }
                if (CloseRequested(dr)) {
                    abandoned = true;
                    break;
                }
                dr_usleep(kDataWaitUs);
            }
            if (!abandoned) DR_WriteRingBuffer(&dr->ra_buf, samples.data(), bytes);
        }
        std::printf("ADC : End Audio Decode\n");
        g726_dec_close(decoder);
    }
    memory.reset();
    dr->ADC_ALIVE = 0;
    std::printf("ADC : Audio Decoder Thread End \n");
}
