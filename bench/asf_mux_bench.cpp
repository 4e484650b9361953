// Writing a 60 s recording's objects: our ASF writer against libavformat's
// ASF muxer fed the same packets in the same process, both into memory.
// 1800 pictures at 2 Mbit/s (a key picture every 30), 1800 audio packets of
// 132/132/136 bytes, 6000 text records. Items per second = recordings.
#include <benchmark/benchmark.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "formats/AsfRecorderInit.h"

extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
}

namespace {

struct Item {
    int type;  // 0 video, 1 audio, 2 text
    bool key;
    uint32_t pts;
    std::vector<uint8_t> data;
};

// The objects of one recording in the order the recorder writes them.
const std::vector<Item>& Recording() {
    static const std::vector<Item> items = [] {
        std::vector<Item> v;
        std::mt19937 rng(3);
        const int perSecond = 2000000 / 8;
        uint32_t apts = 0, dpts = 0;
        int cycle = 0, text = 0;
        for (int i = 0; i < 1800; ++i) {
            const uint32_t vpts = i * 1000 / 30;
            while (dpts <= vpts && text < 6000) {  // 100 records per second
                std::string rec = text % 10 == 0 ? "$GPRMC,012345.00,A,3540.0000,N,13945.0000,E,0.0,0.0,010124,,,A*00\r\n"
                                                 : "$FB,00,$LR,01,$UD,FF\r\n";
                v.push_back({2, true, dpts, std::vector<uint8_t>(rec.begin(), rec.end())});
                dpts += 10;
                ++text;
            }
            while (apts < vpts) {
                const int len = cycle == 2 ? 136 : 132;
                v.push_back({1, true, apts, std::vector<uint8_t>(len, 0x77)});
                apts += len / 4;
                cycle = (cycle + 1) % 3;
            }
            const bool key = i % 30 == 0;
            const size_t size = key ? perSecond / 6 : (perSecond - perSecond / 6) / 29;
            std::vector<uint8_t> pic(size + rng() % 512);
            for (auto& b : pic) b = static_cast<uint8_t>(rng());
            v.push_back({0, key, vpts, std::move(pic)});
        }
        while (v.size() < 1800 + 1800 + 6000) {  // top the audio up to 1800 packets
            const int len = cycle == 2 ? 136 : 132;
            v.push_back({1, true, apts, std::vector<uint8_t>(len, 0x77)});
            apts += len / 4;
            cycle = (cycle + 1) % 3;
        }
        return v;
    }();
    return items;
}

// Memory file for our writer's callbacks.
struct Sink {
    std::vector<uint8_t> bytes;
    size_t pos = 0;
};
Sink gSink;
void* SinkOpen(const char*, const char*) {
    gSink.bytes.clear();
    gSink.pos = 0;
    return &gSink;
}
int SinkClose(void*) { return 0; }
size_t SinkWrite(const void* d, size_t size, size_t count, void* h) {
    Sink& s = *static_cast<Sink*>(h);
    const size_t n = size * count;
    if (s.bytes.size() < s.pos + n) s.bytes.resize(s.pos + n);
    std::memcpy(s.bytes.data() + s.pos, d, n);
    s.pos += n;
    return count;
}
int SinkSeek(void* h, long off, int) {
    static_cast<Sink*>(h)->pos = static_cast<size_t>(off);
    return 0;
}
long SinkTell(void* h) { return static_cast<long>(static_cast<Sink*>(h)->pos); }

void BM_OurAsfWriter(benchmark::State& state) {
    const auto& items = Recording();
    gSink.bytes.reserve(20 << 20);
    for (auto _ : state) {
        AsfRecorderSetup s;
        MakeRecorderMuxInit(s, "bench.asf", 640, 480, 2000000, 30, 0);
        s.init.pCallbackFopen = SinkOpen;
        s.init.pCallbackFclose = SinkClose;
        s.init.pCallbackFwrite = SinkWrite;
        s.init.pCallbackFseek = SinkSeek;
        s.init.pCallbackFtell = SinkTell;
        ASF_MUX_CONTEXT* ctx = ASF_Mux_Create(&s.init);
        for (const Item& it : items) {
            ASF_MUX_DATA_INFO info{static_cast<uint8_t>(it.key), it.pts};
            ASF_Mux_WriteData(ctx, it.type, it.data.data(), static_cast<uint32_t>(it.data.size()), &info);
        }
        ASF_Mux_Close(ctx);
        benchmark::DoNotOptimize(gSink.bytes.data());
    }
    state.counters["file_MB"] = gSink.bytes.size() / 1e6;
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_OurAsfWriter)->Unit(benchmark::kMillisecond);

// Memory output for libavformat.
int AvWrite(void* opaque, uint8_t* buf, int n) {  // FFmpeg 5 passes a non-const buffer
    return static_cast<int>(SinkWrite(buf, 1, n, opaque));
}
int64_t AvSeek(void* opaque, int64_t off, int whence) {
    Sink& s = *static_cast<Sink*>(opaque);
    if (whence == AVSEEK_SIZE) return static_cast<int64_t>(s.bytes.size());
    if (whence == SEEK_SET) s.pos = static_cast<size_t>(off);
    else if (whence == SEEK_CUR) s.pos += off;
    else if (whence == SEEK_END) s.pos = s.bytes.size() + off;
    return static_cast<int64_t>(s.pos);
}

void BM_LibavformatAsfMuxer(benchmark::State& state) {
    const auto& items = Recording();
    Sink sink;
    sink.bytes.reserve(20 << 20);
    AVPacket* pkt = av_packet_alloc();
    for (auto _ : state) {
        sink.bytes.clear();
        sink.pos = 0;
        AVFormatContext* oc = nullptr;
        avformat_alloc_output_context2(&oc, nullptr, "asf", nullptr);
        AVStream* v = avformat_new_stream(oc, nullptr);
        v->codecpar->codec_type = AVMEDIA_TYPE_VIDEO;
        v->codecpar->codec_id = AV_CODEC_ID_H264;
        v->codecpar->width = 640;
        v->codecpar->height = 480;
        v->codecpar->bit_rate = 2000000;
        AVStream* a = avformat_new_stream(oc, nullptr);
        a->codecpar->codec_type = AVMEDIA_TYPE_AUDIO;
        a->codecpar->codec_id = AV_CODEC_ID_ADPCM_G726;
        a->codecpar->sample_rate = 8000;
        a->codecpar->ch_layout = AV_CHANNEL_LAYOUT_MONO;
        a->codecpar->bits_per_coded_sample = 4;
        a->codecpar->bit_rate = 32000;
        a->codecpar->block_align = 1;
        // The ASF muxer takes only audio and video: the text records go in as
        // a second, raw video stream of the same packets.
        AVStream* t = avformat_new_stream(oc, nullptr);
        t->codecpar->codec_type = AVMEDIA_TYPE_VIDEO;
        t->codecpar->codec_id = AV_CODEC_ID_RAWVIDEO;
        t->codecpar->codec_tag = MKTAG('I', '4', '2', '0');
        t->codecpar->width = 16;
        t->codecpar->height = 16;
        for (AVStream* st : {v, a, t}) st->time_base = AVRational{1, 1000};
        const int ioSize = 3200;
        auto* ioBuf = static_cast<uint8_t*>(av_malloc(ioSize));
        oc->pb = avio_alloc_context(ioBuf, ioSize, 1, &sink, nullptr, AvWrite, AvSeek);
        if (avformat_write_header(oc, nullptr) < 0) {
            state.SkipWithError("libavformat refused the streams");
            break;
        }
        AVStream* streams[3] = {v, a, t};
        for (const Item& it : items) {
            pkt->data = const_cast<uint8_t*>(it.data.data());
            pkt->size = static_cast<int>(it.data.size());
            pkt->stream_index = streams[it.type]->index;
            pkt->pts = pkt->dts = av_rescale_q(it.pts, AVRational{1, 1000}, streams[it.type]->time_base);
            pkt->flags = it.key ? AV_PKT_FLAG_KEY : 0;
            pkt->duration = 0;
            av_write_frame(oc, pkt);
        }
        av_write_trailer(oc);
        av_freep(&oc->pb->buffer);  // the context may have replaced ioBuf
        avio_context_free(&oc->pb);
        avformat_free_context(oc);
        benchmark::DoNotOptimize(sink.bytes.data());
    }
    av_packet_free(&pkt);
    state.counters["file_MB"] = sink.bytes.size() / 1e6;
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_LibavformatAsfMuxer)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
