// Mode control: what a start is refused for, and what a refused or ended
// mode leaves behind.
#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <memory>
#include <string>

#include "core/CodecManager.h"
#include "core/DR_shared.h"
#include "core/ModeControl.h"
#include "osd/MediaInfo.h"
#include "storage/SDFunc.h"
#include "storage/indexf.h"
#include "PlaybackTestKit.h"
#include "RecorderStateTest.h"

namespace {

class ModeControlTest : public RecorderStateTest {
protected:
    void SetUp() override {
        RecorderStateTest::SetUp();
        sdinfo_.index = 1;
    }
    // One recording of `bytes` on the card, entered in the index and selected.
    void SelectRecording(long bytes) {
        IndexFileStr e{};
        std::snprintf(e.FileName, sizeof e.FileName, "FILE%05d.ASF", 7);
        e.FileSize = static_cast<int32_t>(bytes / 1024);
        e.Time = 1700000000;
        std::filesystem::create_directories(Path("/mnt/mmc0_p1/DATA"));
        char path[kSDPathMax];
        MakeSDfilePath(path, "/mnt/mmc0_p1", e.FileName, sizeof path);
        ASSERT_TRUE(diviv::sim::WriteTextFile(path, std::string(static_cast<size_t>(bytes), 'x'))) << path;
        sdinfo_.CurrentSelectedIndex = AddIndex(&e, kAddAtNewest);
    }
};

TEST_F(ModeControlTest, RecordingIsRefusedOnAnUnusableCardWithoutChangingTheState) {
    dr_->AppState = STATE_IDLE;
    dr_->SDErrorState = 1;
    EXPECT_EQ(RecordControl(0, 0, 1), -1);
    EXPECT_EQ(dr_->AppState.load(), STATE_IDLE);
    EXPECT_EQ(dr_->CM_ALIVE.load(), 0);
}

TEST_F(ModeControlTest, RecordingWithoutACardClaimsTheStateAndIsRefused) {
    for (int index : {0, -1}) {
        dr_->AppState = STATE_IDLE;
        sdinfo_.index = index;
        EXPECT_EQ(RecordControl(0, 0, 1), -1) << index;
        EXPECT_EQ(dr_->AppState.load(), STATE_REC) << "the main loop's recovery returns it to idle";
        EXPECT_EQ(dr_->CM_ALIVE.load(), 0);
    }
}

TEST_F(ModeControlTest, RecordingStartsOnceAndStopsBackToIdle) {
    dr_->AppState = STATE_IDLE;
    cfg_->h_fps = 30;
    cfg_->h_bps = 2048;
    cfg_->h_gop = 30;
    cfg_->rectime = 60;
    std::filesystem::create_directories(Path("/mnt/mmc0_p2/DATA"));
    ASSERT_EQ(RecordControl(0, 0, 1), 0);
    EXPECT_EQ(dr_->count.load(), 30 * 60);
    EXPECT_EQ(RecordControl(0, 0, 1), -2) << "a codec manager already runs";
    dr_->AppState = STATE_REC;
    EXPECT_EQ(RecordControl(0, 0, 0), 0);
    EXPECT_EQ(dr_->AppState.load(), STATE_IDLE);
    EXPECT_EQ(dr_->CM_ALIVE.load(), 0);
    EXPECT_EQ(dr_->REQ_AM_CLOSE.load(), 0);
    // Stopping again, with the codec manager gone, still lands in idle.
    dr_->AppState = STATE_REC;
    EXPECT_EQ(RecordControl(0, 0, 0), 0);
    EXPECT_EQ(dr_->AppState.load(), STATE_IDLE);
}

TEST_F(ModeControlTest, PlaybackNeedsAFileOfAtLeast128KiB) {
    SelectRecording(131071);
    EXPECT_EQ(PlaybackControl(0), -4);
    EXPECT_EQ(dr_->CM_ALIVE.load(), 0);
    DeleteAllIndex();
    SelectRecording(131072);
    // A playable recording under that name keeps the mode running (a file
    // without pictures ends it at once).
    std::snprintf(sdinfo_.path_name, sizeof sdinfo_.path_name, "/mnt/mmc0_p1");
    playtest::MakeRecording(root_, "FILE00007.ASF", playtest::RecordingSpec{});
    EXPECT_EQ(PreViewControl(0), 0);
    EXPECT_EQ(dr_->AppState.load(), STATE_PREVIEW);
    EXPECT_EQ(dr_->DispSize.load(), 1);
    EXPECT_STREQ(dr_->playback_asf_name, "FILE00007.ASF");
    EXPECT_EQ(PlaybackControl(0), -3) << "a codec manager already runs";
    PreViewStop();
    EXPECT_EQ(CheckThreadStop(), 1);
    EXPECT_EQ(dr_->AppState.load(), STATE_LIST);
    EXPECT_EQ(PlaybackControl(-1), -2);
}

TEST_F(ModeControlTest, TranscodeModeFindsNothingToConvertAndStaysIdle) {
    dr_->AppState = STATE_IDLE;
    dr_->TranscodeRequest = 1;
    EXPECT_EQ(TranscodeControl(0, 0, 1), -2);
    EXPECT_EQ(dr_->AppState.load(), STATE_IDLE);
    EXPECT_EQ(dr_->TranscodeRequest.load(), 0);
    EXPECT_EQ(dr_->CM_ALIVE.load(), 0);
    EXPECT_TRUE(std::filesystem::is_directory(std::string(dr_->transcode_3gp_path)));
}

}  // namespace
