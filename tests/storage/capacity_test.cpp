// The card's capacity on the simulated board and the MBR reader.
#include <filesystem>

#include "CardTestSupport.h"
#include "platform/BoardPath.h"
#include "platform/CardCapacity.h"
#include "platform/CardCapacity.h"
#include "sim/SimCardCapacity.h"

namespace {

using diviv::CardCapacity;
using diviv::QueryCardCapacity;
using diviv::sim::kSimClusterBytes;

uint64_t FreeBytes(const char* mount) {
    CardCapacity c;
    EXPECT_EQ(QueryCardCapacity(mount, &c), 0);
    return c.free_blocks * c.block_size;
}

TEST_F(SmallCardTest, PartitionTableOfTheCardImage) {
    diviv::PartitionTable t;
    ASSERT_EQ(diviv::ReadPartitionTable(Path("/dev/mmcblk0"), &t), diviv::kPartitionTableOk);
    EXPECT_EQ(t[0].type, 0x0C);
    EXPECT_EQ(t[0].sectors, 256u * 2048);
    EXPECT_EQ(t[1].sectors, 32u * 2048);
    EXPECT_EQ(t[2].type, 0);

    // A sector without the boot signature holds no table; a missing image cannot be opened.
    Write("/dev/mmcblk0", std::string(512, '\0'));
    EXPECT_EQ(diviv::ReadPartitionTable(Path("/dev/mmcblk0"), &t), diviv::kPartitionTableUnreadable);
    Write("/dev/mmcblk0", "short");
    EXPECT_EQ(diviv::ReadPartitionTable(Path("/dev/mmcblk0"), &t), diviv::kPartitionTableUnreadable);
    EXPECT_EQ(diviv::ReadPartitionTable(Path("/dev/none"), &t), diviv::kPartitionTableCannotOpen);
}

TEST_F(SmallCardTest, PartitionSizesComeFromTheMbr) {
    CardCapacity c1, c2;
    ASSERT_EQ(QueryCardCapacity("/mnt/mmc0_p1", &c1), 0);
    ASSERT_EQ(QueryCardCapacity("/mnt/mmc0_p2", &c2), 0);
    EXPECT_EQ(c1.block_size * c1.total_blocks, 256u * kMiB);
    EXPECT_EQ(c2.block_size * c2.total_blocks, 32u * kMiB);
    // An empty card is all free; FAT has no file nodes to count.
    EXPECT_EQ(c1.free_blocks, c1.total_blocks);
    EXPECT_EQ(c1.avail_blocks, c1.free_blocks);
    EXPECT_EQ(c1.free_files, 0u);
    // The rooted path and a path inside the partition answer the same.
    CardCapacity rooted;
    ASSERT_EQ(QueryCardCapacity(BoardPath("/mnt/mmc0_p1"), &rooted), 0);
    EXPECT_EQ(rooted.total_blocks, c1.total_blocks);
    std::filesystem::create_directories(Path("/mnt/mmc0_p1/DATA"));
    ASSERT_EQ(QueryCardCapacity("/mnt/mmc0_p1/DATA", &rooted), 0);
    EXPECT_EQ(rooted.total_blocks, c1.total_blocks);
}

TEST_F(SmallCardTest, HeldBytesCountApparentSizesInWholeClusters) {
    const uint64_t empty = FreeBytes("/mnt/mmc0_p1");
    // A sparse 10 MiB file counts in full; one byte takes a whole cluster;
    // a folder takes one cluster.
    MakeRecording("FILE00001.ASF", 10 * kMiB, 1000);  // also makes DATA and DATA/00
    const uint64_t after = FreeBytes("/mnt/mmc0_p1");
    EXPECT_EQ(empty - after, 10 * kMiB + 2 * kSimClusterBytes);
    Write("/mnt/mmc0_p1/one", "x");
    EXPECT_EQ(after - FreeBytes("/mnt/mmc0_p1"), kSimClusterBytes);
    // Partition 2 is not affected by partition 1.
    CardCapacity c2;
    ASSERT_EQ(QueryCardCapacity("/mnt/mmc0_p2", &c2), 0);
    EXPECT_EQ(c2.free_blocks, c2.total_blocks);
}

TEST_F(SmallCardTest, OverfullCardReportsNothingFree) {
    MakeRecording("FILE00001.ASF", 300 * kMiB, 1000);
    EXPECT_EQ(FreeBytes("/mnt/mmc0_p1"), 0u);
}

TEST_F(CardTest, MissingPartitionOrImageIsAnError) {
    diviv::sim::SimBoardOptions one;
    one.partitions = {{0x0C, 0}};
    ASSERT_TRUE(diviv::sim::WriteCardImage(Path("/dev/mmcblk0"), one));
    CardCapacity c;
    EXPECT_EQ(QueryCardCapacity("/mnt/mmc0_p2", &c), -1);
    EXPECT_EQ(QueryCardCapacity("/mnt/mmc1_p1", &c), -1);  // no second card image
    EXPECT_EQ(QueryCardCapacity("/mnt/mmc0_p1", &c), 0);
    // Any other folder is answered by the host's file system.
    EXPECT_EQ(QueryCardCapacity("/var/tmp", &c), 0);
    EXPECT_GT(c.total_blocks, 0u);
}

}  // namespace
