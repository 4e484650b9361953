#include "platform/VideoEncoder.h"

namespace diviv {

namespace {

bool InRange(int v, int lo, int hi) { return v >= lo && v <= hi; }

}  // namespace

int VideoEncoder::Open(const VideoEncoderParams& params) {
    if (open_) return kEncErrAlreadyOpen;
    // 4:2:0 needs even sizes; the bounds keep width*height*3/2 far from
    // overflow and inside what every H.264 level table covers.
    if (!InRange(params.width, 16, 4096) || !InRange(params.height, 16, 4096) || params.width % 2 != 0 ||
        params.height % 2 != 0 || !InRange(params.frame_rate, 1, 240) ||
        !InRange(params.bit_rate_kbps, 16, 100000) || !InRange(params.gop, 0, 100000))
        return kEncErrBadParams;
    int rc = DoOpen(params);
    if (rc < 0) return rc;
    params_ = params;
    open_ = true;
    return 0;
}

int VideoEncoder::PutHeader(HeaderType type, std::span<const uint8_t>* out) {
    if (!open_) return kEncErrNotOpen;
    if (out == nullptr || (type != HeaderType::kSps && type != HeaderType::kPps)) return kEncErrBadArgument;
    return DoPutHeader(type, out);
}

int VideoEncoder::Encode(std::span<const uint8_t> yuv, bool force_i_picture, EncodedPicture* out) {
    if (!open_) return kEncErrNotOpen;
    if (out == nullptr) return kEncErrBadArgument;
    size_t expected = static_cast<size_t>(params_.width) * static_cast<size_t>(params_.height) * 3 / 2;
    if (yuv.data() == nullptr || yuv.size() != expected) return kEncErrBadPicture;
    *out = EncodedPicture{};
    return DoEncode(yuv, force_i_picture, out);
}

int VideoEncoder::Close(const PictureSink& pending) {
    if (!open_) return kEncErrNotOpen;
    int fetched = DoClose(pending);
    open_ = false;  // closed even when fetching failed: nothing more can be done with it
    return fetched;
}

}  // namespace diviv
