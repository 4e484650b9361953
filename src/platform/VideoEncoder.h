// The H.264 video encoder as the video capture uses it: open with a size,
// rate and bit rate; ask for the stream headers (SPS, PPS) whenever a group
// of pictures starts; encode one planar YUV 4:2:0 picture at a time, forcing
// an I picture at the start of each group; close, fetching a picture the
// encoder still holds.
//
// Backends: X264Encoder (libx264, every Linux build). The board's hardware
// codec unit plugs in behind this same interface; its backend needs the board
// vendor's codec library, which this project does not use.
//
// Output format, for every backend: Annex B, each NAL unit preceded by the
// 4-byte start code 00 00 00 01. A header is one SPS or one PPS NAL unit; a
// picture is its coded slice NAL unit(s) only (no access unit delimiter, no
// SEI, no parameter sets), so the caller decides where headers go.
//
// Public methods check their arguments and the encoder's state once, then
// call the backend's private Do... methods, which may rely on those checks.
// One thread uses an encoder at a time.
#pragma once

#include <cstdint>
#include <functional>
#include <span>

namespace diviv {

// Results of the encoder's methods: 0 (or a count) on success, else:
inline constexpr int kEncErrNotOpen = -1;       // the call needs an open encoder
inline constexpr int kEncErrAlreadyOpen = -2;   // Open on an open encoder (Close it first)
inline constexpr int kEncErrBadParams = -3;     // Open: a size, rate, bit rate or GOP out of range
inline constexpr int kEncErrBadPicture = -4;    // Encode: the picture is not width*height*3/2 bytes
inline constexpr int kEncErrBadArgument = -5;   // a null output, an unknown header type
inline constexpr int kEncErrCodec = -6;         // the codec itself failed (details in its log)

struct VideoEncoderParams {
    int width = 640;          // pixels, even, 16..4096
    int height = 480;         // pixels, even, 16..4096
    int frame_rate = 30;      // pictures per second, 1..240
    int bit_rate_kbps = 2048; // target bit rate in kbit/s (1000 bit/s), 16..100000
    // Pictures per group. The caller forces the I picture that starts every
    // group; an encoder never starts a group on its own. 0: not known.
    int gop = 30;
};

// Codes as the capture writes them to its picture records (0 I, 1 P).
enum class PictureType : uint32_t {
    kI = 0,  // an IDR picture: frame_num and POC restart at 0
    kP = 1,
};

enum class HeaderType {
    kSps = 0,
    kPps = 1,
};

struct EncodedPicture {
    // The coded picture; empty when the encoder held the picture back (only
    // encoders configured with latency do; Close hands such pictures out).
    // Valid until the next call on the encoder.
    std::span<const uint8_t> bytes;
    PictureType type = PictureType::kP;
};

class VideoEncoder {
public:
    virtual ~VideoEncoder() = default;
    VideoEncoder(const VideoEncoder&) = delete;
    VideoEncoder& operator=(const VideoEncoder&) = delete;

    // Opens the encoder. Return: 0, kEncErrAlreadyOpen, kEncErrBadParams or
    // kEncErrCodec.
    int Open(const VideoEncoderParams& params);

    // One stream header, as one NAL unit with its start code, into *out
    // (valid until the next call). The same bytes every time for one open
    // encoder. Return: 0, kEncErrNotOpen, kEncErrBadArgument or kEncErrCodec.
    int PutHeader(HeaderType type, std::span<const uint8_t>* out);

    // Encodes one picture: `yuv` is planar YUV 4:2:0 (Y, then Cb, then Cr,
    // without padding: width*height*3/2 bytes). `force_i_picture` makes it an
    // IDR picture; otherwise it is a P picture. Return: 0, kEncErrNotOpen,
    // kEncErrBadPicture, kEncErrBadArgument or kEncErrCodec.
    int Encode(std::span<const uint8_t> yuv, bool force_i_picture, EncodedPicture* out);

    // Closes the encoder. Pictures it still holds are fetched first and
    // handed to `pending` in order (dropped when `pending` is empty).
    // Return: the number of pictures fetched, or kEncErrNotOpen. The encoder
    // may be opened again afterwards.
    using PictureSink = std::function<void(const EncodedPicture&)>;
    int Close(const PictureSink& pending = {});

    bool IsOpen() const { return open_; }
    const VideoEncoderParams& params() const { return params_; }

protected:
    VideoEncoder() = default;

private:
    virtual int DoOpen(const VideoEncoderParams& params) = 0;
    virtual int DoPutHeader(HeaderType type, std::span<const uint8_t>* out) = 0;
    virtual int DoEncode(std::span<const uint8_t> yuv, bool force_i_picture, EncodedPicture* out) = 0;
    virtual int DoClose(const PictureSink& pending) = 0;

    bool open_ = false;
    VideoEncoderParams params_;
};

}  // namespace diviv
