// G.726 codec: interface contract, packing, and bit-exact agreement with an
// independent implementation (spandsp) at all four rates.
#include <gtest/gtest.h>

#include <cstdlib>
#include <vector>

#include "G726Oracle.h"
#include "TestSignals.h"
#include "formats/g726dec.h"
#include "formats/g726enc.h"

namespace {

// Caller memory for one codec instance, aligned like a malloc block.
struct Mem {
    alignas(16) unsigned char bytes[88];
};

std::vector<uint8_t> Encode(int bits, const std::vector<int16_t>& pcm, size_t piece = 0) {
    Mem m;
    G726Encoder* e = g726_enc_create(bits, m.bytes);
    std::vector<uint8_t> out(pcm.size() * bits / 8 + 8);
    size_t pos = 0, n = 0;
    if (piece == 0) piece = pcm.size();
    while (pos < pcm.size()) {
        size_t k = std::min(piece, pcm.size() - pos);
        int r = g726_encode(e, pcm.data() + pos, static_cast<int>(k), out.data() + n);
        EXPECT_GE(r, 0);
        n += r;
        pos += k;
    }
    g726_enc_close(e);
    out.resize(n);
    return out;
}

std::vector<int16_t> Decode(int bits, const std::vector<uint8_t>& codes, size_t piece = 0) {
    Mem m;
    G726Decoder* d = g726_dec_create(bits, m.bytes);
    std::vector<int16_t> out(codes.size() * 8 / bits + 8);
    size_t pos = 0, n = 0;
    if (piece == 0) piece = codes.size();
    while (pos < codes.size()) {
        size_t k = std::min(piece, codes.size() - pos);
        int r = g726_decode(d, codes.data() + pos, static_cast<int>(k), out.data() + n);
        EXPECT_GE(r, 0);
        n += r;
        pos += k;
    }
    g726_dec_close(d);
    out.resize(n);
    return out;
}

TEST(G726Interface, CreateChecksRateAndMemoryAndCloseInvalidates) {
    EXPECT_EQ(g726_enc_instance_size(), 88u);
    EXPECT_EQ(g726_dec_instance_size(), 88u);
    Mem m;
    for (int bits : {0, 1, 6, 8, -4}) {
        EXPECT_EQ(g726_enc_create(bits, m.bytes), nullptr) << bits;
        EXPECT_EQ(g726_dec_create(bits, m.bytes), nullptr) << bits;
    }
    EXPECT_EQ(g726_enc_create(4, nullptr), nullptr);
    EXPECT_EQ(g726_dec_create(4, nullptr), nullptr);
    EXPECT_EQ(g726_enc_create(4, m.bytes + 1), nullptr);  // misaligned memory is refused

    int16_t pcm[8] = {};
    uint8_t out[8] = {};
    G726Encoder* e = g726_enc_create(4, m.bytes);
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(g726_encode(nullptr, pcm, 8, out), -1);
    EXPECT_EQ(g726_encode(e, nullptr, 8, out), -3);
    EXPECT_EQ(g726_encode(e, nullptr, 0, out), 0);
    EXPECT_EQ(g726_encode(e, pcm, 8, nullptr), -4);
    EXPECT_EQ(g726_encode(e, pcm, 8, out), 4);
    g726_enc_close(e);
    EXPECT_EQ(g726_encode(e, pcm, 8, out), -2);

    G726Decoder* d = g726_dec_create(4, m.bytes);
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(g726_decode(nullptr, out, 4, pcm), -1);
    EXPECT_EQ(g726_decode(d, nullptr, 4, pcm), -3);
    EXPECT_EQ(g726_decode(d, out, 0, pcm), 0);
    EXPECT_EQ(g726_decode(d, out, 4, nullptr), -4);
    EXPECT_EQ(g726_decode(d, out, 4, pcm), 8);
    g726_dec_close(d);
    EXPECT_EQ(g726_decode(d, out, 4, pcm), -2);
    // An encoder's memory is not a decoder.
    e = g726_enc_create(4, m.bytes);
    EXPECT_EQ(g726_decode(reinterpret_cast<G726Decoder*>(e), out, 4, pcm), -2);
}

TEST(G726Packing, ByteCountsPerRateAndFirstSampleInUpperBits) {
    std::vector<int16_t> pcm = testsig::VariedSignal(1, 7);
    pcm.resize(800);
    EXPECT_EQ(Encode(4, pcm).size(), 400u);
    EXPECT_EQ(Decode(4, Encode(4, pcm)).size(), 800u);
    for (int bits : {2, 3, 4, 5}) {
        std::vector<int16_t> eight(pcm.begin(), pcm.begin() + 8);
        EXPECT_EQ(Encode(bits, eight).size(), static_cast<size_t>(bits)) << bits;
    }

    // At 4 bits the first code word is the upper nibble: encoding one sample
    // leaves it pending, the second completes a byte whose high half is the
    // code the first sample produces alone (read back by the decoder).
    Mem m;
    G726Encoder* e = g726_enc_create(4, m.bytes);
    uint8_t b[2] = {};
    int16_t s1[1] = {12000}, s2[1] = {-3000};
    EXPECT_EQ(g726_encode(e, s1, 1, b), 0);
    EXPECT_EQ(g726_encode(e, s2, 1, b), 1);
    Mem m2;
    G726Encoder* solo = g726_enc_create(4, m2.bytes);
    int16_t pair[2] = {12000, 12000};
    uint8_t c[1] = {};
    ASSERT_EQ(g726_encode(solo, pair, 2, c), 1);
    EXPECT_EQ(b[0] >> 4, c[0] >> 4);
}

TEST(G726Packing, StreamsFedInPiecesEqualOneCall) {
    std::vector<int16_t> pcm = testsig::VariedSignal(3, 11);
    for (int bits : {2, 3, 4, 5}) {
        auto whole = Encode(bits, pcm);
        for (size_t piece : {1u, 3u, 7u, 161u}) {
            EXPECT_EQ(Encode(bits, pcm, piece), whole) << bits << " piece " << piece;
            EXPECT_EQ(Decode(bits, whole, piece), Decode(bits, whole)) << bits << " piece " << piece;
        }
    }
}

class G726Oracle : public ::testing::TestWithParam<int> {};

TEST_P(G726Oracle, EncoderAndDecoderAgreeBitForBitWithSpandsp) {
    const int bits = GetParam();
    const std::vector<int16_t> pcm = testsig::VariedSignal(120, 2024 + bits);
    const auto ours = Encode(bits, pcm);
    const auto theirs = oracle::SpandspEncode(bits, pcm);
    ASSERT_EQ(ours.size(), theirs.size());
    size_t firstDiff = ours.size();
    for (size_t i = 0; i < ours.size(); ++i)
        if (ours[i] != theirs[i]) { firstDiff = i; break; }
    EXPECT_EQ(firstDiff, ours.size()) << "encoders differ from byte " << firstDiff;

    // Decoders fed the same stream (ours, and a random one that exercises
    // every code word in every state).
    std::vector<uint8_t> noise(ours.size());
    uint32_t x = 12345;
    for (auto& v : noise) v = static_cast<uint8_t>((x = x * 1103515245u + 12345u) >> 24);
    for (const std::vector<uint8_t>* codes : std::initializer_list<const std::vector<uint8_t>*>{&ours, &noise}) {
        const auto a = Decode(bits, *codes);
        const auto b = oracle::SpandspDecode(bits, *codes);
        ASSERT_EQ(a.size(), b.size());
        // The one intended difference: where the reconstruction leaves the
        // 16-bit range, ours saturates while spandsp's shift wraps around.
        // A state that drifted apart would show unsaturated differences.
        size_t diff = a.size();
        for (size_t i = 0; i < a.size(); ++i) {
            if (a[i] == b[i]) continue;
            const bool saturated = (a[i] == 32767 || a[i] == -32768) && b[i] % 4 == 0;
            if (!saturated) { diff = i; break; }
        }
        EXPECT_EQ(diff, a.size()) << "decoders differ at sample " << diff << ": " << (diff < a.size() ? a[diff] : 0)
                                  << " vs " << (diff < a.size() ? b[diff] : 0);
    }
    // On a speech-like signal (no overload) the two decoders agree exactly.
    const std::vector<int16_t> speech = testsig::SpeechLikeSignal(30, 5 + bits);
    const auto codes = Encode(bits, speech);
    EXPECT_EQ(codes, oracle::SpandspEncode(bits, speech));
    EXPECT_EQ(Decode(bits, codes), oracle::SpandspDecode(bits, codes));
}

INSTANTIATE_TEST_SUITE_P(AllRates, G726Oracle, ::testing::Values(2, 3, 4, 5));

TEST(G726Quality, SpeechRateReconstructionIsFaithful) {
    // At 32 kbit/s a voiced signal comes back with a high signal-to-noise ratio;
    // a broken adaptation or a sign slip drops it to near 0 dB.
    std::vector<int16_t> pcm = testsig::SpeechLikeSignal(20, 99);
    const double snr4 = testsig::SnrDb(pcm, Decode(4, Encode(4, pcm)));
    const double snr2 = testsig::SnrDb(pcm, Decode(2, Encode(2, pcm)));
    const double snr5 = testsig::SnrDb(pcm, Decode(5, Encode(5, pcm)));
    EXPECT_GT(snr4, 18.0);
    EXPECT_GT(snr5, snr4);
    EXPECT_GT(snr4, snr2);
}

}  // namespace
