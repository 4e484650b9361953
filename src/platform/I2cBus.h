// The I2C bus as the EEPROM library uses it: open the adapter, select a slave
// address, and SMBus "I2C block data" transfers (a command byte followed by up
// to 32 data bytes).
//
// One interface, two backends: LinuxI2cBus drives an i2c-dev character
// device with the I2C_SLAVE and I2C_SMBUS requests; the simulated board
// answers the same transactions from an EEPROM image.
// The installed board hands out the right one (Board::Eeprom).
#pragma once

#include <cstdint>
#include <span>
#include <string>

namespace diviv {

// Largest data part of one SMBus block transfer, bytes.
inline constexpr int kI2cBlockMax = 32;

class I2cBus {
public:
    virtual ~I2cBus() = default;

    // Opens the adapter read-write. Return: 0, or -errno.
    virtual int Open() = 0;
    // Closes it (harmless when closed).
    virtual void Close() = 0;
    virtual bool IsOpen() const = 0;
    // Addresses the following transfers to a 7-bit slave. Return: 0 when the
    // adapter accepts the address, else -errno.
    virtual int SelectSlave(uint16_t address) = 0;
    // Reads data.size() bytes (1..32) starting at register `command` of the
    // selected slave. Return: 0 on a complete transfer, else -errno.
    virtual int ReadI2cBlock(uint8_t command, std::span<uint8_t> data) = 0;
    // Writes data.size() bytes (1..32) starting at register `command`.
    // Return: 0 when the slave acknowledged every byte, else -errno.
    virtual int WriteI2cBlock(uint8_t command, std::span<const uint8_t> data) = 0;
};

// The Linux i2c-dev backend for the device at `device_path` (already passed
// through BoardPath by the caller).
class LinuxI2cBus final : public I2cBus {
public:
    explicit LinuxI2cBus(std::string device_path) : path_(std::move(device_path)) {}
    ~LinuxI2cBus() override { Close(); }
    LinuxI2cBus(const LinuxI2cBus&) = delete;  // owns a descriptor: no double close
    LinuxI2cBus& operator=(const LinuxI2cBus&) = delete;

    int Open() override;
    void Close() override;
    bool IsOpen() const override { return fd_ >= 0; }
    int SelectSlave(uint16_t address) override;
    int ReadI2cBlock(uint8_t command, std::span<uint8_t> data) override;
    int WriteI2cBlock(uint8_t command, std::span<const uint8_t> data) override;

private:
    std::string path_;
    int fd_ = -1;
};

}  // namespace diviv
