#include "formats/H264Syntax.h"

#include <algorithm>
#include <array>

namespace diviv::h264 {

// ---- bit reader / writer ----

uint32_t BitReader::Bits(int n) {
    uint32_t v = 0;
    for (int i = 0; i < n; ++i) {
        uint32_t bit = 0;
        if (pos_ < data_.size() * 8) {
            bit = (data_[pos_ >> 3] >> (7 - (pos_ & 7))) & 1;
            ++pos_;
        } else {
            failed_ = true;
        }
        v = (v << 1) | bit;
    }
    return v;
}

uint32_t BitReader::Ue() {
    int zeros = 0;
    while (Bits(1) == 0) {
        if (failed_ || ++zeros > 31) {
            failed_ = true;  // ue(v) of more than 32 bits: not a value of this stream
            return 0;
        }
    }
    if (zeros == 0) return 0;
    return static_cast<uint32_t>((uint64_t{1} << zeros) - 1 + Bits(zeros));
}

int32_t BitReader::Se() {
    uint32_t k = Ue();
    // 1, 2, 3, 4 ... -> +1, -1, +2, -2 ...
    int64_t magnitude = (int64_t{k} + 1) / 2;
    return static_cast<int32_t>((k & 1) ? magnitude : -magnitude);
}

bool BitReader::MoreRbspData() const {
    size_t total = data_.size() * 8;
    if (pos_ >= total) return false;
    // The last one bit of the RBSP is the stop bit.
    size_t last = data_.size();
    while (last > 0 && data_[last - 1] == 0) --last;
    if (last == 0) return false;
    uint8_t b = data_[last - 1];
    int trailing = 0;
    while (((b >> trailing) & 1) == 0) ++trailing;
    size_t stop_bit = (last - 1) * 8 + (7 - trailing);
    return pos_ < stop_bit;
}

void BitWriter::Bits(uint64_t value, int n) {
    for (int i = n - 1; i >= 0; --i) {
        if (pos_ >= out_.size() * 8) {
            overflow_ = true;
            return;
        }
        uint8_t mask = static_cast<uint8_t>(0x80 >> (pos_ & 7));
        if ((pos_ & 7) == 0) out_[pos_ >> 3] = 0;
        if ((value >> i) & 1) out_[pos_ >> 3] |= mask;
        ++pos_;
    }
}

void BitWriter::Ue(uint32_t value) {
    uint64_t code = uint64_t{value} + 1;
    int len = 0;
    while ((code >> len) > 1) ++len;
    Bits(0, len);
    Bits(code, len + 1);
}

void BitWriter::Se(int32_t value) {
    int64_t v = value;
    Ue(static_cast<uint32_t>(v > 0 ? 2 * v - 1 : -2 * v));
}

void BitWriter::TrailingBits() {
    Bits(1, 1);
    while (pos_ & 7) Bits(0, 1);
}

// ---- NAL units ----

int RemoveEmulationPrevention(std::span<const uint8_t> payload, std::span<uint8_t> rbsp) {
    if (rbsp.size() < payload.size()) return kErrNoSpace;
    size_t n = 0;
    int zeros = 0;
    for (uint8_t b : payload) {
        if (zeros >= 2 && b == 0x03) {
            zeros = 0;  // emulation_prevention_three_byte
            continue;
        }
        rbsp[n++] = b;
        zeros = b == 0 ? zeros + 1 : 0;
    }
    return static_cast<int>(n);
}

int AddEmulationPrevention(std::span<const uint8_t> rbsp, std::span<uint8_t> payload) {
    size_t n = 0;
    int zeros = 0;
    auto put = [&](uint8_t b) {
        if (n >= payload.size()) return false;
        payload[n++] = b;
        return true;
    };
    for (uint8_t b : rbsp) {
        if (zeros >= 2 && b <= 0x03) {
            if (!put(0x03)) return kErrNoSpace;
            zeros = 0;
        }
        if (!put(b)) return kErrNoSpace;
        zeros = b == 0 ? zeros + 1 : 0;
    }
    // A NAL unit must not end in a zero byte.
    if (!rbsp.empty() && rbsp.back() == 0 && !put(0x03)) return kErrNoSpace;
    return static_cast<int>(n);
}

std::span<const uint8_t> StripStartCode(std::span<const uint8_t> nal) {
    if (nal.size() >= 4 && nal[0] == 0 && nal[1] == 0 && nal[2] == 0 && nal[3] == 1) return nal.subspan(4);
    if (nal.size() >= 3 && nal[0] == 0 && nal[1] == 0 && nal[2] == 1) return nal.subspan(3);
    return nal;
}

int NalUnitType(std::span<const uint8_t> nal) {
    nal = StripStartCode(nal);
    return nal.empty() ? -1 : (nal[0] & 0x1F);
}

std::vector<std::span<const uint8_t>> SplitAnnexB(std::span<const uint8_t> stream) {
    std::vector<std::span<const uint8_t>> units;
    size_t i = 0, start = 0;
    bool in_unit = false;
    while (i + 3 <= stream.size()) {
        if (stream[i] == 0 && stream[i + 1] == 0 && stream[i + 2] == 1) {
            if (in_unit) {
                size_t end = i;
                // The zero of a 4-byte start code (and trailing zeros) belong to no unit.
                while (end > start && stream[end - 1] == 0) --end;
                units.push_back(stream.subspan(start, end - start));
            }
            i += 3;
            start = i;
            in_unit = true;
        } else {
            ++i;
        }
    }
    if (in_unit) units.push_back(stream.subspan(start));
    return units;
}

namespace {

// Upper bound of the RBSPs parsed here: parameter sets are small; a longer
// unit is read only as far as this.
constexpr size_t kMaxParameterSetBytes = 512;

// The RBSP of a NAL unit of the expected type, after its header byte.
int LoadRbsp(std::span<const uint8_t> nal, NalType type, std::array<uint8_t, kMaxParameterSetBytes>& buf,
             std::span<const uint8_t>* rbsp) {
    nal = StripStartCode(nal);
    if (nal.empty()) return kErrTruncated;
    if ((nal[0] & 0x1F) != type || (nal[0] & 0x80) != 0) return kErrInvalid;
    auto payload = nal.subspan(1, std::min(nal.size() - 1, buf.size()));
    int n = RemoveEmulationPrevention(payload, buf);
    *rbsp = std::span<const uint8_t>(buf.data(), static_cast<size_t>(n));
    return kOk;
}

void SkipScalingList(BitReader& br, int size) {
    int last = 8, next = 8;
    for (int j = 0; j < size && !br.failed(); ++j) {
        if (next != 0) next = (last + br.Se() + 256) % 256;
        last = next == 0 ? last : next;
    }
}

bool IsHighProfile(uint8_t profile_idc) {
    switch (profile_idc) {
        case 100: case 110: case 122: case 244: case 44: case 83: case 86: case 118: case 128: case 138:
        case 139: case 134: case 135:
            return true;
        default:
            return false;
    }
}

}  // namespace

int ParseSps(std::span<const uint8_t> nal, Sps* out) {
    std::array<uint8_t, kMaxParameterSetBytes> buf;
    std::span<const uint8_t> rbsp;
    if (int rc = LoadRbsp(nal, kNalSps, buf, &rbsp); rc != kOk) return rc;
    BitReader br(rbsp);
    Sps s;
    s.profile_idc = static_cast<uint8_t>(br.Bits(8));
    s.constraint_flags = static_cast<uint8_t>(br.Bits(8));
    s.level_idc = static_cast<uint8_t>(br.Bits(8));
    s.sps_id = br.Ue();
    if (s.sps_id > 31) return br.failed() ? kErrTruncated : kErrInvalid;
    if (IsHighProfile(s.profile_idc)) {
        s.chroma_format_idc = br.Ue();
        if (s.chroma_format_idc > 3) return kErrInvalid;
        if (s.chroma_format_idc == 3) s.separate_colour_plane = br.Flag();
        uint32_t depth_luma_minus8 = br.Ue();
        uint32_t depth_chroma_minus8 = br.Ue();
        if (depth_luma_minus8 > 6 || depth_chroma_minus8 > 6) return br.failed() ? kErrTruncated : kErrInvalid;
        s.bit_depth_luma = 8 + depth_luma_minus8;
        br.Flag();  // qpprime_y_zero_transform_bypass_flag
        if (br.Flag()) {  // seq_scaling_matrix_present_flag
            int lists = s.chroma_format_idc != 3 ? 8 : 12;
            for (int i = 0; i < lists; ++i)
                if (br.Flag()) SkipScalingList(br, i < 6 ? 16 : 64);
        }
    }
    uint32_t log2_max_frame_num_minus4 = br.Ue();
    if (log2_max_frame_num_minus4 > 12) return br.failed() ? kErrTruncated : kErrInvalid;
    s.log2_max_frame_num = 4 + log2_max_frame_num_minus4;
    s.pic_order_cnt_type = br.Ue();
    if (s.pic_order_cnt_type > 2) return br.failed() ? kErrTruncated : kErrInvalid;
    if (s.pic_order_cnt_type == 0) {
        uint32_t lsb_minus4 = br.Ue();
        if (lsb_minus4 > 12) return br.failed() ? kErrTruncated : kErrInvalid;
        s.log2_max_poc_lsb = 4 + lsb_minus4;
    } else if (s.pic_order_cnt_type == 1) {
        s.delta_pic_order_always_zero = br.Flag();
        br.Se();  // offset_for_non_ref_pic
        br.Se();  // offset_for_top_to_bottom_field
        uint32_t cycle = br.Ue();
        if (cycle > 255) return br.failed() ? kErrTruncated : kErrInvalid;
        for (uint32_t i = 0; i < cycle && !br.failed(); ++i) br.Se();
    }
    s.max_num_ref_frames = br.Ue();
    br.Flag();  // gaps_in_frame_num_value_allowed_flag
    uint32_t width_minus1 = br.Ue();
    uint32_t height_minus1 = br.Ue();
    s.frame_mbs_only = br.Flag();
    if (br.failed()) return kErrTruncated;
    // 1024 x 1024 macroblocks is beyond every level; it keeps MbCount in range.
    if (s.max_num_ref_frames > 16 || width_minus1 >= 1024 || height_minus1 >= 1024) return kErrInvalid;
    s.width_mbs = width_minus1 + 1;
    s.height_map_units = height_minus1 + 1;
    *out = s;
    return kOk;
}

int ParsePps(std::span<const uint8_t> nal, Pps* out) {
    std::array<uint8_t, kMaxParameterSetBytes> buf;
    std::span<const uint8_t> rbsp;
    if (int rc = LoadRbsp(nal, kNalPps, buf, &rbsp); rc != kOk) return rc;
    BitReader br(rbsp);
    Pps p;
    p.pps_id = br.Ue();
    p.sps_id = br.Ue();
    p.entropy_coding_mode = br.Flag();
    p.bottom_field_pic_order_in_frame_present = br.Flag();
    p.num_slice_groups = br.Ue() + 1;
    if (br.failed()) return kErrTruncated;
    if (p.pps_id > 255 || p.sps_id > 31 || p.num_slice_groups > 8) return kErrInvalid;
    if (p.num_slice_groups > 1) return kErrUnsupported;
    p.num_ref_idx_l0_default = br.Ue() + 1;
    uint32_t l1_default = br.Ue() + 1;
    p.weighted_pred = br.Flag();
    p.weighted_bipred_idc = br.Bits(2);
    int32_t init_qp_minus26 = br.Se();
    int32_t init_qs_minus26 = br.Se();
    p.chroma_qp_index_offset = br.Se();
    p.deblocking_filter_control_present = br.Flag();
    p.constrained_intra_pred = br.Flag();
    p.redundant_pic_cnt_present = br.Flag();
    if (br.failed()) return kErrTruncated;
    // QP ranges allow the deepest bit depth (14 bits: -(26 + 36)).
    if (p.num_ref_idx_l0_default > 32 || l1_default > 32 || p.weighted_bipred_idc > 2 || init_qp_minus26 < -62 ||
        init_qp_minus26 > 25 || init_qs_minus26 < -26 || init_qs_minus26 > 25 || p.chroma_qp_index_offset < -12 ||
        p.chroma_qp_index_offset > 12)
        return kErrInvalid;
    p.pic_init_qp = 26 + init_qp_minus26;
    *out = p;
    return kOk;
}

// ---- skip slice ----

int MakeSkipSlice(const Sps& sps, const Pps& pps, uint32_t n, std::span<uint8_t> out, int slice_qp) {
    if (pps.sps_id != sps.sps_id) return kErrMismatch;
    if (pps.entropy_coding_mode || !sps.frame_mbs_only || pps.num_slice_groups != 1 || pps.weighted_pred ||
        sps.separate_colour_plane)
        return kErrUnsupported;
    int qp_bd_offset = 6 * static_cast<int>(sps.bit_depth_luma - 8);
    if (n < 1 || slice_qp < -qp_bd_offset || slice_qp > 51 || sps.log2_max_frame_num < 4 ||
        sps.log2_max_frame_num > 16 || sps.log2_max_poc_lsb < 4 || sps.log2_max_poc_lsb > 16 ||
        sps.MbCount() == 0)
        return kErrInvalid;

    std::array<uint8_t, 40> rbsp{};
    BitWriter bw(rbsp);
    bw.Ue(0);  // first_mb_in_slice
    bw.Ue(5);  // slice_type: P, and every slice of the picture is P
    bw.Ue(pps.pps_id);
    bw.Bits(n & ((1u << sps.log2_max_frame_num) - 1), static_cast<int>(sps.log2_max_frame_num));
    if (sps.pic_order_cnt_type == 0) {
        bw.Bits((2 * uint64_t{n}) & ((1u << sps.log2_max_poc_lsb) - 1), static_cast<int>(sps.log2_max_poc_lsb));
        if (pps.bottom_field_pic_order_in_frame_present) bw.Se(0);  // delta_pic_order_cnt_bottom
    } else if (sps.pic_order_cnt_type == 1 && !sps.delta_pic_order_always_zero) {
        bw.Se(0);  // delta_pic_order_cnt[0]: the expected POC
        if (pps.bottom_field_pic_order_in_frame_present) bw.Se(0);
    }
    if (pps.redundant_pic_cnt_present) bw.Ue(0);  // redundant_pic_cnt: the primary picture
    // Only reference index 0 is used; a PPS default of more would name
    // references that may not exist yet, so the count is overridden to one.
    bool override_refs = pps.num_ref_idx_l0_default != 1;
    bw.Flag(override_refs);  // num_ref_idx_active_override_flag
    if (override_refs) bw.Ue(0);  // num_ref_idx_l0_active_minus1
    bw.Flag(false);  // ref_pic_list_modification_flag_l0
    bw.Flag(false);  // adaptive_ref_pic_marking_mode_flag: sliding window
    bw.Se(slice_qp - pps.pic_init_qp);  // slice_qp_delta
    if (pps.deblocking_filter_control_present) bw.Ue(1);  // disable_deblocking_filter_idc: off
    bw.Ue(sps.MbCount());  // mb_skip_run: the whole picture
    bw.TrailingBits();
    if (bw.overflow()) return kErrNoSpace;  // cannot happen with the ranges checked above

    std::array<uint8_t, kMaxSkipSliceBytes> nal{};
    nal[0] = nal[1] = nal[2] = 0;
    nal[3] = 1;
    nal[4] = 0x40 | kNalSlice;  // nal_ref_idc 2: the picture is a reference, as the one it replaces
    int len = AddEmulationPrevention(std::span<const uint8_t>(rbsp.data(), bw.size_bytes()),
                                     std::span<uint8_t>(nal).subspan(5));
    if (len < 0) return len;
    size_t total = 5 + static_cast<size_t>(len);
    if (out.size() < total) return kErrNoSpace;
    std::copy_n(nal.begin(), total, out.begin());
    return static_cast<int>(total);
}

int MakeSkipVideoData(int fmt, int fnum, uint8_t* out) {
    // The value is cut to 16 bits as the board's encoder software did.
    uint32_t f = static_cast<uint32_t>(fnum);
    uint16_t v = static_cast<uint16_t>((f << 7) | (f << 12));
    static constexpr uint8_t kHead[] = {0x00, 0x00, 0x00, 0x01, 0x41, 0x9A};
    static constexpr uint8_t kTail640[] = {0xC0, 0x02, 0x58, 0xC0};
    static constexpr uint8_t kTail352[] = {0x74, 0x02, 0x5B};
    std::copy(std::begin(kHead), std::end(kHead), out);
    out[6] = static_cast<uint8_t>(v >> 8);
    out[7] = static_cast<uint8_t>(v & 0xFF);
    if (fmt != 0) {
        std::copy(std::begin(kTail640), std::end(kTail640), out + 8);
        return 12;
    }
    std::copy(std::begin(kTail352), std::end(kTail352), out + 8);
    return 11;
}

}  // namespace diviv::h264
