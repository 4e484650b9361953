// Preparing folders and the index when a card is inserted.
#include <filesystem>

#include "CardTestSupport.h"
#include "core/DR_shared.h"

namespace {

namespace fs = std::filesystem;
using ::testing::HasSubstr;
using ::testing::Not;

class FileListTest : public CardTest {
protected:
    int List(std::string* out = nullptr, const char* verinfo = "") {
        int r = 0;
        const std::string text = Console([&] { r = GetFileList("/mnt/mmc0_p1", &info_, verinfo); });
        if (out) *out = text;
        return r;
    }
    std::string IndexText() const { return Read(IndexFilePath()); }
    void SaveIndexWith(const char* name, int64_t time, const char* trailer) {
        fs::create_directories(Path("/mnt/mmc0_p2/DATA"));
        DeleteAllIndex();
        IndexFileStr e{};
        std::snprintf(e.FileName, sizeof e.FileName, "%s", name);
        e.Time = time;
        AddIndex(&e, kAddByTime);
        ASSERT_EQ(SaveIndexFile(IndexFilePath().c_str(), trailer), 0);
        DeleteAllIndex();
    }
};

TEST_F(FileListTest, EmptyCardGetsItsFoldersAndAnEmptyIndex) {
    std::string out;
    EXPECT_EQ(List(&out), 0);
    for (int i = 0; i < 100; ++i) {
        char sub[32];
        std::snprintf(sub, sizeof sub, "/mnt/mmc0_p1/DATA/%02d", i);
        ASSERT_TRUE(fs::is_directory(Path(sub))) << sub;
    }
    EXPECT_EQ(fs::status(Path("/mnt/mmc0_p1/DATA")).permissions() & fs::perms::all, fs::perms::owner_all);
    EXPECT_TRUE(fs::is_directory(Path("/mnt/mmc0_p2/DATA")));
    EXPECT_THAT(out, HasSubstr("Can not find INDEX FILE.[" + Path(IndexFilePath()) + "]\nMake INDEX FILE start.\n"));
    EXPECT_THAT(out, HasSubstr("Can not find any asf files in the SD memory card !\n"));
    EXPECT_THAT(Read(diviv::sim::kLogRecordFile), HasSubstr("0x00000000,Failure of accessing the file."));
    EXPECT_EQ(IndexText(), "END");
    EXPECT_EQ(info_.NumOfFiles, 0);
    EXPECT_EQ(info_.latestindex, -1);
    EXPECT_EQ(info_.MostRecentIndex, nullptr);

    // Next insertion: the saved empty index is loaded.
    EXPECT_EQ(List(&out), 0);
    EXPECT_THAT(out, HasSubstr("LOAD INDEX FILE OK."));
    EXPECT_EQ(info_.NumOfFiles, -1);
    EXPECT_EQ(info_.latestindex, -1);
}

TEST_F(FileListTest, RebuildFindsEveryRecordingInTimeOrder) {
    MakeRecording("FILE00005.ASF", 3 * kMiB, 1000);
    MakeRecording("FILE42000.ASF", 2 * kMiB, 3000);
    MakeRecording("SAV642001.ASF", 1 * kMiB, 4000);
    MakeRecording("FILE99999.ASF", 4096, 2000);
    // Not recordings: wrong suffix, longer name, other names, a folder.
    MakeRecording("FILE00006.MP4", 10, 5000);
    MakeRecording("FILE00007.ASF.bak", 10, 5000);
    MakeRecording("FILM00008.ASF", 10, 5000);
    fs::create_directories(Path("/mnt/mmc0_p1/DATA/01/FILE01000.ASF"));
    std::string out;
    EXPECT_EQ(List(&out), 0);
    EXPECT_EQ(GetNumOfIndex(), 4);
    EXPECT_EQ(GetNumOfEventIndex(), 1);
    const IndexFileStr* e = GetMostRecentIndex();
    ASSERT_NE(e, nullptr);
    EXPECT_STREQ(e->FileName, "SAV642001.ASF");
    EXPECT_EQ(e->Lock, 1);
    EXPECT_EQ(e->FileSize, 1024);
    EXPECT_EQ(e->Time, 4000);
    EXPECT_EQ(e->BitRate, 0);
    EXPECT_STREQ(e->next->FileName, "FILE42000.ASF");
    EXPECT_EQ(e->next->Lock, 0);
    EXPECT_STREQ(e->next->next->FileName, "FILE99999.ASF");
    EXPECT_STREQ(GetOldestIndex()->FileName, "FILE00005.ASF");
    EXPECT_EQ(info_.latestindex, 42001);
    EXPECT_EQ(info_.oldestindex, 5);
    EXPECT_EQ(info_.NumOfFiles, 4);
    EXPECT_EQ(info_.EventFiles, 1);
    EXPECT_EQ(info_.MostRecentIndex, e);
    EXPECT_EQ(info_.CurrentSelectedIndex, e);
    EXPECT_EQ(info_.OldestIndex, GetOldestIndex());
    EXPECT_THAT(out, HasSubstr("Most recent index is SAV642001.ASF 1024 [Index=42001] "));
    EXPECT_THAT(out, HasSubstr("Oldest index is      FILE00005.ASF 3072 [Index=5] "));
    EXPECT_THAT(out, HasSubstr("Total 4 ASF Files (including 1 Event Files) Found\n"));
    // The rebuilt index is saved, complete.
    const std::string text = IndexText();
    EXPECT_EQ(text.substr(0, kIndexLineLength), "SAV642001.ASF 0001024 0000004000 0000 0 000 1\n");
    EXPECT_EQ(text.size(), 4u * kIndexLineLength + 3);
    EXPECT_EQ(text.substr(text.size() - 3), "END");
}

TEST_F(FileListTest, ValidIndexIsLoadedInsteadOfScanning) {
    MakeRecording("FILE00001.ASF", 1024, 1000);
    SaveIndexWith("FILE00777.ASF", 5000, kIndexStateEnd);
    std::string out;
    EXPECT_EQ(List(&out), 0);
    EXPECT_THAT(out, HasSubstr("LOAD INDEX FILE OK.[" + Path(IndexFilePath()) + "]\n"));
    EXPECT_THAT(out, Not(HasSubstr("Make INDEX FILE start.")));
    EXPECT_EQ(GetNumOfIndex(), 1);
    EXPECT_STREQ(GetMostRecentIndex()->FileName, "FILE00777.ASF");
    EXPECT_EQ(info_.latestindex, 777);
    EXPECT_EQ(info_.oldestindex, 777);
    EXPECT_EQ(info_.NumOfFiles, 1);
}

TEST_F(FileListTest, IncompleteIndexIsRebuiltFromTheRecordings) {
    MakeRecording("FILE00001.ASF", 1024, 1000);
    SaveIndexWith("FILE00777.ASF", 5000, kIndexStateStart);
    std::string out;
    EXPECT_EQ(List(&out), 0);
    EXPECT_THAT(out, HasSubstr("INDEX FILE IS INVALID !!"));
    EXPECT_THAT(out, HasSubstr("Make INDEX FILE start."));
    EXPECT_EQ(GetNumOfIndex(), 1);
    EXPECT_STREQ(GetMostRecentIndex()->FileName, "FILE00001.ASF");
    EXPECT_EQ(IndexText().substr(IndexText().size() - 3), "END");
}

TEST_F(FileListTest, RebuiltFilesOfOneSecondKeepTheirRecordingOrder) {
    // A file closed and the next one cut short by a power loss in the same
    // second: whatever order the folder lists them in, the newest is the
    // higher number, so the next recording does not write over either.
    for (int n = 19; n >= 0; --n) {
        char name[16];
        std::snprintf(name, sizeof name, "%s%05d.ASF", n % 3 == 0 ? "SAV2" : "FILE", n);
        MakeRecording(name, 4096, 5000);
    }
    EXPECT_EQ(List(), 0);
    EXPECT_EQ(info_.latestindex, 19);
    EXPECT_STREQ(GetMostRecentIndex()->FileName, "FILE00019.ASF");
    EXPECT_STREQ(GetMostRecentIndex()->next->FileName, "SAV200018.ASF");
    EXPECT_EQ(GetNextIndex(&info_), 20);
    EXPECT_EQ(GetNumOfIndex(), 20) << "no entry made room for the next number";
}

TEST_F(FileListTest, MarkerForcesARebuildEvenWithAValidIndex) {
    MakeRecording("FILE00001.ASF", 1024, 1000);
    SaveIndexWith("FILE00777.ASF", 5000, kIndexStateEnd);
    Write("/mnt/mmc0_p1/DATA/FILE_DEL", "");
    std::string out;
    EXPECT_EQ(List(&out), 0);
    EXPECT_THAT(out, HasSubstr("FILE_DEL detected!! It will be removed.\n"
                               ".INDEXFILE3 will be remade after it's removed.\n"));
    EXPECT_FALSE(Exists("/mnt/mmc0_p1/DATA/FILE_DEL"));
    EXPECT_STREQ(GetMostRecentIndex()->FileName, "FILE00001.ASF");
    EXPECT_EQ(info_.latestindex, 1);
}

TEST_F(FileListTest, InsertionReplacesTheEntriesOfTheCardBefore) {
    MakeRecording("FILE00001.ASF", 1024, 1000);
    EXPECT_EQ(List(), 0);
    fs::remove(Path(IndexFilePath()));
    // The entries of the last insertion are not kept beside the rebuilt ones.
    EXPECT_EQ(List(), 0);
    EXPECT_EQ(GetNumOfIndex(), 1);
}

TEST_F(FileListTest, PowerDownStopsTheRebuildWithoutSaving) {
    MakeRecording("FILE00001.ASF", 1024, 1000);
    auto dr = NewDrCommon();
    dr->PWR_DET_State = 0;
    drc = dr.get();
    std::string out;
    const int r = List(&out);
    drc = nullptr;
    EXPECT_EQ(r, -1);
    EXPECT_THAT(out, HasSubstr("Detect Power Down during index file producing\n"));
    EXPECT_FALSE(Exists(IndexFilePath()));
    EXPECT_EQ(info_.MostRecentIndex, nullptr);

    // With power present the same card is indexed.
    dr->PWR_DET_State = 1;
    drc = dr.get();
    EXPECT_EQ(List(), 0);
    drc = nullptr;
    EXPECT_EQ(GetNumOfIndex(), 1);
    EXPECT_TRUE(Exists(IndexFilePath()));
}

TEST_F(FileListTest, CallersCommandTextRuns) {
    const std::string mark = Path("/sim/verinfo_ran");
    EXPECT_EQ(List(nullptr, ("echo ran > '" + mark + "'").c_str()), 0);
    EXPECT_EQ(Read("/sim/verinfo_ran"), "ran\n");
}

}  // namespace
