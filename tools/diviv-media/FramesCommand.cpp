// frames: decodes the H.264 pictures of a recording (ASF file) or of a raw
// Annex-B stream with libavcodec and prints, per decoded picture, its
// presentation time and the frame band read back from it (the simulated
// camera's frame sequence number and second marker), one line each:
//
//     pts_ms=1033 seq=31 marker=0
//     pts_ms=1066 band=unreadable
//
// A raw stream has no times: its pictures are numbered at 30 per second, as
// `mux` takes them.
extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/log.h>
#include <libavutil/pixdesc.h>
}

#include <cinttypes>
#include <cstring>
#include <memory>
#include <vector>

#include "AsfFileReader.h"
#include "LibavOwners.h"
#include "MediaCommands.h"
#include "formats/AsfCrypt.h"
#include "sim/FrameBand.h"

namespace media {
namespace {

// The ASF Header Object's GUID, as the file's first 16 bytes.
constexpr uint8_t kAsfHeaderGuid[16] = {0x30, 0x26, 0xB2, 0x75, 0x8E, 0x66, 0xCF, 0x11,
                                        0xA6, 0xD9, 0x00, 0xAA, 0x00, 0x62, 0xCE, 0x6C};
constexpr int kRawPicturesPerSecond = 30;
constexpr size_t kReadChunk = 64 * 1024;

struct CloseParser {
    void operator()(AVCodecParserContext* p) const { av_parser_close(p); }
};

struct FileCloser {
    void operator()(FILE* f) const { std::fclose(f); }
};
using File = std::unique_ptr<FILE, FileCloser>;

// One H.264 decoder that prints a line per picture it puts out.
class BandPrinter {
public:
    explicit BandPrinter(FILE* out) : out_(out) {}

    bool Open(std::string& error) {
        const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_H264);
        if (codec == nullptr) {
            error = "libavcodec has no H.264 decoder";
            return false;
        }
        ctx_.reset(avcodec_alloc_context3(codec));
        frame_.reset(av_frame_alloc());
        packet_.reset(av_packet_alloc());
        if (!ctx_ || !frame_ || !packet_) {
            error = "out of memory";
            return false;
        }
        ctx_->thread_count = 1;  // pictures come out as they go in
        ctx_->pkt_timebase = AVRational{1, 1000};
        if (avcodec_open2(ctx_.get(), codec, nullptr) < 0) {
            error = "cannot open the H.264 decoder";
            return false;
        }
        return true;
    }

    AVCodecContext* context() const { return ctx_.get(); }

    // One access unit (or an ASF video object), with its time in ms.
    void Send(const uint8_t* data, size_t size, int64_t pts_ms) {
        packet_->data = const_cast<uint8_t*>(data);  // not written: the decoder copies an unowned packet
        packet_->size = static_cast<int>(size);
        packet_->pts = pts_ms;
        packet_->dts = pts_ms;
        if (avcodec_send_packet(ctx_.get(), packet_.get()) < 0) ++refused_;
        av_packet_unref(packet_.get());
        Receive();
    }

    // Hands out the pictures the decoder still holds.
    void Drain() {
        avcodec_send_packet(ctx_.get(), nullptr);
        Receive();
    }

    uint64_t pictures() const { return pictures_; }
    uint64_t refused() const { return refused_; }

private:
    void Receive() {
        while (avcodec_receive_frame(ctx_.get(), frame_.get()) == 0) {
            Print(*frame_);
            av_frame_unref(frame_.get());
        }
    }

    void Print(const AVFrame& f) {
        ++pictures_;
        int64_t pts = f.pts != AV_NOPTS_VALUE ? f.pts : f.best_effort_timestamp;
        std::fprintf(out_, "pts_ms=%" PRId64, pts);
        const auto* desc = av_pix_fmt_desc_get(static_cast<AVPixelFormat>(f.format));
        const bool luma8 = desc != nullptr && (desc->flags & AV_PIX_FMT_FLAG_RGB) == 0 && desc->comp[0].depth == 8 &&
                           f.linesize[0] > 0;
        const diviv::sim::FrameBandReading band =
            luma8 ? diviv::sim::ReadFrameBand(f.data[0], f.width, f.height, f.linesize[0])
                  : diviv::sim::FrameBandReading{};
        if (band.ok) {
            std::fprintf(out_, " seq=%" PRIu32 " marker=%d", band.sequence, band.marker ? 1 : 0);
        } else {
            std::fputs(" band=unreadable", out_);
        }
        if (f.decode_error_flags != 0 || (f.flags & AV_FRAME_FLAG_CORRUPT) != 0) std::fputs(" corrupt=1", out_);
        std::fputc('\n', out_);
    }

    FILE* out_;
    std::unique_ptr<AVCodecContext, FreeContext> ctx_;
    std::unique_ptr<AVFrame, FreeFrame> frame_;
    std::unique_ptr<AVPacket, FreePacket> packet_;
    uint64_t pictures_ = 0;
    uint64_t refused_ = 0;  // packets the decoder rejected
};

bool IsAsf(const std::string& path) {
    File f(std::fopen(path.c_str(), "rb"));
    uint8_t head[16] = {};
    return f && std::fread(head, 1, sizeof head, f.get()) == sizeof head &&
           std::memcmp(head, kAsfHeaderGuid, sizeof head) == 0;
}

bool DecodeAsf(const FramesOptions& o, BandPrinter& printer, std::string& error) {
    ObjectAssembler video;
    MediaObject obj;
    WalkResult r = WalkAsfFile(o.input, [&](ASF_DEMUX_STATE st, const ASF_DEMUX_CONTEXT& c, uint64_t) {
        if (st != ASF_DEMUX_STATE_VIDEO_DATA || !video.Add(c.asfPayloadVideo, obj)) return true;
        if (obj.key && o.havePass)
            DeCryptData(obj.data.data(), obj.data.data(), static_cast<uint32_t>(obj.data.size()), o.pass.data());
        // The decoder reads a little past the end of its input.
        obj.data.resize(obj.data.size() + AV_INPUT_BUFFER_PADDING_SIZE, 0);
        printer.Send(obj.data.data(), obj.data.size() - AV_INPUT_BUFFER_PADDING_SIZE, obj.pts);
        return true;
    });
    printer.Drain();
    if (!r.ok) error = o.input + ": " + r.error;
    return r.ok;
}

bool DecodeAnnexB(const FramesOptions& o, BandPrinter& printer, std::string& error) {
    File in(std::fopen(o.input.c_str(), "rb"));
    if (!in) {
        error = "cannot open " + o.input + ": " + std::strerror(errno);
        return false;
    }
    std::unique_ptr<AVCodecParserContext, CloseParser> parser(av_parser_init(AV_CODEC_ID_H264));
    if (!parser) {
        error = "libavcodec has no H.264 parser";
        return false;
    }
    std::vector<uint8_t> chunk(kReadChunk + AV_INPUT_BUFFER_PADDING_SIZE, 0);
    int64_t picture = 0;
    bool end = false;
    while (!end) {
        const size_t got = std::fread(chunk.data(), 1, kReadChunk, in.get());
        end = got == 0;  // an empty input flushes the parser's last unit
        std::memset(chunk.data() + got, 0, AV_INPUT_BUFFER_PADDING_SIZE);
        const uint8_t* p = chunk.data();
        size_t left = got;
        do {
            uint8_t* unit = nullptr;
            int unit_size = 0;
            const int used = av_parser_parse2(parser.get(), printer.context(), &unit, &unit_size, end ? nullptr : p,
                                              static_cast<int>(left), AV_NOPTS_VALUE, AV_NOPTS_VALUE, 0);
            if (used < 0 || (used == 0 && unit_size == 0)) break;
            p += used;
            left -= static_cast<size_t>(used);
            if (unit_size > 0) {
                printer.Send(unit, static_cast<size_t>(unit_size), picture * 1000 / kRawPicturesPerSecond);
                ++picture;
            }
        } while (left > 0);
    }
    if (std::ferror(in.get())) {
        error = "cannot read " + o.input;
        return false;
    }
    printer.Drain();
    return true;
}

}  // namespace

int Frames(const FramesOptions& o, FILE* out, std::string& error) {
    av_log_set_level(AV_LOG_ERROR);
    BandPrinter printer(out);
    if (!printer.Open(error)) return 1;
    File probe(std::fopen(o.input.c_str(), "rb"));
    if (!probe) {
        error = "cannot open " + o.input + ": " + std::strerror(errno);
        return 1;
    }
    probe.reset();
    const bool ok = IsAsf(o.input) ? DecodeAsf(o, printer, error) : DecodeAnnexB(o, printer, error);
    if (!ok) return 1;
    if (printer.pictures() == 0) {
        error = o.input + ": no H.264 picture decoded";
        return 1;
    }
    if (printer.refused() > 0) {
        error = o.input + ": " + std::to_string(printer.refused()) + " picture(s) the decoder refused";
        return 1;
    }
    return 0;
}

}  // namespace media
