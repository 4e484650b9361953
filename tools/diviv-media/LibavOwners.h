// Owners of libavcodec's objects, for the commands that decode or encode.
#pragma once

#include <memory>

extern "C" {
#include <libavcodec/avcodec.h>
}

namespace media {

struct FreeContext {
    void operator()(AVCodecContext* c) const { avcodec_free_context(&c); }
};
struct FreeFrame {
    void operator()(AVFrame* f) const { av_frame_free(&f); }
};
struct FreePacket {
    void operator()(AVPacket* p) const { av_packet_free(&p); }
};

}  // namespace media
