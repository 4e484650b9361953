// Card presence, mount state, the layout check and the version file.
#include <filesystem>

#include "CardTestSupport.h"
#include "storage/sdcheck.h"

namespace {

namespace fs = std::filesystem;
using diviv::sim::SimBoardOptions;
using diviv::sim::SimPartition;
using ::testing::HasSubstr;
using ::testing::Not;

class SdCheckTest : public CardTest {
protected:
    void SetPartitions(std::vector<SimPartition> parts) {
        SimBoardOptions o;
        o.partitions = std::move(parts);
        ASSERT_TRUE(diviv::sim::WriteCardImage(Path("/dev/mmcblk0"), o));
    }
    void Dir(const std::string& name) { fs::create_directories(Path("/mnt/mmc0_p1/" + name)); }
    void File(const std::string& name) { ASSERT_TRUE(Write("/mnt/mmc0_p1/" + name, "x")); }
    int Check(std::string* out) {
        int r = 0;
        *out = Console([&] { r = CheckSDC(); });
        return r;
    }
};

// --- layout check ---------------------------------------------------------

TEST_F(SdCheckTest, UsableCardWithSetupFile) {
    Dir("DATA");
    Dir("System Volume Information");
    File("setup.ini");
    std::string out;
    EXPECT_EQ(Check(&out), 4);
    EXPECT_THAT(out, HasSubstr("Start CheckSDC()\n"));
    EXPECT_THAT(out, HasSubstr("### Partition Type is 12\n"));
    EXPECT_THAT(out, HasSubstr("### Partition Type2 is 12\n"));
    EXPECT_THAT(out, HasSubstr("Dir  found [DATA]\nReserved type matched\nCheckSDC() : Found DATA directory\n"
                               "CheckSDC() : [DATA] is reserved : OK\n"));
    EXPECT_THAT(out, HasSubstr("File found [setup.ini]\n"));
    EXPECT_THAT(out, HasSubstr("1.Number of partitions : 2\n"));
    EXPECT_THAT(out, HasSubstr("  Partition 0 : Type = FAT\n  Partition 1 : Type = FAT\n"));
    EXPECT_THAT(out, HasSubstr("3.Result of File/Dir in partition 1   : OK\n"));
    EXPECT_THAT(out, HasSubstr("CheckSDC() : Done\n"));
}

TEST_F(SdCheckTest, UnlistedNameMakesTheCardUnusableButKeepsTheSetupBit) {
    Dir("DATA");
    Dir("System Volume Information");
    File("setup.ini");
    File("holiday.jpg");
    std::string out;
    EXPECT_EQ(Check(&out), 5);
    EXPECT_THAT(out, HasSubstr("CheckSDC() : [holiday.jpg] does not exist in reserved file info : NG\n"));
    EXPECT_THAT(out, HasSubstr("3.Result of File/Dir in partition 1   : NG\n"));
    EXPECT_THAT(out, HasSubstr("CheckSDC() : SD Card Error\n"));
}

TEST_F(SdCheckTest, ReservedNamesMustHaveTheirKindAndCase) {
    File("DATA");  // a file where the folder belongs
    std::string out;
    EXPECT_EQ(Check(&out), 1);
    EXPECT_THAT(out, HasSubstr("File found [DATA]\nCheckSDC() : Unknown file/dir found [1/0]\n"));
    EXPECT_THAT(out, HasSubstr("CheckSDC() : [DATA] does not exist in reserved file info : NG\n"));

    fs::remove(Path("/mnt/mmc0_p1/DATA"));
    Dir("DATA");
    Dir("data");  // names compare with case
    EXPECT_EQ(Check(&out), 1);
    EXPECT_THAT(out, HasSubstr("[data] does not exist in reserved file info : NG"));
}

TEST_F(SdCheckTest, UpperCaseSetupFileIsAcceptedWithoutTheSetupBit) {
    Dir("DATA");
    Dir("Viewer");
    File("SETUP.INI");
    File("DiVivVer.ini");
    std::string out;
    EXPECT_EQ(Check(&out), 0);
    EXPECT_THAT(out, HasSubstr("CheckSDC() : [SETUP.INI] is reserved : OK\n"));
}

TEST_F(SdCheckTest, HiddenNamesAreNotExamined) {
    Dir("DATA");
    File(".Trash-1000");
    std::string out;
    EXPECT_EQ(Check(&out), 0);
    EXPECT_THAT(out, Not(HasSubstr(".Trash")));
}

TEST_F(SdCheckTest, SinglePartitionOrMissingDataNeedsFormatting) {
    SetPartitions({{0x06, 0}});
    Dir("DATA");
    std::string out;
    EXPECT_EQ(Check(&out), 2);
    EXPECT_THAT(out, HasSubstr("### Partition Type is 6\n"));
    EXPECT_THAT(out, Not(HasSubstr("Partition Type2")));
    EXPECT_THAT(out, HasSubstr("1.Number of partitions : 1\n"));
    EXPECT_THAT(out, HasSubstr("CheckSDC() : Need to format SD card\n"));

    SetPartitions({{0x0C, 0}, {0x0B, 64}});
    fs::remove(Path("/mnt/mmc0_p1/DATA"));
    File("setup.ini");
    EXPECT_EQ(Check(&out), 6);
}

TEST_F(SdCheckTest, UnreadableRootIsFormattedNotRefused) {
    fs::remove_all(Path("/mnt/mmc0_p1"));
    std::string out;
    EXPECT_EQ(Check(&out), 2);
    EXPECT_THAT(out, HasSubstr("3.Result of File/Dir in partition 1   : OK\n"));
}

TEST_F(SdCheckTest, WrongPartitionLayoutsAreUnusable) {
    Dir("DATA");
    std::string out;
    SetPartitions({{0x0C, 100}, {0x0C, 100}, {0x0C, 0}});
    EXPECT_EQ(Check(&out), 1);
    EXPECT_THAT(out, HasSubstr("SDCheck() : Error :: Recognized Partition Number is 3\n"));
    EXPECT_THAT(out, Not(HasSubstr("SD Check Result")));

    SetPartitions({{0x83, 0}});
    EXPECT_EQ(Check(&out), 1);
    EXPECT_THAT(out, HasSubstr("### Partition Type is 131\nSDCheck() : Error :: Illegal Partition Type Found [131]\n"));

    SetPartitions({{0x0C, 100}, {0x07, 0}});
    EXPECT_EQ(Check(&out), 1);
    EXPECT_THAT(out, HasSubstr("### Partition Type2 is 7\n"));

    Write("/dev/mmcblk0", std::string(512, '\0'));  // no partition table
    EXPECT_EQ(Check(&out), 1);
    EXPECT_THAT(out, HasSubstr("Error: Could not count the number of partitions [/dev/mmcblk0]\n"));
    EXPECT_THAT(out, HasSubstr("Recognized Partition Number is 0\n"));

    fs::remove(Path("/dev/mmcblk0"));
    EXPECT_EQ(Check(&out), 1);
    EXPECT_THAT(out, HasSubstr("Error: Could not open /dev/mmcblk0\n"));
}

// --- presence and mount state ---------------------------------------------

TEST_F(SdCheckTest, PresenceFollowsTheDeviceFolder) {
    EXPECT_EQ(CheckSDStatus(), 1);
    fs::remove_all(Path("/sys/bus/mmc/devices/mmc0:0001"));
    fs::create_directories(Path("/sys/bus/mmc/devices/mmc1:0001"));
    EXPECT_EQ(CheckSDStatus(), 0);
    fs::remove_all(Path("/sys/bus/mmc/devices"));
    EXPECT_EQ(CheckSDStatus(), 0);
}

TEST_F(SdCheckTest, MountStateOfEachSlot) {
    std::string out = Console([] { EXPECT_EQ(CheckSD(1), 1); });
    EXPECT_EQ(out, "");
    EXPECT_EQ(CheckSD(2), -1);  // no second card mounted
    EXPECT_EQ(CheckSD(3), -1);

    ASSERT_TRUE(diviv::sim::WriteMounts(root_, true, false));
    out = Console([] { EXPECT_EQ(CheckSD(1), 0); });
    EXPECT_THAT(out, HasSubstr("### This SD Card [/dev/mmcblk0] is Read Only\n"));

    ASSERT_TRUE(diviv::sim::WriteMounts(root_, false, true));
    EXPECT_EQ(CheckSD(1), -1);

    // The last line of the device decides; lines of other devices do not count.
    Write("/proc/mounts",
          "/dev/mmcblk1p1 /mnt/mmc1_p1 vfat rw,relatime 0 0\n"
          "/dev/mmcblk0p1 /mnt/mmc0_p1 vfat ro,relatime 0 0\n"
          "/dev/mmcblk0p2 /mnt/mmc0_p2 vfat rw,relatime 0 0\n");
    EXPECT_EQ(CheckSD(1), 1);
    EXPECT_EQ(CheckSD(2), 1);
}

TEST_F(SdCheckTest, UnwritableScratchFileReportsUnreadableState) {
    fs::remove_all(Path("/var/tmp"));
    const std::string out = Console([] { EXPECT_EQ(CheckSD(1), -1); });
    EXPECT_THAT(out, HasSubstr("CheckSD() : Can not open /var/tmp/mountinfo\n"));
}

// --- version file ----------------------------------------------------------

TEST_F(SdCheckTest, VersionFileShowsTheRunningVersion) {
    EXPECT_STREQ(VersionFileLine(), "DIVIV_VERSION=03.01.01.03\n");
    std::string out = Console(VersionFileCheck);
    EXPECT_THAT(out, HasSubstr("DiViv : Create a version file.\n"));
    EXPECT_EQ(Read("/mnt/mmc0_p1/DiVivVer.ini"), "DIVIV_VERSION=03.01.01.03\n");

    // Up to date: left alone.
    out = Console(VersionFileCheck);
    EXPECT_EQ(out, "");

    // Another version is rewritten.
    Write("/mnt/mmc0_p1/DiVivVer.ini", "DIVIV_VERSION=03.01.01.02\n");
    out = Console(VersionFileCheck);
    EXPECT_THAT(out, HasSubstr("Create a version file."));
    EXPECT_EQ(Read("/mnt/mmc0_p1/DiVivVer.ini"), "DIVIV_VERSION=03.01.01.03\n");
}

TEST_F(SdCheckTest, VersionFileThatCannotBeWrittenIsReported) {
    fs::remove_all(Path("/mnt/mmc0_p1"));
    const std::string out = Console(VersionFileCheck);
    EXPECT_THAT(out, HasSubstr("DiViv : Can not create a version file!!\n"));
}

}  // namespace
