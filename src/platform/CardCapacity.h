// Card geometry as the recorder sees it: the capacity of a mounted card
// partition (in the shape statfs reports it) and the card's MBR partition
// table.
//
// The recorder asks for the capacity through diviv::QueryCardCapacity, which
// asks the installed board (platform/Board.h).
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

namespace diviv {

struct CardCapacity {
    uint64_t block_size = 0;    // bytes per block
    uint64_t total_blocks = 0;  // size of the file system
    uint64_t free_blocks = 0;
    uint64_t avail_blocks = 0;  // free blocks an ordinary writer may use
    uint64_t free_files = 0;    // free file nodes (FAT has none: 0)
};

// Capacity of the file system a board path lies on (with or without the
// board root in front), as the installed board answers it. Returns 0, or -1
// with errno.
int QueryCardCapacity(std::string_view path, CardCapacity* out);

// statfs of `path` (a path to open as it is). Returns 0, or -1 with errno.
int LinuxCardCapacity(const std::string& path, CardCapacity* out);

// One primary entry of an MBR partition table.
struct PartitionEntry {
    uint8_t type = 0;        // 0: unused entry
    uint32_t first_lba = 0;  // first sector (512 bytes)
    uint32_t sectors = 0;    // length in sectors
};
using PartitionTable = std::array<PartitionEntry, 4>;

inline constexpr uint32_t kSectorBytes = 512;

enum PartitionTableResult : int {
    kPartitionTableOk = 0,
    kPartitionTableCannotOpen = -1,  // the device (image) cannot be opened
    kPartitionTableUnreadable = -2,  // shorter than one sector, or no 0x55AA signature
};

// Reads the four primary entries from the first sector of `device` (a path
// to open as it is). A sector without the boot signature holds no table.
int ReadPartitionTable(const std::string& device, PartitionTable* out);

}  // namespace diviv
