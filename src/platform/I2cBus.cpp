#include "platform/I2cBus.h"

#include <fcntl.h>
#include <linux/i2c-dev.h>
#include <linux/i2c.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace diviv {

namespace {

// The one place where errno becomes this backend's return code.
int ErrnoCode() { return errno != 0 ? -errno : -EIO; }

int SmbusBlock(int fd, uint8_t read_write, uint8_t command, i2c_smbus_data* data) {
    i2c_smbus_ioctl_data args{};
    args.read_write = read_write;
    args.command = command;
    args.size = I2C_SMBUS_I2C_BLOCK_DATA;
    args.data = data;
    return ::ioctl(fd, I2C_SMBUS, &args) < 0 ? ErrnoCode() : 0;
}

bool ValidLength(size_t n) { return n >= 1 && n <= static_cast<size_t>(kI2cBlockMax); }

}  // namespace

int LinuxI2cBus::Open() {
    if (fd_ >= 0) return 0;
    fd_ = ::open(path_.c_str(), O_RDWR | O_CLOEXEC);
    return fd_ < 0 ? ErrnoCode() : 0;
}

void LinuxI2cBus::Close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

int LinuxI2cBus::SelectSlave(uint16_t address) {
    if (fd_ < 0) return -EBADF;
    return ::ioctl(fd_, I2C_SLAVE, static_cast<unsigned long>(address)) < 0 ? ErrnoCode() : 0;
}

int LinuxI2cBus::ReadI2cBlock(uint8_t command, std::span<uint8_t> data) {
    if (fd_ < 0) return -EBADF;
    if (!ValidLength(data.size())) return -EINVAL;
    i2c_smbus_data block{};
    // For an I2C block read the first byte asks for the length wanted.
    block.block[0] = static_cast<uint8_t>(data.size());
    const int rc = SmbusBlock(fd_, I2C_SMBUS_READ, command, &block);
    if (rc != 0) return rc;
    if (block.block[0] < data.size()) return -EIO;  // short transfer
    std::memcpy(data.data(), &block.block[1], data.size());
    return 0;
}

int LinuxI2cBus::WriteI2cBlock(uint8_t command, std::span<const uint8_t> data) {
    if (fd_ < 0) return -EBADF;
    if (!ValidLength(data.size())) return -EINVAL;
    i2c_smbus_data block{};
    block.block[0] = static_cast<uint8_t>(data.size());
    std::memcpy(&block.block[1], data.data(), data.size());
    return SmbusBlock(fd_, I2C_SMBUS_WRITE, command, &block);
}

}  // namespace diviv
