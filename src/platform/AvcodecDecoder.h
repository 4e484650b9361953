// VideoDecoder on libavcodec's H.264 decoder, for every Linux build.
//
// The input ring is a plain byte ring; its bytes go through libavcodec's
// H.264 parser, which cuts the stream into access units (it knows a picture
// is complete when the next one starts, or at the end of the stream), and
// each access unit is decoded at once (single-threaded, low delay: a
// Baseline stream gives its picture back from the same call). Decoded
// pictures are copied into the registered frame buffers in turn.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "platform/VideoDecoder.h"

struct AVCodecContext;
struct AVCodecParserContext;
struct AVFrame;
struct AVPacket;

namespace diviv {

class AvcodecDecoder final : public VideoDecoder {
public:
    AvcodecDecoder();
    ~AvcodecDecoder() override;

private:
    int DoOpen(const VideoDecoderParams& params) override;
    BitstreamSpace DoGetBitstreamSpace() override;
    void DoUpdateBitstream(size_t bytes) override;
    void DoSetEndOfStream() override;
    int DoGetInitialInfo(VideoDecoderInitialInfo* out) override;
    void DoRegisterFrameBuffers(std::span<const DecoderFrameBuffer> buffers, int stride) override;
    int DoDecodeOne(DecodeOutput* out) override;
    void DoClose() override;

    // The next access unit from the parser into packet_; false when the
    // input holds no whole one (yet).
    bool NextAccessUnit();
    // Takes a decoded picture, if the decoder has one, into a frame buffer.
    bool TakePicture(DecodeOutput* out);

    struct FreeContext { void operator()(AVCodecContext* c) const; };
    struct FreeParser { void operator()(AVCodecParserContext* p) const; };
    struct FreeFrame { void operator()(AVFrame* f) const; };
    struct FreePacket { void operator()(AVPacket* p) const; };

    std::unique_ptr<AVCodecContext, FreeContext> ctx_;
    std::unique_ptr<AVCodecParserContext, FreeParser> parser_;
    std::unique_ptr<AVFrame, FreeFrame> frame_;
    std::unique_ptr<AVPacket, FreePacket> packet_;

    std::vector<uint8_t> ring_;  // ring_size_ bytes, then the parser's read padding
    size_t ring_size_ = 0;
    uint64_t read_ = 0;   // bytes taken by the parser since open
    uint64_t write_ = 0;  // bytes announced since open
    bool end_of_stream_ = false;
    bool parser_flushed_ = false;   // the parser gave its last access unit
    bool decoder_drained_ = false;  // the decoder was told no more packets come

    std::vector<DecoderFrameBuffer> buffers_;
    int stride_ = 0;
    int height_ = 0;  // rounded to whole macroblocks
    size_t next_buffer_ = 0;
};

// A new, closed libavcodec decoder.
std::unique_ptr<VideoDecoder> MakeAvcodecDecoder();

}  // namespace diviv
