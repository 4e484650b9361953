#include "sim/SimI2cEeprom.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <mutex>

#include "platform/BoardPath.h"
#include "sim/SimBoard.h"

namespace diviv::sim {

namespace {

constexpr int kPageBytes = 256;

struct ControlState {
    std::mutex mutex;
    int fail_next = 0;
    bool corrupt = false;
    uint32_t corrupt_address = 0;
    uint8_t corrupt_mask = 0;
    std::vector<EepromTransaction> log;
};

ControlState& Control() {
    static ControlState state;
    return state;
}

// Logs the transaction and tells whether an injected fault swallows it.
bool TakeFault(EepromTransaction::Kind kind, int slave, uint8_t command, size_t length) {
    auto& c = Control();
    std::lock_guard lock(c.mutex);
    const bool fail = c.fail_next > 0;
    if (fail) --c.fail_next;
    c.log.push_back({kind, static_cast<uint16_t>(kEepromFirstSlave + slave), command,
                     static_cast<int>(length), !fail});
    return fail;
}

bool ValidLength(size_t n) { return n >= 1 && n <= static_cast<size_t>(diviv::kI2cBlockMax); }

}  // namespace

void SimEepromControl::FailNextTransactions(int n) {
    std::lock_guard lock(Control().mutex);
    Control().fail_next = n < 0 ? 0 : n;
}

void SimEepromControl::CorruptNextReadAt(uint32_t address, uint8_t mask) {
    std::lock_guard lock(Control().mutex);
    Control().corrupt = true;
    Control().corrupt_address = address;
    Control().corrupt_mask = mask;
}

std::vector<EepromTransaction> SimEepromControl::Transactions() {
    std::lock_guard lock(Control().mutex);
    return Control().log;
}

void SimEepromControl::ClearTransactions() {
    std::lock_guard lock(Control().mutex);
    Control().log.clear();
}

void SimEepromControl::Reset() {
    std::lock_guard lock(Control().mutex);
    Control().fail_next = 0;
    Control().corrupt = false;
    Control().log.clear();
}

SimI2cEeprom::SimI2cEeprom()
    : image_path_(BoardPath(kEepromImage)), wp_path_(BoardPath("/proc/driver/eeprom_wp")) {}

int SimI2cEeprom::Open() {
    if (fd_ >= 0) return 0;
    fd_ = ::open(image_path_.c_str(), O_RDWR | O_CLOEXEC);
    if (fd_ < 0) return -errno;
    struct stat st{};
    if (::fstat(fd_, &st) != 0) {
        const int err = -errno;
        Close();
        return err;
    }
    pages_ = static_cast<int>(st.st_size / kPageBytes);
    if (pages_ > kEepromMaxPages) pages_ = kEepromMaxPages;
    slave_ = -1;
    return 0;
}

void SimI2cEeprom::Close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    slave_ = -1;
}

int SimI2cEeprom::SelectSlave(uint16_t address) {
    if (fd_ < 0) return -EBADF;
    const int page = static_cast<int>(address) - kEepromFirstSlave;
    if (page < 0 || page >= pages_) return -ENXIO;  // nobody answers there
    slave_ = page;
    return 0;
}

bool SimI2cEeprom::WriteProtected() const {
    const int fd = ::open(wp_path_.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    char c = 0;
    const ssize_t n = ::read(fd, &c, 1);
    ::close(fd);
    return n == 1 && c == '1';
}

int SimI2cEeprom::ReadI2cBlock(uint8_t command, std::span<uint8_t> data) {
    if (fd_ < 0 || slave_ < 0) return -EBADF;
    if (!ValidLength(data.size())) return -EINVAL;
    if (TakeFault(EepromTransaction::kRead, slave_, command, data.size())) return -EIO;

    std::array<uint8_t, kPageBytes> page{};
    const off_t base = static_cast<off_t>(slave_) * kPageBytes;
    if (::pread(fd_, page.data(), page.size(), base) != static_cast<ssize_t>(page.size())) return -EIO;
    auto& c = Control();
    std::lock_guard lock(c.mutex);
    for (size_t i = 0; i < data.size(); ++i) {
        const uint8_t offset = static_cast<uint8_t>(command + i);  // wraps inside the page
        data[i] = page[offset];
        if (c.corrupt && c.corrupt_address == static_cast<uint32_t>(base + offset)) {
            data[i] ^= c.corrupt_mask;
            c.corrupt = false;
        }
    }
    return 0;
}

int SimI2cEeprom::WriteI2cBlock(uint8_t command, std::span<const uint8_t> data) {
    if (fd_ < 0 || slave_ < 0) return -EBADF;
    if (!ValidLength(data.size())) return -EINVAL;
    if (TakeFault(EepromTransaction::kWrite, slave_, command, data.size())) return -EIO;
    if (WriteProtected()) return 0;  // acknowledged, not stored

    const off_t base = static_cast<off_t>(slave_) * kPageBytes;
    const int line = command & ~(kEepromWritePage - 1);
    for (size_t i = 0; i < data.size(); ++i) {
        // The part's address counter wraps inside its 16-byte write page.
        const int offset = line + ((command + static_cast<int>(i)) & (kEepromWritePage - 1));
        if (::pwrite(fd_, &data[i], 1, base + offset) != 1) return -EIO;
    }
    return 0;
}

}  // namespace diviv::sim
