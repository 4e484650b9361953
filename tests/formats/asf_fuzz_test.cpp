// The reader against mutated recordings (short run; asf_fuzz runs millions).
#include <gtest/gtest.h>

#include <cstdlib>

#include "AsfFuzz.h"

TEST(AsfDemuxFuzz, MutatedRecordingsNeverReadOutsideOrLeakOrStall) {
    // DIVIV_FUZZ_INPUTS raises the count for a longer local run.
    const char* env = std::getenv("DIVIV_FUZZ_INPUTS");
    const uint64_t inputs = env ? std::strtoull(env, nullptr, 10) : 150000;
    const asffuzz::Report r = asffuzz::Run(inputs, 20240601);
    EXPECT_EQ(r.failure, "");
    EXPECT_EQ(r.inputs, inputs);
    EXPECT_GT(r.payloads, inputs);  // the mutations leave most packets readable
}
