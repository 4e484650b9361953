// The H.264 video decoder as playback uses it, shaped like a hardware codec:
// the decoder owns an input ring (the bitstream buffer) that the caller
// fills at its write position and announces; it reads the picture size from
// the first stream headers; it decodes into frame buffers the caller
// registers and says, for each decode call, which of them to show.
//
//   Open -> (GetBitstreamSpace, copy, UpdateBitstream)... -> GetInitialInfo
//        -> RegisterFrameBuffers -> DecodeOne... (feeding on) -> Close
//
// Backends: AvcodecDecoder (libavcodec, every Linux build). The board's
// hardware codec unit plugs in behind this same interface.
//
// Input: an H.264 Annex B byte stream (start codes 00 00 01 / 00 00 00 01)
// in chunks of any size; pictures need not be aligned with chunks. The end
// of the stream is announced once (SetEndOfStream): the pictures still held
// are then handed out and the decoder reports the end.
//
// Frame buffers: planar YUV 4:2:0, luma stride = the registered stride,
// chroma stride = stride / 2, height rounded up to a multiple of 16 lines.
//
// Public methods check their arguments and the decoder's state once, then
// call the backend's private Do... methods, which may rely on those checks.
// One thread uses a decoder at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace diviv {

// Results of the decoder's methods: 0 (or a count) on success, else:
inline constexpr int kDecErrNotOpen = -1;        // the call needs an open decoder
inline constexpr int kDecErrAlreadyOpen = -2;    // Open on an open decoder (Close it first)
inline constexpr int kDecErrBadParams = -3;      // Open: a buffer size out of range
inline constexpr int kDecErrBadArgument = -4;    // null output, too many bytes announced, bad frame buffers
inline constexpr int kDecErrWrongState = -5;     // out of order: no initial information, no frame buffers
inline constexpr int kDecErrNoStreamInfo = -6;   // GetInitialInfo: no usable parameter set in the input yet
inline constexpr int kDecErrCodec = -7;          // the codec itself failed

// What DecodeOne reports in DecodeOutput::display_index besides a frame
// buffer index (>= 0):
inline constexpr int kDisplayEnd = -1;      // the stream has ended: nothing more will come
inline constexpr int kDisplaySkipped = -2;  // a picture was decoded but is not to be shown
inline constexpr int kDisplayNone = -3;     // no picture is ready yet (decoder delay, no input)

struct VideoDecoderParams {
    // The input ring's size in bytes, 4096..64 MiB.
    size_t bitstream_buffer_size = 655360;
};

struct VideoDecoderInitialInfo {
    int width = 0;                  // picture width in pixels, as coded (cropping applied)
    int height = 0;                 // picture height in lines
    uint32_t frame_rate = 0;        // pictures per second x 1000 from the stream; 0 when it says none
    int min_frame_buffer_count = 0; // frame buffers RegisterFrameBuffers needs at least
};

// One frame buffer in the caller's memory.
struct DecoderFrameBuffer {
    uint8_t* y = nullptr;
    uint8_t* cb = nullptr;
    uint8_t* cr = nullptr;
};

// Free room at the input ring's write position: `first` then, when the
// room wraps past the ring's end, `second` (at the ring's start).
struct BitstreamSpace {
    std::span<uint8_t> first;
    std::span<uint8_t> second;
    size_t free() const { return first.size() + second.size(); }
};

struct DecodeOutput {
    // Frame buffer to show (>= 0), or kDisplayEnd, kDisplaySkipped, kDisplayNone.
    int display_index = kDisplayNone;
    // True when a whole picture was in the input and this call decoded it;
    // false: the decoder waits for more input (or the end of the stream).
    bool picture_decoded = false;
    // Macroblocks of the shown picture that could not be decoded cleanly.
    int error_macroblocks = 0;
};

class VideoDecoder {
public:
    virtual ~VideoDecoder() = default;
    VideoDecoder(const VideoDecoder&) = delete;
    VideoDecoder& operator=(const VideoDecoder&) = delete;

    // Opens an H.264 decoder with an empty input ring. Return: 0,
    // kDecErrAlreadyOpen, kDecErrBadParams or kDecErrCodec.
    int Open(const VideoDecoderParams& params);

    // The free room at the write position. Return: the free byte count, or
    // kDecErrNotOpen / kDecErrBadArgument.
    int GetBitstreamSpace(BitstreamSpace* out);

    // Announces `bytes` written at the write position (at most the free
    // room). Return: 0, kDecErrNotOpen or kDecErrBadArgument.
    int UpdateBitstream(size_t bytes);

    // No more input will come. Return: 0 or kDecErrNotOpen.
    int SetEndOfStream();

    // Reads the picture size from the parameter sets and the first picture
    // header in the input (the input is not consumed). Return: 0,
    // kDecErrNotOpen, kDecErrBadArgument or kDecErrNoStreamInfo.
    int GetInitialInfo(VideoDecoderInitialInfo* out);

    // Registers `buffers` (at least min_frame_buffer_count, each holding
    // stride x rounded height x 3/2 bytes) with luma stride `stride` (at least
    // the width, even). Return: 0, kDecErrNotOpen, kDecErrWrongState (no
    // initial information yet) or kDecErrBadArgument.
    int RegisterFrameBuffers(std::span<const DecoderFrameBuffer> buffers, int stride);

    // Decodes the next picture, if a whole one is in the input, into one of
    // the frame buffers and says which one to show. Return: 0,
    // kDecErrNotOpen, kDecErrWrongState (no frame buffers) or
    // kDecErrBadArgument; a damaged picture is not a failure (its errored
    // macroblocks are counted).
    int DecodeOne(DecodeOutput* out);

    // Closes the decoder. Return: 0 or kDecErrNotOpen. It may be opened again.
    int Close();

    bool IsOpen() const { return open_; }

protected:
    VideoDecoder() = default;

private:
    virtual int DoOpen(const VideoDecoderParams& params) = 0;
    virtual BitstreamSpace DoGetBitstreamSpace() = 0;
    virtual void DoUpdateBitstream(size_t bytes) = 0;
    virtual void DoSetEndOfStream() = 0;
    virtual int DoGetInitialInfo(VideoDecoderInitialInfo* out) = 0;
    virtual void DoRegisterFrameBuffers(std::span<const DecoderFrameBuffer> buffers, int stride) = 0;
    virtual int DoDecodeOne(DecodeOutput* out) = 0;
    virtual void DoClose() = 0;

    bool open_ = false;
    bool have_info_ = false;
    bool have_buffers_ = false;
    VideoDecoderInitialInfo info_;
};

// Rounds a picture dimension up to whole 16-pixel macroblocks.
constexpr int RoundUpToMacroblock(int v) { return (v + 15) / 16 * 16; }

}  // namespace diviv
