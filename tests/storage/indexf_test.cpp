// The recorded-file index: ordering, counters, the deletion cursor, and the
// index file on the card.
#include <algorithm>
#include <random>
#include <vector>

#include <sys/stat.h>

#include "CardTestSupport.h"
#include "sim/SimCardSync.h"

namespace {

using ::testing::HasSubstr;

IndexFileStr Entry(const char* name, int64_t time, int lock = 0, int size = 100) {
    IndexFileStr e{};
    std::memcpy(e.FileName, name, std::min(std::strlen(name), sizeof e.FileName - 1));
    e.Time = time;
    e.Lock = lock;
    e.FileSize = size;
    return e;
}

IndexFileStr* Add(const char* name, int64_t time, int lock = 0, int point = kAddByTime) {
    const IndexFileStr e = Entry(name, time, lock);
    return AddIndex(&e, point);
}

// Names from the newest to the oldest, checking the links both ways.
std::vector<std::string> Names() {
    std::vector<std::string> names;
    const IndexFileStr* prev = nullptr;
    for (const IndexFileStr* e = GetMostRecentIndex(); e; e = e->next) {
        EXPECT_EQ(e->prev, prev);
        names.emplace_back(e->FileName);
        prev = e;
    }
    EXPECT_EQ(GetOldestIndex(), prev);
    EXPECT_EQ(static_cast<int>(names.size()), GetNumOfIndex());
    return names;
}

using Names_t = std::vector<std::string>;

class IndexTest : public CardTest {
protected:
    std::string IndexFile() const { return Path(IndexFilePath()); }
    void SetUp() override {
        CardTest::SetUp();
        std::filesystem::create_directories(Path("/mnt/mmc0_p2/DATA"));
    }
    int Load(std::string* out = nullptr) {
        int r = 0;
        const std::string text = Console([&] { r = LoadIndexFile(IndexFilePath().c_str()); });
        if (out) *out = text;
        return r;
    }
};

// --- list order and counters -------------------------------------------------

TEST_F(IndexTest, InsertionByTimeKeepsNewestFirstAndLaterEqualTimesNewer) {
    Add("FILE00002.ASF", 200);
    Add("FILE00001.ASF", 100);
    Add("FILE00004.ASF", 400);
    Add("FILE00003.ASF", 200);  // same time as 00002, inserted later
    EXPECT_EQ(Names(), (Names_t{"FILE00004.ASF", "FILE00003.ASF", "FILE00002.ASF", "FILE00001.ASF"}));
}

TEST_F(IndexTest, InsertionAtEitherEndIgnoresTime) {
    Add("FILE00001.ASF", 100, 0, kAddAtNewest);
    Add("FILE00002.ASF", 50, 0, kAddAtNewest);
    Add("FILE00003.ASF", 500, 0, kAddAtOldest);
    Add("FILE00004.ASF", 10, 0, 7);  // any other value: newest end
    EXPECT_EQ(Names(), (Names_t{"FILE00004.ASF", "FILE00002.ASF", "FILE00001.ASF", "FILE00003.ASF"}));
    // In a list out of time order, insertion by time still walks from the
    // oldest end and stops below the first newer entry.
    Add("FILE00005.ASF", 200);
    EXPECT_EQ(Names(),
              (Names_t{"FILE00004.ASF", "FILE00002.ASF", "FILE00001.ASF", "FILE00003.ASF", "FILE00005.ASF"}));
}

TEST_F(IndexTest, BulkInsertionMatchesOneByOne) {
    std::mt19937 rng(7);
    std::vector<IndexFileStr> batch;
    for (int i = 0; i < 500; ++i) {
        char name[16];
        std::snprintf(name, sizeof name, "FILE%05d.ASF", i);
        batch.push_back(Entry(name, static_cast<int64_t>(rng() % 50)));  // many equal times
    }
    // Both onto the same existing entries.
    auto seed = [] {
        Add("SAV100900.ASF", 10, 1);
        Add("FILE00901.ASF", 25);
        Add("FILE00902.ASF", 60);
    };
    seed();
    for (const auto& e : batch) AddIndex(&e, kAddByTime);
    const Names_t one_by_one = Names();
    DeleteAllIndex();
    seed();
    EXPECT_EQ(AddIndexByTime(batch), 500);
    EXPECT_EQ(Names(), one_by_one);
    EXPECT_EQ(GetNumOfIndex(), 503);
    EXPECT_EQ(GetNumOfEventIndex(), 1);
}

TEST_F(IndexTest, EventEntriesAreCountedByName) {
    IndexFileStr* a = Add("SAV100001.ASF", 1, 1);
    Add("SAV600002.ASF", 2, 0);  // counted by its name even when unlocked
    Add("FILE00003.ASF", 3, 1);  // locked but not counted as an event entry
    EXPECT_EQ(GetNumOfEventIndex(), 2);
    EXPECT_EQ(DeleteIndex(a, 1), 0);
    EXPECT_EQ(GetNumOfEventIndex(), 1);
    EXPECT_EQ(GetNumOfIndex(), 2);
    DeleteAllIndex();
    EXPECT_EQ(GetNumOfIndex(), 0);
    EXPECT_EQ(GetNumOfEventIndex(), 0);
    EXPECT_EQ(GetMostRecentIndex(), nullptr);
    EXPECT_EQ(GetDeleteIndex(), nullptr);
}

// --- deletion and the cursor ------------------------------------------------

TEST_F(IndexTest, CursorFollowsDeletionsWithProtection) {
    IndexFileStr* oldest = Add("FILE00001.ASF", 1);
    IndexFileStr* locked = Add("SAV200002.ASF", 2, 1);
    Add("FILE00003.ASF", 3);
    EXPECT_EQ(GetDeleteIndex(), oldest);  // unset cursor: the oldest
    EXPECT_EQ(DeleteIndex(oldest, 0), 0);
    EXPECT_EQ(GetDeleteIndex(), locked);  // moved to the newer neighbour
    EXPECT_EQ(DeleteIndex(locked, 0), -2);
    EXPECT_EQ(GetNumOfIndex(), 2);
    EXPECT_EQ(DeleteIndex(nullptr, 0), -1);
    // Without protection the locked entry goes and the cursor restarts at the oldest.
    EXPECT_EQ(DeleteIndex(locked, 1), 0);
    EXPECT_EQ(Names(), (Names_t{"FILE00003.ASF"}));
    EXPECT_EQ(GetDeleteIndex(), GetOldestIndex());
}

TEST_F(IndexTest, SearchByRecordingNumber) {
    Add("FILE00007.ASF", 1);
    Add("SAV800009.ASF", 2, 1);
    EXPECT_EQ(IndexLinkSearch(5), 0);
    std::string out = Console([] { EXPECT_EQ(IndexLinkSearch(9), -1); });
    EXPECT_EQ(out, "INDEX:index is locked(SAV800009.ASF)[no=9]\n");
    out = Console([] { EXPECT_EQ(IndexLinkSearch(7), 1); });
    EXPECT_EQ(out, "INDEX:index is deleted(FILE00007.ASF)[no=7]\n");
    EXPECT_EQ(Names(), (Names_t{"SAV800009.ASF"}));
    DeleteAllIndex();
    EXPECT_EQ(IndexLinkSearch(7), 0);
}

// --- index file ---------------------------------------------------------------

TEST_F(IndexTest, LineLayout) {
    IndexFileStr e = Entry("FILE00042.ASF", 1700000000, 1, 12345);
    e.BitRate = 2048;
    e.PictureSize = 1;
    e.Duration = 60;
    char line[kIndexLineLength + 1];
    FormatIndexLine(e, line);
    EXPECT_STREQ(line, "FILE00042.ASF 0012345 1700000000 2048 1 060 1\n");
    // Too many digits keep the leading ones; a short name is padded.
    e = Entry("SHORT", 5, 0, 12345678);
    e.Duration = 2097;
    FormatIndexLine(e, line);
    EXPECT_STREQ(line, "SHORT         1234567 0000000005 0000 0 209 0\n");
}

TEST_F(IndexTest, SaveAndLoadRoundTripOfThousandsOfEntries) {
    std::vector<IndexFileStr> all;
    for (int i = 0; i < 5000; ++i) {
        char name[16];
        std::snprintf(name, sizeof name, i % 7 == 0 ? "SAV3%05d.ASF" : "FILE%05d.ASF", i);
        IndexFileStr e = Entry(name, 1600000000 + i / 2, i % 7 == 0, i * 37);
        e.BitRate = 512 + i % 1500;
        e.PictureSize = i % 2;
        e.Duration = i % 1000;
        all.push_back(e);
    }
    AddIndexByTime(all);
    const Names_t saved = Names();
    ASSERT_EQ(SaveIndexFile(IndexFilePath().c_str(), kIndexStateEnd), 0);
    const std::string text = Read(IndexFilePath());
    EXPECT_EQ(text.size(), 5000u * kIndexLineLength + 3);
    EXPECT_EQ(text.substr(text.size() - 4), "\nEND");

    DeleteAllIndex();
    std::string out;
    EXPECT_EQ(Load(&out), kIndexLoadOk);
    EXPECT_THAT(out, HasSubstr("LoadIndexFile called \nINDEX FILE IS VALID !!\n"));
    EXPECT_EQ(Names(), saved);
    EXPECT_EQ(GetNumOfEventIndex(), 715);
    // Every field survives.
    const IndexFileStr* e = GetMostRecentIndex();
    const IndexFileStr& want = all.back();  // newest: latest time, inserted last
    EXPECT_STREQ(e->FileName, want.FileName);
    EXPECT_EQ(e->FileSize, want.FileSize);
    EXPECT_EQ(e->Time, want.Time);
    EXPECT_EQ(e->BitRate, want.BitRate);
    EXPECT_EQ(e->PictureSize, want.PictureSize);
    EXPECT_EQ(e->Duration, want.Duration);
    EXPECT_EQ(e->Lock, want.Lock);
    // A new recording goes on top of the loaded list.
    Add("FILE09999.ASF", 1700000000);
    EXPECT_STREQ(GetMostRecentIndex()->FileName, "FILE09999.ASF");
}

TEST_F(IndexTest, ASavedIndexIsOnTheCardWholeWhenTheSaveReturns) {
    Add("FILE00001.ASF", 1);
    Add("FILE00002.ASF", 2);
    ASSERT_EQ(SaveIndexFile(IndexFilePath().c_str(), kIndexStateStart), 0);
    struct stat st {};
    ASSERT_EQ(::stat(IndexFile().c_str(), &st), 0);
    ASSERT_EQ(st.st_size, 2 * 46 + 5);
    // The card's own flush saw the whole file: a power cut now loses none of it.
    const auto synced = diviv::sim::ReadSyncedSizes(root_);
    ASSERT_EQ(synced.count(static_cast<uint64_t>(st.st_ino)), 1u) << Read(diviv::sim::kSyncedLog);
    EXPECT_EQ(synced.at(static_cast<uint64_t>(st.st_ino)), static_cast<uint64_t>(st.st_size));
}

TEST_F(IndexTest, OnlyEndTrailerIsAValidEmptyIndex) {
    Add("FILE00001.ASF", 1);  // replaced by the file's content
    Write(IndexFilePath(), "END");
    EXPECT_EQ(Load(), kIndexLoadOk);
    EXPECT_EQ(GetNumOfIndex(), 0);
    SaveIndexFile(IndexFilePath().c_str(), kIndexStateStart);
    EXPECT_EQ(Read(IndexFilePath()), "START");
}

TEST_F(IndexTest, IncompleteOrMalformedFilesAreNeverPartlyUsed) {
    const std::string good = "FILE00001.ASF 0000100 0000000100 2048 0 060 0\n";
    struct Case {
        std::string text;
        const char* message;
    };
    const Case cases[] = {
        {good + "START", "INDEX FILE IS INVALID !!"},
        {good + good.substr(0, 44) + "\nEND", "[len=45 Ideal=46]"},
        {good, "INDEX FILE IS NO DATA !!"},
        {"", "INDEX FILE IS NO DATA !!"},
        {good + std::string(120, 'x') + "\nEND", "File Broken Error!!"},
        // A name that would lead a deletion out of its folder.
        {"../../x.ASF   0000100 0000000100 2048 0 060 0\nEND", "INDEX FILE IS INVALID !!"},
    };
    for (const Case& c : cases) {
        Add("FILE00099.ASF", 1);
        Write(IndexFilePath(), c.text);
        std::string out;
        EXPECT_EQ(Load(&out), kIndexLoadBroken) << c.text;
        EXPECT_THAT(out, HasSubstr(c.message)) << c.text;
        EXPECT_EQ(GetNumOfIndex(), 0) << c.text;
        EXPECT_EQ(GetMostRecentIndex(), nullptr);
    }
    std::filesystem::remove(IndexFile());
    EXPECT_EQ(Load(), kIndexLoadNoFile);
}

TEST_F(IndexTest, SaveIntoAMissingFolderFails) {
    std::filesystem::remove_all(Path("/mnt/mmc0_p2/DATA"));
    EXPECT_EQ(SaveIndexFile(IndexFilePath().c_str(), kIndexStateEnd), -1);
}

}  // namespace
