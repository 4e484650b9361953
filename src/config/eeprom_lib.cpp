#include "config/eeprom_lib.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <memory>
#include <span>

#include "platform/Board.h"
#include "platform/BoardPath.h"

namespace {

// Library state: the open adapter, the open flag and the pages found.
std::unique_ptr<diviv::I2cBus> i2c_fd;
std::atomic<int> eeprom_lib_status{0};
int eeprom_page_num = 0;

constexpr int kTries = 4;                  // attempts per chunk transfer
constexpr unsigned long kRetryPauseUs = 5000;
constexpr int kWriteLine = 16;             // the part's write page, bytes

int WriteProtectFile(const char (&text)[2]) {
    return diviv::TheBoard().Eeprom().SetWriteProtect(text[0] == '1') == 0 ? 0 : -1;
}

int ReadChunkWithRetry(uint8_t offset, std::span<uint8_t> out, bool pause_first) {
    for (int attempt = 0; attempt < kTries; ++attempt) {
        if (pause_first) eeprom_usleep(kRetryPauseUs);  // let a write cycle finish
        if (i2c_fd->ReadI2cBlock(offset, out) == 0) return 0;
        if (!pause_first) eeprom_usleep(kRetryPauseUs);
    }
    return EEPROM_ERR_IO;
}

int WriteChunkWithRetry(uint8_t offset, std::span<const uint8_t> in) {
    for (int attempt = 0; attempt < kTries; ++attempt) {
        if (i2c_fd->WriteI2cBlock(offset, in) == 0) return 0;
        eeprom_usleep(kRetryPauseUs);
    }
    return EEPROM_ERR_IO;
}

// Common checks of both transfers: open, a sane size, the start page and the
// range end inside the device.
int CheckRange(unsigned long address, int size, const void* data) {
    if (eeprom_lib_status.load() == 0) return EEPROM_ERR_CLOSED;
    if (size < 0 || (size > 0 && data == nullptr)) return EEPROM_ERR_RANGE;
    const unsigned long pages = static_cast<unsigned long>(eeprom_page_num);
    if (address / EEPROM_PAGE_SIZE >= pages) return EEPROM_ERR_PAGE;
    if (address + static_cast<unsigned long>(size) > pages * EEPROM_PAGE_SIZE) return EEPROM_ERR_RANGE;
    return 0;
}

// Walks the pages of [address, address + size) and hands each page's part,
// as (page offset, byte count, position in the caller's buffer), to `part`.
// The walk ends at the page holding the last byte, so a range that ends on a
// page boundary never selects the (possibly absent) page after it.
template <typename Part>
int ForEachPage(unsigned long address, int size, Part&& part) {
    if (size == 0) return 0;
    const unsigned long end = address + static_cast<unsigned long>(size);
    const unsigned long first = address / EEPROM_PAGE_SIZE;
    const unsigned long last = (end - 1) / EEPROM_PAGE_SIZE;
    for (unsigned long page = first; page <= last; ++page) {
        if (i2c_fd->SelectSlave(static_cast<uint16_t>(EEPROM_SLAVE_BASE + page)) != 0) return EEPROM_ERR_IO;
        const unsigned long page_start = page * EEPROM_PAGE_SIZE;
        const unsigned long from = std::max(address, page_start);
        const unsigned long to = std::min(end, page_start + EEPROM_PAGE_SIZE);
        const int rc = part(static_cast<int>(from - page_start), static_cast<int>(to - from),
                            static_cast<size_t>(from - address), page_start);
        if (rc != 0) return rc;
    }
    return 0;
}

}  // namespace

int eeprom_open() {
    int expected = 0;
    if (!eeprom_lib_status.compare_exchange_strong(expected, 1)) return EEPROM_ERR_BUSY;
    i2c_fd = diviv::TheBoard().Eeprom().OpenBus();
    if (i2c_fd->Open() != 0) {
        i2c_fd.reset();
        eeprom_lib_status.store(0);
        return EEPROM_ERR_IO;
    }
    eeprom_page_num = 0;
    for (int page = 0; page < EEPROM_MAX_PAGES; ++page) {
        if (i2c_fd->SelectSlave(static_cast<uint16_t>(EEPROM_SLAVE_BASE + page)) != 0) break;
        ++eeprom_page_num;
    }
    return 0;
}

int eeprom_close() {
    if (eeprom_lib_status.load() == 0) return EEPROM_ERR_CLOSED;
    i2c_fd.reset();  // closes the adapter
    eeprom_page_num = 0;
    eeprom_lib_status.store(0);
    return 0;
}

int eeprom_geteepromsize() {
    if (eeprom_lib_status.load() == 0) return EEPROM_ERR_CLOSED;
    return eeprom_page_num * EEPROM_PAGE_SIZE;
}

int eeprom_write_protect_disable() { return WriteProtectFile({'0', '\0'}); }
int eeprom_write_protect_enable() { return WriteProtectFile({'1', '\0'}); }

int eeprom_read_block(unsigned long address, int size, unsigned char* data) {
    if (const int rc = CheckRange(address, size, data); rc != 0) return rc;
    return ForEachPage(address, size, [&](int offset, int count, size_t pos, unsigned long) {
        for (int done = 0; done < count;) {
            const int n = std::min(diviv::kI2cBlockMax, count - done);
            std::span<uint8_t> out(data + pos + done, static_cast<size_t>(n));
            if (ReadChunkWithRetry(static_cast<uint8_t>(offset + done), out, false) != 0) return EEPROM_ERR_IO;
            done += n;
        }
        return 0;
    });
}

int eeprom_write_block(unsigned long address, int size, const unsigned char* data) {
    if (const int rc = CheckRange(address, size, data); rc != 0) return rc;
    return ForEachPage(address, size, [&](int offset, int count, size_t pos, unsigned long page_start) {
        for (int done = 0; done < count;) {
            const int at = offset + done;
            const int n = std::min(kWriteLine - at % kWriteLine, count - done);
            std::span<const uint8_t> chunk(data + pos + done, static_cast<size_t>(n));
            if (WriteChunkWithRetry(static_cast<uint8_t>(at), chunk) != 0) return EEPROM_ERR_IO;
            uint8_t back[kWriteLine];
            std::span<uint8_t> readback(back, static_cast<size_t>(n));
            if (ReadChunkWithRetry(static_cast<uint8_t>(at), readback, true) != 0) return EEPROM_ERR_IO;
            if (!std::equal(chunk.begin(), chunk.end(), readback.begin())) {
                for (int i = 0; i < n; ++i) {
                    const bool odd = chunk[i] != readback[i];
                    std::printf("%08x: write_p %02x: read_p %02x  %s\n",
                                static_cast<unsigned>(page_start + at + i), chunk[i], readback[i],
                                odd ? "odd data!!" : "");
                }
                return EEPROM_ERR_VERIFY;
            }
            done += n;
        }
        return 0;
    });
}

int eeprom_usleep(unsigned long usec) {
    int rc = ::usleep(static_cast<useconds_t>(usec));
    for (int again = 0; again < 3 && rc != 0; ++again) rc = ::usleep(static_cast<useconds_t>(usec));
    return rc;
}
