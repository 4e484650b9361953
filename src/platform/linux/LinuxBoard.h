// The Linux board: every device interface made of the real system calls on
// the board's paths (resolved under the board root, which is empty on the
// board itself).
//
// The pieces are public so the simulated board can reuse the ones that are
// plain files on both boards (LEDs, driver state files, camera driver files).
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/Board.h"

namespace diviv::linux_board {

// errno of the last failed call as the layer's result (-errno).
int LastError();

// A character device opened with open(2): requests are ioctl(2), memory is
// mmap(2).
class LinuxDevice final : public Device {
public:
    LinuxDevice(std::string board_path, OwnedFd fd) : Device(std::move(board_path)), fd_(std::move(fd)) {}

private:
    int DoIoctl(unsigned long request, void* arg) override;
    ssize_t DoRead(std::span<std::byte> buffer) override;
    ssize_t DoWrite(std::span<const std::byte> data) override;
    int DoPoll(short events, int timeout_ms) override;
    MappedMemory DoMap(size_t length, off_t offset, int* error) override;
    int DoClose() override { return fd_.Reset(); }

    OwnedFd fd_;
};

class LinuxEeprom : public EepromPort {
public:
    std::unique_ptr<I2cBus> OpenBus() override;
    int SetWriteProtect(bool protect) override;
};

class LinuxCard : public CardStorage {
public:
    int Capacity(std::string_view board_path, CardCapacity* out) override;
    int PartitionTable(std::string_view device, diviv::PartitionTable* out) override;
    std::vector<std::string> MmcDevices() override;
    std::vector<std::string> MountLines() override;
    int Unmount(std::string_view board_path) override;
    void Sync() override;
    int SyncFile(int fd) override;
    int DropPageCache() override;
};

class LinuxPower : public PowerControl {
public:
    int WriteCommand(std::string_view command) override;
    std::string ReadState() override;
};

class LinuxLeds : public Indicators {
public:
    int WriteAttribute(std::string_view name, std::string_view attribute, std::string_view text) override;
};

class LinuxInputs : public Inputs {
public:
    OwnedFd OpenEventDevice(std::string_view board_path, int* error) override;
    void WakeEventDevice(std::string_view board_path) override;
    int ReadDriverFile(std::string_view board_path, char* buffer, int size) override;
};

class LinuxCamera : public CameraDriver {
public:
    std::string ReadFile(std::string_view name) override;
    int WriteVideoMode(std::string_view text) override;
};

class LinuxDisplay : public DisplaySettings {
public:
    std::string DirectFbArgs() override { return {}; }
    bool VideoPlane(uint8_t*, int, int) override { return false; }
    bool CaptureOverlay(uint8_t*, uint8_t*, int, int) override { return false; }
};

// Opens a board path (under the board root) with open(2) as a LinuxDevice.
std::unique_ptr<Device> OpenLinuxDevice(std::string_view board_path, int flags, int* error);

// Writes the whole text to a board file opened with `flags` (O_WRONLY and
// O_TRUNC or O_APPEND ...). Return: 0 or -errno.
int WriteBoardFile(std::string_view board_path, std::string_view text, int flags);

}  // namespace diviv::linux_board
