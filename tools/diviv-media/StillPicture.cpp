#include "StillPicture.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/imgutils.h>
#include <libavutil/log.h>
#include <libswscale/swscale.h>
}
#include <png.h>

#include <algorithm>
#include <cstring>
#include <memory>

namespace media {
namespace {

// Owners of the libav objects one decode needs.
struct AvDeleter {
    void operator()(AVCodecContext* c) const { avcodec_free_context(&c); }
    void operator()(AVFrame* f) const { av_frame_free(&f); }
    void operator()(AVPacket* p) const { av_packet_free(&p); }
    void operator()(SwsContext* s) const { sws_freeContext(s); }
};
template <typename T>
using AvPtr = std::unique_ptr<T, AvDeleter>;

bool Decode(const std::vector<uint8_t>& picture, AVFrame* frame, std::string& error) {
    const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_H264);
    if (codec == nullptr) {
        error = "libavcodec has no H.264 decoder";
        return false;
    }
    AvPtr<AVCodecContext> ctx(avcodec_alloc_context3(codec));
    AvPtr<AVPacket> packet(av_packet_alloc());
    if (!ctx || !packet) {
        error = "out of memory";
        return false;
    }
    ctx->thread_count = 1;
    if (avcodec_open2(ctx.get(), codec, nullptr) < 0) {
        error = "cannot open the H.264 decoder";
        return false;
    }
    // The decoder reads a little past the end of its input.
    std::vector<uint8_t> padded(picture);
    padded.resize(picture.size() + AV_INPUT_BUFFER_PADDING_SIZE, 0);
    packet->data = padded.data();
    packet->size = static_cast<int>(picture.size());
    const bool sent = avcodec_send_packet(ctx.get(), packet.get()) == 0;
    avcodec_send_packet(ctx.get(), nullptr);  // the one picture is wanted now
    if (!sent || avcodec_receive_frame(ctx.get(), frame) != 0 || frame->width <= 0 || frame->height <= 0) {
        error = "the key picture does not decode";
        return false;
    }
    return true;
}

}  // namespace

bool DecodeStill(const std::vector<uint8_t>& keyPicture, StillImage& still, std::string& error) {
    av_log_set_level(AV_LOG_QUIET);
    AvPtr<AVFrame> frame(av_frame_alloc());
    if (!frame) {
        error = "out of memory";
        return false;
    }
    if (!Decode(keyPicture, frame.get(), error)) return false;
    const int w = frame->width, h = frame->height;
    AvPtr<SwsContext> sws(sws_getContext(w, h, static_cast<AVPixelFormat>(frame->format), w, h, AV_PIX_FMT_RGB24,
                                         SWS_BILINEAR, nullptr, nullptr, nullptr));
    if (!sws) {
        error = "cannot convert the picture to RGB";
        return false;
    }
    std::vector<uint8_t> rgb(static_cast<size_t>(w) * h * 3);
    uint8_t* dst[4] = {rgb.data(), nullptr, nullptr, nullptr};
    int dstStride[4] = {w * 3, 0, 0, 0};
    sws_scale(sws.get(), frame->data, frame->linesize, 0, h, dst, dstStride);

    png_image image;
    std::memset(&image, 0, sizeof image);
    image.version = PNG_IMAGE_VERSION;
    image.width = static_cast<png_uint_32>(w);
    image.height = static_cast<png_uint_32>(h);
    image.format = PNG_FORMAT_RGB;
    png_alloc_size_t size = 0;
    bool ok = png_image_write_to_memory(&image, nullptr, &size, 0, rgb.data(), w * 3, nullptr) != 0;
    if (ok) {
        still.png.resize(size);
        ok = png_image_write_to_memory(&image, still.png.data(), &size, 0, rgb.data(), w * 3, nullptr) != 0;
        still.png.resize(size);
    }
    png_image_free(&image);
    if (!ok) {
        error = "cannot write the PNG";
        return false;
    }
    still.width = w;
    still.height = h;
    return true;
}

std::string PngDataUri(const std::vector<uint8_t>& png) {
    static constexpr char kDigits[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string s = "data:image/png;base64,";
    s.reserve(s.size() + (png.size() + 2) / 3 * 4);
    for (size_t i = 0; i < png.size(); i += 3) {
        const size_t n = std::min<size_t>(3, png.size() - i);
        uint32_t v = uint32_t{png[i]} << 16;
        if (n > 1) v |= uint32_t{png[i + 1]} << 8;
        if (n > 2) v |= png[i + 2];
        s += kDigits[v >> 18 & 63];
        s += kDigits[v >> 12 & 63];
        s += n > 1 ? kDigits[v >> 6 & 63] : '=';
        s += n > 2 ? kDigits[v & 63] : '=';
    }
    return s;
}

}  // namespace media
