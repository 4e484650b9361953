// The board's device interfaces, per backend: argument checks, errno turned
// into -errno, and what each backend leaves on the board.
#include <fcntl.h>
#include <linux/input.h>
#include <linux/videodev2.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <string>

#include "platform/Board.h"
#include "platform/BoardPath.h"
#include "platform/linux/LinuxBoard.h"
#include "sim/DeviceModel.h"
#include "sim/SimulatedBoard.h"
#include "support/SimBoardFixture.h"

namespace {

using diviv::linux_board::LinuxCard;
using diviv::linux_board::LinuxCamera;
using diviv::linux_board::LinuxInputs;
using diviv::linux_board::LinuxLeds;
using diviv::linux_board::LinuxPower;
using diviv::linux_board::OpenLinuxDevice;

// The Linux backend on a board root made of plain files: the system calls
// are real, and a plain file answers device requests the way the kernel does.
class LinuxBoardTest : public SimBoardTest {};

TEST_F(LinuxBoardTest, DevicesAnswerWithMinusErrno) {
    int error = 0;
    EXPECT_EQ(OpenLinuxDevice("/dev/no-such-device", O_RDWR, &error), nullptr);
    EXPECT_EQ(error, -ENOENT);

    ASSERT_TRUE(Write("/dev/plain", std::string(8192, 'x')));
    auto dev = OpenLinuxDevice("/dev/plain", O_RDWR, &error);
    ASSERT_NE(dev, nullptr);
    EXPECT_EQ(error, 0);
    EXPECT_EQ(dev->path(), "/dev/plain");
    v4l2_capability cap{};
    EXPECT_EQ(dev->Ioctl(VIDIOC_QUERYCAP, &cap), -ENOTTY) << "a plain file is no V4L2 device";

    std::array<std::byte, 16> buf{};
    EXPECT_EQ(dev->Read(buf), 16);
    EXPECT_EQ(dev->Read(std::span<std::byte>()), 0) << "an empty read asks nothing of the backend";
    EXPECT_GT(dev->Poll(POLLIN, 0), 0);
    EXPECT_EQ(dev->Poll(0, 0), -EINVAL);

    int map_error = 1;
    EXPECT_FALSE(dev->Map(0, 0, &map_error)) << "zero length";
    EXPECT_EQ(map_error, -EINVAL);
    EXPECT_FALSE(dev->Map(4096, -4096, &map_error));
    EXPECT_EQ(map_error, -EINVAL);
    diviv::MappedMemory m = dev->Map(4096, 0, &map_error);
    ASSERT_TRUE(m);
    EXPECT_EQ(map_error, 0);
    EXPECT_EQ(static_cast<const char*>(m.data())[100], 'x');
    EXPECT_EQ(m.Reset(), 0);
    EXPECT_FALSE(m);

    auto ro = OpenLinuxDevice("/dev/plain", O_RDONLY, &error);
    ASSERT_NE(ro, nullptr);
    const std::array<std::byte, 1> one{};
    EXPECT_EQ(ro->Write(one), -EBADF);
    EXPECT_FALSE(ro->Map(4096, 0, &map_error)) << "shared writable mapping of a read-only descriptor";
    EXPECT_EQ(map_error, -EACCES);
}

TEST_F(LinuxBoardTest, FilesOfTheBoardAreWrittenAndReadUnderTheRoot) {
    LinuxLeds leds;
    EXPECT_EQ(leds.WriteAttribute("LED1", "brightness", "1"), 0);
    EXPECT_EQ(Read("/sys/class/leds/LED1/brightness"), "1");
    EXPECT_EQ(leds.WriteAttribute("LED9", "brightness", "1"), -ENOENT) << "nothing is created";

    LinuxInputs inputs;
    char buf[16] = {};
    EXPECT_EQ(inputs.ReadDriverFile("/proc/driver/input", buf, 9), 9);
    EXPECT_EQ(std::string(buf, 8), "00001e00");
    EXPECT_EQ(inputs.ReadDriverFile("/proc/driver/none", buf, 9), -ENOENT);
    EXPECT_EQ(inputs.ReadDriverFile("/proc/driver/input", nullptr, 9), -EINVAL);
    EXPECT_EQ(inputs.ReadDriverFile("/proc/driver/input", buf, 0), -EINVAL);
    int error = 0;
    EXPECT_FALSE(inputs.OpenEventDevice("/dev/input/none", &error));
    EXPECT_EQ(error, -ENOENT);

    LinuxCamera camera;
    EXPECT_EQ(camera.WriteVideoMode("1:2\n"), 0);
    EXPECT_EQ(camera.ReadFile("video_mode"), "1:2\n");
    EXPECT_EQ(camera.ReadFile("no_such_file"), "");

    LinuxPower power;
    EXPECT_EQ(power.ReadState().substr(0, 5), Read("/proc/driver/power").substr(0, 5));
}

TEST_F(LinuxBoardTest, CardQueriesRefuseWhatTheyCannotAnswer) {
    LinuxCard card;
    diviv::CardCapacity c;
    EXPECT_EQ(card.Capacity("/mnt/mmc0_p1", nullptr), -EINVAL);
    EXPECT_EQ(card.Capacity("/no/such/folder", &c), -ENOENT);
    EXPECT_EQ(card.Capacity("/mnt/mmc0_p1", &c), 0) << "statfs of the host folder";
    diviv::PartitionTable t;
    EXPECT_EQ(card.PartitionTable("/dev/mmcblk0", &t), diviv::kPartitionTableOk);
    EXPECT_EQ(t[0].type, 0x0C);
    EXPECT_EQ(card.PartitionTable("/dev/mmcblk0", nullptr), diviv::kPartitionTableUnreadable);
    EXPECT_FALSE(card.MountLines().empty());
    EXPECT_FALSE(card.MmcDevices().empty());
    if (::geteuid() != 0) {
        EXPECT_LT(card.Unmount("/mnt/mmc0_p1"), 0) << "no privilege, nothing mounted there";
    }
}

// The simulated backend: what differs from the plain files.
class SimBoardBackendTest : public SimBoardTest {};

TEST_F(SimBoardBackendTest, PowerCommandsGoToTheCommandLogAndTheStateStaysReadable) {
    const std::string state = Read("/proc/driver/power");
    EXPECT_EQ(diviv::TheBoard().Power().WriteCommand("1\n"), 0);
    EXPECT_EQ(diviv::TheBoard().Power().WriteCommand("2\n"), 0);
    EXPECT_EQ(Read("/proc/driver/power_cmd"), "1\n2\n");
    EXPECT_EQ(Read("/proc/driver/power"), state);
}

TEST_F(SimBoardBackendTest, UnmountEditsTheMountsFileAndNotesIt) {
    diviv::CardStorage& card = diviv::TheBoard().Card();
    EXPECT_EQ(card.Unmount("/mnt/mmc0_p1"), 0);
    EXPECT_LT(card.Unmount("/mnt/mmc0_p1"), 0) << "nothing mounted there any more";
    for (const std::string& line : card.MountLines()) EXPECT_EQ(line.find(" /mnt/mmc0_p1 "), std::string::npos);
    card.Sync();
    EXPECT_EQ(Read("/sim/events.log"), "umount /mnt/mmc0_p1\nsync\n");
    EXPECT_EQ(card.DropPageCache(), 0) << "the root's own file, never the host's";
}

TEST_F(SimBoardBackendTest, CardCapacityIsSimulatedOnlyOnCardMountPoints) {
    diviv::CardCapacity c;
    ASSERT_EQ(diviv::TheBoard().Card().Capacity("/mnt/mmc0_p2", &c), 0);
    EXPECT_EQ(c.total_blocks * c.block_size, 64ull << 20) << "the partition's size from the card image";
    EXPECT_EQ(diviv::TheBoard().Card().Capacity("/var/tmp", &c), 0) << "the host's folder";
    EXPECT_EQ(diviv::TheBoard().Card().Capacity("/mnt/mmc1_p1", &c), -ENOENT) << "no second card";
}

TEST_F(SimBoardBackendTest, EventDevicesAreFifosWokenWithAnEmptyRecord) {
    int error = 0;
    diviv::TheBoard().InputDevices().WakeEventDevice("/dev/input/event0");  // no reader: nothing happens
    diviv::TheBoard().InputDevices().WakeEventDevice("/proc/driver/input");  // not a FIFO: left alone
    EXPECT_EQ(Read("/proc/driver/input"), "00001e00\n");
    diviv::OwnedFd w(::open(Path("/dev/input/event0").c_str(), O_RDWR | O_NONBLOCK));  // keeps the FIFO open
    ASSERT_TRUE(w);
    diviv::OwnedFd fd = diviv::TheBoard().InputDevices().OpenEventDevice("/dev/input/event0", &error);
    ASSERT_TRUE(fd) << error;
    diviv::TheBoard().InputDevices().WakeEventDevice("/dev/input/event0");
    input_event ev{};
    ev.type = 99;
    EXPECT_EQ(::read(fd.get(), &ev, sizeof ev), static_cast<ssize_t>(sizeof ev));
    EXPECT_EQ(ev.type, 0);
}

TEST_F(SimBoardBackendTest, DeviceModelsAreFoundByPathAndFailOnRequest) {
    int error = 0;
    EXPECT_EQ(diviv::TheBoard().OpenDevice("/dev/gsensor-none", O_RDWR, &error), nullptr);
    EXPECT_EQ(error, -ENOENT);

    // A small model: answers every request with 7, reads with one byte.
    class Echo final : public diviv::sim::DeviceModel {
    public:
        using DeviceModel::DeviceModel;
        int DoIoctl(unsigned long request, void*) override {
            const int f = TakeFault(diviv::sim::FaultOp::kIoctl, request);
            return f != 0 ? f : 7;
        }
        ssize_t DoRead(std::span<std::byte>) override {
            const int f = TakeFault(diviv::sim::FaultOp::kRead);
            return f != 0 ? f : 1;
        }
        ssize_t DoWrite(std::span<const std::byte> d) override { return static_cast<ssize_t>(d.size()); }
        int DoPoll(short events, int) override { return events; }
        diviv::MappedMemory DoMap(size_t, off_t, int* error) override {
            *error = -ENODEV;
            return {};
        }
    };
    Echo* last = nullptr;
    board().Devices().Register("/dev/echo", [&](const std::string& path, int, int*) {
        auto e = std::make_unique<Echo>(path);
        last = e.get();
        return e;
    });
    auto dev = diviv::TheBoard().OpenDevice("/dev/echo", O_RDWR, &error);
    ASSERT_NE(dev, nullptr);
    EXPECT_EQ(dev->Ioctl(0x4700, nullptr), 7);

    last->InjectFault({diviv::sim::FaultOp::kIoctl, 0x4701, EIO, 0, 2});
    EXPECT_EQ(dev->Ioctl(0x4700, nullptr), 7) << "aimed at another request";
    EXPECT_EQ(dev->Ioctl(0x4701, nullptr), -EIO);
    EXPECT_EQ(dev->Ioctl(0x4701, nullptr), -EIO);
    EXPECT_EQ(dev->Ioctl(0x4701, nullptr), 7) << "the fault applied twice, then ends";

    last->InjectFault({diviv::sim::FaultOp::kRead, 0, EAGAIN, 50, 1});
    std::array<std::byte, 4> b{};
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(dev->Read(b), -EAGAIN);
    EXPECT_GE(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(50)) << "stalled first";
    EXPECT_EQ(dev->Read(b), 1);

    int map_error = 0;
    EXPECT_FALSE(dev->Map(4096, 0, &map_error));
    EXPECT_EQ(map_error, -ENODEV);
}

TEST_F(SimBoardBackendTest, BoardRequestsAreServedOnceOnTheSimulatedBoardOnly) {
    std::string asked;
    const auto shot = [&](const std::string& png) { asked += png + ";"; };
    ASSERT_TRUE(Write(diviv::sim::kScreenshotRequestFile, "shots/a.png\n"));
    diviv::MakeLinuxBoard()->ServeBoardRequests(shot);
    EXPECT_EQ(asked, "") << "the real board asks nothing";
    board().ServeBoardRequests(shot);
    board().ServeBoardRequests(shot);
    EXPECT_EQ(asked, "shots/a.png;");
    EXPECT_EQ(diviv::TheBoard().Display().DirectFbArgs().find("system=dummy"), 0u);
    EXPECT_EQ(diviv::MakeLinuxBoard()->Display().DirectFbArgs(), "");
}

TEST(OwnersTest, CloseAndReleaseExactlyOnce) {
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    {
        diviv::OwnedFd a(fds[0]);
        diviv::OwnedFd b(std::move(a));
        EXPECT_FALSE(a.valid());
        EXPECT_EQ(b.get(), fds[0]);
    }
    EXPECT_EQ(::fcntl(fds[0], F_GETFD), -1) << "closed by the owner";
    diviv::OwnedFd c(fds[1]);
    EXPECT_EQ(c.Release(), fds[1]);
    EXPECT_EQ(::fcntl(fds[1], F_GETFD), 0) << "given up, not closed";
    ::close(fds[1]);

    int released = 0;
    {
        diviv::MappedMemory m(&released, 4, [&](void*, size_t n) {
            released += static_cast<int>(n);
            return 0;
        });
        diviv::MappedMemory moved = std::move(m);
        EXPECT_FALSE(m);
    }
    EXPECT_EQ(released, 4);
}

}  // namespace
