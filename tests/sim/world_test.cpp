// The world file: boardsim writes steps, device models take them once.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "platform/Clock.h"
#include "sim/World.h"
#include "support/SimBoardFixture.h"

using namespace diviv::sim;

TEST(WorldText, ParsesKeyValueLinesAndKeepsUnknownKeys) {
    const WorldValues v = ParseWorld(
        "# comment\n"
        "\n"
        "camera_drop = 5\r\n"
        "speed_kmh=42.5\n"
        "no equals sign here\n"
        "=7\n"
        "camera_drop=6\n"
        "gps_route=a=b");
    EXPECT_EQ(v.at("camera_drop"), "6") << "a later key wins";
    EXPECT_EQ(v.at("speed_kmh"), "42.5");
    EXPECT_EQ(v.at("gps_route"), "a=b");
    EXPECT_EQ(v.size(), 3u);
    EXPECT_EQ(ParseWorld(FormatWorld(v)), v);
}

class WorldFile : public SimBoardTest {
protected:
    std::string File() const { return Path(kWorldFile); }
};

TEST_F(WorldFile, OneShotStepsAreTakenOnceEach) {
    WorldWriter writer(File());
    WorldReader reader(File());
    reader.Refresh();
    EXPECT_EQ(reader.TakeOnce(kWorldCameraDrop, kWorldCameraDropGen), 0) << "no step yet";

    ASSERT_TRUE(writer.CameraDrop(5));
    reader.Refresh();
    EXPECT_EQ(reader.TakeOnce(kWorldCameraDrop, kWorldCameraDropGen), 5);
    EXPECT_EQ(reader.TakeOnce(kWorldCameraDrop, kWorldCameraDropGen), 0);
    reader.Refresh();
    EXPECT_EQ(reader.TakeOnce(kWorldCameraDrop, kWorldCameraDropGen), 0) << "the file did not change";

    // The same value again is a new step; written at once after the last,
    // within one time-stamp tick of the file system.
    ASSERT_TRUE(writer.CameraDrop(5));
    reader.Refresh();
    EXPECT_EQ(reader.TakeOnce(kWorldCameraDrop, kWorldCameraDropGen), 5);
    ASSERT_TRUE(writer.CameraEio(2));
    reader.Refresh();
    EXPECT_EQ(reader.TakeOnce(kWorldCameraDrop, kWorldCameraDropGen), 0);
    EXPECT_EQ(reader.TakeOnce(kWorldCameraEio, kWorldCameraEioGen), 2);

    // A second reader (another process) takes the latest step of each kind.
    WorldReader other(File());
    other.Refresh();
    EXPECT_EQ(other.TakeOnce(kWorldCameraDrop, kWorldCameraDropGen), 5);
    EXPECT_EQ(other.TakeOnce(kWorldCameraEio, kWorldCameraEioGen), 2);
}

TEST_F(WorldFile, SeesEveryRewriteEvenWithinOneTimeStampTick) {
    WorldWriter writer(File());
    WorldReader reader(File());
    for (int i = 1; i <= 50; ++i) {
        writer.SetInt("speed_kmh", i % 10);  // sizes repeat, inodes may be reused
        ASSERT_TRUE(writer.Write());
        reader.Refresh();
        ASSERT_EQ(reader.Int("speed_kmh"), i % 10) << "write " << i;
    }
}

TEST_F(WorldFile, WriterKeepsWhatIsThereAndRaisesGenerations) {
    {
        WorldWriter first(File());
        first.Set("future_sensor", "on");
        ASSERT_TRUE(first.CameraDrop(3));
    }
    WorldWriter second(File());  // a new boardsim run on the same board
    ASSERT_TRUE(second.CameraDrop(4));
    WorldReader reader(File());
    reader.Refresh();
    EXPECT_EQ(reader.Int(kWorldCameraDropGen), 2);
    EXPECT_EQ(reader.Text("future_sensor"), "on");
    // Written atomically: no temporary file is left beside it.
    int files = 0;
    for (const auto& e : std::filesystem::directory_iterator(Path("/sim")))
        files += e.path().filename().string().rfind("world", 0) == 0;
    EXPECT_EQ(files, 1);
}

TEST_F(WorldFile, StallIsAnAbsoluteBoardClockTime) {
    WorldWriter writer(File());
    const int64_t before = diviv::MonotonicMs();
    ASSERT_TRUE(writer.CameraStall(1500));
    WorldReader reader(File());
    reader.Refresh();
    const int64_t until = reader.Int(kWorldCameraStallUntilMs);
    EXPECT_GE(until, before + 1500);
    EXPECT_LE(until, diviv::MonotonicMs() + 1500);
}

TEST_F(WorldFile, MissingOrBrokenValuesReadAsFallback) {
    WorldReader reader(File());
    reader.Refresh();
    EXPECT_TRUE(reader.values().empty());
    EXPECT_EQ(reader.Int(kWorldCameraMaxBuffers, -1), -1);
    ASSERT_TRUE(WriteTextFile(File(), "camera_max_buffers=two\ncamera_drop=\n"));
    reader.Refresh();
    EXPECT_EQ(reader.Int(kWorldCameraMaxBuffers, -1), -1);
    EXPECT_EQ(reader.Int(kWorldCameraDrop, -1), -1);
    std::filesystem::remove(File());
    EXPECT_TRUE(reader.Refresh()) << "a removed file empties the world";
    EXPECT_TRUE(reader.values().empty());
}
