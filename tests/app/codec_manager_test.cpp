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
    testing::internal::CaptureStdout();
    const int64_t start = diviv::MonotonicMs();
    EXPECT_FALSE(diviv::CloseWorker(alive, request, "AudioCapture", "AudioCaptureThread", true));
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(request.load(), 1);
    EXPECT_NE(out.find("CM : Error :: Can not close AudioCaptureThread"), std::string::npos);
    EXPECT_LT(diviv::MonotonicMs() - start, 5000);
    EXPECT_NE(Read("/sim/log_record.log").find("Fatal error of thread control."), std::string::npos);
}

}  // namespace
