#include "playback/VideoDecoderThread.h"

#include <pthread.h>
#include <sched.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <mutex>
#include <new>
#include <vector>

#include "core/DR_common.h"
#include "platform/Board.h"
#include "platform/VideoDecoder.h"

namespace diviv::playback {
namespace {

constexpr int kChunkBytes = 32768;  // input moved to the decoder at a time
constexpr int kFramesBeforeShow = 5;  // pictures written before the display may start
constexpr uint32_t kDataWaitUs = 10000;
constexpr uint32_t kPollUs = 1000;

struct FrameBuffer {
    std::vector<uint8_t> image;  // Y, Cb, Cr one after another
    DecoderFrameBuffer planes;
};

class VideoDecoding {
public:
    explicit VideoDecoding(dr_common_t* dr) : dr_(dr) {}

    void Run() {
        if (Open() && WaitForData() && Start()) Loop();
        Close();
    }

private:
    bool Open();
    bool WaitForData();
    bool Start();
    bool FrameBufferInit(int count);
    void Loop();
    int ReadBS(const BitstreamSpace& space);
    bool Feed();
    int SaveDecodedVideo(const FrameBuffer& fb);
    void Close();

    bool Closing() const { return dr_->REQ_VD_CLOSE.load() != 0 || dr_->REQ_CLOSE.load() != 0; }

    dr_common_t* dr_;
    std::unique_ptr<VideoDecoder> dec_;
    std::vector<FrameBuffer> fbs_;
    int registered_ = 0;
    int width_ = 0, height_ = 0;  // rounded to whole macroblocks
    int one_frame_size_ = 0;
    int frames_ = 0;        // nFrameCount: pictures written to rv_buf
    int total_read_ = 0;    // bytes taken from vbs_buf
    bool end_reported_ = false;
    bool end_of_stream_ = false;
};

// Start step 2: the decoder and its input ring.
bool VideoDecoding::Open() {
    std::lock_guard<std::mutex> lock(dr_->codec_mutex);
    dec_ = TheBoard().OpenVideoDecoder();
    int rc = dec_ ? dec_->Open(VideoDecoderParams{}) : kDecErrCodec;
    if (rc < 0) {
        std::printf("vpu_DecOpen failed. Error code is %d \n", rc);
        return false;
    }
    BitstreamSpace space;
    rc = dec_->GetBitstreamSpace(&space);
    if (rc < 0) {
        std::printf("vpu_DecGetBitstreamBuffer failed. Error code is %d \n", rc);
        return false;
    }
    return true;
}

// Start step 3: the demultiplexer releases decoding once it has buffered
// enough; a file that ends before that ends the mode.
bool VideoDecoding::WaitForData() {
    std::printf("VD : Waiting for filling video BS into input Buffer\n");
    while (dr_->DecodeStart.load() == 0 && !Closing() && dr_->AD_ALIVE.load() == 1) {
        dr_usleep(kDataWaitUs);
        sched_yield();
    }
    if (dr_->DecodeStart.load() != 0) return !Closing();
    if (!Closing()) {
        std::printf("VD : Stop decoding (Not enough data)\n");
        dr_->REQ_CLOSE = 1;
    }
    return false;
}

// Start steps 4 to 6: one chunk, the picture size, the frame buffers.
bool VideoDecoding::Start() {
    std::printf("VD : Start VBS Decoding\n");
    if (!Feed()) return false;
    std::lock_guard<std::mutex> lock(dr_->codec_mutex);
    VideoDecoderInitialInfo info;
    int rc = dec_->GetInitialInfo(&info);
    if (rc < 0) {
        std::printf("vpu_DecGetInitialInfo failed. Error code is %d \n", rc);
        dr_->REQ_CLOSE = 1;
        return false;
    }
    width_ = RoundUpToMacroblock(info.width);
    height_ = RoundUpToMacroblock(info.height);
    if (dr_->pCodecCfg != nullptr) {
        dr_->pCodecCfg->width = static_cast<uint32_t>(width_);
        dr_->pCodecCfg->height = static_cast<uint32_t>(height_);
    }
    one_frame_size_ = width_ * height_ * 3 / 2;
    std::printf("VD : Get Info Width=%d Height=%d Rate=%u oneframe=%d\n", width_, height_, info.frame_rate,
                one_frame_size_);
    dr_->DecodeInfoReady = 1;

    const int count = info.min_frame_buffer_count + 1;
    std::printf("VD : min buffer count + extra_fb = %d\n", count);
    if (!FrameBufferInit(count)) {
        std::printf("Mem system allocation failed!\n");
        return false;
    }
    std::vector<DecoderFrameBuffer> planes;
    for (int i = 0; i < info.min_frame_buffer_count; ++i) planes.push_back(fbs_[i].planes);
    rc = dec_->RegisterFrameBuffers(planes, width_);
    if (rc < 0) {
        std::printf("vpu_DecRegisterFrameBuffer failed. Error code is %d \n", rc);
        return false;
    }
    registered_ = info.min_frame_buffer_count;
    return true;
}

// VD_FrameBufferInit: `count` buffers of one picture each, planes back to back.
bool VideoDecoding::FrameBufferInit(int count) {
    const size_t luma = static_cast<size_t>(width_) * height_;
    for (int i = 0; i < count; ++i) {
        FrameBuffer fb;
        try {
            fb.image.assign(static_cast<size_t>(one_frame_size_), 0);
        } catch (const std::bad_alloc&) {
            std::printf("VD : Can not get Physical Memory [&(FrameBuf[i].CurrImage)]\n");
            fbs_.clear();
            return false;
        }
        fb.planes = {fb.image.data(), fb.image.data() + luma, fb.image.data() + luma * 5 / 4};
        fbs_.push_back(std::move(fb));
    }
    return true;
}

// One chunk into the decoder's ring, copied outside the codec lock and
// announced under it. At the end of the input the decoder is told so, and
// hands out the pictures it still holds. False on a failure or a close.
bool VideoDecoding::Feed() {
    BitstreamSpace space;
    {
        std::lock_guard<std::mutex> lock(dr_->codec_mutex);
        dec_->GetBitstreamSpace(&space);
    }
    const int n = ReadBS(space);
    std::lock_guard<std::mutex> lock(dr_->codec_mutex);
    if (n < 0) {
        if (dr_->REQ_VD_CLOSE.load() != 0 || dr_->REQ_CLOSE.load() != 0) return false;
        dec_->SetEndOfStream();
        end_of_stream_ = true;
        return true;
    }
    // The bytes actually copied are announced: the last chunk of a stream
    // is usually a partial one.
    const int rc = dec_->UpdateBitstream(static_cast<size_t>(n));
    if (rc < 0) {
        std::printf("vpu_DecUpdateBitstreamBuffer failed. Error code is %d \n", rc);
        return false;
    }
    return true;
}

// Copies one chunk from vbs_buf into the ring's free room. Return: the
// bytes copied (less than a chunk only for the last one), or -1 at the end
// of the input or on a close request.
int VideoDecoding::ReadBS(const BitstreamSpace& space) {
    const int chunk = std::min<int>(kChunkBytes, static_cast<int>(space.free()));
    while (dr_->REQ_VD_CLOSE.load() == 0 && dr_->REQ_CLOSE.load() == 0) {
        const int avail = DR_GetRingBufferReadAvailable(&dr_->vbs_buf);
        if (avail < chunk && dr_->AD_ALIVE.load() != 0) {
            dr_usleep(kPollUs);
            sched_yield();
            continue;
        }
        if (avail == 0) {
            if (!end_reported_) {
                std::printf("VD : Detect ASF Demux Thread End [ret=%d TotalRead=%d]\n", avail, total_read_);
                end_reported_ = true;
            }
            return -1;
        }
        const int n = std::min(avail, chunk);
        const int first = std::min<int>(n, static_cast<int>(space.first.size()));
        DR_ReadRingBuffer(&dr_->vbs_buf, space.first.data(), first);
        if (n > first) DR_ReadRingBuffer(&dr_->vbs_buf, space.second.data(), n - first);
        total_read_ += n;
        return n;
    }
    return -1;
}

// The decode loop.
void VideoDecoding::Loop() {
    int total_errors = 0;
    while (!Closing()) {
        DecodeOutput out;
        int free_bytes = 0;
        {
            std::lock_guard<std::mutex> lock(dr_->codec_mutex);
            const int rc = dec_->DecodeOne(&out);
            if (rc < 0) {
                std::printf("vpu_DecStartOneFrame failed. Error code is %d \n", rc);
                break;
            }
            BitstreamSpace space;
            free_bytes = dec_->GetBitstreamSpace(&space);
        }
        const bool end = out.display_index == kDisplayEnd ||
                         (out.picture_decoded && out.display_index >= registered_);
        if (end) break;
        bool fed = false;
        if (!end_of_stream_ && free_bytes >= kChunkBytes) {
            if (!Feed()) break;
            fed = true;
        }
        if (!out.picture_decoded) {
            if (!fed) dr_usleep(kPollUs);
            continue;
        }
        if (out.display_index < 0) continue;  // nothing to show for this picture
        if (SaveDecodedVideo(fbs_[out.display_index]) == 0) break;
        if (out.error_macroblocks > 0) {
            std::printf("Num of Error Mbs : %d, in Frame : %d \n", out.error_macroblocks, frames_);
            total_errors += out.error_macroblocks;
        }
    }
    if (total_errors > 0) std::printf("Total Num of Error MBs : %d [TotalFrame=%d]\n", total_errors, frames_);
}

// One picture into rv_buf; 1 to go on, 0 to stop.
int VideoDecoding::SaveDecodedVideo(const FrameBuffer& fb) {
    while (DR_GetRingBufferWriteAvailable(&dr_->rv_buf) < one_frame_size_) {
        if (dr_->REQ_VD_CLOSE.load() != 0) return 0;
        dr_usleep(kPollUs);
        sched_yield();
    }
    DR_WriteRingBuffer(&dr_->rv_buf, fb.image.data(), one_frame_size_);
    if (frames_ > kFramesBeforeShow) dr_->PlaybackStart = 1;
    ++frames_;
    if (dr_->REQ_VD_CLOSE.load() != 0) return 0;
    return 1 - dr_->REQ_CLOSE.load();
}

void VideoDecoding::Close() {
    std::printf("VD : vpu_DecClose()\n");
    {
        std::lock_guard<std::mutex> lock(dr_->codec_mutex);
        if (dec_ && dec_->IsOpen()) dec_->Close();
        dec_.reset();
    }
    std::printf("VD : Free Buffers\n");
    fbs_.clear();
    std::printf("VD : IOFreeVirtMem\n");
    std::printf("VD : IOFreePhyMem\n");
    std::printf("VD : Total Decoded Frames : %d\n", frames_);
    // A decoder that stops before the display could start (its codec
    // failed, or the stream held six pictures or fewer) ends the mode: the
    // playback manager waits for the picture size or for PlaybackStart and
    // would otherwise wait for ever.
    if (dr_->PlaybackStart.load() == 0) dr_->REQ_CLOSE = 1;
    dr_->VD_ALIVE = 0;
    std::printf("VD : Video Decoder Thread End \n");
}

}  // namespace
}  // namespace diviv::playback

void VideoDecoderThread(dr_common_t* dr) {
    std::printf("VD : Start Video Decoder Thread \n");
    // Named, so that top -H and the playback figures tell it from the rest.
    pthread_setname_np(pthread_self(), "vdec");
    if (dr->pCodecCfg != nullptr) dr->pCodecCfg->dst = 0;  // pictures go to rv_buf, not to a display
    diviv::playback::VideoDecoding decoding(dr);
    decoding.Run();
}
