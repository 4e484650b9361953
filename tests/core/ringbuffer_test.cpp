#include <gtest/gtest.h>

#include <cstring>
#include <numeric>
#include <thread>
#include <vector>

#include "core/dr_ringbuffer.h"

namespace {

struct Ring {
    DrRingBuffer rb;
    explicit Ring(int size) { EXPECT_EQ(DR_InitRingBuffer(&rb, size), 0); }
    ~Ring() { DR_FreeRingBuffer(&rb); }
};

TEST(RingBuffer, RefusesSizesThatAreNotPowersOfTwo) {
    for (int size : {3, 100, 1000, 4097}) {
        DrRingBuffer rb;
        EXPECT_EQ(DR_InitRingBuffer(&rb, size), -1) << size;
        EXPECT_EQ(rb.buffer, nullptr);
        EXPECT_EQ(rb.rb_mutex, nullptr);
    }
}

TEST(RingBuffer, WholeCapacityIsUsableAndFlushEmpties) {
    Ring r(64);
    std::vector<char> in(64);
    std::iota(in.begin(), in.end(), 0);
    EXPECT_EQ(DR_WriteRingBuffer(&r.rb, in.data(), 64), 64);
    EXPECT_EQ(DR_GetRingBufferReadAvailable(&r.rb), 64);
    EXPECT_EQ(DR_GetRingBufferWriteAvailable(&r.rb), 0);
    EXPECT_EQ(DR_WriteRingBuffer(&r.rb, in.data(), 1), 0);  // full: nothing granted
    DR_FlushRingBuffer(&r.rb);
    EXPECT_EQ(DR_GetRingBufferReadAvailable(&r.rb), 0);
    EXPECT_EQ(DR_GetRingBufferWriteAvailable(&r.rb), 64);
}

TEST(RingBuffer, WrappingDataIsSplitIntoTwoRegionsAndComesOutInOrder) {
    Ring r(16);
    char junk[12] = {};
    ASSERT_EQ(DR_WriteRingBuffer(&r.rb, junk, 12), 12);
    ASSERT_EQ(DR_ReadRingBuffer(&r.rb, junk, 12), 12);

    void *p1, *p2;
    int s1, s2;
    EXPECT_EQ(DR_GetRingBufferWriteRegions(&r.rb, 10, &p1, &s1, &p2, &s2), 10);
    EXPECT_EQ(s1, 4);
    EXPECT_EQ(s2, 6);
    EXPECT_EQ(p2, r.rb.buffer.get());

    const char msg[10] = {'a', 'b', 'c', 'd', 'e', 'f', 'g', 'h', 'i', 'j'};
    ASSERT_EQ(DR_WriteRingBuffer(&r.rb, msg, 10), 10);
    char out[10] = {};
    EXPECT_EQ(DR_ReadRingBuffer(&r.rb, out, 10), 10);
    EXPECT_EQ(std::memcmp(out, msg, 10), 0);
}

TEST(RingBuffer, AskingForMoreGrantsOnlyWhatIsAvailable) {
    Ring r(32);
    char data[20] = {};
    ASSERT_EQ(DR_WriteRingBuffer(&r.rb, data, 20), 20);
    EXPECT_EQ(DR_WriteRingBuffer(&r.rb, data, 20), 12);
    void *p1, *p2;
    int s1, s2;
    EXPECT_EQ(DR_GetRingBufferReadRegions(&r.rb, 100, &p1, &s1, &p2, &s2), 32);
    EXPECT_EQ(s1, 32);
    EXPECT_EQ(p2, nullptr);
    EXPECT_EQ(s2, 0);
    char out[40];
    EXPECT_EQ(DR_ReadRingBuffer(&r.rb, out, 40), 32);
    EXPECT_EQ(DR_ReadRingBuffer(&r.rb, out, 40), 0);
}

// A producer and a consumer move a few hundred MB of patterned data in
// records of odd sizes; every byte must arrive in order.
TEST(RingBuffer, ProducerAndConsumerThreadsMovePatternedDataIntact) {
    Ring r(1 << 16);
    const int64_t total = 300ll << 20;
    constexpr int kSizes[] = {1, 7, 108, 1601, 24 * 1024 + 3, 333, 16};

    std::thread producer([&] {
        std::vector<uint8_t> rec(32 * 1024);
        int64_t sent = 0;
        size_t k = 0;
        while (sent < total) {
            int n = kSizes[k++ % std::size(kSizes)];
            if (n > total - sent) n = static_cast<int>(total - sent);
            if (DR_GetRingBufferWriteAvailable(&r.rb) < n) {
                std::this_thread::yield();
                --k;
                continue;
            }
            for (int i = 0; i < n; ++i) rec[i] = static_cast<uint8_t>((sent + i) * 131 >> 3);
            ASSERT_EQ(DR_WriteRingBuffer(&r.rb, rec.data(), n), n);
            sent += n;
        }
    });

    std::vector<uint8_t> out(40 * 1024);
    int64_t got = 0;
    int64_t bad = 0;
    while (got < total) {
        const int n = DR_ReadRingBuffer(&r.rb, out.data(), static_cast<int>(out.size()) - static_cast<int>(got % 97));
        if (n == 0) {
            std::this_thread::yield();
            continue;
        }
        for (int i = 0; i < n; ++i) bad += out[i] != static_cast<uint8_t>((got + i) * 131 >> 3);
        got += n;
    }
    producer.join();
    EXPECT_EQ(bad, 0);
    EXPECT_EQ(got, total);
}

}  // namespace
