#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "platform/Mount.h"
#include "platform/Owners.h"
#include "sim/SimCardSync.h"
#include "support/SimBoardFixture.h"

namespace {

class MountTest : public SimBoardTest {};

TEST_F(MountTest, UnmountRemovesOnlyThatPartitionAndTellsTheSimulator) {
    ASSERT_NE(Read("/proc/mounts").find(" /mnt/mmc0_p1 "), std::string::npos);
    EXPECT_EQ(diviv::UnmountCard("/mnt/mmc0_p1"), 0);
    const std::string mounts = Read("/proc/mounts");
    EXPECT_EQ(mounts.find(" /mnt/mmc0_p1 "), std::string::npos);
    EXPECT_NE(mounts.find("/dev/mmcblk0p2 /mnt/mmc0_p2 vfat"), std::string::npos);
    EXPECT_NE(mounts.find("proc /proc proc"), std::string::npos);
    EXPECT_EQ(Read("/sim/events.log"), "umount /mnt/mmc0_p1\n");

    // Nothing mounted there any more: fails like umount, and is not noted.
    EXPECT_EQ(diviv::UnmountCard("/mnt/mmc0_p1"), -1);
    EXPECT_EQ(diviv::UnmountCard("/mnt/mmc0_p"), -1) << "matched a prefix of a mount point";
    EXPECT_EQ(diviv::UnmountCard("/mnt/mmc0_p2"), 0);
    diviv::SyncDisks();
    EXPECT_EQ(Read("/sim/events.log"), "umount /mnt/mmc0_p1\numount /mnt/mmc0_p2\nsync\n");
}

// The simulated card remembers what each flush made durable, so a power cut
// can take back only the rest.
class CardSyncTest : public SimBoardTest {
protected:
    uint64_t Inode(const std::string& board_path) const {
        struct stat st {};
        return ::stat(Path(board_path).c_str(), &st) == 0 ? static_cast<uint64_t>(st.st_ino) : 0;
    }
};

TEST_F(CardSyncTest, ASyncNotesEveryCardFileAtItsSizeThen) {
    std::filesystem::create_directories(Path("/mnt/mmc0_p1/DATA/00"));
    std::filesystem::create_directories(Path("/mnt/mmc0_p2/DATA"));
    ASSERT_TRUE(Write("/mnt/mmc0_p1/DATA/00/FILE00000.ASF", std::string(300, 'a')));
    ASSERT_TRUE(Write("/mnt/mmc0_p2/DATA/.INDEXFILE3", "END"));
    ASSERT_TRUE(Write("/var/tmp/scratch", "not on the card"));
    diviv::SyncDisks();
    // Written on after the sync: the card only holds the 300 bytes.
    ASSERT_TRUE(Write("/mnt/mmc0_p1/DATA/00/FILE00000.ASF", std::string(900, 'a')));

    const auto synced = diviv::sim::ReadSyncedSizes(root_);
    EXPECT_EQ(synced.size(), 2u) << Read(diviv::sim::kSyncedLog);
    EXPECT_EQ(synced.at(Inode("/mnt/mmc0_p1/DATA/00/FILE00000.ASF")), 300u);
    EXPECT_EQ(synced.at(Inode("/mnt/mmc0_p2/DATA/.INDEXFILE3")), 3u);
    EXPECT_NE(Read(diviv::sim::kSyncedLog).find(" /mnt/mmc0_p1/DATA/00/FILE00000.ASF\n"), std::string::npos)
        << "the board path, for a reader of the log";
    EXPECT_EQ(Read("/sim/events.log"), "sync\n") << "the board's timeline still shows the sync";
}

TEST_F(CardSyncTest, AFileFlushNotesThatFileOnlyAndTheLastFlushCounts) {
    std::filesystem::create_directories(Path("/mnt/mmc0_p1/DATA/00"));
    const std::string a = "/mnt/mmc0_p1/DATA/00/FILE00001.ASF";
    const std::string b = "/mnt/mmc0_p1/DATA/00/FILE00002.ASF";
    ASSERT_TRUE(Write(a, std::string(100, 'a')));
    ASSERT_TRUE(Write(b, std::string(100, 'b')));
    EXPECT_EQ(diviv::SyncCardFileAt(Path(a).c_str()), 0);
    ASSERT_TRUE(Write(a, std::string(40, 'a')));  // rewritten shorter, flushed again
    {
        const diviv::OwnedFd fd(::open(Path(a).c_str(), O_RDONLY));
        EXPECT_EQ(diviv::SyncCardFile(fd.get()), 0);
    }
    const auto synced = diviv::sim::ReadSyncedSizes(root_);
    EXPECT_EQ(synced.size(), 1u) << Read(diviv::sim::kSyncedLog);
    EXPECT_EQ(synced.at(Inode(a)), 40u);
    EXPECT_EQ(synced.count(Inode(b)), 0u) << "a file flush is no sync of the whole card";

    // Files off the card and folders are not card files; failures are reported.
    ASSERT_TRUE(Write("/var/tmp/scratch", "x"));
    EXPECT_EQ(diviv::SyncCardFileAt(Path("/var/tmp/scratch").c_str()), 0);
    EXPECT_EQ(diviv::sim::ReadSyncedSizes(root_).size(), 1u);
    EXPECT_EQ(diviv::SyncCardFileAt(Path("/mnt/mmc0_p1/DATA/00/none.ASF").c_str()), -1);
    EXPECT_EQ(diviv::SyncCardFile(-1), -1);
}

}  // namespace
