// ITU-T G.726 (12/90) per-sample algorithm, integer arithmetic only. Block
// names in the comments are the Recommendation's.
#include "formats/g726_core.h"

#include <array>

namespace diviv::g726 {
namespace {

// 16 kbit/s (Tables 14 to 16).
constexpr std::array<int16_t, 1> kDecision2 = {261};
constexpr std::array<int16_t, 4> kDqln2 = {116, 365, 365, 116};
constexpr std::array<int32_t, 4> kWi2 = {-704, 14048, 14048, -704};
constexpr std::array<int16_t, 4> kFi2 = {0, 0xE00, 0xE00, 0};

// 24 kbit/s (Tables 11 to 13).
constexpr std::array<int16_t, 3> kDecision3 = {8, 218, 331};
constexpr std::array<int16_t, 8> kDqln3 = {-2048, 135, 273, 373, 373, 273, 135, -2048};
constexpr std::array<int32_t, 8> kWi3 = {-128, 960, 4384, 18624, 18624, 4384, 960, -128};
constexpr std::array<int16_t, 8> kFi3 = {0, 0x200, 0x400, 0xE00, 0xE00, 0x400, 0x200, 0};

// 32 kbit/s (Tables 5 to 7).
constexpr std::array<int16_t, 7> kDecision4 = {-124, 80, 178, 246, 300, 349, 400};
constexpr std::array<int16_t, 16> kDqln4 = {-2048, 4,   135, 213, 273, 323, 373, 425,
                                            425,   373, 323, 273, 213, 135, 4,   -2048};
constexpr std::array<int32_t, 16> kWi4 = {-384,  576,  1312, 2048, 3584, 6336, 11360, 35904,
                                          35904, 11360, 6336, 3584, 2048, 1312, 576,  -384};
constexpr std::array<int16_t, 16> kFi4 = {0,     0,     0,     0x200, 0x200, 0x200, 0x600, 0xE00,
                                          0xE00, 0x600, 0x200, 0x200, 0x200, 0,     0,     0};

// 40 kbit/s (Tables 8 to 10).
constexpr std::array<int16_t, 15> kDecision5 = {-122, -16, 68,  139, 198, 250, 298, 339,
                                                378,  413, 445, 475, 502, 528, 553};
constexpr std::array<int16_t, 32> kDqln5 = {-2048, -66, 28,  104, 169, 224, 274, 318, 358, 395, 429,
                                            459,   488, 514, 539, 566, 566, 539, 514, 488, 459, 429,
                                            395,   358, 318, 274, 224, 169, 104, 28,  -66, -2048};
constexpr std::array<int32_t, 32> kWi5 = {448,   448,   768,   1248,  1280,  1312,  1856,  3200,
                                          4512,  5728,  7008,  8960,  11456, 14080, 16928, 22272,
                                          22272, 16928, 14080, 11456, 8960,  7008,  5728,  4512,
                                          3200,  1856,  1312,  1280,  1248,  768,   448,   448};
constexpr std::array<int16_t, 32> kFi5 = {0,     0,     0,     0,     0,     0x200, 0x200, 0x200,
                                          0x200, 0x200, 0x400, 0x600, 0x800, 0xA00, 0xC00, 0xC00,
                                          0xC00, 0xC00, 0xA00, 0x800, 0x600, 0x400, 0x200, 0x200,
                                          0x200, 0x200, 0x200, 0,     0,     0,     0,     0};

constexpr std::array<RateTables, 4> kRates = {{
    {2, kDecision2.data(), int(kDecision2.size()), kDqln2.data(), kWi2.data(), kFi2.data()},
    {3, kDecision3.data(), int(kDecision3.size()), kDqln3.data(), kWi3.data(), kFi3.data()},
    {4, kDecision4.data(), int(kDecision4.size()), kDqln4.data(), kWi4.data(), kFi4.data()},
    {5, kDecision5.data(), int(kDecision5.size()), kDqln5.data(), kWi5.data(), kFi5.data()},
}};

// Number of significant bits of v (0 for 0), at most 15: the position the
// Recommendation's floating conversions call the exponent.
inline int BitWidth15(int v) {
    if (v <= 0) return 0;
    int w = 32 - __builtin_clz(static_cast<unsigned>(v));
    return w > 15 ? 15 : w;
}

// FMULT: coefficient (two's complement, 14 fractional bits after >> 2)
// times a sample in the floating format.
inline int Fmult(int an, int srn) {
    int anmag = an > 0 ? an : ((-an) & 0x1FFF);
    int anexp = BitWidth15(anmag) - 6;
    int anmant = anmag == 0 ? 32 : (anexp >= 0 ? anmag >> anexp : anmag << -anexp);
    int wanexp = anexp + ((srn >> 6) & 0xF) - 13;
    int wanmant = (anmant * (srn & 0x3F) + 0x30) >> 4;
    int retval = wanexp >= 0 ? ((wanmant << wanexp) & 0x7FFF) : (wanmant >> -wanexp);
    return ((an ^ srn) < 0) ? -retval : retval;
}

// ACCUM works in 16-bit two's complement: a full-scale signal can make the
// predictor sum overflow, and the overflow wraps.
inline int Wrap16(int v) { return static_cast<int16_t>(static_cast<uint16_t>(v)); }

// ACCUM of the sixth-order zero section.
inline int PredictorZero(const Adaptation& s) {
    int sezi = 0;
    for (int i = 0; i < 6; ++i) sezi += Fmult(s.b[i] >> 2, s.dq[i]);
    return sezi;
}

// ACCUM of the second-order pole section.
inline int PredictorPole(const Adaptation& s) {
    return Fmult(s.a[1] >> 2, s.sr[1]) + Fmult(s.a[0] >> 2, s.sr[0]);
}

// MIX: the quantizer scale factor y from the fast and slow factors.
inline int StepSize(const Adaptation& s) {
    if (s.ap >= 256) return s.yu;
    int y = s.yl >> 6;
    int dif = s.yu - y;
    int al = s.ap >> 2;
    if (dif > 0)
        y += (dif * al) >> 6;
    else if (dif < 0)
        y += (dif * al + 0x3F) >> 6;
    return y;
}

// LOG, SUBTB, QUAN: the code word for difference d at scale y.
inline int Quantize(int d, int y, const RateTables& t) {
    int dqm = d < 0 ? -d : d;
    int exp = BitWidth15(dqm >> 1);
    int mant = ((dqm << 7) >> exp) & 0x7F;
    int dl = (exp << 7) + mant;
    int dln = dl - (y >> 2);
    int i = 0;
    while (i < t.decisionCount && dln >= t.decision[i]) ++i;
    const int maxCode = (1 << t.bits) - 1;
    if (d < 0) return maxCode - i;  // one's complement for a negative difference
    // At 24, 32 and 40 kbit/s the all-zero code word is not sent: the
    // innermost positive interval is coded as its one's complement.
    if (i == 0 && t.bits > 2) return maxCode;
    return i;
}

// ADDA, ANTILOG: the quantized difference, sign-magnitude.
inline int Reconstruct(bool negative, int dqln, int y) {
    int dql = dqln + (y >> 2);
    if (dql < 0) return negative ? -0x8000 : 0;
    int dex = (dql >> 7) & 15;
    int dqt = 128 + (dql & 127);
    int dq = (dqt << 7) >> (14 - dex);
    return negative ? dq - 0x8000 : dq;
}

// FLOAT A / FLOAT B: a magnitude to the 4-bit exponent, 6-bit mantissa format.
inline int16_t ToFloat(int mag, bool negative) {
    int exp = BitWidth15(mag);
    int v = (exp << 6) + ((mag << 6) >> exp);
    return static_cast<int16_t>(negative ? v - 0x400 : v);
}

// Everything after reconstruction: scale factor, speed control, predictor
// coefficients, delay lines, tone and transition detection.
void Update(Adaptation& s, const RateTables& t, int y, int wi, int fi, int dq, int sr, int dqsez) {
    const uint8_t pk0 = dqsez < 0 ? 1 : 0;
    const int mag = dq & 0x7FFF;

    // TRANS: a transition from a tone (e.g. modem signal) resets the predictor.
    const int ylint = s.yl >> 15;
    const int ylfrac = (s.yl >> 10) & 0x1F;
    const int thr1 = (32 + ylfrac) << ylint;
    const int thr2 = ylint > 9 ? 31 << 10 : thr1;
    const int dqthr = (thr2 + (thr2 >> 1)) >> 1;
    const bool tr = s.td != 0 && mag > dqthr;

    // FUNCTW, FILTD, LIMB: fast scale factor; FILTE: slow scale factor.
    int yu = y + ((wi - y) >> 5);
    if (yu < 544) yu = 544;
    if (yu > 5120) yu = 5120;
    s.yu = static_cast<int16_t>(yu);
    s.yl += yu + ((-s.yl) >> 6);

    int a2p = 0;
    if (tr) {
        s.a[0] = s.a[1] = 0;
        for (auto& b : s.b) b = 0;
    } else {
        const uint8_t pks1 = pk0 ^ s.pk[0];
        // UPA2, LIMC
        a2p = s.a[1] - (s.a[1] >> 7);
        if (dqsez != 0) {
            int fa1 = pks1 ? s.a[0] : -s.a[0];
            if (fa1 < -8191)
                a2p -= 0x100;
            else if (fa1 > 8191)
                a2p += 0xFF;
            else
                a2p += fa1 >> 5;
            a2p += (pk0 ^ s.pk[1]) ? -0x80 : 0x80;
            if (a2p < -12288) a2p = -12288;
            if (a2p > 12288) a2p = 12288;
        }
        s.a[1] = static_cast<int16_t>(a2p);

        // UPA1, LIMD
        int a1 = s.a[0] - (s.a[0] >> 8);
        if (dqsez != 0) a1 += pks1 ? -192 : 192;
        const int a1ul = 15360 - a2p;
        if (a1 < -a1ul) a1 = -a1ul;
        if (a1 > a1ul) a1 = a1ul;
        s.a[0] = static_cast<int16_t>(a1);

        // UPB: the 40 kbit/s rate leaks its zero coefficients more slowly.
        const int leak = t.bits == 5 ? 9 : 8;
        for (int i = 0; i < 6; ++i) {
            int b = s.b[i] - (s.b[i] >> leak);
            if (mag != 0) b += ((dq ^ s.dq[i]) >= 0) ? 128 : -128;
            s.b[i] = static_cast<int16_t>(b);
        }
    }

    // DELAY of the difference and reconstructed signals, FLOAT A / FLOAT B.
    for (int i = 5; i > 0; --i) s.dq[i] = s.dq[i - 1];
    s.dq[0] = mag == 0 ? (dq >= 0 ? 0x20 : static_cast<int16_t>(0xFC20 - 0x10000)) : ToFloat(mag, dq < 0);
    s.sr[1] = s.sr[0];
    if (sr == 0)
        s.sr[0] = 0x20;
    else if (sr > 0)
        s.sr[0] = ToFloat(sr, false);
    else if (sr > -32768)
        s.sr[0] = ToFloat(-sr, true);
    else
        s.sr[0] = static_cast<int16_t>(0xFC20 - 0x10000);
    s.pk[1] = s.pk[0];
    s.pk[0] = pk0;

    // TONE: a strongly negative a2 marks a tone.
    s.td = tr ? 0 : (a2p < -11776 ? 1 : 0);

    // FILTA, FILTB, SUBTC, FILTC: adaptation speed control.
    s.dms = static_cast<int16_t>(s.dms + ((fi - s.dms) >> 5));
    s.dml = static_cast<int16_t>(s.dml + (((fi << 2) - s.dml) >> 7));
    if (tr) {
        s.ap = 256;
    } else {
        int diff = (s.dms << 2) - s.dml;
        if (diff < 0) diff = -diff;
        if (y < 1536 || s.td == 1 || diff >= (s.dml >> 3))
            s.ap = static_cast<int16_t>(s.ap + ((0x200 - s.ap) >> 4));
        else
            s.ap = static_cast<int16_t>(s.ap + ((-s.ap) >> 4));
    }
}

}  // namespace

const RateTables* TablesForBits(int bits) {
    if (bits < 2 || bits > 5) return nullptr;
    return &kRates[bits - 2];
}

void Reset(Adaptation& s) {
    s = Adaptation{};
    s.yl = 34816;
    s.yu = 544;
    for (auto& v : s.dq) v = 32;
    for (auto& v : s.sr) v = 32;
}

int EncodeSample(Adaptation& s, const RateTables& t, int sl) {
    const int sezi = Wrap16(PredictorZero(s));
    const int sez = sezi >> 1;
    const int se = Wrap16(sezi + PredictorPole(s)) >> 1;
    const int d = sl - se;  // SUBTA
    const int y = StepSize(s);
    const int code = Quantize(d, y, t);
    const int dq = Reconstruct((code >> (t.bits - 1)) & 1, t.dqln[code], y);
    const int dqi = dq < 0 ? -(dq & 0x7FFF) : dq;
    const int sr = Wrap16(se + dqi);     // ADDB
    const int dqsez = Wrap16(dqi + sez);  // ADDC
    Update(s, t, y, t.wi[code], t.fi[code], dq, sr, dqsez);
    return code;
}

int DecodeSample(Adaptation& s, const RateTables& t, int code) {
    const int sezi = Wrap16(PredictorZero(s));
    const int sez = sezi >> 1;
    const int se = Wrap16(sezi + PredictorPole(s)) >> 1;
    const int y = StepSize(s);
    const int dq = Reconstruct((code >> (t.bits - 1)) & 1, t.dqln[code], y);
    const int dqi = dq < 0 ? -(dq & 0x7FFF) : dq;
    const int sr = Wrap16(se + dqi);
    const int dqsez = Wrap16(dqi + sez);
    Update(s, t, y, t.wi[code], t.fi[code], dq, sr, dqsez);
    return sr;
}

}  // namespace diviv::g726
