// export --mp4: recordings joined into one MP4 file. The pictures are copied
// as they were encoded (key pictures descrambled first); the G.726 sound is
// decoded with the project's decoder and encoded as AAC with libavcodec's
// own encoder; libavformat writes the MP4.
//
// Times: each file's presentation times (ms from its first picture) are
// moved by the end of the files before it, the end being one picture after
// the file's last picture, so the pictures of a drive cut into files run on
// without a gap or an overlap. The sound follows the same time line: it is
// laid out sample by sample, and where a file's sound starts more than
// kAudioSlackMs away from where the sound so far ended, silence is put in or
// the excess is left out. At the end the sound is filled with silence up
// to the pictures' end.
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <memory>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
}

#include "AnnexB.h"
#include "AsfFileReader.h"
#include "ExportCommand.h"
#include "LibavOwners.h"
#include "formats/AsfCrypt.h"
#include "formats/g726dec.h"

namespace media {
namespace {

constexpr int kSampleRate = 8000;
constexpr int kSamplesPerMs = kSampleRate / 1000;
constexpr int64_t kAudioSlackMs = 40;  // about one audio packet of 33 or 34 ms
constexpr int kAacBitrate = 32000;
constexpr AVRational kMs = {1, 1000};

std::string AvError(int code) {
    char buf[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(code, buf, sizeof buf);
    return buf;
}

// Closes the file a muxer writes and frees the muxer.
struct OutputFree {
    void operator()(AVFormatContext* f) const {
        if (f->pb) avio_closep(&f->pb);
        avformat_free_context(f);
    }
};

// The MP4 file being written: an H.264 track copied and an AAC track encoded.
class Mp4Writer {
public:
    bool Open(const std::string& path, const std::vector<uint8_t>& firstKey, uint32_t width, uint32_t height,
              std::string& error) {
        AVFormatContext* raw = nullptr;
        int rc = avformat_alloc_output_context2(&raw, nullptr, "mp4", path.c_str());
        if (rc < 0 || !raw) return Fail(error, "cannot set up an MP4 file", rc);
        fmt_.reset(raw);
        video_ = avformat_new_stream(fmt_.get(), nullptr);
        audio_ = avformat_new_stream(fmt_.get(), nullptr);
        if (!video_ || !audio_) return Fail(error, "cannot add the MP4 tracks", AVERROR(ENOMEM));

        AVCodecParameters* v = video_->codecpar;
        v->codec_type = AVMEDIA_TYPE_VIDEO;
        v->codec_id = AV_CODEC_ID_H264;
        v->width = static_cast<int>(width);
        v->height = static_cast<int>(height);
        const std::vector<uint8_t> sets = ParameterSets(firstKey.data(), firstKey.size());
        if (!sets.empty()) {
            v->extradata = static_cast<uint8_t*>(av_mallocz(sets.size() + AV_INPUT_BUFFER_PADDING_SIZE));
            if (!v->extradata) return Fail(error, "out of memory", AVERROR(ENOMEM));
            std::memcpy(v->extradata, sets.data(), sets.size());
            v->extradata_size = static_cast<int>(sets.size());
        }
        video_->time_base = kMs;

        const AVCodec* codec = avcodec_find_encoder_by_name("aac");
        if (!codec) return Fail(error, "libavcodec has no AAC encoder", AVERROR_ENCODER_NOT_FOUND);
        aac_.reset(avcodec_alloc_context3(codec));
        if (!aac_) return Fail(error, "out of memory", AVERROR(ENOMEM));
        aac_->sample_rate = kSampleRate;
        aac_->sample_fmt = AV_SAMPLE_FMT_FLTP;
        av_channel_layout_default(&aac_->ch_layout, 1);
        aac_->bit_rate = kAacBitrate;
        aac_->time_base = {1, kSampleRate};
        if (fmt_->oformat->flags & AVFMT_GLOBALHEADER) aac_->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
        if ((rc = avcodec_open2(aac_.get(), codec, nullptr)) < 0) return Fail(error, "cannot open the AAC encoder", rc);
        if ((rc = avcodec_parameters_from_context(audio_->codecpar, aac_.get())) < 0)
            return Fail(error, "cannot describe the AAC track", rc);
        audio_->time_base = aac_->time_base;

        frame_.reset(av_frame_alloc());
        packet_.reset(av_packet_alloc());
        if (!frame_ || !packet_) return Fail(error, "out of memory", AVERROR(ENOMEM));
        if ((rc = avio_open(&fmt_->pb, path.c_str(), AVIO_FLAG_WRITE)) < 0)
            return Fail(error, "cannot create " + path, rc);
        if ((rc = avformat_write_header(fmt_.get(), nullptr)) < 0)
            return Fail(error, "cannot write the MP4 header", rc);
        return true;
    }

    // One picture at `ms` on the export's time line, lasting `durationMs`.
    bool Picture(const std::vector<uint8_t>& data, bool key, int64_t ms, int64_t durationMs, std::string& error) {
        AVPacket* p = packet_.get();
        int rc = av_new_packet(p, static_cast<int>(data.size()));
        if (rc < 0) return Fail(error, "out of memory", rc);
        std::memcpy(p->data, data.data(), data.size());
        p->stream_index = video_->index;
        p->pts = p->dts = ms;
        p->duration = durationMs;
        if (key) p->flags |= AV_PKT_FLAG_KEY;
        av_packet_rescale_ts(p, kMs, video_->time_base);
        if ((rc = av_interleaved_write_frame(fmt_.get(), p)) < 0) return Fail(error, "cannot write a picture", rc);
        return true;
    }

    // Sound samples continuing the sound so far.
    bool Samples(const int16_t* s, size_t n, std::string& error) {
        pending_.insert(pending_.end(), s, s + n);
        size_t used = 0;
        const size_t frame = static_cast<size_t>(aac_->frame_size);
        for (; pending_.size() - used >= frame; used += frame)
            if (!EncodeFrame(pending_.data() + used, frame, error)) return false;
        pending_.erase(pending_.begin(), pending_.begin() + static_cast<long>(used));
        return true;
    }

    // The last samples, the encoder's delayed output and the MP4 index.
    bool Finish(std::string& error) {
        if (!pending_.empty() && !EncodeFrame(pending_.data(), pending_.size(), error)) return false;
        pending_.clear();
        int rc = avcodec_send_frame(aac_.get(), nullptr);
        if (rc < 0 || !Drain(error)) return rc < 0 ? Fail(error, "cannot flush the AAC encoder", rc) : false;
        if ((rc = av_interleaved_write_frame(fmt_.get(), nullptr)) < 0)
            return Fail(error, "cannot write the MP4 file", rc);
        if ((rc = av_write_trailer(fmt_.get())) < 0) return Fail(error, "cannot complete the MP4 file", rc);
        return true;
    }

    bool open() const { return fmt_ != nullptr; }

private:
    static bool Fail(std::string& error, const std::string& what, int code) {
        error = "export --mp4: " + what + " (" + AvError(code) + ")";
        return false;
    }

    bool EncodeFrame(const int16_t* s, size_t n, std::string& error) {
        AVFrame* f = frame_.get();
        av_frame_unref(f);
        f->format = AV_SAMPLE_FMT_FLTP;
        f->sample_rate = kSampleRate;
        f->nb_samples = static_cast<int>(n);
        int rc = av_channel_layout_copy(&f->ch_layout, &aac_->ch_layout);
        if (rc >= 0) rc = av_frame_get_buffer(f, 0);
        if (rc < 0) return Fail(error, "out of memory", rc);
        auto* dst = reinterpret_cast<float*>(f->data[0]);
        for (size_t i = 0; i < n; ++i) dst[i] = s[i] / 32768.0f;
        f->pts = samplesSent_;
        samplesSent_ += static_cast<int64_t>(n);
        if ((rc = avcodec_send_frame(aac_.get(), f)) < 0) return Fail(error, "cannot encode the sound", rc);
        return Drain(error);
    }

    bool Drain(std::string& error) {
        AVPacket* p = packet_.get();
        for (;;) {
            int rc = avcodec_receive_packet(aac_.get(), p);
            if (rc == AVERROR(EAGAIN) || rc == AVERROR_EOF) return true;
            if (rc < 0) return Fail(error, "cannot encode the sound", rc);
            p->stream_index = audio_->index;
            av_packet_rescale_ts(p, aac_->time_base, audio_->time_base);
            if ((rc = av_interleaved_write_frame(fmt_.get(), p)) < 0) return Fail(error, "cannot write the sound", rc);
        }
    }

    std::unique_ptr<AVFormatContext, OutputFree> fmt_;
    std::unique_ptr<AVCodecContext, FreeContext> aac_;
    std::unique_ptr<AVFrame, FreeFrame> frame_;
    std::unique_ptr<AVPacket, FreePacket> packet_;
    AVStream* video_ = nullptr;
    AVStream* audio_ = nullptr;
    std::vector<int16_t> pending_;  // samples not yet a whole AAC frame
    int64_t samplesSent_ = 0;
};

struct alignas(16) DecoderMemory {
    unsigned char bytes[88];
};

// How far the export is, on one line: after each file of several, and
// every two seconds while a long recording is read.
struct Progress {
    using Clock = std::chrono::steady_clock;
    FILE* to;
    size_t files;
    bool tty = isatty(fileno(to)) != 0;  // a terminal: the line is rewritten in place
    size_t done = 0;
    bool shown = false;
    Clock::time_point last = Clock::now();

    void Show(double ms) {
        std::fprintf(to, "%sexport: %zu/%zu files, %.0f s%s", tty ? "\r" : "", done, files, ms / 1000, tty ? "" : "\n");
        shown = true;
        last = Clock::now();
    }
    void Tick(double ms) {
        if (Clock::now() - last > std::chrono::seconds(2)) Show(ms);
    }
    void End() {
        if (shown && tty) std::fputs("\n", to);
    }
};

// The export's state across files.
struct Joiner {
    Joiner(const ExportOptions& options, FILE* progressTo) : o(options), progress{progressTo, options.inputs.size()} {}
    const ExportOptions& o;
    Progress progress;
    Mp4Writer mp4;
    double offsetMs = 0;       // where the current file's time 0 lies
    bool havePicture = false;  // a picture is held until the next gives its duration
    std::vector<uint8_t> held;
    bool heldKey = false;
    int64_t heldMs = 0, lastMs = -1;
    int64_t samples = 0;  // sound samples laid out so far
    uint64_t pictures = 0;

    bool Flush(int64_t nextMs, std::string& error) {
        if (!havePicture) return true;
        havePicture = false;
        ++pictures;
        return mp4.Picture(held, heldKey, heldMs, std::max<int64_t>(nextMs - heldMs, 1), error);
    }

    bool Sound(const int16_t* s, size_t n, int64_t atMs, std::string& error) {
        const int64_t target = atMs * kSamplesPerMs;
        if (target > samples + kAudioSlackMs * kSamplesPerMs) {
            const std::vector<int16_t> silence(static_cast<size_t>(target - samples), 0);
            if (!mp4.Samples(silence.data(), silence.size(), error)) return false;
            samples = target;
        } else if (target < samples - kAudioSlackMs * kSamplesPerMs) {
            const size_t skip = std::min<size_t>(n, static_cast<size_t>(samples - target));
            s += skip;
            n -= skip;
        }
        samples += static_cast<int64_t>(n);
        return mp4.Samples(s, n, error);
    }
};

// One recording onto the export's time line. Returns the file's end on
// its own time line (one picture after its last picture), or -1.
double AddFile(Joiner& j, const std::string& path, std::string& error) {
    ObjectAssembler assemble[4];
    MediaObject obj;
    DecoderMemory mem;
    G726Decoder* dec = nullptr;
    double frameMs = 1000.0 / 30;
    uint32_t width = 0, height = 0;
    int64_t lastPts = -1;
    std::vector<int16_t> pcm;
    bool failed = false;
    WalkResult r = WalkAsfFile(path, [&](ASF_DEMUX_STATE st, const ASF_DEMUX_CONTEXT& c, uint64_t) {
        switch (st) {
            case ASF_DEMUX_STATE_STREAM_PROPERTIES_OBJECT_VIDEO:
                width = c.asfStreamPropertiesObjectVideo.typeSpecificData.dwEncodedImageWidth;
                height = c.asfStreamPropertiesObjectVideo.typeSpecificData.dwEncodedImageHeight;
                return true;
            case ASF_DEMUX_STATE_STREAM_PROPERTIES_OBJECT_AUDIO: {
                // 2 bits per sample is the 16 kbit/s rate, anything else 32 kbit/s.
                const int bits = c.asfStreamPropertiesObjectAudio.typeSpecificData.wBitsPerSample == 2 ? 2 : 4;
                dec = g726_dec_create(bits, mem.bytes);
                return true;
            }
            case ASF_DEMUX_STATE_HEADER_EXTENSION_STREAM_PROPERTIES_OBJECT_VIDEO:
                if (c.asfExtendedStreamPropertiesObjectVideo.qwAverageTimePerFrame != 0)
                    frameMs = c.asfExtendedStreamPropertiesObjectVideo.qwAverageTimePerFrame / 10000.0;
                return true;
            case ASF_DEMUX_STATE_VIDEO_DATA: {
                if (!assemble[1].Add(c.asfPayloadVideo, obj)) return true;
                // A scrambled key picture never begins with a start code (with a
                // pass code of digits no key byte is 0), so plain ones, as a
                // recorder set not to scramble writes them, are taken as they are.
                if (obj.key && j.o.havePass && !StartsWithStartCode(obj.data))
                    DeCryptData(obj.data.data(), obj.data.data(), static_cast<uint32_t>(obj.data.size()),
                                j.o.pass.data());
                if (obj.key && !StartsWithStartCode(obj.data)) {
                    error = path + ": " +
                            (j.o.havePass ? "the pass code does not open the key pictures"
                                          : "the key pictures are scrambled: give the pass code with --pass");
                    failed = true;
                    return false;
                }
                if (!j.mp4.open()) {
                    if (!obj.key) return true;  // the MP4 file starts with a key picture
                    uint32_t w = width, h = height;
                    PictureSize(obj.data.data(), obj.data.size(), w, h);
                    if (!j.mp4.Open(j.o.mp4, obj.data, w, h, error)) {
                        failed = true;
                        return false;
                    }
                }
                int64_t ms = std::llround(j.offsetMs + obj.pts);
                if (ms <= j.lastMs) ms = j.lastMs + 1;  // times only move forward
                if (!j.Flush(ms, error)) {
                    failed = true;
                    return false;
                }
                j.held = std::move(obj.data);
                j.heldKey = obj.key;
                j.heldMs = j.lastMs = ms;
                j.havePicture = true;
                lastPts = std::max<int64_t>(lastPts, obj.pts);
                j.progress.Tick(static_cast<double>(ms));
                return true;
            }
            case ASF_DEMUX_STATE_AUDIO_DATA: {
                if (!assemble[2].Add(c.asfPayloadAudio, obj) || !dec || !j.mp4.open()) return true;
                pcm.resize(obj.data.size() * 8 / 2 + 1);
                const int n = g726_decode(dec, obj.data.data(), static_cast<int>(obj.data.size()), pcm.data());
                if (n > 0 && !j.Sound(pcm.data(), static_cast<size_t>(n), std::llround(j.offsetMs + obj.pts), error)) {
                    failed = true;
                    return false;
                }
                return true;
            }
            default:
                return true;
        }
    });
    if (dec) g726_dec_close(dec);
    if (failed) return -1;
    if (!r.ok) {
        error = path + ": " + r.error + " (diviv-media repair makes a cut recording whole)";
        return -1;
    }
    if (lastPts < 0) return 0;  // no picture: the next file starts where this one did
    // One picture after the last one, on the picture grid.
    const double frames = std::round(lastPts / frameMs) + 1;
    return frames * frameMs;
}

// The output removed unless it was completed.
struct RemoveUnlessKept {
    std::string path;
    bool keep = false;
    ~RemoveUnlessKept() {
        std::error_code ec;
        if (!keep) std::filesystem::remove(path, ec);
    }
};

}  // namespace

int ExportMp4(const ExportOptions& o, FILE* out, FILE* progress, std::string& error) {
    av_log_set_level(AV_LOG_ERROR);  // the AAC encoder's statistics are not for the user
    Joiner j(o, progress);
    RemoveUnlessKept guard{o.mp4};
    for (const std::string& input : o.inputs) {
        const double end = AddFile(j, input, error);
        if (end < 0) return 1;
        j.offsetMs += end;
        ++j.progress.done;
        if (o.inputs.size() > 1) j.progress.Show(j.offsetMs);
    }
    j.progress.End();
    if (!j.mp4.open()) {
        error = "export --mp4: no key picture in the recordings, nothing to export";
        return 1;
    }
    const int64_t endMs = std::llround(j.offsetMs);
    if (!j.Flush(endMs, error)) return 1;
    // The sound lasts as long as the pictures.
    if (j.samples < endMs * kSamplesPerMs) {
        const std::vector<int16_t> silence(static_cast<size_t>(endMs * kSamplesPerMs - j.samples), 0);
        if (!j.mp4.Samples(silence.data(), silence.size(), error)) return 1;
        j.samples += static_cast<int64_t>(silence.size());
    }
    if (!j.mp4.Finish(error)) return 1;
    guard.keep = true;
    std::fprintf(out, "%s: %llu pictures and %.3f s of sound from %zu recording(s), %.3f s\n", o.mp4.c_str(),
                 static_cast<unsigned long long>(j.pictures), static_cast<double>(j.samples) / kSampleRate,
                 o.inputs.size(), endMs / 1000.0);
    return 0;
}

}  // namespace media
