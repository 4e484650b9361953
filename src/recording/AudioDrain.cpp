#include "recording/AudioDrain.h"

#include <array>
#include <cstdlib>

#include "recording/AudioEncoderThread.h"

namespace diviv::audio {

std::string DumpAudioPath() {
    const char* p = std::getenv(kDumpAudioVariable);
    return p != nullptr ? std::string(p) : std::string();
}

AudioDrain::AudioDrain(std::string dump_path) {
    if (!dump_path.empty()) {
        dump_.reset(std::fopen(dump_path.c_str(), "ab"));
        if (!dump_) std::perror(dump_path.c_str());
    }
}

int AudioDrain::Poll(dr_common_t* dr) {
    // The stamps are taken as they come: a block the encoder had to drop
    // leaves its stamp without bytes, and the stand-in must not stall on it.
    dr_timeval stamp{};
    while (DR_GetRingBufferReadAvailable(&dr->ainfo_buf) >= kAudioStampRecordSize) {
        DR_ReadRingBuffer(&dr->ainfo_buf, &stamp, kAudioStampRecordSize);
        ++stamps_;
    }
    std::array<uint8_t, kAudioCodedBlockBytes> block{};
    int taken = 0;
    while (DR_GetRingBufferReadAvailable(&dr->abs_buf) >= kAudioCodedBlockBytes) {
        DR_ReadRingBuffer(&dr->abs_buf, block.data(), kAudioCodedBlockBytes);
        if (dump_) std::fwrite(block.data(), 1, block.size(), dump_.get());
        ++taken;
    }
    if (dump_ && taken > 0) std::fflush(dump_.get());
    blocks_ += taken;
    return taken;
}

}  // namespace diviv::audio
