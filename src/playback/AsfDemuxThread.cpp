#include "playback/AsfDemuxThread.h"

#include <sched.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "core/DR_common.h"
#include "formats/AsfCrypt.h"
#include "formats/AsfDemultiplexer.h"
#include "osd/MediaInfo.h"
#include "storage/SDFunc.h"

namespace diviv::playback {
namespace {

struct DemuxCloser {
    void operator()(ASF_DEMUX_CONTEXT* c) const {
        std::printf("AD : ASF_Demux_Close\n");
        ASF_Demux_Close(c);
    }
};

void DemuxFree(void* p) { std::free(p); }

class AsfDemux {
public:
    explicit AsfDemux(dr_common_t* dr) : dr_(dr), info_(dr->asfinfo != nullptr ? dr->asfinfo : &own_info_) {}

    void Run();

private:
    enum class Step { kGoOn, kEnd };

    bool Setup();
    void Demultiplex();
    Step ParseBuffered();
    Step Act(ASF_DEMUX_STATE state);
    Step ProcessVideo(const STRUCT_ASF_PAYLOAD& p);
    Step CompleteFrame();
    Step ProcessAudio(const STRUCT_ASF_PAYLOAD& p);
    void WritePts(int32_t pts);
    void DeliverLastFrame();
    void Finish();

    bool Closing() const { return dr_->REQ_AD_CLOSE.load() != 0 || dr_->REQ_CLOSE.load() != 0; }

    dr_common_t* dr_;
    MediaInfo_t own_info_{};  // stands in when the record carries no media information
    MediaInfo_t* info_;
    std::unique_ptr<ASF_DEMUX_CONTEXT, DemuxCloser> ctx_;
    std::vector<uint8_t> buf_;  // the read buffer: unconsumed file bytes from its start
    size_t used_ = 0;           // unconsumed bytes in buf_
    FILE* file_ = nullptr;

    std::vector<uint8_t> frame_;  // VBSBuf
    size_t frame_len_ = 0;
    int64_t frame_pts_ = -1;      // -1: no frame being assembled
    bool frame_key_ = false;
    uint32_t frame_full_size_ = 0;  // the media object's size as its payloads declare it
    bool frame_too_large_ = false;
    int64_t last_pts_ = -1;         // the time last written to pts_buf

    int video_bytes_ = 0;  // nDEMUXED_VIDEO_DATA_LEN
    bool dec_not_start_ = true;
    // The media information is handed to the main thread (MediaInfoReady)
    // once the picture size and the timing are both known, and not written
    // after that (a header may carry the stream properties twice).
    bool have_size_ = false;
    bool have_timing_ = false;
    void MediaInfoPart(bool* part);
    int frames_ = 0;       // nFrameCount
};

void AsfDemux::Run() {
    if (Setup()) Demultiplex();
    Finish();
}

// Steps 1 to 4: per-run state, file names, reader, read buffer, file.
bool AsfDemux::Setup() {
    DR_FlushRingBuffer(&dr_->pts_buf);
    std::snprintf(info_->filename, sizeof info_->filename, "%s", dr_->playback_asf_name);
    MakeSDfilePath(dr_->playback_fullpath_fname, dr_->sdinfo != nullptr ? dr_->sdinfo->path_name : "",
                   dr_->playback_asf_name, sizeof dr_->playback_fullpath_fname);
    std::snprintf(dr_->transcode_fullpathasf_fname, sizeof dr_->transcode_fullpathasf_fname, "%s",
                  dr_->playback_fullpath_fname);

    ctx_.reset(ASF_Demux_Create(CustomMalloc_Demux, DemuxFree));
    if (!ctx_) {
        std::printf("Cant create context!\n");
        DR_SYSLOG(DR_ERR_SURVIVABLE, "Failure of initialization.", 0);
        return false;
    }
    try {
        buf_.resize(kDemuxReadChunk);
        frame_.resize(kFrameAssemblySize);
    } catch (const std::bad_alloc&) {
        std::printf("Cant allocate buffer\n");
        DR_SYSLOG(DR_ERR_SURVIVABLE, "Failure of memory allocation.", 0);
        return false;
    }
    const char* path = dr_->AppState.load() == STATE_TRANSCODE ? dr_->transcode_fullpathasf_fname
                                                                 : dr_->playback_fullpath_fname;
    file_ = std::fopen(path, "rb");
    if (file_ == nullptr) {
        std::printf("AD : Can not open input filename! [%s]\n", path);
        DR_SYSLOG(DR_ERR_SURVIVABLE, "Failure of accessing the file.", 0);
        return false;
    }
    return true;
}

// Steps 5 and 6: read behind the unconsumed bytes, parse until the reader
// asks for more, grow the buffer when it is full.
void AsfDemux::Demultiplex() {
    bool first_read = true;
    while (dr_->REQ_AD_CLOSE.load() == 0) {
        const size_t room = std::min(kDemuxReadChunk, buf_.size() - used_);
        const size_t got = std::fread(buf_.data() + used_, 1, room, file_);
        if (got == 0 || (first_read && got < kDemuxReadChunk)) {
            std::printf("\nAD : Found End Of ASF File (Demuxed Video Data = %d)\n", video_bytes_);
            DeliverLastFrame();
            return;
        }
        first_read = false;
        used_ += got;
        if (ParseBuffered() == Step::kEnd) return;
        if (used_ == buf_.size()) {
            const size_t size = buf_.size() + kDemuxBufferGrowth;
            try {
                buf_.resize(size);
            } catch (const std::bad_alloc&) {
                std::printf("Cant allocate buffer with size=%u\n", static_cast<unsigned>(size));
                DR_SYSLOG(DR_ERR_SURVIVABLE, "Failure of memory allocation.", 0);
                return;
            }
        }
    }
}

// Parses the buffered bytes unit by unit. The consumed bytes are dropped
// once, when the reader asks for more (payload records point into the
// buffer, and every payload is copied out before that).
AsfDemux::Step AsfDemux::ParseBuffered() {
    size_t at = 0;
    Step step = Step::kGoOn;
    while (step == Step::kGoOn) {
        uint32_t consumed = 0;
        const ASF_DEMUX_STATE state =
            ASF_Demux_Parse(ctx_.get(), buf_.data() + at, static_cast<uint32_t>(used_ - at), &consumed);
        if (state == ASF_DEMUX_STATE_NEED_MORE_DATA) break;
        if (consumed == 0 || consumed > used_ - at) {
            // A damaged file: the reader cannot move on from here.
            std::printf("state=%d\n", static_cast<int>(state));
            return Step::kEnd;
        }
        step = Act(state);
        at += consumed;
    }
    std::memmove(buf_.data(), buf_.data() + at, used_ - at);
    used_ -= at;
    return step;
}

void AsfDemux::MediaInfoPart(bool* part) {
    *part = true;
    if (have_size_ && have_timing_) dr_->MediaInfoReady = 1;
}

// Step 7.
AsfDemux::Step AsfDemux::Act(ASF_DEMUX_STATE state) {
    switch (state) {
        case ASF_DEMUX_STATE_UNKNOWN:
            std::printf("state=%d\n", static_cast<int>(state));
            return Step::kEnd;
        case ASF_DEMUX_STATE_VIDEO_DATA:
            return ProcessVideo(ctx_->asfPayloadVideo);
        case ASF_DEMUX_STATE_AUDIO_DATA:
            return ProcessAudio(ctx_->asfPayloadAudio);
        case ASF_DEMUX_STATE_STREAM_PROPERTIES_OBJECT_VIDEO:
            if (!have_size_) {
                info_->width = ctx_->asfStreamPropertiesObjectVideo.typeSpecificData.dwEncodedImageWidth;
                info_->height = ctx_->asfStreamPropertiesObjectVideo.typeSpecificData.dwEncodedImageHeight;
                MediaInfoPart(&have_size_);
            }
            return Step::kGoOn;
        case ASF_DEMUX_STATE_STREAM_PROPERTIES_OBJECT_AUDIO:
            if (ctx_->asfStreamPropertiesObjectAudio.typeSpecificData.wBitsPerSample == 2) {
                std::printf("AD : Demuxed audio bitrate is 16kbps\n");
                dr_->DemuxedAudioBitRate = 2;
            } else {
                std::printf("AD : Demuxed audio bitrate is 32kbps\n");
                dr_->DemuxedAudioBitRate = 4;
            }
            return Step::kGoOn;
        case ASF_DEMUX_STATE_HEADER_EXTENSION_STREAM_PROPERTIES_OBJECT_VIDEO: {
            // The times are 100-ns counts; every division truncates.
            if (have_timing_) return Step::kGoOn;
            const auto& e = ctx_->asfExtendedStreamPropertiesObjectVideo;
            info_->TimeParFrame = static_cast<int32_t>(e.qwAverageTimePerFrame / 10000);
            info_->duration = static_cast<int32_t>((e.qwEndTime / 10000 - e.qwStartTime / 10000) / 1000 + 1);
            info_->bitrate = static_cast<int32_t>(e.dwDataBitrate);
            MediaInfoPart(&have_timing_);
            return Step::kGoOn;
        }
        default:
            return Step::kGoOn;
    }
}

// Frame assembly: payloads of one picture share its presentation time.
AsfDemux::Step AsfDemux::ProcessVideo(const STRUCT_ASF_PAYLOAD& p) {
    if (static_cast<int64_t>(p.dwPTS) != frame_pts_) {
        if (frame_len_ > 0 && CompleteFrame() == Step::kEnd) return Step::kEnd;
        frame_len_ = 0;
        frame_pts_ = p.dwPTS;
        frame_key_ = p.Info.bKeyFrameBit != 0;
        frame_full_size_ = 0;
        frame_too_large_ = false;
    }
    frame_full_size_ += p.dwOffsetIntoMediaObject == 0 ? p.dwFullSizeOfMediaObject : 0;
    if (frame_len_ + p.dwPayloadSize > frame_.size()) {
        // Larger than the assembly buffer: the picture is dropped whole
        // rather than handed on cut short.
        frame_too_large_ = true;
        return Step::kGoOn;
    }
    std::memcpy(frame_.data() + frame_len_, p.pAddrInUserBuffer, p.dwPayloadSize);
    frame_len_ += p.dwPayloadSize;
    return Step::kGoOn;
}

AsfDemux::Step AsfDemux::CompleteFrame() {
    if (frame_too_large_) {
        std::printf("AD : Picture larger than %u bytes dropped [PTS=%lld]\n", static_cast<unsigned>(frame_.size()),
                    static_cast<long long>(frame_pts_));
        frame_len_ = 0;
        return Step::kGoOn;
    }
    const int len = static_cast<int>(frame_len_);
    while (DR_GetRingBufferWriteAvailable(&dr_->vbs_buf) < len) {
        if (Closing()) {
            std::printf("EXIT_DEMUX\n");
            return Step::kEnd;
        }
        dr_usleep(10000);
        sched_yield();
        dr_usleep(60000);
    }
    if (dr_->ASF_Encrypt != 0 && frame_key_) DeCryptData(frame_.data(), frame_.data(), frame_len_, dr_->pcode_new);
    const bool written = DR_WriteRingBuffer(&dr_->vbs_buf, frame_.data(), len) == len;
    video_bytes_ += len;
    if (frame_pts_ != last_pts_) WritePts(static_cast<int32_t>(frame_pts_));
    if (dec_not_start_ && video_bytes_ > kDecodeReleaseBytes) {
        dec_not_start_ = false;
        dr_->DecodeStart = 1;
        std::printf("AD : Demuxed Video Data is ready !\n");
    }
    if (dr_->REQ_AD_CLOSE.load() != 0 || dr_->REQ_CLOSE.load() != 0 || !written) {
        std::printf("EXIT_DEMUX\n");
        return Step::kEnd;
    }
    frame_len_ = 0;
    ++frames_;
    return Step::kGoOn;
}

void AsfDemux::WritePts(int32_t pts) {
    while (DR_GetRingBufferWriteAvailable(&dr_->pts_buf) <= 4 && dr_->REQ_AD_CLOSE.load() == 0) dr_usleep(100000);
    DR_WriteRingBuffer(&dr_->pts_buf, &pts, 4);
    last_pts_ = pts;
}

// At the end of the file the picture being assembled is whole when its
// payloads add up to the size they declare; a cut-off one is not handed on.
void AsfDemux::DeliverLastFrame() {
    if (frame_len_ > 0 && !frame_too_large_ && frame_len_ == frame_full_size_) CompleteFrame();
}

AsfDemux::Step AsfDemux::ProcessAudio(const STRUCT_ASF_PAYLOAD& p) {
    if (dr_->VideoOnlyMode.load() != 0) return Step::kGoOn;
    const int len = static_cast<int>(p.dwPayloadSize);
    while (DR_GetRingBufferWriteAvailable(&dr_->abs_buf) < len) {
        if (Closing()) return Step::kEnd;
        if (dr_->VideoOnlyMode.load() != 0) return Step::kGoOn;
        dr_usleep(10000);
        sched_yield();
        dr_usleep(10000);
        sched_yield();
    }
    const bool written = DR_WriteRingBuffer(&dr_->abs_buf, p.pAddrInUserBuffer, len) == len;
    return Closing() || !written ? Step::kEnd : Step::kGoOn;
}

// Steps 8 to 10.
void AsfDemux::Finish() {
    std::printf("####### ASF Demux : Decoding reaches to endpoint ! [%d]\n", frames_);
    if (file_ != nullptr) {
        std::fclose(file_);
        file_ = nullptr;
        std::printf("AD : Close file\n");
    } else {
        std::printf("AD : Close file failed (Null File Pointer) [%s]\n", dr_->playback_fullpath_fname);
    }
    buf_.clear();
    buf_.shrink_to_fit();
    std::printf("AD : free curBuf\n");
    ctx_.reset();
    if (video_bytes_ == 0) {
        dr_->REQ_CLOSE = 1;
        while (dr_->REQ_AD_CLOSE.load() == 0) dr_usleep(500000);
    }
    dr_->AD_ALIVE = 0;
    std::printf("AD : ASF Demultiplex Thread End \n");
}

}  // namespace
}  // namespace diviv::playback

void AsfDemuxThread(dr_common_t* dr) {
    diviv::playback::AsfDemux demux(dr);
    demux.Run();
}
