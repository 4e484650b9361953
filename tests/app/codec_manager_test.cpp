#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <thread>

#include "core/CodecManager.h"
#include "core/DR_common.h"
#include "core/DR_shared.h"
#include "platform/Clock.h"
#include "RecorderStateTest.h"

namespace {

class CodecManagerTest : public RecorderStateTest {
protected:
    void SetUp() override {
        RecorderStateTest::SetUp();
        std::filesystem::create_directories(Path("/mnt/mmc0_p2/DATA"));
    }
    // Runs one mode to its end and returns what the codec manager printed.
    std::string RunMode(int mode) {
        dr_->APP_MODE = mode;
        dr_->REQ_CLOSE = 0;
        dr_->CM_ALIVE = 1;
        testing::internal::CaptureStdout();
        EXPECT_TRUE(StartCodecManager(dr_.get()));
        diviv::MonotonicMs();
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        dr_->REQ_CLOSE = 1;
        const int64_t deadline = diviv::MonotonicMs() + 10000;
        while (dr_->CM_ALIVE.load() && diviv::MonotonicMs() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        EXPECT_EQ(dr_->CM_ALIVE.load(), 0);
        return testing::internal::GetCapturedStdout();
    }
};

// Position of each line in the output, in order; -1 if one is missing.
bool InOrder(const std::string& out, std::initializer_list<const char*> lines) {
    size_t pos = 0;
    for (const char* l : lines) {
        pos = out.find(l, pos);
        if (pos == std::string::npos) return false;
    }
    return true;
}

TEST_F(CodecManagerTest, RecordingWorkersStopInTheirOrderAndTheWriterEndsTheIndex) {
    const std::string out = RunMode(APP_MODE_RECORD);
    EXPECT_TRUE(InOrder(out, {"CM : Close VideoCaptureEncoderThread OK", "CM : Close AudioEncoderThread OK",
                              "CM : Close ASFMuxThread OK", "CM : Close AudioCaptureThread OK",
                              "CM : Close PulseAndContReceiveThread OK", "CM : Codec Manager Thread End"}))
        << out;
    EXPECT_EQ(out.find("GssReceiveThread"), std::string::npos) << "G-sensor disabled: not started";
    for (dr_flag* alive : {&dr_->VCE_ALIVE, &dr_->AE_ALIVE, &dr_->AM_ALIVE, &dr_->AC_ALIVE, &dr_->PAC_ALIVE}) {
        EXPECT_EQ(alive->load(), 0);
    }
    EXPECT_NE(Read("/mnt/mmc0_p2/DATA/.INDEXFILE3").find("END"), std::string::npos);
    EXPECT_EQ(Read("/proc/sys/vm/drop_caches"), "1\n");
}

TEST_F(CodecManagerTest, PlaybackAndMonitorModesRunTheirOwnWorkers) {
    std::string out = RunMode(APP_MODE_PLAYBACK);
    EXPECT_TRUE(InOrder(out, {"CM : Close ASFDemuxThread OK", "CM : Close VideDecoderThread OK",
                              "CM : Close AudioDecoderThread OK", "CM : Close AudioOutputThread OK",
                              "CM : Close PlaybackManagerThread OK"}))
        << out;
    out = RunMode(APP_MODE_TRANSCODE);  // any other mode runs the live monitor
    EXPECT_TRUE(InOrder(out, {"CM : Close VideoDispThread OK", "CM : Close MonitorThread OK"})) << out;
    EXPECT_EQ(out.find("CodecMutex"), std::string::npos) << "the codec unit is not touched";
}

TEST_F(CodecManagerTest, AWorkerThatNeverEndsIsReportedAndLeftBehind) {
    dr_flag alive{1}, request{0};
    const diviv::CodecManagerSettings settings{2000, 50, 5000};  // gives up after 50 x 2 ms
    testing::internal::CaptureStdout();
    const int64_t start = diviv::MonotonicMs();
    EXPECT_FALSE(diviv::CloseWorker(alive, request, "AudioCapture", "AudioCaptureThread", true, false, settings));
    const int64_t took = diviv::MonotonicMs() - start;
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(request.load(), 1);
    EXPECT_NE(out.find("CM : Error :: Can not close AudioCaptureThread"), std::string::npos);
    EXPECT_GE(took, 100) << "gave up before its 50 waits";
    EXPECT_LT(took, 500);
    EXPECT_NE(Read("/sim/log_record.log").find("Fatal error of thread control."), std::string::npos);
}

TEST_F(CodecManagerTest, AnUnboundedWaitOutlastsTheLimitUntilTheWorkerEnds) {
    dr_flag alive{1}, request{0};
    const diviv::CodecManagerSettings settings{1000, 5, 5000};  // a bounded wait gives up after 5 ms
    std::thread worker([&] {
        // Ends 200 ms after its close request, long after the limit.
        while (request.load() == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        alive = 0;
    });
    testing::internal::CaptureStdout();
    EXPECT_TRUE(diviv::CloseWorker(alive, request, "PlaybackManagerThread", "PlaybackManagerThread", false, true,
                                   settings));
    const std::string out = testing::internal::GetCapturedStdout();
    worker.join();
    EXPECT_EQ(alive.load(), 0);
    EXPECT_NE(out.find("CM : Close PlaybackManagerThread OK"), std::string::npos) << out;
    EXPECT_EQ(out.find("Can not close"), std::string::npos) << out;
}

TEST_F(CodecManagerTest, ARunningManagerKeepsTheSettingsItStartedWith) {
    // Started with the short waits (a worker that has not ended yet costs one
    // wait of 20 ms); settings with waits of 2 s set while it runs are for the
    // next manager, so this one closes its two workers in well under 2 s.
    dr_->APP_MODE = APP_MODE_TRANSCODE;
    dr_->REQ_CLOSE = 0;
    dr_->CM_ALIVE = 1;
    testing::internal::CaptureStdout();
    ASSERT_TRUE(StartCodecManager(dr_.get()));
    const int64_t started = diviv::MonotonicMs();
    while ((dr_->MON_ALIVE.load() == 0 || dr_->DISP_ALIVE.load() == 0) && diviv::MonotonicMs() < started + 10000) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    diviv::SetCodecManagerSettings({2000000, 50, 2000000});
    const int64_t start = diviv::MonotonicMs();
    dr_->REQ_CLOSE = 1;
    while (dr_->CM_ALIVE.load() && diviv::MonotonicMs() < start + 20000) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    const int64_t took = diviv::MonotonicMs() - start;
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(dr_->CM_ALIVE.load(), 0);
    EXPECT_NE(out.find("CM : Close MonitorThread OK"), std::string::npos) << out;
    EXPECT_LT(took, 2000) << "the manager took up the settings set after its start";
}

}  // namespace
