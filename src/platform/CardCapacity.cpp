#include "platform/CardCapacity.h"

#include <fcntl.h>
#include <sys/statfs.h>
#include <unistd.h>

#include <cerrno>

#include "platform/Board.h"

namespace diviv {

int LinuxCardCapacity(const std::string& path, CardCapacity* out) {
    struct statfs st {};
    if (::statfs(path.c_str(), &st) != 0) return -1;
    out->block_size = static_cast<uint64_t>(st.f_bsize);
    out->total_blocks = static_cast<uint64_t>(st.f_blocks);
    out->free_blocks = static_cast<uint64_t>(st.f_bfree);
    out->avail_blocks = static_cast<uint64_t>(st.f_bavail);
    out->free_files = static_cast<uint64_t>(st.f_ffree);
    return 0;
}

namespace {

uint32_t Le32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

}  // namespace

int ReadPartitionTable(const std::string& device, PartitionTable* out) {
    *out = PartitionTable{};
    const int fd = ::open(device.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return kPartitionTableCannotOpen;
    uint8_t sector[kSectorBytes];
    size_t got = 0;
    while (got < sizeof sector) {
        const ssize_t n = ::read(fd, sector + got, sizeof sector - got);
        if (n <= 0) break;
        got += static_cast<size_t>(n);
    }
    ::close(fd);
    if (got < sizeof sector || sector[510] != 0x55 || sector[511] != 0xAA) return kPartitionTableUnreadable;
    constexpr size_t kTableOffset = 446;  // four 16-byte entries
    for (size_t i = 0; i < out->size(); ++i) {
        const uint8_t* e = sector + kTableOffset + 16 * i;
        (*out)[i].type = e[4];
        (*out)[i].first_lba = Le32(e + 8);
        (*out)[i].sectors = Le32(e + 12);
    }
    return kPartitionTableOk;
}

int QueryCardCapacity(std::string_view path, CardCapacity* out) {
    const int rc = TheBoard().Card().Capacity(path, out);
    if (rc == 0) return 0;
    errno = -rc;
    return -1;
}

}  // namespace diviv
