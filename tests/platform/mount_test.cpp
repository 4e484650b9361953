#include <gtest/gtest.h>

#include "platform/Mount.h"
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

}  // namespace
