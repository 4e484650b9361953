// A simulated board plus the recorder's shared record as start-up leaves it
// (configuration, card and media records, ring buffers, drc), with the codec
// manager's waits shortened. A mode still running at the end is stopped
// before the record is released.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <memory>

#include "core/CodecManager.h"
#include "core/DR_shared.h"
#include "osd/MediaInfo.h"
#include "storage/indexf.h"
#include "support/SimBoardFixture.h"

class RecorderStateTest : public SimBoardTest {
protected:
    // REQ_CLOSE seen within 5 ms; a worker, which looks at its close request
    // every 20 ms, is given 50 waits of 20 ms to end (far more than it needs).
    static constexpr diviv::CodecManagerSettings kShortWaits{20000, 50, 5000};

    void SetUp() override {
        SimBoardTest::SetUp();
        dr_ = NewDrCommon();
        cfg_ = NewCodecConfig();
        dr_->pCodecCfg = cfg_.get();
        dr_->sdinfo = &sdinfo_;
        dr_->asfinfo = &media_;
        ASSERT_EQ(CreateSharedRingBuffers(dr_.get()), 0);
        drc = dr_.get();
        diviv::SetCodecManagerSettings(kShortWaits);
    }
    void TearDown() override {
        dr_->REQ_CLOSE = 1;
        for (int i = 0; i < 500 && dr_->CM_ALIVE.load(); ++i) usleep(10000);
        diviv::SetCodecManagerSettings({});
        DeleteAllIndex();
        FreeSharedRingBuffers(dr_.get());
        drc = nullptr;
        SimBoardTest::TearDown();
    }

    std::unique_ptr<dr_common_t> dr_;
    std::unique_ptr<codec_config_t> cfg_;
    SDC_Info_t sdinfo_{};
    MediaInfo_t media_{};
};
