// Writer and reader together: every object written comes back whole, in
// order, with its stream, key flag and time, over randomised object sizes,
// stream mixes, time stamps, packet sizes and read chunk sizes.
#include <gtest/gtest.h>

#include <random>

#include "AsfFileReader.h"
#include "AsfTestKit.h"

namespace {

using asftest::Obj;

std::vector<Obj> RandomObjects(std::mt19937& rng, uint32_t packetSize) {
    std::uniform_int_distribution<int> count(0, 400), kind(0, 9), small(0, 60), medium(100, 600);
    std::uniform_int_distribution<int> large(1000, 25000);
    std::vector<Obj> objs(count(rng));
    uint32_t pts[3] = {0, 0, 0};
    const bool wildTimes = rng() % 5 == 0;  // arbitrary 32-bit times, not increasing
    for (auto& o : objs) {
        const int k = kind(rng);
        o.type = k < 4 ? ASF_MUX_DATA_TYPE_VIDEO : k < 7 ? ASF_MUX_DATA_TYPE_AUDIO : ASF_MUX_DATA_TYPE_BINARY;
        size_t len = k % 3 == 0 ? small(rng) : k % 3 == 1 ? medium(rng) : large(rng);
        if (rng() % 50 == 0) len = packetSize * (1 + rng() % 4) - (rng() % 40);  // near packet multiples
        o.data.resize(len);
        for (auto& b : o.data) b = static_cast<uint8_t>(rng());
        o.key = o.type != ASF_MUX_DATA_TYPE_VIDEO || rng() % 4 == 0;
        pts[o.type] += rng() % 70;
        o.pts = wildTimes ? static_cast<uint32_t>(rng()) : pts[o.type];
    }
    return objs;
}

TEST(AsfRoundTrip, EveryObjectComesBackWhole) {
    const uint32_t packetSizes[] = {3200, 3200, 64, 100, 512, 1500, 8192, 65535};
    for (uint32_t iter = 0; iter < 160; ++iter) {
        std::mt19937 rng(iter);
        const uint32_t packetSize = packetSizes[iter % 8];
        const std::vector<Obj> objs = RandomObjects(rng, packetSize);
        asftest::Writer w("rt.asf", packetSize);
        ASSERT_NE(w.ctx, nullptr);
        for (const Obj& o : objs) ASSERT_EQ(w.Write(o), 0) << "iteration " << iter;
        const std::vector<uint8_t> file = w.Close();

        std::vector<Obj> got;
        media::ObjectAssembler assemble[4];
        media::MediaObject done;
        uint64_t packets = 0, payloadBytes = 0;
        const size_t chunk = 1 + rng() % 7000;
        const auto res = media::WalkAsfBytes(
            file.data(), file.size(), chunk, [&](ASF_DEMUX_STATE st, const ASF_DEMUX_CONTEXT& c, uint64_t) {
                if (st == ASF_DEMUX_STATE_DATA_OBJECT) packets = c.asfDataObject.qwTotalDataPackets;
                if (st < ASF_DEMUX_STATE_VIDEO_DATA || st > ASF_DEMUX_STATE_BINARY_DATA) return true;
                const int s = st - ASF_DEMUX_STATE_VIDEO_DATA + 1;
                const auto& p = s == 1 ? c.asfPayloadVideo : s == 2 ? c.asfPayloadAudio : c.asfPayloadBinary;
                payloadBytes += p.dwPayloadSize;
                if (assemble[s].Add(p, done))
                    got.push_back({s - 1, done.key, done.pts, std::move(done.data)});
                return true;
            });
        ASSERT_TRUE(res.ok) << "iteration " << iter << ": " << res.error;
        ASSERT_EQ(got.size(), objs.size()) << "iteration " << iter;
        for (size_t i = 0; i < objs.size(); ++i) ASSERT_EQ(got[i], objs[i]) << "iteration " << iter << " object " << i;
        for (auto& a : assemble) EXPECT_EQ(a.broken(), 0u);

        uint64_t total = 0;
        for (const Obj& o : objs) total += o.data.size();
        EXPECT_EQ(payloadBytes, total);
        EXPECT_EQ(asftest::Le64(file, 70), file.size());
        const uint64_t dataEnd = 1034 + 50 + packets * packetSize;
        ASSERT_LE(dataEnd, file.size());
        const bool anyKeyVideo = std::any_of(objs.begin(), objs.end(), [](const Obj& o) {
            return o.type == ASF_MUX_DATA_TYPE_VIDEO && o.key;
        });
        EXPECT_EQ(file.size() > dataEnd, anyKeyVideo) << "iteration " << iter;
    }
}

}  // namespace
