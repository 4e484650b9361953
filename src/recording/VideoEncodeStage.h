// The encoder side of the video capture: opening the board's H.264 encoder
// for the recording's size and rates, the stream headers at the start of
// every group of pictures, one picture at a time from the source frame, and
// the close. Every call into the codec holds codec_mutex, which the playback
// decoder shares.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "core/DR_shared.h"
#include "platform/VideoEncoder.h"
#include "recording/VideoStreamOutput.h"

namespace diviv::vce {

// Bytes one coded picture may take: the encoder's bitstream buffer.
inline constexpr size_t kBitstreamBufferSize = 0xA0000;

// Encoder standards of codec_config_t::mode.
enum : uint32_t { kEncModeMpeg4 = 0, kEncModeH263 = 1, kEncModeAvc = 2 };

struct EncodeSettings {
    uint32_t mode = kEncModeAvc;
    int width = 640;
    int height = 480;
    int frame_rate = 30;      // pictures per second (integer part of the camera rate)
    int bit_rate_kbps = 2048;
    int gop = 30;             // pictures per group
};

class VideoEncodeStage {
public:
    explicit VideoEncodeStage(dr_common_t* dr) : dr_(dr) {}
    ~VideoEncodeStage() { Close(); }
    VideoEncodeStage(const VideoEncodeStage&) = delete;
    VideoEncodeStage& operator=(const VideoEncodeStage&) = delete;

    // Opens the encoder, allocates the source frame and publishes the
    // instance in enc_info. -1 ends the thread (the reason is printed and,
    // for a codec failure, logged with HW_Error set).
    int Open(const EncodeSettings& s);

    // Writes the SPS and then the PPS through ProcessVBS. The first call
    // also gives `out` the parameter sets for its skip pictures. Returns the
    // first negative ProcessVBS result or codec failure, else 0.
    int PutHeaders(VideoStreamOutput& out);

    // Encodes the source frame. 0 with *pic set, or -1 after printing (and,
    // for a picture larger than the bitstream buffer, logging) the failure.
    int Encode(bool force_i_picture, EncodedPicture* pic);

    // The frame the captures are copied into and the captions drawn on.
    std::span<uint8_t> source_frame() { return source_; }

    // Closes the encoder (a picture it still holds is fetched and dropped)
    // and frees the frames; prints its lines only when it was opened.
    void Close();

private:
    dr_common_t* dr_;
    std::unique_ptr<VideoEncoder> enc_;
    std::vector<uint8_t> source_;
    bool headers_parsed_ = false;
};

}  // namespace diviv::vce
