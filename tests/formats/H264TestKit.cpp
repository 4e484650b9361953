#include "H264TestKit.h"

#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/log.h>
}

namespace h264kit {

namespace {

std::mutex g_log_mutex;
std::vector<std::string>* g_log = nullptr;
int* g_log_errors = nullptr;

void LogCallback(void* avcl, int level, const char* fmt, va_list vl) {
    // A frame_num gap is only a debug line, but our streams allow no gaps:
    // the decoder invents the missing pictures and hides a broken stream.
    bool gap = std::strstr(fmt, "Frame num gap") != nullptr;
    if (level > AV_LOG_WARNING && !gap) return;
    char line[512];
    int prefix = 1;
    av_log_format_line(avcl, level, fmt, vl, line, sizeof line, &prefix);
    std::lock_guard<std::mutex> lock(g_log_mutex);
    if (g_log == nullptr) return;
    g_log->push_back(line);
    if (level <= AV_LOG_ERROR || gap) ++*g_log_errors;
}

void TakePicture(const AVFrame* f, DecodeResult* r) {
    DecodedPicture p;
    p.width = f->width;
    p.height = f->height;
    p.type = av_get_picture_type_char(f->pict_type);
    p.key = f->key_frame != 0;
    for (int plane = 0; plane < 3; ++plane) {
        int w = plane == 0 ? f->width : f->width / 2;
        int h = plane == 0 ? f->height : f->height / 2;
        for (int y = 0; y < h; ++y) {
            const uint8_t* row = f->data[plane] + static_cast<ptrdiff_t>(y) * f->linesize[plane];
            p.yuv.insert(p.yuv.end(), row, row + w);
        }
    }
    if (f->decode_error_flags != 0 || (f->flags & AV_FRAME_FLAG_CORRUPT)) ++r->errors;
    r->pictures.push_back(std::move(p));
}

void Drain(AVCodecContext* ctx, AVFrame* frame, DecodeResult* r) {
    while (avcodec_receive_frame(ctx, frame) == 0) {
        TakePicture(frame, r);
        av_frame_unref(frame);
    }
}

}  // namespace

DecodeResult Decode(const std::vector<std::vector<uint8_t>>& access_units) {
    DecodeResult r;
    const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_H264);
    AVCodecContext* ctx = avcodec_alloc_context3(codec);
    ctx->thread_count = 1;
    ctx->err_recognition = AV_EF_EXPLODE | AV_EF_CAREFUL | AV_EF_BITSTREAM | AV_EF_BUFFER | AV_EF_CRCCHECK;
    ctx->error_concealment = 0;
    {
        std::lock_guard<std::mutex> lock(g_log_mutex);
        g_log = &r.log;
        g_log_errors = &r.errors;
    }
    av_log_set_callback(LogCallback);
    if (avcodec_open2(ctx, codec, nullptr) < 0) {
        ++r.errors;
    } else {
        AVPacket* pkt = av_packet_alloc();
        AVFrame* frame = av_frame_alloc();
        for (const auto& au : access_units) {
            av_new_packet(pkt, static_cast<int>(au.size()));
            std::copy(au.begin(), au.end(), pkt->data);
            if (avcodec_send_packet(ctx, pkt) < 0) ++r.errors;
            av_packet_unref(pkt);
            Drain(ctx, frame, &r);
        }
        avcodec_send_packet(ctx, nullptr);
        Drain(ctx, frame, &r);
        av_frame_free(&frame);
        av_packet_free(&pkt);
    }
    avcodec_free_context(&ctx);
    av_log_set_callback(av_log_default_callback);
    std::lock_guard<std::mutex> lock(g_log_mutex);
    g_log = nullptr;
    g_log_errors = nullptr;
    return r;
}

void MovingPicture(int width, int height, int t, std::vector<uint8_t>* yuv, int scene) {
    yuv->resize(static_cast<size_t>(width) * height * 3 / 2);
    uint8_t* y = yuv->data();
    uint8_t* u = y + static_cast<size_t>(width) * height;
    uint8_t* v = u + static_cast<size_t>(width) * height / 4;
    auto texture = [scene](int x, int yy) {
        // Blocks of 4x4 with a hashed level, over a gradient.
        uint32_t h = static_cast<uint32_t>(x >> 2) * 73856093u ^ static_cast<uint32_t>(yy >> 2) * 19349663u ^
                     static_cast<uint32_t>(scene) * 83492791u;
        h = (h ^ (h >> 13)) * 0x5bd1e995u;
        return static_cast<int>((h >> 24) & 0x3F) + ((x + yy) & 0x7F);
    };
    int bx = (t * 7) % width, by = (t * 3) % height;
    for (int row = 0; row < height; ++row) {
        for (int col = 0; col < width; ++col) {
            int level = texture(col + 2 * t, row + t);
            bool in_block = col >= bx && col < bx + 64 && row >= by && row < by + 48;
            y[row * width + col] = static_cast<uint8_t>(in_block ? 235 : 16 + level);
        }
    }
    for (int row = 0; row < height / 2; ++row) {
        for (int col = 0; col < width / 2; ++col) {
            u[row * (width / 2) + col] = static_cast<uint8_t>(64 + ((col * 2 + t) & 0x7F));
            v[row * (width / 2) + col] = static_cast<uint8_t>(192 - ((row * 3 + t) & 0x7F));
        }
    }
}

double PsnrDb(const uint8_t* a, const uint8_t* b, size_t n) {
    double se = 0;
    for (size_t i = 0; i < n; ++i) {
        double d = static_cast<double>(a[i]) - b[i];
        se += d * d;
    }
    if (se == 0) return 99.0;
    return 10.0 * std::log10(255.0 * 255.0 * static_cast<double>(n) / se);
}

}  // namespace h264kit
