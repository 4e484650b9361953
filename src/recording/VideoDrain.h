// Takes the coded pictures out of vinfo_buf and vbs_buf the way the
// recording writer takes them (one video_info_t, then its DataLength bytes),
// for the writer's stand-in while it does not mux them yet.
//
// When the environment variable DIVIV_DUMP_VIDEO names a file, the bytes
// are appended to it as they come: the capture writes Annex B with its
// stream headers in place, so the file is a plain H.264 stream that any
// decoder (and "diviv-media frames") reads.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/DR_shared.h"
#include "recording/VideoInfo.h"

namespace diviv::vce {

inline constexpr const char* kDumpVideoVariable = "DIVIV_DUMP_VIDEO";

class VideoDrain {
public:
    // dump_path: file the bytes are appended to; empty for none.
    explicit VideoDrain(std::string dump_path = {});

    // Takes every picture whose record and bytes are complete. Returns the
    // number of pictures taken.
    int Poll(dr_common_t* dr);

    int64_t pictures() const { return pictures_; }
    bool dumping() const { return dump_ != nullptr; }

private:
    struct FileClose {
        void operator()(FILE* f) const { std::fclose(f); }
    };
    std::unique_ptr<FILE, FileClose> dump_;
    std::optional<video_info_t> pending_;  // record read, bytes not all there yet
    std::vector<uint8_t> scratch_;
    int64_t pictures_ = 0;
};

// DIVIV_DUMP_VIDEO, or empty.
std::string DumpVideoPath();

}  // namespace diviv::vce
