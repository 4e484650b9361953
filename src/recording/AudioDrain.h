// Takes the coded sound out of abs_buf (whole 400-byte blocks, 100 ms each)
// and the capture times out of ainfo_buf, as the recording writer takes
// them, for the writer's stand-in while it does not mux them yet.
//
// When the environment variable DIVIV_DUMP_AUDIO names a file, the G.726
// bytes are appended to it as they come: raw 32 kbit/s G.726, 4-bit code
// words, the first sample in the upper half of each byte.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

#include "core/DR_shared.h"

namespace diviv::audio {

inline constexpr const char* kDumpAudioVariable = "DIVIV_DUMP_AUDIO";

class AudioDrain {
public:
    // dump_path: file the coded bytes are appended to; empty for none.
    explicit AudioDrain(std::string dump_path = {});

    // Takes every whole block and every time stamp. Returns the blocks taken.
    int Poll(dr_common_t* dr);

    int64_t blocks() const { return blocks_; }
    int64_t stamps() const { return stamps_; }

private:
    struct FileClose {
        void operator()(FILE* f) const { std::fclose(f); }
    };
    std::unique_ptr<FILE, FileClose> dump_;
    int64_t blocks_ = 0;
    int64_t stamps_ = 0;
};

// DIVIV_DUMP_AUDIO, or empty.
std::string DumpAudioPath();

}  // namespace diviv::audio
