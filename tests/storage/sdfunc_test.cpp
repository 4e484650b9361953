// File names, numbering, space estimate and loop recording.
#include <unistd.h>

#include <filesystem>
#include <thread>

#include "CardTestSupport.h"
#include "core/DR_shared.h"
#include "platform/CardCapacity.h"
#include "platform/CardCapacity.h"
#include "sim/SimCardCapacity.h"

namespace {

namespace fs = std::filesystem;
using ::testing::HasSubstr;
using ::testing::Not;

// --- names and paths ----------------------------------------------------------

TEST_F(CardTest, FolderAndNumberComeFromTheName) {
    EXPECT_EQ(GetIndexNum("FILE01234.ASF"), 1234);
    EXPECT_EQ(GetIndexNum("SAV699999.ASF"), 99999);
    EXPECT_EQ(GetIndexNum("FILE0123"), -1);
    EXPECT_EQ(GetIndexNum(""), -1);

    fs::create_directories(Path("/mnt/mmc0_p1/DATA"));
    char buf[256];
    const std::string out = Console([&] { MakeSDfilePath(buf, "/mnt/mmc0_p1", "FILE37123.ASF"); });
    EXPECT_EQ(out, "");
    EXPECT_EQ(std::string(buf), Path("/mnt/mmc0_p1/DATA/37/FILE37123.ASF"));
    EXPECT_TRUE(fs::is_directory(Path("/mnt/mmc0_p1/DATA/37")));
    EXPECT_EQ(fs::status(Path("/mnt/mmc0_p1/DATA/37")).permissions() & fs::perms::all, fs::perms::owner_all);
    // A path that already carries the board root gives the same result.
    char again[256];
    MakeSDfilePath(again, Path("/mnt/mmc0_p1").c_str(), "FILE37123.ASF");
    EXPECT_STREQ(again, buf);
    // A small buffer is never overrun.
    char small[16];
    std::memset(small, 'z', sizeof small);
    MakeSDfilePath(small, "/mnt/mmc0_p1", "FILE37123.ASF", 12);
    EXPECT_EQ(std::strlen(small), 11u);
    EXPECT_EQ(small[12], 'z');
}

TEST_F(CardTest, PathsAreMadeWithoutChangingTheWorkingDirectory) {
    fs::create_directories(Path("/mnt/mmc0_p1/DATA"));
    char before[4096];
    ASSERT_NE(::getcwd(before, sizeof before), nullptr);
    // Another thread keeps checking the working directory while paths are made.
    std::atomic<bool> stop{false}, moved{false};
    std::thread watcher([&] {
        char now[4096];
        while (!stop) {
            if (::getcwd(now, sizeof now) == nullptr || std::strcmp(now, before) != 0) moved = true;
        }
    });
    char buf[256];
    for (int i = 0; i < 2000; ++i) {
        char name[16];
        std::snprintf(name, sizeof name, "FILE%05d.ASF", (i * 53) % 100000);
        MakeSDfilePath(buf, "/mnt/mmc0_p1", name);
    }
    stop = true;
    watcher.join();
    EXPECT_FALSE(moved);
}

TEST_F(CardTest, FolderThatCannotBeMadeIsReportedAndLoggedButThePathReturned) {
    // No DATA folder: its sub-folder cannot be created.
    char buf[256];
    std::string out = Console([&] { MakeSDfilePath(buf, "/mnt/mmc0_p1", "FILE00001.ASF"); });
    EXPECT_THAT(out, HasSubstr("Failed to create the directory. " + Path("/mnt/mmc0_p1/DATA/00") +
                               " [!!! System Reboot !!!]\n"));
    EXPECT_EQ(std::string(buf), Path("/mnt/mmc0_p1/DATA/00/FILE00001.ASF"));
    EXPECT_THAT(Read(diviv::sim::kLogRecordFile), HasSubstr("0xf0000000,Failure of accessing the file.,"));

    // A file where the folder belongs cannot be entered.
    fs::create_directories(Path("/mnt/mmc0_p1/DATA"));
    Write("/mnt/mmc0_p1/DATA/01", "x");
    out = Console([&] { MakeSDfilePath(buf, "/mnt/mmc0_p1", "FILE01001.ASF"); });
    EXPECT_THAT(out, HasSubstr("Failed to change directory. " + Path("/mnt/mmc0_p1/DATA/01")));
}

TEST_F(CardTest, EventNameCarriesTheEventBits) {
    event_info_forAfile ev{};
    char name[16] = "FILE00042.ASF";
    EXPECT_EQ(ChangeEventFname(name, &ev), 0);
    EXPECT_STREQ(name, "FILE00042.ASF");  // no event: unchanged
    ev.cnt_accel = 2;
    ev.cnt_contactin = 1;
    ev.cnt_speed = 5;  // not part of the name
    EXPECT_EQ(ChangeEventFname(name, &ev), 0);
    EXPECT_STREQ(name, "SAV900042.ASF");
    ev.cnt_accel = ev.cnt_contactin = 0;
    ev.cnt_break = 1;
    ev.cnt_steer = 3;
    std::strcpy(name, "FILE00043.ASF");
    ChangeEventFname(name, &ev);
    EXPECT_STREQ(name, "SAV600043.ASF");
    ev.cnt_accel = ev.cnt_contactin = 1;
    std::strcpy(name, "FILE00044.ASF");
    ChangeEventFname(name, &ev);
    EXPECT_STREQ(name, "SAVF00044.ASF");
    char empty[4] = "";
    EXPECT_EQ(ChangeEventFname(empty, &ev), -1);
}

// --- numbering ----------------------------------------------------------------

TEST_F(CardTest, NumbersWrapAndSkipLockedEntries) {
    info_.latestindex = 99999;
    EXPECT_EQ(GetNextIndex(&info_), 0);
    info_.latestindex = -1;
    EXPECT_EQ(GetNextIndex(&info_), 0);

    IndexFileStr e{};
    std::strcpy(e.FileName, "SAV100000.ASF");
    e.Lock = 1;
    AddIndex(&e, kAddByTime);
    std::strcpy(e.FileName, "FILE00001.ASF");
    e.Lock = 0;
    e.Time = 5;
    IndexFileStr* reused = AddIndex(&e, kAddByTime);
    info_.CurrentSelectedIndex = reused;
    info_.latestindex = 99999;
    // 0 is an event file's; 1 is reclaimed from its unlocked entry.
    const std::string out = Console([&] { EXPECT_EQ(GetNextIndex(&info_), 1); });
    EXPECT_THAT(out, HasSubstr("INDEX:index is locked(SAV100000.ASF)[no=0]"));
    EXPECT_THAT(out, HasSubstr("INDEX:index is deleted(FILE00001.ASF)[no=1]"));
    EXPECT_EQ(GetNumOfIndex(), 1);
    // The card record no longer points at the dropped entry.
    EXPECT_EQ(info_.CurrentSelectedIndex, GetMostRecentIndex());
    EXPECT_EQ(info_.OldestIndex, GetOldestIndex());
    EXPECT_EQ(info_.NumOfFiles, 1);
}

TEST_F(CardTest, HundredLockedNumbersInARowGiveUp) {
    for (int i = 1; i <= 100; ++i) {
        IndexFileStr e{};
        std::snprintf(e.FileName, sizeof e.FileName, "SAV1%05d.ASF", i);
        e.Lock = 1;
        AddIndex(&e, kAddByTime);
    }
    info_.latestindex = 0;
    const std::string out = Console([&] { EXPECT_EQ(GetNextIndex(&info_), 0); });
    EXPECT_THAT(out, HasSubstr("SDFunc : GetNextIndex Error\n"));
    info_.latestindex = 1;  // 101 is free
    EXPECT_EQ(GetNextIndex(&info_), 101);
}

// --- space estimate -------------------------------------------------------------

TEST_F(CardTest, SpaceEstimateForTimedAndContinuousFiles) {
    fs::create_directories(Path("/mnt/mmc0_p1/DATA"));
    int number = -5;
    char name[16] = {};
    // 60 s at 2048 kbit/s: 2 167 200 bit/s, 15 873 KiB plus the 30 MiB reserve.
    info_.availablesize = 46593 / 1024 + 1;  // 46 units = 47 104 KiB
    std::string out = Console([&] { EXPECT_EQ(GetNextFile(&number, name, &info_, 2048, 60, 0), 60); });
    EXPECT_THAT(out, HasSubstr("SDFunc : ReqSpace=15873 AvailableTime=60 bps=2048\n"));
    EXPECT_EQ(number, 0);
    EXPECT_STREQ(name, "FILE00000.ASF");
    EXPECT_EQ(info_.latestindex, 0);

    // Continuous mode needs more than 4 225 024 KiB: 4 127 units, not 4 126.
    info_.availablesize = 4127;
    EXPECT_EQ(GetNextFile(&number, name, &info_, 2048, 0, 0), 2097);
    EXPECT_EQ(number, 1);
    info_.availablesize = 4126;
    out = Console([&] { EXPECT_EQ(GetNextFile(&number, name, &info_, 2048, 0, 0), -1); });
    EXPECT_THAT(out, HasSubstr("SDFunc : Not enough disk space[avilable 4225024 kbyte] mode=Continious Mode\n"));
    EXPECT_EQ(info_.latestindex, 1);  // no number taken

    // Long files do not overflow the estimate: one hour at 8 Mbit/s.
    info_.availablesize = 10000;
    EXPECT_EQ(GetNextFile(&number, name, &info_, 8000, 3600, 0), 3600);
    EXPECT_EQ(GetNextFile(&number, name, &info_, 0, 60, 0), -1);
}

TEST_F(SmallCardTest, CapacityInCardUnits) {
    std::string out;
    out = Console([&] { EXPECT_EQ(GetSDCap("/mnt/mmc0_p1", &info_), 256); });
    // 65 536 clusters of 4 KiB: (4096 / 1000) x 65 536 / 1024 = 256 units.
    EXPECT_THAT(out, HasSubstr("Disk file count (/mnt/mmc0_p1)65536 65536 65536 0\n"));
    EXPECT_EQ(info_.availablesize, 256);
    EXPECT_EQ(info_.index, 1);
    EXPECT_STREQ(info_.path_name, "/mnt/mmc0_p1");
    info_.index = 0;
    out = Console([&] { EXPECT_EQ(GetSDCap("/mnt/mmc1_p1", &info_), -1); });
    EXPECT_THAT(out, HasSubstr("SDFunc : statfs() returns error [/mnt/mmc1_p1]\n"));
    EXPECT_EQ(info_.index, 0);
}

// --- loop recording on a small card ---------------------------------------------------

class LoopRecordingTest : public SmallCardTest {
protected:
    void SetUp() override {
        SmallCardTest::SetUp();
        fs::create_directories(Path("/mnt/mmc0_p1/DATA"));
        ASSERT_GT(GetSDCap("/mnt/mmc0_p1", &info_), 0);
    }
    // Six recordings of 40 MiB leave about 15 MiB: too little for a 60 s file.
    void FillCard(bool events) {
        for (int i = 0; i < 6; ++i) {
            char name[16];
            std::snprintf(name, sizeof name, events ? "SAV2%05d.ASF" : "FILE%05d.ASF", i);
            Record(name, 40 * kMiB, 1000000 + i * 60);
        }
        info_.latestindex = 5;
        ASSERT_GT(GetSDCap("/mnt/mmc0_p1", &info_), 0);
    }
    uint64_t FreeBytes() {
        diviv::CardCapacity c;
        EXPECT_EQ(diviv::QueryCardCapacity("/mnt/mmc0_p1", &c), 0);
        return c.free_blocks * c.block_size;
    }
};

TEST_F(LoopRecordingTest, OldestRecordingIsDeletedToMakeRoom) {
    FillCard(false);
    const uint64_t free_before = FreeBytes();
    int number = -1;
    char name[16];
    const std::string out = Console([&] { EXPECT_EQ(GetNextFile(&number, name, &info_, 2048, 60, 0), 60); });
    EXPECT_THAT(out, HasSubstr("mode=Endless Mode\n"));
    EXPECT_THAT(out, HasSubstr("Should remove Oldest File : " + RecordingPath("FILE00000.ASF") + "\nDelete OK\n"));
    EXPECT_EQ(number, 6);
    EXPECT_STREQ(name, "FILE00006.ASF");
    EXPECT_FALSE(Exists("/mnt/mmc0_p1/DATA/00/FILE00000.ASF"));
    EXPECT_TRUE(Exists("/mnt/mmc0_p1/DATA/00/FILE00001.ASF"));
    EXPECT_EQ(GetNumOfIndex(), 5);
    // The deletion freed exactly the file's clusters, and the record agrees.
    EXPECT_EQ(FreeBytes() - free_before, static_cast<uint64_t>(40 * kMiB));
    EXPECT_EQ(info_.OldestIndex, GetOldestIndex());
    EXPECT_STREQ(info_.OldestIndex->FileName, "FILE00001.ASF");
    EXPECT_EQ(info_.NumOfFiles, 5);
    EXPECT_GE(static_cast<long long>(info_.availablesize) * 1024, 46593);
}

TEST_F(LoopRecordingTest, ProtectedEventFilesAreNeverDeleted) {
    FillCard(true);
    int number = -1;
    char name[16];
    const std::string out = Console([&] { EXPECT_EQ(GetNextFile(&number, name, &info_, 2048, 60, 0), -1); });
    EXPECT_THAT(out, HasSubstr("Delete NG (File is locked!)[-2]\n"));
    EXPECT_THAT(out, HasSubstr("SDF : Could not find a file to be deleted\n"));
    EXPECT_THAT(out, Not(HasSubstr("Delete OK")));
    EXPECT_EQ(GetNumOfIndex(), 6);
    for (int i = 0; i < 6; ++i) {
        char file[64];
        std::snprintf(file, sizeof file, "/mnt/mmc0_p1/DATA/00/SAV2%05d.ASF", i);
        EXPECT_TRUE(Exists(file)) << file;
    }
}

TEST_F(LoopRecordingTest, UnprotectedEventFilesGoOldestFirst) {
    FillCard(true);
    int number = -1;
    char name[16];
    EXPECT_EQ(GetNextFile(&number, name, &info_, 2048, 60, 1), 60);
    EXPECT_FALSE(Exists("/mnt/mmc0_p1/DATA/00/SAV200000.ASF"));
    EXPECT_TRUE(Exists("/mnt/mmc0_p1/DATA/00/SAV200001.ASF"));
    EXPECT_EQ(GetNumOfEventIndex(), 5);
}

TEST_F(LoopRecordingTest, ProtectionSkipsEventFilesAndDeletesTheNextNormalOne) {
    Record("SAV100000.ASF", 40 * kMiB, 1000);
    Record("SAV100001.ASF", 40 * kMiB, 1100);
    for (int i = 2; i < 6; ++i) {
        char n[16];
        std::snprintf(n, sizeof n, "FILE%05d.ASF", i);
        Record(n, 40 * kMiB, 1000 + i * 100);
    }
    info_.latestindex = 5;
    GetSDCap("/mnt/mmc0_p1", &info_);
    int number = -1;
    char name[16];
    const std::string out = Console([&] { EXPECT_EQ(GetNextFile(&number, name, &info_, 2048, 60, 0), 60); });
    EXPECT_THAT(out, HasSubstr("Delete NG (File is locked!)[-2]"));
    EXPECT_TRUE(Exists("/mnt/mmc0_p1/DATA/00/SAV100000.ASF"));
    EXPECT_TRUE(Exists("/mnt/mmc0_p1/DATA/00/SAV100001.ASF"));
    EXPECT_FALSE(Exists("/mnt/mmc0_p1/DATA/00/FILE00002.ASF"));
    // The next round goes on from the next newer entry, not from the locked ones.
    Record(name, 40 * kMiB, 2000);
    GetSDCap("/mnt/mmc0_p1", &info_);
    const std::string next = Console([&] { EXPECT_EQ(GetNextFile(&number, name, &info_, 2048, 60, 0), 60); });
    EXPECT_THAT(next, Not(HasSubstr("locked")));
    EXPECT_FALSE(Exists("/mnt/mmc0_p1/DATA/00/FILE00003.ASF"));
}

TEST_F(LoopRecordingTest, RecordingThatCannotBeRemovedIsDroppedAndTheNextOneGoes) {
    FillCard(false);
    // The oldest recording's name now holds a folder that cannot be removed,
    // and other data keeps the card as full as before.
    fs::remove(RecordingPath("FILE00000.ASF"));
    fs::create_directories(RecordingPath("FILE00000.ASF"));
    Write("/mnt/mmc0_p1/DATA/00/FILE00000.ASF/keep", "x");
    MakeRecording("FILE80000.BIN", 40 * kMiB, 1);
    GetSDCap("/mnt/mmc0_p1", &info_);
    int number = -1;
    char name[16];
    const std::string out = Console([&] { EXPECT_EQ(GetNextFile(&number, name, &info_, 2048, 60, 0), 60); });
    EXPECT_THAT(out, HasSubstr("Remove NG : " + RecordingPath("FILE00000.ASF") + "\n"));
    EXPECT_FALSE(Exists("/mnt/mmc0_p1/DATA/00/FILE00001.ASF"));
    EXPECT_EQ(GetNumOfIndex(), 4);
}

TEST_F(LoopRecordingTest, ContinuousModeNeverDeletes) {
    FillCard(false);
    int number = -1;
    char name[16];
    EXPECT_EQ(GetNextFile(&number, name, &info_, 2048, 0, 1), -1);
    EXPECT_EQ(GetNumOfIndex(), 6);
}

// --- entering recordings ---------------------------------------------------------------

TEST_F(CardTest, FinishedRecordingEntersTheIndex) {
    MakeRecording("SAV400012.ASF", 5 * 1024 * 1024 + 1000, 1500000000);
    MakeRecording("FILE00013.ASF", 2048, 1500000100);
    SetFileInfo("/mnt/mmc0_p1", "SAV400012.ASF", &info_, 2048, 1, 59);
    SetFileInfo("/mnt/mmc0_p1", "FILE00013.ASF", &info_, 1024, 0, 60);
    const IndexFileStr* newest = GetMostRecentIndex();
    ASSERT_NE(newest, nullptr);
    EXPECT_STREQ(newest->FileName, "FILE00013.ASF");
    EXPECT_EQ(newest->Lock, 0);
    const IndexFileStr* ev = newest->next;
    EXPECT_STREQ(ev->FileName, "SAV400012.ASF");
    EXPECT_EQ(ev->FileSize, 5120);
    EXPECT_EQ(ev->Time, 1500000000);
    EXPECT_EQ(ev->BitRate, 2048);
    EXPECT_EQ(ev->PictureSize, 1);
    EXPECT_EQ(ev->Duration, 59);
    EXPECT_EQ(ev->Lock, 1);
    EXPECT_EQ(info_.MostRecentIndex, newest);
    EXPECT_EQ(info_.CurrentSelectedIndex, newest);
    EXPECT_EQ(info_.NumOfFiles, 2);
    EXPECT_EQ(info_.EventFiles, 1);

    const std::string out = Console([&] { EXPECT_EQ(SetFileInfo("/mnt/mmc0_p1", "FILE00099.ASF", &info_, 1, 0, 1), 0); });
    EXPECT_THAT(out, HasSubstr("SDF : Error :: Could not get file info [file=FILE00099.ASF"));
    EXPECT_EQ(GetNumOfIndex(), 2);
}

TEST_F(CardTest, ClockBehindTheNewestRecordingMeansFull) {
    EXPECT_EQ(isSD_Full(), 0);  // empty index
    const time_t now = ::time(nullptr);
    IndexFileStr e{};
    std::strcpy(e.FileName, "FILE00001.ASF");
    e.Time = now - 10;
    AddIndex(&e, kAddByTime);
    EXPECT_EQ(isSD_Full(), 0);
    std::strcpy(e.FileName, "FILE00002.ASF");
    e.Time = now + 3600;
    AddIndex(&e, kAddByTime);
    const std::string out = Console([] { EXPECT_EQ(isSD_Full(), 1); });
    EXPECT_THAT(out, HasSubstr("isSD_Full Now="));
    EXPECT_THAT(out, HasSubstr(" New="));
}

}  // namespace
