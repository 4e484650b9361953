// H.264 syntax (ITU-T H.264): just enough to read a stream's sequence and
// picture parameter sets and to write a picture in which every macroblock is
// skipped, for that stream.
//
// The recorder replaces a P picture that came out far too large with such a
// skip picture: decoders show the previous picture again. A skip slice is only
// valid for the parameter sets of the stream it goes into (frame_num and POC
// widths, the macroblock count, the initial QP, the deblocking field), so it
// is generated from them (MakeSkipSlice) rather than taken from a table.
//
// Terms: a NAL unit as stored in a stream is a header byte and an escaped
// payload (emulation prevention bytes 0x03 inserted after every 00 00 that
// precedes a byte 00..03); the RBSP is the payload with those bytes removed.
// Annex B streams put the start code 00 00 00 01 (or 00 00 01) before every
// NAL unit. Functions that take a NAL unit accept it with or without its
// start code.
//
// Pure code: no board, no threads, no allocation except where a function
// returns a vector.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace diviv::h264 {

// Results: 0 or a byte count on success, else one of these.
inline constexpr int kOk = 0;
inline constexpr int kErrTruncated = -1;    // the unit ends inside a field
inline constexpr int kErrInvalid = -2;      // wrong NAL type, or a field outside its legal range
inline constexpr int kErrUnsupported = -3;  // legal, but not followed here (see the functions)
inline constexpr int kErrMismatch = -4;     // the PPS names another SPS
inline constexpr int kErrNoSpace = -5;      // the output buffer is too small

// nal_unit_type values used by the recorder.
enum NalType : uint8_t {
    kNalSlice = 1,  // coded slice of a non-IDR picture
    kNalIdr = 5,    // coded slice of an IDR picture
    kNalSei = 6,
    kNalSps = 7,
    kNalPps = 8,
    kNalAud = 9,
    kNalFiller = 12,
};

// Reads an RBSP most significant bit first. Reading past the end yields
// zeros and sets failed(); callers check failed() once after a group of reads.
class BitReader {
public:
    explicit BitReader(std::span<const uint8_t> rbsp) : data_(rbsp) {}

    uint32_t Bits(int n);  // u(n), n 0..32
    bool Flag() { return Bits(1) != 0; }
    uint32_t Ue();  // ue(v); codes longer than 32 bits fail
    int32_t Se();   // se(v)

    bool failed() const { return failed_; }
    size_t position() const { return pos_; }  // in bits
    size_t size_bits() const { return data_.size() * 8; }
    // more_rbsp_data(): is anything but the rbsp trailing bits left?
    bool MoreRbspData() const;

private:
    std::span<const uint8_t> data_;
    size_t pos_ = 0;
    bool failed_ = false;
};

// Writes an RBSP into a caller's buffer. Writing past its end sets overflow()
// and drops the bits.
class BitWriter {
public:
    explicit BitWriter(std::span<uint8_t> out) : out_(out) {}

    void Bits(uint64_t value, int n);  // u(n), n 0..64, the low n bits of value
    void Flag(bool b) { Bits(b ? 1 : 0, 1); }
    void Ue(uint32_t value);
    void Se(int32_t value);
    // rbsp_trailing_bits(): a one bit, then zeros to the byte boundary.
    void TrailingBits();

    bool overflow() const { return overflow_; }
    size_t position() const { return pos_; }              // in bits
    size_t size_bytes() const { return (pos_ + 7) / 8; }  // bytes touched so far

private:
    std::span<uint8_t> out_;
    size_t pos_ = 0;
    bool overflow_ = false;
};

// Copies an escaped NAL payload to `rbsp` without its emulation prevention
// bytes. `rbsp` must hold payload.size() bytes. Returns the RBSP length or
// kErrNoSpace.
int RemoveEmulationPrevention(std::span<const uint8_t> payload, std::span<uint8_t> rbsp);

// Copies an RBSP to `payload` with emulation prevention bytes inserted
// (and a final 0x03 when the RBSP ends in 0x00). Returns the payload length
// or kErrNoSpace; rbsp.size() * 3 / 2 + 1 bytes always suffice.
int AddEmulationPrevention(std::span<const uint8_t> rbsp, std::span<uint8_t> payload);

// The NAL unit without a leading 3- or 4-byte start code (unchanged when it
// has none).
std::span<const uint8_t> StripStartCode(std::span<const uint8_t> nal);

// nal_unit_type of a NAL unit (start code allowed); -1 for an empty one.
int NalUnitType(std::span<const uint8_t> nal);

// The NAL units of an Annex B stream, each without its start code. Bytes
// before the first start code are ignored.
std::vector<std::span<const uint8_t>> SplitAnnexB(std::span<const uint8_t> stream);

// Sequence parameter set fields the skip slice depends on.
struct Sps {
    uint8_t profile_idc = 0;
    uint8_t constraint_flags = 0;  // constraint_set0_flag .. reserved bits, as one byte
    uint8_t level_idc = 0;
    uint32_t sps_id = 0;
    uint32_t chroma_format_idc = 1;  // 1 = 4:2:0 (the only format outside the High profiles)
    bool separate_colour_plane = false;
    uint32_t bit_depth_luma = 8;
    uint32_t log2_max_frame_num = 4;  // frame_num is this many bits, 4..16
    uint32_t pic_order_cnt_type = 0;  // 0, 1 or 2
    uint32_t log2_max_poc_lsb = 4;    // type 0: pic_order_cnt_lsb is this many bits, 4..16
    bool delta_pic_order_always_zero = false;  // type 1
    uint32_t max_num_ref_frames = 0;
    uint32_t width_mbs = 0;          // picture width in macroblocks
    uint32_t height_map_units = 0;   // pic_height_in_map_units_minus1 + 1
    bool frame_mbs_only = true;      // false: the stream may code fields

    // Macroblocks of one frame.
    uint32_t MbCount() const { return width_mbs * height_map_units * (frame_mbs_only ? 1 : 2); }
};

// Picture parameter set fields the skip slice depends on.
struct Pps {
    uint32_t pps_id = 0;
    uint32_t sps_id = 0;
    bool entropy_coding_mode = false;  // true: CABAC
    bool bottom_field_pic_order_in_frame_present = false;
    uint32_t num_slice_groups = 1;
    uint32_t num_ref_idx_l0_default = 1;  // 1..32
    bool weighted_pred = false;
    uint32_t weighted_bipred_idc = 0;
    int32_t pic_init_qp = 26;  // 26 + pic_init_qp_minus26
    int32_t chroma_qp_index_offset = 0;
    bool deblocking_filter_control_present = false;
    bool constrained_intra_pred = false;
    bool redundant_pic_cnt_present = false;
};

// Parses an SPS NAL unit. kErrInvalid for another NAL type or a field out of
// range, kErrTruncated when it ends early.
int ParseSps(std::span<const uint8_t> nal, Sps* out);

// Parses a PPS NAL unit. Slice groups (FMO, Extended profile) are
// kErrUnsupported: their map is not read.
int ParsePps(std::span<const uint8_t> nal, Pps* out);

// QP a skip slice is coded with unless the caller names one: the quantiser
// the recorder's encoder runs at. A skipped macroblock has no residual, so the
// value only has to be legal.
inline constexpr int kSkipSliceQp = 30;

// Longest skip slice MakeSkipSlice writes, start code included.
inline constexpr size_t kMaxSkipSliceBytes = 64;

// Writes, with a 4-byte start code, a non-IDR reference slice (nal_ref_idc 2,
// header byte 0x41) of slice type P covering the whole picture with every
// macroblock skipped, for the stream described by `sps` and `pps`, to stand
// for the picture `n` pictures after the group's IDR picture (n >= 1):
// frame_num = n mod MaxFrameNum; POC type 0: pic_order_cnt_lsb = 2n mod
// MaxPicOrderCntLsb (POC counts two per frame picture from 0 at the IDR
// picture); the slice refers to one reference picture (the previous one),
// keeps the default reference list and sliding-window marking, and codes
// `slice_qp` as a delta against the PPS's initial QP; when the PPS has the
// deblocking control field the slice switches the filter off, so the picture
// is an exact copy of its reference.
//
// Returns the bytes written to `out` (at most kMaxSkipSliceBytes), or
// kErrUnsupported for streams that a CAVLC skip run cannot serve (CABAC,
// field coding, slice groups, weighted prediction, separate colour planes),
// kErrMismatch when the PPS belongs to another SPS, kErrInvalid for n < 1 or
// an illegal QP, kErrNoSpace when `out` is too small.
int MakeSkipSlice(const Sps& sps, const Pps& pps, uint32_t n, std::span<uint8_t> out,
                  int slice_qp = kSkipSliceQp);

// The fixed skip-picture bytes of the board's hardware encoder: fmt != 0 for
// a 640-wide picture (12 bytes), 0 for a 352-wide one (11 bytes). They hold
// only for that encoder's parameter sets (5-bit frame_num, POC type 0 with a
// 6-bit LSB, initial QP 24, no deblocking control) and fnum below 16; the
// 352-wide variant codes a skip run of 300 macroblocks, not the 396 of a
// 352x288 picture. Kept as the reference that MakeSkipSlice is checked
// against; the recorder writes MakeSkipSlice's output. `out` holds 12 bytes.
// Returns the bytes written.
int MakeSkipVideoData(int fmt, int fnum, uint8_t* out);

}  // namespace diviv::h264
