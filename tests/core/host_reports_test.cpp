// The host's reports: the recording list against the index, the card
// information, the ring buffers and the status, line for line.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>

#include "core/DriveRecorderApp.h"
#include "core/HostReports.h"
#include "host_fixture.h"
#include "storage/SDFunc.h"
#include "storage/indexf.h"

namespace {

std::string Ctime(int64_t t) {
    const time_t tt = static_cast<time_t>(t);
    return std::ctime(&tt);
}

class HostReportTest : public HostCommandTest {
protected:
    void SetUp() override {
        HostCommandTest::SetUp();
        files_ = std::make_unique<SDC_Files_t[]>(kFileTableRows);
        drc->sdfile = files_.get();
        drc->sdinfo = &info_;
        info_.index = 1;
        std::snprintf(info_.path_name, sizeof info_.path_name, "/mnt/mmc0_p1");
        DeleteAllIndex();
    }
    void TearDown() override {
        DeleteAllIndex();
        FreeSharedRingBuffers(drc);
        HostCommandTest::TearDown();
    }
    static void Add(const char* name, int64_t time, int size_kib) {
        IndexFileStr e{};
        std::snprintf(e.FileName, sizeof e.FileName, "%s", name);
        e.Time = time;
        e.FileSize = size_kib;
        AddIndex(&e, kAddByTime);
    }
    static std::string Report(int command) { return Run(command, 0, nullptr); }
    std::unique_ptr<SDC_Files_t[]> files_;
    SDC_Info_t info_{};
};

TEST_F(HostReportTest, RecordingListShowsEveryIndexedFileNewestFirstAndNothingStale) {
    Add("FILE00001.ASF", 1700000000, 1200);
    Add("SAV200002.ASF", 1700000060, 1300);
    Add("FILE00003.ASF", 1700000120, 400);
    // A table left with rows of an earlier, longer list.
    for (int i = 0; i < 10; ++i) files_[i].index = i;
    EXPECT_EQ(Report(12), "ASF File List in /mnt/mmc0_p1\n"
                          "Index=0 FILE00003.ASF size=400 time=" + Ctime(1700000120) +
                          "Index=1 SAV200002.ASF size=1300 time=" + Ctime(1700000060) +
                          "Index=2 FILE00001.ASF size=1200 time=" + Ctime(1700000000) +
                          "\nTotal 3 Files : Latest File is FILE00003.ASF:" + Ctime(1700000120));
    EXPECT_EQ(files_[3].index, -1);
    EXPECT_EQ(files_[9].index, -1);

    DeleteAllIndex();
    EXPECT_EQ(Report(12), "ASF File List in /mnt/mmc0_p1\n");
    info_.index = 0;
    EXPECT_EQ(Report(12), "Can not find SD card !\n");
    info_.index = -1;
    EXPECT_EQ(Report(12), "Can not find SD card !\n");
}

TEST_F(HostReportTest, RecordingListIsNotWalkedWhileTheWriterChangesTheIndex) {
    Add("FILE00001.ASF", 1700000000, 1200);
    drc->AM_ALIVE = 1;
    EXPECT_EQ(Report(12), "ASF File List in /mnt/mmc0_p1\n"
                          "DiViv : File list is not available while recording\n");
    drc->AM_ALIVE = 0;
    EXPECT_NE(Report(12).find("Index=0 FILE00001.ASF"), std::string::npos);
}

TEST_F(HostReportTest, CardInformationShowsTheMountAndItsFigures) {
    info_.diskspace = 3800;
    info_.availablesize = 1234;
    EXPECT_EQ(Report(13), "\n############### SD Card Information ##############\n"
                          "SD Card is mounted on /mnt/mmc0_p1\n"
                          "Capacity is 3800[MByte] Available is 1234[MByte]\n" +
                              std::string(52, '#') + "\n");
    info_.index = 0;
    EXPECT_EQ(Report(13), "SD CARD IS NOT FOUND !\n");
}

TEST_F(HostReportTest, CardInformationWhileRecordingIsReadFromTheCardNotTheWritersRecord) {
    std::filesystem::create_directories(Path("/mnt/mmc0_p1"));
    info_.index = 0;  // the writer's record is not read
    drc->AM_ALIVE = 1;
    const std::string out = Report(13);
    EXPECT_NE(out.find("SD Card is mounted on /mnt/mmc0_p1\nCapacity is "), std::string::npos) << out;
    EXPECT_EQ(out.find("Capacity is 0[MByte]"), std::string::npos) << out;
    drc->AM_ALIVE = 0;
}

TEST_F(HostReportTest, RingBufferReportListsSixteenBuffersInOrderWithWhatIsWritable) {
    // Before the buffers exist the report still prints, with zeros.
    const std::string before = Report(19);
    EXPECT_NE(before.find(" Raw Video Buffer[0] WriteAvailable is 0\n"), std::string::npos) << before;

    ASSERT_EQ(CreateSharedRingBuffers(drc), 0);
    char bytes[1000] = {};
    ASSERT_EQ(DR_WriteRingBuffer(&drc->rv_buf, bytes, 1000), 1000);
    ASSERT_EQ(DR_WriteRingBuffer(&drc->contin_buf, bytes, 24), 24);
    const std::string out = Report(19);
    EXPECT_EQ(out.rfind("\n######## Current RingBuffer Status #######\n", 0), 0u) << out;
    EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 18);
    const char* order[] = {" Raw Video Buffer[4194304] WriteAvailable is 4193304\n",
                           " Raw Audio Buffer[524288] WriteAvailable is 524288\n",
                           " Video BitStream Buffer[4194304]",
                           " Audio BitStream Buffer[65536]",
                           " Play TimeStamp Buffer[4096]",
                           " Display Video Buffer[2097152]",
                           " Transcode Video Buffer[4194304]",
                           " Transcode Audio Buffer[65536]",
                           " Transcode TimeStamp Buffer[4096]",
                           " GPS Data Buffer[2048]",
                           " G-Sensor Data Buffer[8192]",
                           " Frame Number Buffer[512]",
                           " Video Info Buffer[16384]",
                           " Audio Info Buffer[4096]",
                           " Pulse Data Buffer[256]",
                           " Contact Input Buffer[1024] WriteAvailable is 1000\n"};
    size_t at = 0;
    for (const char* line : order) {
        const size_t found = out.find(line, at);
        ASSERT_NE(found, std::string::npos) << line << "\n" << out;
        at = found + 1;
    }
}

TEST_F(HostReportTest, StatusReportNamesTheStateSettingsThreadsAndTheModesFigures) {
    cfg_->width = 640;
    cfg_->height = 480;
    cfg_->bps = 2048;
    cfg_->enc_fps = 30.0f;
    cfg_->gop = 30;
    cfg_->rectime = 60;
    drc->CAM_MODE = 0;
    drc->auto_rec = 0;
    drc->ASF_Encrypt = 1;
    drc->GPS_ALIVE = 1;
    drc->AppState = STATE_REC;
    drc->SizeOfASF = 123456;
    std::string out = Report(1);
    EXPECT_EQ(out.rfind("\n######## Application Version is " + AppVersionText() +
                            "\n######## Current Application Status #######\n"
                            " Apllication State is [ STATE_REC ]\n" +
                            std::string(44, '-') + "\n",
                        0),
              0u)
        << out;
    for (const char* line : {" Capture Size        : 640 x 480\n", " Video Bitrate       : 2048 [kbps]\n",
                             " Video Framerate     : 30.00 [fps]\n", " Camera Mode         : 4 Cam mode\n",
                             " Auto Recording      : ON\n", " Recording Time      : 60 [sec]\n",
                             " Scrambling          : ON\n", " GPS Receiver        : Thread Alive\n",
                             " Live Monitor        : Thread Not Alive\n",
                             " Current File Size   : 123456 [byte]\n"}) {
        EXPECT_NE(out.find(line), std::string::npos) << line << out;
    }

    drc->AppState = STATE_PLAY;
    drc->CAM_MODE = 2;
    std::snprintf(drc->playback_asf_name, sizeof drc->playback_asf_name, "FILE00007.ASF");
    drc->PM_ALIVE = 1;
    out = Report(1);
    EXPECT_NE(out.find(" Apllication State is [ STATE_PLAY ]\n"), std::string::npos) << out;
    EXPECT_NE(out.find(" Camera Mode         : Single Cam\n"), std::string::npos) << out;
    EXPECT_NE(out.find(" Playback File       : FILE00007.ASF\n"), std::string::npos) << out;
    EXPECT_NE(out.find(" Playback Manager    : Thread Alive\n"), std::string::npos) << out;
    EXPECT_EQ(out.find("Current File Size"), std::string::npos) << out;
}

}  // namespace
