// VideoEncoder on libx264, for every Linux build.
//
// The stream it writes is what the recorder's H.264 files and its skip
// pictures rely on: Baseline profile (CAVLC, no B pictures), exactly one
// slice per picture, IDR pictures only when the caller forces them (no
// periodic key pictures, no scene-cut detection), one picture out for every
// picture in (no lookahead, single-threaded), rate control to the bit rate
// (average bit rate capped by a one-second buffer), parameter sets only
// through PutHeader.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/VideoEncoder.h"

struct x264_t;

namespace diviv {

class X264Encoder final : public VideoEncoder {
public:
    struct Options {
        // x264 speed preset; "superfast" keeps 640x480 at 30 pictures per
        // second well inside a tenth of one core.
        std::string preset = "superfast";
        // Pictures x264 may look ahead for rate control. Not 0 makes Encode
        // hold pictures back (EncodedPicture::bytes empty) and Close hand
        // them out; the recorder uses 0.
        int lookahead = 0;
    };

    X264Encoder();
    explicit X264Encoder(Options options);
    ~X264Encoder() override;

private:
    int DoOpen(const VideoEncoderParams& params) override;
    int DoPutHeader(HeaderType type, std::span<const uint8_t>* out) override;
    int DoEncode(std::span<const uint8_t> yuv, bool force_i_picture, EncodedPicture* out) override;
    int DoClose(const PictureSink& pending) override;

    struct CloseX264 {
        void operator()(x264_t* h) const;
    };

    Options options_;
    std::unique_ptr<x264_t, CloseX264> x264_;
    std::vector<uint8_t> sps_, pps_;  // taken once at open: x264 does not change them
    std::vector<uint8_t> picture_;    // the last picture handed out
    int64_t pts_ = 0;
};

// A new, closed libx264 encoder with the recorder's settings.
std::unique_ptr<VideoEncoder> MakeX264Encoder();

}  // namespace diviv
