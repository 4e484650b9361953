#include "AnnexB.h"

namespace media {
namespace {

// Position of the next 00 00 01 at or after `from` (size when there is none),
// and where the zero bytes in front of it begin (a 4-byte start code).
size_t FindStartCode(const uint8_t* d, size_t size, size_t from, size_t& zerosBegin) {
    for (size_t i = from; i + 3 <= size; ++i) {
        if (d[i + 2] > 1) {
            i += 2;  // none of these three can start a code
            continue;
        }
        if (d[i] == 0 && d[i + 1] == 0 && d[i + 2] == 1) {
            zerosBegin = i;
            while (zerosBegin > from && d[zerosBegin - 1] == 0) --zerosBegin;
            return i;
        }
    }
    zerosBegin = size;
    return size;
}

struct Nal {
    size_t begin;    // first byte of its start code (leading zeros included)
    size_t payload;  // first byte after the start code
    int type;
    bool firstSlice;  // first_mb_in_slice == 0 (its ue(v) codes as a single 1 bit)
};

std::vector<Nal> ScanNals(const uint8_t* d, size_t size) {
    std::vector<Nal> nals;
    size_t zeros;
    size_t sc = FindStartCode(d, size, 0, zeros);
    while (sc < size) {
        Nal n{zeros, sc + 3, -1, false};
        if (n.payload < size) {
            n.type = d[n.payload] & 0x1F;
            n.firstSlice = n.payload + 1 < size && (d[n.payload + 1] & 0x80);
        }
        nals.push_back(n);
        sc = FindStartCode(d, size, sc + 3, zeros);
    }
    return nals;
}

bool IsSlice(int type) { return type == 1 || type == 5; }
// NAL types that open a new access unit when they follow a picture's slices.
bool StartsUnit(int type) { return type == 6 || type == 7 || type == 8 || type == 9 || (type >= 14 && type <= 18); }

}  // namespace

std::vector<AccessUnit> SplitAccessUnits(const uint8_t* data, size_t size) {
    std::vector<AccessUnit> units;
    const std::vector<Nal> nals = ScanNals(data, size);
    AccessUnit cur;
    bool haveSlice = false;
    for (const Nal& n : nals) {
        const bool boundary = haveSlice && (StartsUnit(n.type) || (IsSlice(n.type) && n.firstSlice));
        if (boundary) {
            cur.size = n.begin - cur.offset;
            units.push_back(cur);
            cur = AccessUnit{n.begin, 0, false};
            haveSlice = false;
        }
        if (IsSlice(n.type)) haveSlice = true;
        if (n.type == 5) cur.key = true;
    }
    if (size > cur.offset) {
        cur.size = size - cur.offset;
        units.push_back(cur);
    }
    return units;
}

namespace {

// Exp-Golomb reader over an RBSP (emulation prevention bytes removed).
struct BitReader {
    std::vector<uint8_t> rbsp;
    size_t bit = 0;
    bool ok = true;
    uint32_t Bit() {
        if (bit >= rbsp.size() * 8) {
            ok = false;
            return 0;
        }
        uint32_t b = (rbsp[bit / 8] >> (7 - bit % 8)) & 1;
        ++bit;
        return b;
    }
    uint32_t Bits(int n) {
        uint32_t v = 0;
        while (n-- > 0) v = v << 1 | Bit();
        return v;
    }
    uint32_t Ue() {
        int zeros = 0;
        while (ok && Bit() == 0) {
            if (++zeros > 31) {
                ok = false;
                return 0;
            }
        }
        return ((1u << zeros) - 1) + Bits(zeros);
    }
    int32_t Se() {
        uint32_t k = Ue();
        return k & 1 ? static_cast<int32_t>((k + 1) / 2) : -static_cast<int32_t>(k / 2);
    }
};

void SkipScalingList(BitReader& r, int count) {
    int last = 8, next = 8;
    for (int j = 0; j < count && r.ok; ++j) {
        if (next != 0) next = (last + r.Se() + 256) % 256;
        last = next == 0 ? last : next;
    }
}

}  // namespace

bool PictureSize(const uint8_t* data, size_t size, uint32_t& width, uint32_t& height) {
    for (const Nal& n : ScanNals(data, size)) {
        if (n.type != 7) continue;
        BitReader r;
        int zeros = 0;
        for (size_t i = n.payload + 1; i < size && i < n.payload + 256; ++i) {
            if (zeros >= 2 && data[i] == 3) {  // emulation prevention byte
                zeros = 0;
                continue;
            }
            zeros = data[i] == 0 ? zeros + 1 : 0;
            r.rbsp.push_back(data[i]);
        }
        const uint32_t profile = r.Bits(8);
        r.Bits(16);  // constraint flags, level
        r.Ue();      // sps id
        uint32_t chroma = 1;
        if (profile == 100 || profile == 110 || profile == 122 || profile == 244 || profile == 44 || profile == 83 ||
            profile == 86 || profile == 118 || profile == 128 || profile == 138 || profile == 139 || profile == 134) {
            chroma = r.Ue();
            if (chroma == 3) r.Bit();
            r.Ue();
            r.Ue();
            r.Bit();
            if (r.Bit())
                for (int i = 0; i < (chroma != 3 ? 8 : 12); ++i)
                    if (r.Bit()) SkipScalingList(r, i < 6 ? 16 : 64);
        }
        r.Ue();  // log2_max_frame_num_minus4
        const uint32_t pocType = r.Ue();
        if (pocType == 0) {
            r.Ue();
        } else if (pocType == 1) {
            r.Bit();
            r.Se();
            r.Se();
            const uint32_t cycle = r.Ue();
            for (uint32_t i = 0; i < cycle && i < 256 && r.ok; ++i) r.Se();
        }
        r.Ue();  // max_num_ref_frames
        r.Bit();
        const uint32_t wMbs = r.Ue() + 1;
        const uint32_t hMaps = r.Ue() + 1;
        const uint32_t frameMbsOnly = r.Bit();
        if (!frameMbsOnly) r.Bit();
        r.Bit();
        uint32_t cl = 0, cr = 0, ct = 0, cb = 0;
        if (r.Bit()) {
            cl = r.Ue();
            cr = r.Ue();
            ct = r.Ue();
            cb = r.Ue();
        }
        if (!r.ok) return false;
        const uint32_t cropX = chroma == 1 || chroma == 2 ? 2 : 1;
        const uint32_t cropY = (chroma == 1 ? 2 : 1) * (2 - frameMbsOnly);
        const uint64_t w = uint64_t{wMbs} * 16, h = uint64_t{hMaps} * 16 * (2 - frameMbsOnly);
        const uint64_t cw = uint64_t{cl + cr} * cropX, ch = uint64_t{ct + cb} * cropY;
        if (cw >= w || ch >= h || w > 16384 || h > 16384) return false;
        width = static_cast<uint32_t>(w - cw);
        height = static_cast<uint32_t>(h - ch);
        return true;
    }
    return false;
}

std::vector<uint8_t> ParameterSets(const uint8_t* data, size_t size) {
    std::vector<uint8_t> sets;
    const std::vector<Nal> nals = ScanNals(data, size);
    for (size_t k = 0; k < nals.size(); ++k) {
        if (nals[k].type != 7 && nals[k].type != 8) continue;
        // Up to the next start code's leading zeros (those of a 4-byte code included).
        const size_t end = k + 1 < nals.size() ? nals[k + 1].begin : size;
        sets.insert(sets.end(), {0, 0, 0, 1});
        sets.insert(sets.end(), data + nals[k].payload, data + end);
    }
    return sets;
}

bool StartsWithStartCode(const std::vector<uint8_t>& d) {
    return (d.size() >= 4 && d[0] == 0 && d[1] == 0 && d[2] == 0 && d[3] == 1) ||
           (d.size() >= 3 && d[0] == 0 && d[1] == 0 && d[2] == 1);
}

std::vector<int> NalTypes(const uint8_t* data, size_t size) {
    std::vector<int> types;
    for (const Nal& n : ScanNals(data, size)) types.push_back(n.type);
    return types;
}

}  // namespace media
