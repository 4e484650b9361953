// EEPROM access library: the parameter EEPROM on the board's second I2C bus.
//
// The part is organised in 256-byte pages; page p answers at slave address
// 0x54 + p (at most four pages). The library is opened and closed around
// every use; its open flag makes an overlapping second use fail with
// EEPROM_ERR_BUSY instead of interleaving on the bus.
//
// Every function returns 0 on success or one of the codes below.
#pragma once

#include <cstdint>

inline constexpr int EEPROM_ERR_IO = -1;        // device or bus failure (after retries)
inline constexpr int EEPROM_ERR_PAGE = -2;      // start address beyond the last page
inline constexpr int EEPROM_ERR_RANGE = -3;     // range end beyond the device (or a negative size)
inline constexpr int EEPROM_ERR_VERIFY = -4;    // read-back differs from the data written
inline constexpr int EEPROM_ERR_BUSY = -5;      // opened twice
inline constexpr int EEPROM_ERR_CLOSED = -6;    // used while closed

inline constexpr int EEPROM_PAGE_SIZE = 256;
inline constexpr int EEPROM_SLAVE_BASE = 0x54;
inline constexpr int EEPROM_MAX_PAGES = 4;

// Opens "/dev/i2c/1" and counts the pages that accept their slave address.
int eeprom_open();
int eeprom_close();
// Pages found x 256, or EEPROM_ERR_CLOSED.
int eeprom_geteepromsize();
// Write "0" (off) or "1" (on) and a NUL to "/proc/driver/eeprom_wp"; -1 if it
// cannot be opened.
int eeprom_write_protect_disable();
int eeprom_write_protect_enable();
// Reads `size` bytes at `address` in chunks of at most 32 bytes.
int eeprom_read_block(unsigned long address, int size, unsigned char* data);
// Writes `size` bytes at `address` in chunks that never cross a 16-byte
// boundary (the part's write page), reading each chunk back to verify it.
int eeprom_write_block(unsigned long address, int size, const unsigned char* data);
// usleep, repeated up to three more times while it reports failure.
int eeprom_usleep(unsigned long usec);
