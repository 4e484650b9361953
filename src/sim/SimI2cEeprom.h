// The simulated board's EEPROM, answered at the SMBus transaction level so
// the real EEPROM library runs unchanged on a PC.
//
// The part is the image file "/sim/eeprom.bin" under the board root: 256
// bytes per page, page p answering at slave address 0x54 + p (a 1024-byte
// image answers four addresses, a 512-byte one two). It behaves like a
// 24C-series serial EEPROM:
// - a block write wraps inside its 16-byte write page (bytes past the page
//   end land at the page start), so a caller that crosses a 16-byte boundary
//   corrupts data exactly as the real part would;
// - a block read wraps inside the 256-byte page;
// - while "/proc/driver/eeprom_wp" holds "1" a write is acknowledged but not
//   stored.
// Tests inject faults and read the transaction log through SimEepromControl.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/I2cBus.h"

namespace diviv::sim {

inline constexpr uint16_t kEepromFirstSlave = 0x54;
inline constexpr int kEepromMaxPages = 4;
inline constexpr int kEepromWritePage = 16;  // bytes per internal write page

// One SMBus transaction seen by the simulated part.
struct EepromTransaction {
    enum Kind : uint8_t { kRead, kWrite } kind;
    uint16_t slave;   // 7-bit address
    uint8_t command;  // offset in the 256-byte page
    int length;       // data bytes
    bool ok;          // false: not acknowledged (injected fault)
};

// Process-wide fault injection and observation for every simulated bus.
class SimEepromControl {
public:
    // The next n transactions (reads or writes) are not acknowledged and
    // change nothing. A large n makes a permanent bus failure.
    static void FailNextTransactions(int n);
    // The next read that covers EEPROM byte `address` (page * 256 + offset)
    // returns that byte XOR `mask`; the stored byte is not changed.
    static void CorruptNextReadAt(uint32_t address, uint8_t mask = 0x01);
    // Transactions since the last Reset / ClearTransactions, in order.
    static std::vector<EepromTransaction> Transactions();
    static void ClearTransactions();
    // Clears faults and the log.
    static void Reset();
};

class SimI2cEeprom final : public diviv::I2cBus {
public:
    SimI2cEeprom();  // the image of the current board root
    ~SimI2cEeprom() override { Close(); }
    SimI2cEeprom(const SimI2cEeprom&) = delete;  // owns a descriptor
    SimI2cEeprom& operator=(const SimI2cEeprom&) = delete;

    int Open() override;
    void Close() override;
    bool IsOpen() const override { return fd_ >= 0; }
    int SelectSlave(uint16_t address) override;
    int ReadI2cBlock(uint8_t command, std::span<uint8_t> data) override;
    int WriteI2cBlock(uint8_t command, std::span<const uint8_t> data) override;

private:
    bool WriteProtected() const;

    std::string image_path_;
    std::string wp_path_;
    int fd_ = -1;
    int pages_ = 0;     // pages the image holds (at most four)
    int slave_ = -1;    // selected page, -1 none
};

}  // namespace diviv::sim
