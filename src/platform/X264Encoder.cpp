#include "platform/X264Encoder.h"

#include <cstdio>
#include <utility>

extern "C" {
#include <x264.h>
}

namespace diviv {

namespace {

constexpr uint8_t kStartCode[] = {0x00, 0x00, 0x00, 0x01};

// NAL unit types (ITU-T H.264 Table 7-1) met here.
constexpr int kNalSlice = 1, kNalIdr = 5, kNalSps = 7, kNalPps = 8;

// x264 writes each NAL unit behind a 4-byte big-endian length when Annex B
// is off; the unit itself starts after it.
const uint8_t* NalBody(const x264_nal_t& nal, size_t* size) {
    *size = nal.i_payload > 4 ? static_cast<size_t>(nal.i_payload) - 4 : 0;
    return nal.p_payload + 4;
}

void AppendWithStartCode(std::vector<uint8_t>* out, const x264_nal_t& nal) {
    size_t size = 0;
    const uint8_t* body = NalBody(nal, &size);
    out->insert(out->end(), std::begin(kStartCode), std::end(kStartCode));
    out->insert(out->end(), body, body + size);
}

// Keeps the coded slices of one picture; drops SEI, delimiters and filler
// (x264 writes none of the latter two with these settings, and its SEI
// carries only its version text).
PictureType CollectPicture(const x264_nal_t* nals, int count, std::vector<uint8_t>* out) {
    out->clear();
    PictureType type = PictureType::kP;
    for (int i = 0; i < count; ++i) {
        if (nals[i].i_type != kNalSlice && nals[i].i_type != kNalIdr) continue;
        if (nals[i].i_type == kNalIdr) type = PictureType::kI;
        AppendWithStartCode(out, nals[i]);
    }
    return type;
}

}  // namespace

void X264Encoder::CloseX264::operator()(x264_t* h) const { x264_encoder_close(h); }

X264Encoder::X264Encoder() : X264Encoder(Options{}) {}
X264Encoder::X264Encoder(Options options) : options_(std::move(options)) {}
X264Encoder::~X264Encoder() = default;

int X264Encoder::DoOpen(const VideoEncoderParams& params) {
    x264_param_t p;
    if (x264_param_default_preset(&p, options_.preset.c_str(), "zerolatency") < 0) {
        std::fprintf(stderr, "X264Encoder: unknown preset %s\n", options_.preset.c_str());
        return kEncErrCodec;
    }
    p.i_log_level = X264_LOG_ERROR;
    p.i_width = params.width;
    p.i_height = params.height;
    p.i_csp = X264_CSP_I420;
    p.i_bitdepth = 8;
    p.i_fps_num = static_cast<uint32_t>(params.frame_rate);
    p.i_fps_den = 1;
    p.i_timebase_num = 1;
    p.i_timebase_den = static_cast<uint32_t>(params.frame_rate);
    p.b_vfr_input = 0;

    // One slice per picture, one picture out per picture in: zerolatency
    // would cut each picture into one slice per thread.
    p.i_threads = 1;
    p.i_lookahead_threads = 1;
    p.b_sliced_threads = 0;
    p.i_slice_count = 1;
    p.i_slice_max_size = 0;
    p.i_slice_max_mbs = 0;
    p.i_sync_lookahead = 0;
    p.rc.i_lookahead = options_.lookahead;

    // Groups are the caller's: IDR pictures only when forced.
    p.i_keyint_max = X264_KEYINT_MAX_INFINITE;
    p.i_keyint_min = 1;
    p.i_scenecut_threshold = 0;
    p.b_intra_refresh = 0;

    // Average bit rate held by a one-second buffer.
    p.rc.i_rc_method = X264_RC_ABR;
    p.rc.i_bitrate = params.bit_rate_kbps;
    p.rc.i_vbv_max_bitrate = params.bit_rate_kbps;
    p.rc.i_vbv_buffer_size = params.bit_rate_kbps;
    p.rc.b_mb_tree = 0;

    // Parameter sets only on request, bare slices in pictures.
    p.b_repeat_headers = 0;
    p.b_aud = 0;
    p.b_annexb = 0;
    p.i_nal_hrd = X264_NAL_HRD_NONE;

    if (x264_param_apply_profile(&p, "baseline") < 0) return kEncErrCodec;
    x264_.reset(x264_encoder_open(&p));
    if (!x264_) return kEncErrCodec;

    x264_nal_t* nals = nullptr;
    int count = 0;
    if (x264_encoder_headers(x264_.get(), &nals, &count) < 0) {
        x264_.reset();
        return kEncErrCodec;
    }
    sps_.clear();
    pps_.clear();
    for (int i = 0; i < count; ++i) {
        if (nals[i].i_type == kNalSps) AppendWithStartCode(&sps_, nals[i]);
        if (nals[i].i_type == kNalPps) AppendWithStartCode(&pps_, nals[i]);
    }
    if (sps_.empty() || pps_.empty()) {
        x264_.reset();
        return kEncErrCodec;
    }
    picture_.reserve(static_cast<size_t>(params.width) * params.height / 2);
    pts_ = 0;
    return 0;
}

int X264Encoder::DoPutHeader(HeaderType type, std::span<const uint8_t>* out) {
    *out = type == HeaderType::kSps ? std::span<const uint8_t>(sps_) : std::span<const uint8_t>(pps_);
    return 0;
}

int X264Encoder::DoEncode(std::span<const uint8_t> yuv, bool force_i_picture, EncodedPicture* out) {
    const VideoEncoderParams& prm = params();
    size_t luma = static_cast<size_t>(prm.width) * prm.height;
    x264_picture_t in;
    x264_picture_init(&in);
    in.img.i_csp = X264_CSP_I420;
    in.img.i_plane = 3;
    // x264 copies the planes into its own frame; it never writes them.
    uint8_t* base = const_cast<uint8_t*>(yuv.data());
    in.img.plane[0] = base;
    in.img.plane[1] = base + luma;
    in.img.plane[2] = base + luma + luma / 4;
    in.img.i_stride[0] = prm.width;
    in.img.i_stride[1] = in.img.i_stride[2] = prm.width / 2;
    in.i_type = force_i_picture ? X264_TYPE_IDR : X264_TYPE_AUTO;
    in.i_pts = pts_++;

    x264_nal_t* nals = nullptr;
    int count = 0;
    x264_picture_t pic_out;
    if (x264_encoder_encode(x264_.get(), &nals, &count, &in, &pic_out) < 0) return kEncErrCodec;
    out->type = CollectPicture(nals, count, &picture_);
    out->bytes = picture_;
    return 0;
}

int X264Encoder::DoClose(const PictureSink& pending) {
    int fetched = 0;
    // Bounded: a codec that never drains must not hang the shutdown.
    for (int round = 0; round < 1000 && x264_encoder_delayed_frames(x264_.get()) > 0; ++round) {
        x264_nal_t* nals = nullptr;
        int count = 0;
        x264_picture_t pic_out;
        int size = x264_encoder_encode(x264_.get(), &nals, &count, nullptr, &pic_out);
        if (size < 0) break;
        if (size == 0) continue;
        EncodedPicture picture;
        picture.type = CollectPicture(nals, count, &picture_);
        picture.bytes = picture_;
        ++fetched;
        if (pending) pending(picture);
    }
    x264_.reset();
    return fetched;
}

std::unique_ptr<VideoEncoder> MakeX264Encoder() { return std::make_unique<X264Encoder>(); }

}  // namespace diviv
