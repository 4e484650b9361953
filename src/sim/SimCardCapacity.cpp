#include "sim/SimCardCapacity.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/BoardPath.h"

namespace diviv::sim {

namespace {

uint64_t Clusters(uint64_t bytes) { return (bytes + kSimClusterBytes - 1) / kSimClusterBytes; }

// Clusters held below an open folder (the folder itself not counted). Takes
// ownership of dfd.
uint64_t ClustersBelow(int dfd) {
    DIR* dir = ::fdopendir(dfd);
    if (dir == nullptr) {
        ::close(dfd);
        return 0;
    }
    uint64_t clusters = 0;
    while (const dirent* e = ::readdir(dir)) {
        if (std::strcmp(e->d_name, ".") == 0 || std::strcmp(e->d_name, "..") == 0) continue;
        struct stat st {};
        if (::fstatat(::dirfd(dir), e->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
        if (S_ISREG(st.st_mode)) {
            clusters += Clusters(static_cast<uint64_t>(st.st_size));
        } else if (S_ISDIR(st.st_mode)) {
            clusters += 1;
            const int sub = ::openat(::dirfd(dir), e->d_name, O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NOFOLLOW);
            if (sub >= 0) clusters += ClustersBelow(sub);
        }
    }
    ::closedir(dir);
    return clusters;
}

// "/mnt/mmc<k>_p<n>[/...]" -> k, n and the mount point. False for any other path.
bool ParseMountPoint(std::string_view path, int* card, int* part, std::string* mount) {
    constexpr std::string_view kPrefix = "/mnt/mmc";
    if (path.substr(0, kPrefix.size()) != kPrefix) return false;
    const std::string_view rest = path.substr(kPrefix.size());
    // One digit card number, "_p", one digit partition number.
    if (rest.size() < 4 || rest[0] < '0' || rest[0] > '9' || rest.substr(1, 2) != "_p" || rest[3] < '1' ||
        rest[3] > '4')
        return false;
    if (rest.size() > 4 && rest[4] != '/') return false;
    *card = rest[0] - '0';
    *part = rest[3] - '0';
    *mount = std::string(path.substr(0, kPrefix.size() + 4));
    return true;
}

// Drops the board root from a rooted path.
std::string_view WithoutRoot(std::string_view path, const std::string& root) {
    if (!root.empty() && path.size() > root.size() && path.substr(0, root.size()) == root &&
        path[root.size()] == '/')
        return path.substr(root.size());
    return path;
}

}  // namespace

uint64_t SimBytesHeld(const std::string& dir) {
    const int dfd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dfd < 0) return 0;
    return ClustersBelow(dfd) * kSimClusterBytes;
}

int SimCardCapacity(std::string_view board_path, CardCapacity* out) {
    const std::string root = BoardRoot();
    int card = 0, part = 0;
    std::string mount;
    if (!ParseMountPoint(WithoutRoot(board_path, root), &card, &part, &mount)) {
        errno = ENOENT;
        return -1;
    }
    PartitionTable table;
    const std::string image = BoardPath("/dev/mmcblk" + std::to_string(card));
    if (ReadPartitionTable(image, &table) != kPartitionTableOk) {
        errno = ENOENT;
        return -1;
    }
    const PartitionEntry& entry = table[static_cast<size_t>(part - 1)];
    if (entry.type == 0) {
        errno = ENOENT;
        return -1;
    }
    const std::string folder = BoardPath(mount);
    struct stat st {};
    if (::stat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        errno = ENOENT;
        return -1;
    }
    const uint64_t total = static_cast<uint64_t>(entry.sectors) * kSectorBytes / kSimClusterBytes;
    const uint64_t held = SimBytesHeld(folder) / kSimClusterBytes;
    out->block_size = kSimClusterBytes;
    out->total_blocks = total;
    out->free_blocks = held < total ? total - held : 0;
    out->avail_blocks = out->free_blocks;
    out->free_files = 0;
    return 0;
}

}  // namespace diviv::sim

namespace diviv::sim {

bool IsCardMountPoint(std::string_view path) {
    int card = 0, part = 0;
    std::string mount;
    return ParseMountPoint(WithoutRoot(path, BoardRoot()), &card, &part, &mount);
}

}  // namespace diviv::sim
