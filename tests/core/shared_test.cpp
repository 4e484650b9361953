#include <gtest/gtest.h>

#include "core/DR_shared.h"

namespace {

static_assert(sizeof(commsg_t) == 64);
static_assert(sizeof(dr_timeval) == 8);

TEST(SelectParam, CopiesTheChosenPreset) {
    auto cfg = NewCodecConfig();
    cfg->m_fps = 20;
    cfg->m_bps = 1536;
    cfg->m_gop = 40;
    cfg->vqsel = 1;
    SelectParam(cfg.get());
    EXPECT_EQ(cfg->bps, 1536);
    EXPECT_EQ(cfg->gop, 40u);
    EXPECT_FLOAT_EQ(cfg->fps, 20.0f);
    EXPECT_FLOAT_EQ(cfg->enc_fps, 20.0f);
}

TEST(SelectParam, FallsBackWhenThePresetHasAZero) {
    auto cfg = NewCodecConfig();
    cfg->h_fps = 30;
    cfg->h_bps = 0;
    cfg->h_gop = 30;
    SelectParam(cfg.get());
    EXPECT_EQ(cfg->bps, 1024);
    EXPECT_EQ(cfg->gop, 1u);
    EXPECT_FLOAT_EQ(cfg->enc_fps, 15.0f);

    auto unknown = NewCodecConfig();  // unknown vqsel while the active fields are zero
    unknown->vqsel = 7;
    SelectParam(unknown.get());
    EXPECT_EQ(unknown->bps, 1024);
    EXPECT_FLOAT_EQ(unknown->fps, 15.0f);
}

TEST(SharedRingBuffers, AreCreatedWithTheirCapacitiesAndFreed) {
    auto dr = NewDrCommon();
    ASSERT_EQ(CreateSharedRingBuffers(dr.get()), 0);
    EXPECT_EQ(dr->rv_buf.bufferSize, 4194304);
    EXPECT_EQ(dr->rmc_buf.bufferSize, 2048);
    EXPECT_EQ(dr->pulse_buf.bufferSize, 256);
    EXPECT_EQ(dr->qv_buf.bufferSize, 0);  // declared, never created
    // Whole fixed-size records fit: GPS 108-byte records into 2048 bytes.
    EXPECT_GE(DR_GetRingBufferWriteAvailable(&dr->rmc_buf) / kGpsRecordSize, 18);
    FreeSharedRingBuffers(dr.get());
    EXPECT_EQ(dr->rv_buf.buffer, nullptr);
}

}  // namespace
