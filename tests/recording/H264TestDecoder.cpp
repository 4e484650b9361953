#include "H264TestDecoder.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/log.h>
}

namespace diviv::test {

namespace {

// libavcodec reports through one process-wide log callback: the decoder in
// use collects what is logged at error level.
std::mutex g_log_mutex;
int g_log_errors = 0;
std::string g_log_text;

void LogCallback(void* avcl, int level, const char* fmt, va_list vl) {
    if (level > AV_LOG_ERROR) return;
    std::string line(512, '\0');
    int prefix = 1;
    av_log_format_line(avcl, level, fmt, vl, line.data(), static_cast<int>(line.size()), &prefix);
    line.resize(std::strlen(line.c_str()));
    std::lock_guard lock(g_log_mutex);
    ++g_log_errors;
    if (g_log_text.size() < 4096) g_log_text += line;
}

}  // namespace

struct H264TestDecoder::Impl {
    AVCodecContext* ctx = nullptr;
    AVPacket* pkt = nullptr;
    AVFrame* frame = nullptr;
    ~Impl() {
        av_frame_free(&frame);
        av_packet_free(&pkt);
        avcodec_free_context(&ctx);
    }
};

H264TestDecoder::H264TestDecoder() : impl_(std::make_unique<Impl>()) {
    {
        std::lock_guard lock(g_log_mutex);
        g_log_errors = 0;
        g_log_text.clear();
    }
    av_log_set_callback(LogCallback);
    const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_H264);
    if (codec == nullptr) return;
    impl_->ctx = avcodec_alloc_context3(codec);
    impl_->ctx->thread_count = 1;
    impl_->ctx->flags |= AV_CODEC_FLAG_LOW_DELAY;  // one picture out per picture in
    // Strict: a stream error fails the call instead of being concealed.
    impl_->ctx->err_recognition = AV_EF_EXPLODE | AV_EF_BITSTREAM | AV_EF_BUFFER | AV_EF_CAREFUL;
    if (avcodec_open2(impl_->ctx, codec, nullptr) < 0) {
        avcodec_free_context(&impl_->ctx);
        return;
    }
    impl_->pkt = av_packet_alloc();
    impl_->frame = av_frame_alloc();
}

H264TestDecoder::~H264TestDecoder() { av_log_set_callback(av_log_default_callback); }

bool H264TestDecoder::ok() const { return impl_->ctx != nullptr && impl_->pkt != nullptr && impl_->frame != nullptr; }

bool H264TestDecoder::Receive() {
    for (;;) {
        const int rc = avcodec_receive_frame(impl_->ctx, impl_->frame);
        if (rc == AVERROR(EAGAIN) || rc == AVERROR_EOF) break;
        if (rc < 0) {
            ++errors_;
            error_text_ += "receive_frame failed\n";
            return false;
        }
        AVFrame* f = impl_->frame;
        if (f->decode_error_flags != 0) {
            ++errors_;
            error_text_ += "picture with decode errors\n";
        }
        DecodedPicture p;
        p.width = f->width;
        p.height = f->height;
        p.key = f->key_frame != 0;
        p.luma.resize(static_cast<size_t>(f->width) * f->height);
        for (int y = 0; y < f->height; ++y) {
            std::copy_n(f->data[0] + static_cast<ptrdiff_t>(y) * f->linesize[0], f->width,
                        p.luma.begin() + static_cast<ptrdiff_t>(y) * f->width);
        }
        pictures_.push_back(std::move(p));
        av_frame_unref(f);
    }
    std::lock_guard lock(g_log_mutex);
    errors_ += g_log_errors;
    error_text_ += g_log_text;
    g_log_errors = 0;
    g_log_text.clear();
    return true;
}

bool H264TestDecoder::Decode(std::span<const uint8_t> unit) {
    if (!ok()) return false;
    if (av_new_packet(impl_->pkt, static_cast<int>(unit.size())) < 0) return false;
    std::copy(unit.begin(), unit.end(), impl_->pkt->data);
    const int rc = avcodec_send_packet(impl_->ctx, impl_->pkt);
    av_packet_unref(impl_->pkt);
    if (rc < 0) {
        ++errors_;
        error_text_ += "send_packet failed\n";
        Receive();
        return false;
    }
    return Receive();
}

bool H264TestDecoder::Flush() {
    if (!ok()) return false;
    avcodec_send_packet(impl_->ctx, nullptr);
    return Receive();
}

}  // namespace diviv::test
