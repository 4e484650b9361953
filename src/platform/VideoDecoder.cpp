#include "platform/VideoDecoder.h"

namespace diviv {

int VideoDecoder::Open(const VideoDecoderParams& params) {
    if (open_) return kDecErrAlreadyOpen;
    if (params.bitstream_buffer_size < 4096 || params.bitstream_buffer_size > (size_t{64} << 20))
        return kDecErrBadParams;
    const int rc = DoOpen(params);
    if (rc < 0) return rc;
    open_ = true;
    have_info_ = false;
    have_buffers_ = false;
    return 0;
}

int VideoDecoder::GetBitstreamSpace(BitstreamSpace* out) {
    if (!open_) return kDecErrNotOpen;
    if (out == nullptr) return kDecErrBadArgument;
    *out = DoGetBitstreamSpace();
    return static_cast<int>(out->free());
}

int VideoDecoder::UpdateBitstream(size_t bytes) {
    if (!open_) return kDecErrNotOpen;
    if (bytes > DoGetBitstreamSpace().free()) return kDecErrBadArgument;
    if (bytes > 0) DoUpdateBitstream(bytes);
    return 0;
}

int VideoDecoder::SetEndOfStream() {
    if (!open_) return kDecErrNotOpen;
    DoSetEndOfStream();
    return 0;
}

int VideoDecoder::GetInitialInfo(VideoDecoderInitialInfo* out) {
    if (!open_) return kDecErrNotOpen;
    if (out == nullptr) return kDecErrBadArgument;
    VideoDecoderInitialInfo info;
    const int rc = DoGetInitialInfo(&info);
    if (rc < 0) return rc;
    if (info.width <= 0 || info.height <= 0) return kDecErrNoStreamInfo;
    info_ = info;
    have_info_ = true;
    *out = info;
    return 0;
}

int VideoDecoder::RegisterFrameBuffers(std::span<const DecoderFrameBuffer> buffers, int stride) {
    if (!open_) return kDecErrNotOpen;
    if (!have_info_) return kDecErrWrongState;
    if (buffers.size() < static_cast<size_t>(info_.min_frame_buffer_count) || buffers.empty() ||
        stride < info_.width || stride % 2 != 0)
        return kDecErrBadArgument;
    for (const DecoderFrameBuffer& b : buffers)
        if (b.y == nullptr || b.cb == nullptr || b.cr == nullptr) return kDecErrBadArgument;
    DoRegisterFrameBuffers(buffers, stride);
    have_buffers_ = true;
    return 0;
}

int VideoDecoder::DecodeOne(DecodeOutput* out) {
    if (!open_) return kDecErrNotOpen;
    if (out == nullptr) return kDecErrBadArgument;
    if (!have_buffers_) return kDecErrWrongState;
    *out = DecodeOutput{};
    return DoDecodeOne(out);
}

int VideoDecoder::Close() {
    if (!open_) return kDecErrNotOpen;
    DoClose();
    open_ = false;
    return 0;
}

}  // namespace diviv
