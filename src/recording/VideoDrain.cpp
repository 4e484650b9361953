#include "recording/VideoDrain.h"

#include <cstdlib>

namespace diviv::vce {

std::string DumpVideoPath() {
    const char* p = std::getenv(kDumpVideoVariable);
    return p != nullptr ? std::string(p) : std::string();
}

VideoDrain::VideoDrain(std::string dump_path) {
    if (!dump_path.empty()) {
        dump_.reset(std::fopen(dump_path.c_str(), "ab"));
        if (!dump_) std::perror(dump_path.c_str());
    }
}

int VideoDrain::Poll(dr_common_t* dr) {
    int taken = 0;
    for (;;) {
        if (!pending_) {
            if (DR_GetRingBufferReadAvailable(&dr->vinfo_buf) < static_cast<int>(sizeof(video_info_t))) break;
            video_info_t info{};
            DR_ReadRingBuffer(&dr->vinfo_buf, &info, sizeof info);
            pending_ = info;
        }
        // The capture writes a picture's bytes before its record, so they
        // are normally all there; a record claiming more than the buffer
        // holds is waited for (and never trusted beyond it).
        const int length = static_cast<int>(pending_->DataLength);
        if (length < 0 || DR_GetRingBufferReadAvailable(&dr->vbs_buf) < length) break;
        scratch_.resize(static_cast<size_t>(length));
        DR_ReadRingBuffer(&dr->vbs_buf, scratch_.data(), length);
        if (dump_ && length > 0) {
            std::fwrite(scratch_.data(), 1, scratch_.size(), dump_.get());
            std::fflush(dump_.get());
        }
        pending_.reset();
        ++pictures_;
        ++taken;
    }
    return taken;
}

}  // namespace diviv::vce
