#include "platform/AvcodecDecoder.h"

#include <algorithm>
#include <cstring>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/frame.h>
}

namespace diviv {

namespace {

// Frame buffers a caller must register: the one being written and the one
// the caller still copies out.
constexpr int kMinFrameBuffers = 2;

void CopyPlane(const uint8_t* src, int src_stride, uint8_t* dst, int dst_stride, int width, int rows) {
    for (int r = 0; r < rows; ++r)
        std::memcpy(dst + static_cast<ptrdiff_t>(r) * dst_stride, src + static_cast<ptrdiff_t>(r) * src_stride,
                    static_cast<size_t>(width));
}

}  // namespace

void AvcodecDecoder::FreeContext::operator()(AVCodecContext* c) const { avcodec_free_context(&c); }
void AvcodecDecoder::FreeParser::operator()(AVCodecParserContext* p) const { av_parser_close(p); }
void AvcodecDecoder::FreeFrame::operator()(AVFrame* f) const { av_frame_free(&f); }
void AvcodecDecoder::FreePacket::operator()(AVPacket* p) const { av_packet_free(&p); }

AvcodecDecoder::AvcodecDecoder() = default;
AvcodecDecoder::~AvcodecDecoder() = default;

int AvcodecDecoder::DoOpen(const VideoDecoderParams& params) {
    const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_H264);
    if (codec == nullptr) return kDecErrCodec;
    std::unique_ptr<AVCodecContext, FreeContext> ctx(avcodec_alloc_context3(codec));
    std::unique_ptr<AVCodecParserContext, FreeParser> parser(av_parser_init(AV_CODEC_ID_H264));
    std::unique_ptr<AVFrame, FreeFrame> frame(av_frame_alloc());
    std::unique_ptr<AVPacket, FreePacket> packet(av_packet_alloc());
    if (!ctx || !parser || !frame || !packet) return kDecErrCodec;
    // One picture in, one picture out: no frame threads, no reordering delay.
    ctx->thread_count = 1;
    ctx->flags |= AV_CODEC_FLAG_LOW_DELAY;
    if (avcodec_open2(ctx.get(), codec, nullptr) < 0) return kDecErrCodec;
    ctx_ = std::move(ctx);
    parser_ = std::move(parser);
    frame_ = std::move(frame);
    packet_ = std::move(packet);
    ring_size_ = params.bitstream_buffer_size;
    ring_.assign(ring_size_ + AV_INPUT_BUFFER_PADDING_SIZE, 0);
    read_ = write_ = 0;
    end_of_stream_ = parser_flushed_ = decoder_drained_ = false;
    buffers_.clear();
    next_buffer_ = 0;
    return 0;
}

BitstreamSpace AvcodecDecoder::DoGetBitstreamSpace() {
    const size_t used = static_cast<size_t>(write_ - read_);
    const size_t free = ring_size_ - used;
    const size_t at = static_cast<size_t>(write_ % ring_size_);
    const size_t first = std::min(free, ring_size_ - at);
    BitstreamSpace s;
    s.first = std::span<uint8_t>(ring_.data() + at, first);
    s.second = std::span<uint8_t>(ring_.data(), free - first);
    return s;
}

void AvcodecDecoder::DoUpdateBitstream(size_t bytes) { write_ += bytes; }

void AvcodecDecoder::DoSetEndOfStream() { end_of_stream_ = true; }

// The parameter sets and the first slice header are read by a parser of
// its own that treats the buffered input as one whole picture, so a first
// picture larger than what is buffered still gives its size.
int AvcodecDecoder::DoGetInitialInfo(VideoDecoderInitialInfo* out) {
    const size_t used = static_cast<size_t>(write_ - read_);
    if (used == 0) return kDecErrNoStreamInfo;
    std::vector<uint8_t> input(used + AV_INPUT_BUFFER_PADDING_SIZE, 0);
    const size_t at = static_cast<size_t>(read_ % ring_size_);
    const size_t first = std::min(used, ring_size_ - at);
    std::memcpy(input.data(), ring_.data() + at, first);
    std::memcpy(input.data() + first, ring_.data(), used - first);

    std::unique_ptr<AVCodecContext, FreeContext> ctx(avcodec_alloc_context3(avcodec_find_decoder(AV_CODEC_ID_H264)));
    std::unique_ptr<AVCodecParserContext, FreeParser> parser(av_parser_init(AV_CODEC_ID_H264));
    if (!ctx || !parser) return kDecErrCodec;
    parser->flags |= PARSER_FLAG_COMPLETE_FRAMES;
    uint8_t* unit = nullptr;
    int unit_size = 0;
    av_parser_parse2(parser.get(), ctx.get(), &unit, &unit_size, input.data(), static_cast<int>(used),
                     AV_NOPTS_VALUE, AV_NOPTS_VALUE, 0);
    if (parser->width <= 0 || parser->height <= 0) return kDecErrNoStreamInfo;
    out->width = parser->width;
    out->height = parser->height;
    // The stream's timing counts fields: two ticks per frame.
    const int ticks = std::max(ctx->ticks_per_frame, 1);
    if (ctx->framerate.num > 0 && ctx->framerate.den > 0)
        out->frame_rate = static_cast<uint32_t>(int64_t{ctx->framerate.num} * 1000 / (int64_t{ctx->framerate.den} * ticks));
    out->min_frame_buffer_count = kMinFrameBuffers;
    height_ = RoundUpToMacroblock(out->height);
    return 0;
}

void AvcodecDecoder::DoRegisterFrameBuffers(std::span<const DecoderFrameBuffer> buffers, int stride) {
    buffers_.assign(buffers.begin(), buffers.end());
    stride_ = stride;
    next_buffer_ = 0;
}

bool AvcodecDecoder::NextAccessUnit() {
    while (write_ > read_) {
        const size_t at = static_cast<size_t>(read_ % ring_size_);
        const size_t run = std::min(static_cast<size_t>(write_ - read_), ring_size_ - at);
        uint8_t* unit = nullptr;
        int unit_size = 0;
        const int used = av_parser_parse2(parser_.get(), ctx_.get(), &unit, &unit_size, ring_.data() + at,
                                          static_cast<int>(run), AV_NOPTS_VALUE, AV_NOPTS_VALUE, 0);
        read_ += static_cast<uint64_t>(std::max(used, 0));
        if (unit_size > 0) {
            packet_->data = unit;
            packet_->size = unit_size;
            return true;
        }
        if (used <= 0) break;
    }
    if (!end_of_stream_ || parser_flushed_) return false;
    // The last picture ends with the stream: the parser hands it out now.
    uint8_t* unit = nullptr;
    int unit_size = 0;
    av_parser_parse2(parser_.get(), ctx_.get(), &unit, &unit_size, nullptr, 0, AV_NOPTS_VALUE, AV_NOPTS_VALUE, 0);
    parser_flushed_ = true;
    if (unit_size <= 0) return false;
    packet_->data = unit;
    packet_->size = unit_size;
    return true;
}

bool AvcodecDecoder::TakePicture(DecodeOutput* out) {
    if (avcodec_receive_frame(ctx_.get(), frame_.get()) != 0) return false;
    const AVFrame* f = frame_.get();
    const DecoderFrameBuffer& b = buffers_[next_buffer_];
    // A stream that changes its size mid-way is clipped to the registered buffers.
    const int w = std::min(f->width, stride_) & ~1;
    const int h = std::min(f->height, height_) & ~1;
    CopyPlane(f->data[0], f->linesize[0], b.y, stride_, w, h);
    CopyPlane(f->data[1], f->linesize[1], b.cb, stride_ / 2, w / 2, h / 2);
    CopyPlane(f->data[2], f->linesize[2], b.cr, stride_ / 2, w / 2, h / 2);
    if (f->decode_error_flags != 0 || (f->flags & AV_FRAME_FLAG_CORRUPT) != 0)
        out->error_macroblocks = RoundUpToMacroblock(f->width) / 16 * (RoundUpToMacroblock(f->height) / 16);
    out->display_index = static_cast<int>(next_buffer_);
    out->picture_decoded = true;
    next_buffer_ = (next_buffer_ + 1) % buffers_.size();
    av_frame_unref(frame_.get());
    return true;
}

int AvcodecDecoder::DoDecodeOne(DecodeOutput* out) {
    if (TakePicture(out)) return 0;
    if (NextAccessUnit()) {
        const int sent = avcodec_send_packet(ctx_.get(), packet_.get());
        packet_->data = nullptr;
        packet_->size = 0;
        if (TakePicture(out)) {
            if (sent < 0 && out->error_macroblocks == 0) out->error_macroblocks = 1;
            return 0;
        }
        out->picture_decoded = true;
        // A picture the decoder refused shows nothing; one it holds comes later.
        out->display_index = sent < 0 ? kDisplaySkipped : kDisplayNone;
        return 0;
    }
    if (!parser_flushed_) return 0;  // waits for input: kDisplayNone, nothing decoded
    if (!decoder_drained_) {
        avcodec_send_packet(ctx_.get(), nullptr);
        decoder_drained_ = true;
        if (TakePicture(out)) return 0;
    }
    out->display_index = kDisplayEnd;
    return 0;
}

void AvcodecDecoder::DoClose() {
    packet_.reset();
    frame_.reset();
    parser_.reset();
    ctx_.reset();
    ring_.clear();
    ring_.shrink_to_fit();
    buffers_.clear();
}

std::unique_ptr<VideoDecoder> MakeAvcodecDecoder() { return std::make_unique<AvcodecDecoder>(); }

}  // namespace diviv
