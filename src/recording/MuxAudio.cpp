#include "recording/MuxAudio.h"

#include <cstdio>
#include <cstring>

#include "core/DR_common.h"
#include "recording/MuxRules.h"

namespace diviv::mux {

namespace {

constexpr uint32_t kStampWaitUs = 10000;
constexpr uint32_t kBytesWaitUs = 100000;

// Takes the time stamp of the block the next packet starts.
bool TakeStamp(MuxState& s) {
    while (DR_GetRingBufferReadAvailable(&s.dr->ainfo_buf) < kAudioStampRecordSize) {
        if (s.closing()) return false;
        dr_usleep(kStampWaitUs);
    }
    DR_ReadRingBuffer(&s.dr->ainfo_buf, &s.CurrentAudioTime, kAudioStampRecordSize);
    s.have_audio_stamp = true;
    return true;
}

// Takes the next packet's bytes into audio_buf and moves the cycle on.
bool TakePacket(MuxState& s, int bytes) {
    if (s.audio_cycle == 0 && !TakeStamp(s)) return false;
    while (DR_GetRingBufferReadAvailable(&s.dr->abs_buf) < bytes) {
        if (s.closing()) return false;
        dr_usleep(kBytesWaitUs);
        ++s.dr->AM_absbuf_R_wait;
    }
    DR_ReadRingBuffer(&s.dr->abs_buf, s.audio_buf.data(), bytes);
    s.audio_cycle = (s.audio_cycle + 1) % kAudioPacketsPerBlock;
    return true;
}

}  // namespace

bool WriteAudioPacket(MuxState& s) {
    const int bytes = AudioPacketBytes(s.audio_cycle);
    if (s.nAdjustAudio > 0) {
        if (!TakePacket(s, bytes)) return false;
        std::printf("AM : Debug :: Remove audio packet\n");
        --s.nAdjustAudio;
        return true;
    }
    if (s.nAdjustAudio < 0) {
        // Silence in place of sound the microphone had not yet captured; the
        // cycle stays where it is, as no bytes were taken.
        std::memset(s.audio_buf.data(), 0, static_cast<size_t>(bytes));
        std::printf("AM : Debug :: Add dummy audio packet\n");
        ++s.nAdjustAudio;
    } else if (!TakePacket(s, bytes)) {
        return false;
    }
    if (!s.audio_started) {
        s.audio_started = true;
        s.StartAudioTime = NextAudioSeconds(s);
    }
    WriteObject(s, ASF_MUX_DATA_TYPE_AUDIO, s.audio_buf.data(), static_cast<uint32_t>(bytes), s.dwAPTS, true);
    s.dr->SizeOfASF += bytes;
    s.dwAPTS += AudioPacketMs(bytes);
    ++s.audio_packets_written;
    return true;
}

bool WriteAudioUntil(MuxState& s, uint32_t until_ms) {
    while (s.dwAPTS < until_ms) {
        if (s.closing() || !WriteAudioPacket(s)) return false;
    }
    return true;
}

double NextAudioSeconds(const MuxState& s) {
    if (!s.have_audio_stamp) return StampSeconds(s.dr->AudioRecStartTime);
    // After the block's last packet the next block follows 100 ms later.
    const int taken = s.audio_cycle == 0 ? kAudioPacketsPerBlock : s.audio_cycle;
    return StampSeconds(s.CurrentAudioTime) + taken * 0.1 / kAudioPacketsPerBlock;
}

}  // namespace diviv::mux
